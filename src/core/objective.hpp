// Classification objectives scored on confusion tables: higher is better.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace zelk {

// A confusion table of sample counts (uint64_t) or of sample weights (double).
template <class Count>
struct BasicConfusion {
  std::vector<Count> true_pos;
  std::vector<Count> false_pos;
  std::vector<Count> false_neg;
  std::vector<Count> support;
  size_t n_classes = 0;
  Count total = 0;

  static BasicConfusion zero(size_t n_classes);
  // Tallies a group of samples all predicted as `predicted`; counts[k] is the number (or
  // weight) of samples of true class k (entries from n_classes on are ignored).
  void add_group(size_t predicted, std::span<const Count> counts);
};

using Confusion = BasicConfusion<uint64_t>;
// Weighted counts: integer-valued weights score as the counts they equal.
using WeightedConfusion = BasicConfusion<double>;

// The class a side predicts from its class counts or weights: the first with the largest,
// class 0 when every one is 0.
template <class Count>
size_t majority_of(std::span<const Count> counts) {
  size_t best = 0;
  for (size_t c = 1; c < counts.size(); ++c) {
    if (counts[c] > counts[best]) best = c;
  }
  return best;
}
inline size_t majority_class(std::span<const uint64_t> counts) {
  return majority_of(counts);
}
inline size_t majority_class(std::span<const double> weights) {
  return majority_of(weights);
}

enum class Average { Binary = 0, Micro = 1, Macro = 2, Weighted = 3 };

class ClassObjective {
 public:
  virtual ~ClassObjective() = default;
  virtual double score(const Confusion& table) const = 0;
  virtual double score(const WeightedConfusion& table) const = 0;
  virtual std::string_view name() const = 0;
};

class Accuracy final : public ClassObjective {
 public:
  double score(const Confusion& table) const override;
  double score(const WeightedConfusion& table) const override;
  std::string_view name() const override { return "accuracy"; }
};

class Precision final : public ClassObjective {
 public:
  Precision(Average average, size_t pos_label) : average_(average), pos_label_(pos_label) {}
  double score(const Confusion& table) const override;
  double score(const WeightedConfusion& table) const override;
  std::string_view name() const override { return "precision"; }

 private:
  Average average_;
  size_t pos_label_;
};

class Recall final : public ClassObjective {
 public:
  Recall(Average average, size_t pos_label) : average_(average), pos_label_(pos_label) {}
  double score(const Confusion& table) const override;
  double score(const WeightedConfusion& table) const override;
  std::string_view name() const override { return "recall"; }

 private:
  Average average_;
  size_t pos_label_;
};

class F1 final : public ClassObjective {
 public:
  F1(Average average, size_t pos_label) : average_(average), pos_label_(pos_label) {}
  double score(const Confusion& table) const override;
  double score(const WeightedConfusion& table) const override;
  std::string_view name() const override { return "f1"; }

 private:
  Average average_;
  size_t pos_label_;
};

class FBeta final : public ClassObjective {
 public:
  FBeta(Average average, size_t pos_label, double beta)
      : average_(average), pos_label_(pos_label), beta_(beta) {}
  double score(const Confusion& table) const override;
  double score(const WeightedConfusion& table) const override;
  std::string_view name() const override { return "fbeta"; }

 private:
  Average average_;
  size_t pos_label_;
  double beta_;
};

}  // namespace zelk
