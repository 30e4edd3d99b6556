#include "core/tree/strict/scoring.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/tree/rules.hpp"
#include "core/tree/strict/feature_codes.hpp"

namespace zelk {

using detail::code_feature;
using detail::empty_score_lists;
using detail::FeatureCodes;
using detail::finish_candidates;

namespace {

// Both sides' sums and sums of squares for every state, from one pass over the validation
// samples. Each state's four sums still take the samples in validation order, adding +0.0
// where a sample is on the other side; a sum that starts at +0.0 is never -0.0, so that
// addition changes nothing. States are independent lanes, two to a vector. Weighted, the sums
// are of w y and w y y, and both sides' weights are summed the same way.
template <bool Weighted>
class SideSums {
 public:
  explicit SideSums(size_t n_states)
      : n_blocks_((n_states + 1) / 2),
        index_(n_blocks_),
        sum_left_(n_blocks_),
        sq_left_(n_blocks_),
        sum_right_(n_blocks_),
        sq_right_(n_blocks_),
        weight_left_(Weighted ? n_blocks_ : 0),
        weight_right_(Weighted ? n_blocks_ : 0) {
    for (size_t b = 0; b < n_blocks_; ++b)
      index_[b] = Lanes{static_cast<double>(2 * b), static_cast<double>(2 * b + 1)};
  }

  void accumulate(std::span<const double> y, std::span<const double> w,
                  std::span<const uint32_t> slots, bool threshold) {
    if (threshold) {
      pass<true>(y, w, slots);
    } else {
      pass<false>(y, w, slots);
    }
  }

  double sum_left(size_t i) const { return sum_left_[i / 2][i % 2]; }
  double sq_left(size_t i) const { return sq_left_[i / 2][i % 2]; }
  double sum_right(size_t i) const { return sum_right_[i / 2][i % 2]; }
  double sq_right(size_t i) const { return sq_right_[i / 2][i % 2]; }
  double weight_left(size_t i) const { return weight_left_[i / 2][i % 2]; }
  double weight_right(size_t i) const { return weight_right_[i / 2][i % 2]; }

  // The sides' weighted impurity at state i: the sides' weights (counts, unweighted: n_left of
  // n rows go left) times their variances.
  double children(size_t i, uint64_t n_left, uint64_t n) const {
    if constexpr (Weighted) {
      const double w_left = weight_left(i), w_right = weight_right(i);
      return w_left * variance_from_weighted_sums(sum_left(i), sq_left(i), w_left) +
             w_right * variance_from_weighted_sums(sum_right(i), sq_right(i), w_right);
    } else {
      const uint64_t n_right = n - n_left;
      return static_cast<double>(n_left) * variance_from_sums(sum_left(i), sq_left(i), n_left) +
             static_cast<double>(n_right) * variance_from_sums(sum_right(i), sq_right(i), n_right);
    }
  }

 private:
  using Lanes = double __attribute__((vector_size(16)));
  using Mask = int64_t __attribute__((vector_size(16)));

  template <bool Threshold>
  static Mask left_of(Lanes slot, Lanes index) {
    return Threshold ? (slot <= index) : (slot == index);
  }

  // Two blocks (four states) at a time, so that their sums stay in registers.
  template <bool Threshold>
  void pass(std::span<const double> y, std::span<const double> w, std::span<const uint32_t> slots) {
    for (size_t b = 0; b < n_blocks_; b += 2) {
      const bool pair = b + 1 < n_blocks_;
      const Lanes index0 = index_[b];
      const Lanes index1 = pair ? index_[b + 1] : index_[b];
      Lanes sl0{0.0, 0.0}, ql0{0.0, 0.0}, sr0{0.0, 0.0}, qr0{0.0, 0.0};
      Lanes sl1{0.0, 0.0}, ql1{0.0, 0.0}, sr1{0.0, 0.0}, qr1{0.0, 0.0};
      Lanes wl0{0.0, 0.0}, wr0{0.0, 0.0}, wl1{0.0, 0.0}, wr1{0.0, 0.0};
      for (size_t j = 0; j < y.size(); ++j) {
        const double t = y[j];
        const double a = Weighted ? w[j] * t : t;
        const Mask value = (Mask)(Lanes{a, a});
        const Mask square = (Mask)(Lanes{a * t, a * t});
        // The missing slot is above every state number, so it is never left.
        const auto code = static_cast<double>(slots[j]);
        const Lanes slot{code, code};
        // All ones on the left: masking yields the value or +0.0, bit-exactly.
        const Mask left0 = left_of<Threshold>(slot, index0);
        const Mask left1 = left_of<Threshold>(slot, index1);
        sl0 += (Lanes)(value & left0);
        ql0 += (Lanes)(square & left0);
        sr0 += (Lanes)(value & ~left0);
        qr0 += (Lanes)(square & ~left0);
        sl1 += (Lanes)(value & left1);
        ql1 += (Lanes)(square & left1);
        sr1 += (Lanes)(value & ~left1);
        qr1 += (Lanes)(square & ~left1);
        if constexpr (Weighted) {
          const Mask weight = (Mask)(Lanes{w[j], w[j]});
          wl0 += (Lanes)(weight & left0);
          wr0 += (Lanes)(weight & ~left0);
          wl1 += (Lanes)(weight & left1);
          wr1 += (Lanes)(weight & ~left1);
        }
      }
      sum_left_[b] = sl0;
      sq_left_[b] = ql0;
      sum_right_[b] = sr0;
      sq_right_[b] = qr0;
      if constexpr (Weighted) {
        weight_left_[b] = wl0;
        weight_right_[b] = wr0;
      }
      if (pair) {
        sum_left_[b + 1] = sl1;
        sq_left_[b + 1] = ql1;
        sum_right_[b + 1] = sr1;
        sq_right_[b + 1] = qr1;
        if constexpr (Weighted) {
          weight_left_[b + 1] = wl1;
          weight_right_[b + 1] = wr1;
        }
      }
    }
  }

  size_t n_blocks_;
  std::vector<Lanes> index_;
  std::vector<Lanes> sum_left_, sq_left_, sum_right_, sq_right_;
  std::vector<Lanes> weight_left_, weight_right_;
};

// Gini or entropy fold scores of every state from class counts per slot: one row of
// n_classes + 1 per slot (the last column for labels at or above n_classes), then the fold's
// totals. Weighted, the rows hold class weights, the sides' sizes are their weights, and
// whether a side is empty is read from its row counts.
template <bool Weighted>
class ClassCountSides {
  using Count = std::conditional_t<Weighted, double, uint64_t>;

 public:
  ClassCountSides(size_t n_states, size_t n_classes, bool entropy)
      : n_states_(n_states),
        n_classes_(n_classes),
        row_(n_classes + 1),
        entropy_(entropy),
        slot_classes_(n_states == 0 ? 0 : (n_states + 1) * row_),
        totals_(row_),
        left_classes_(row_),
        right_classes_(row_),
        slot_rows_(Weighted ? n_states + 1 : 0) {}

  // Appends the fold's score to scores[i] for every state i that splits the fold's
  // validation labels `y` (slots `val`, weights `w` when weighted) into two non-empty sides.
  void score_fold(std::span<const size_t> y, std::span<const double> w,
                  std::span<const uint32_t> val, bool threshold, double parent,
                  std::vector<std::vector<double>>& scores) {
    const size_t n_val = y.size();
    const size_t row = row_;
    std::fill(slot_classes_.begin(), slot_classes_.end(), 0);
    std::fill(totals_.begin(), totals_.end(), 0);
    if constexpr (Weighted) std::fill(slot_rows_.begin(), slot_rows_.end(), 0);
    for (size_t j = 0; j < n_val; ++j) {
      const size_t label = std::min(y[j], n_classes_);
      if constexpr (Weighted) {
        totals_[label] += w[j];
        if (val[j] != kMissingCode) {
          slot_classes_[val[j] * row + label] += w[j];
          ++slot_rows_[val[j]];
        }
      } else {
        ++totals_[label];
        if (val[j] != kMissingCode) ++slot_classes_[val[j] * row + label];
      }
    }
    double m = static_cast<double>(n_val);
    if constexpr (Weighted) {
      m = 0.0;
      for (size_t j = 0; j < n_val; ++j)
        m += w[j];
    }
    std::fill(left_classes_.begin(), left_classes_.end(), 0);
    uint64_t rows_left = 0;
    for (size_t i = 0; i < n_states_; ++i) {
      const Count* here = &slot_classes_[i * row];
      if (threshold) {
        for (size_t k = 0; k < row; ++k)
          left_classes_[k] += here[k];
      } else {
        std::copy(here, here + row, left_classes_.begin());
      }
      Count n_left = 0;
      for (size_t k = 0; k < row; ++k)
        n_left += left_classes_[k];
      if constexpr (Weighted) {
        rows_left = threshold ? rows_left + slot_rows_[i] : slot_rows_[i];
        if (rows_left == 0 || rows_left == n_val) continue;
      } else {
        if (n_left == 0 || n_left == n_val) continue;
      }
      for (size_t k = 0; k < row; ++k) {
        right_classes_[k] = totals_[k] - left_classes_[k];
        // Weights summed in another order can leave a rounding below zero where none is left.
        if constexpr (Weighted) right_classes_[k] = std::max(right_classes_[k], 0.0);
      }
      const std::span<const Count> lc(left_classes_.data(), n_classes_);
      const std::span<const Count> rc(right_classes_.data(), n_classes_);
      double children = 0.0;
      if constexpr (Weighted) {
        double n_right = 0.0;
        for (size_t k = 0; k < row; ++k)
          n_right += right_classes_[k];
        children = n_left * class_impurity(lc, n_left) + n_right * class_impurity(rc, n_right);
      } else {
        const uint64_t n_right = n_val - n_left;
        children = static_cast<double>(n_left) * class_impurity(lc, n_left) +
                   static_cast<double>(n_right) * class_impurity(rc, n_right);
      }
      scores[i].push_back(parent - children / m);
    }
  }

 private:
  // Impurity of one side from its per-class counts or weights (classes first, then labels at
  // or above n_classes) and its size, as Gini or Entropy computes it from the side's labels.
  double class_impurity(std::span<const Count> class_counts, Count total) const {
    if constexpr (Weighted) {
      return entropy_ ? entropy_from_weights(class_counts, total)
                      : gini_from_weights(class_counts, total);
    } else {
      return entropy_ ? entropy_from_counts<uint64_t>(class_counts, total)
                      : gini_from_counts<uint64_t>(class_counts, total);
    }
  }

  size_t n_states_;
  size_t n_classes_;
  size_t row_;
  bool entropy_;
  std::vector<Count> slot_classes_, totals_, left_classes_, right_classes_;
  std::vector<uint64_t> slot_rows_;  // weighted: the rows of each slot
};

// The sides' weighted impurity of every state from one fold's validation part: squared error
// from running sums, absolute error from the sides' lists.
template <bool Weighted>
class RegressionSides {
 public:
  RegressionSides(const RegressionCriterion& criterion, size_t n_states)
      : absolute_(criterion.kind() == CriterionKind::AbsoluteError),
        side_count_(n_states + 1),
        sums_(absolute_ ? 0 : n_states) {}

  // Appends the fold's score to scores[i] for every state i that splits the fold's
  // validation targets `y` (slots `val`, weights `w` when weighted) into two non-empty sides.
  void score_fold(std::span<const double> y, std::span<const double> w,
                  std::span<const uint32_t> val, bool threshold, double parent, double m,
                  std::vector<std::vector<double>>& scores) {
    const size_t n_val = y.size();
    std::fill(side_count_.begin(), side_count_.end(), 0);
    for (uint32_t slot : val) {
      if (slot != kMissingCode) ++side_count_[slot];
    }
    if (!absolute_) sums_.accumulate(y, w, val, threshold);
    uint64_t running = 0;
    for (size_t i = 0; i + 1 < side_count_.size(); ++i) {
      running = threshold ? running + side_count_[i] : side_count_[i];
      const uint64_t n_left = running;
      if (n_left == 0 || n_left == n_val) continue;
      const double children = absolute_
                                  ? listed_children(y, w, val, static_cast<uint32_t>(i), threshold)
                                  : sums_.children(i, n_left, n_val);
      scores[i].push_back(parent - children / m);
    }
  }

 private:
  double listed_children(std::span<const double> y, std::span<const double> w,
                         std::span<const uint32_t> val, uint32_t state, bool threshold) {
    left_.clear();
    right_.clear();
    left_w_.clear();
    right_w_.clear();
    for (size_t j = 0; j < y.size(); ++j) {
      const bool to_left = goes_left(val[j], state, threshold);
      (to_left ? left_ : right_).push_back(y[j]);
      if (Weighted) (to_left ? left_w_ : right_w_).push_back(w[j]);
    }
    if constexpr (Weighted) {
      return total(left_w_) * weighted_absolute_deviation(left_, left_w_, pairs_) +
             total(right_w_) * weighted_absolute_deviation(right_, right_w_, pairs_);
    } else {
      return static_cast<double>(left_.size()) * absolute_deviation(left_, sorted_) +
             static_cast<double>(right_.size()) * absolute_deviation(right_, sorted_);
    }
  }

  static double total(const std::vector<double>& w) {
    double sum = 0.0;
    for (double x : w)
      sum += x;
    return sum;
  }

  bool absolute_;
  std::vector<uint64_t> side_count_;
  SideSums<Weighted> sums_;
  std::vector<double> left_, right_, left_w_, right_w_, sorted_;
  std::vector<std::pair<double, double>> pairs_;
};

template <bool Weighted, class Target>
std::vector<ScoredCandidate> score_impurity_with(const Criterion<Target>& criterion,
                                                 size_t n_classes, const StrictNode<Target>& node,
                                                 size_t feature) {
  const Column& column = node.columns[feature];
  const bool threshold = threshold_mode(node.params, column);
  FeatureCodes codes;
  if (!code_feature(node, feature, threshold, codes)) return {};
  const size_t n_states = codes.states.size();
  auto scores = empty_score_lists(n_states, node.folds.size());
  // Regression reads each side's sums (or, for absolute error, its values); the classifiers
  // only class counts.
  using Sides = std::conditional_t<std::is_same_v<Target, double>, RegressionSides<Weighted>,
                                   ClassCountSides<Weighted>>;
  Sides sides = [&] {
    if constexpr (std::is_same_v<Target, double>) {
      return Sides(criterion, n_states);
    } else {
      return Sides(n_states, n_classes, criterion.kind() == CriterionKind::Entropy);
    }
  }();

  std::vector<Target> y;
  std::vector<double> yw;  // weighted: the weights of y
  const auto score_states = [&] {
    for (size_t f = 0; f < node.folds.size(); ++f) {
      const Fold& fold = node.folds[f];
      if (fold.validation.empty()) continue;
      y.clear();
      yw.clear();
      double m = 0.0;
      for (size_t s : fold.validation) {
        y.push_back(node.targets[s]);
        if (Weighted) {
          yw.push_back(node.weights[s]);
          m += node.weights[s];
        }
      }
      if (!Weighted) m = static_cast<double>(y.size());
      const double parent = Weighted ? criterion.weighted_impurity(y, yw) : criterion.impurity(y);
      if constexpr (std::is_same_v<Target, double>) {
        sides.score_fold(y, yw, codes.val[f], threshold, parent, m, scores);
      } else {
        sides.score_fold(y, yw, codes.val[f], threshold, parent, scores);
      }
    }
    return finish_candidates(codes.states, scores, node.folds.size(), feature, node.aggregator);
  };
  std::vector<ScoredCandidate> out = score_states();
  if (codes.categories.empty() || !codes.missing) return out;
  // Category cuts from the high end of the order too.
  detail::turn_cuts(node, column, codes);
  scores = empty_score_lists(n_states, node.folds.size());
  for (ScoredCandidate& c : score_states())
    out.push_back(std::move(c));
  return out;
}

}  // namespace

template <class Target>
std::vector<ScoredCandidate> score_impurity(const Criterion<Target>& criterion, size_t n_classes,
                                            const StrictNode<Target>& node, size_t feature) {
  return node.weights.empty() ? score_impurity_with<false>(criterion, n_classes, node, feature)
                              : score_impurity_with<true>(criterion, n_classes, node, feature);
}

template std::vector<ScoredCandidate> score_impurity(const Criterion<double>&, size_t,
                                                     const StrictNode<double>&, size_t);
template std::vector<ScoredCandidate> score_impurity(const Criterion<size_t>&, size_t,
                                                     const StrictNode<size_t>&, size_t);

}  // namespace zelk
