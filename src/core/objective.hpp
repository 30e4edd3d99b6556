// Classification objectives scored on confusion tables: higher is better.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace zelk {

struct Confusion {
  std::vector<uint64_t> true_pos;
  std::vector<uint64_t> false_pos;
  std::vector<uint64_t> false_neg;
  std::vector<uint64_t> support;
  size_t n_classes = 0;
  uint64_t total = 0;

  static Confusion zero(size_t n_classes);
  // Tallies a group of samples all predicted as `predicted`; counts[k] is the number of
  // samples of true class k (entries from n_classes on are ignored).
  void add_group(size_t predicted, std::span<const uint64_t> counts);
};

// The class a side predicts from its class counts: the first with the largest count, class 0
// when every count is 0.
inline size_t majority_class(std::span<const uint64_t> counts) {
  size_t best = 0;
  for (size_t c = 1; c < counts.size(); ++c) {
    if (counts[c] > counts[best]) best = c;
  }
  return best;
}

enum class Average { Binary = 0, Micro = 1, Macro = 2, Weighted = 3 };

class ClassObjective {
 public:
  virtual ~ClassObjective() = default;
  virtual double score(const Confusion& table) const = 0;
  virtual std::string_view name() const = 0;
};

class Accuracy final : public ClassObjective {
 public:
  double score(const Confusion& table) const override;
  std::string_view name() const override { return "accuracy"; }
};

class Precision final : public ClassObjective {
 public:
  Precision(Average average, size_t pos_label) : average_(average), pos_label_(pos_label) {}
  double score(const Confusion& table) const override;
  std::string_view name() const override { return "precision"; }

 private:
  Average average_;
  size_t pos_label_;
};

class Recall final : public ClassObjective {
 public:
  Recall(Average average, size_t pos_label) : average_(average), pos_label_(pos_label) {}
  double score(const Confusion& table) const override;
  std::string_view name() const override { return "recall"; }

 private:
  Average average_;
  size_t pos_label_;
};

class F1 final : public ClassObjective {
 public:
  F1(Average average, size_t pos_label) : average_(average), pos_label_(pos_label) {}
  double score(const Confusion& table) const override;
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
  std::string_view name() const override { return "fbeta"; }

 private:
  Average average_;
  size_t pos_label_;
  double beta_;
};

}  // namespace zelk
