#include "core/histogram/objective.hpp"

#include <algorithm>
#include <type_traits>

#include "core/binning.hpp"
#include "core/histogram/candidates.hpp"

namespace zelk {

using detail::emit;

namespace {

// One fold's validation part and training part with their left sides, for one candidate: the
// gain of the objective when each side predicts its training majority on the validation part,
// over the training majority everywhere.
template <bool Weighted>
struct FoldSides {
  using Count = std::conditional_t<Weighted, double, uint64_t>;

  explicit FoldSides(size_t n_classes)
      : val(n_classes),
        left_val(n_classes),
        right_val(n_classes),
        train(n_classes),
        left_train(n_classes),
        right_train(n_classes) {}

  // Differences of weights summed in other orders, kept from rounding below zero.
  static Count difference(Count x, Count y) {
    if constexpr (Weighted) {
      return std::max(x - y, 0.0);
    } else {
      return x - y;
    }
  }

  double gain(const ClassObjective& objective) {
    const size_t n_classes = val.size();
    for (size_t c = 0; c < n_classes; ++c) {
      right_val[c] = difference(val[c], left_val[c]);
      right_train[c] = difference(train[c], left_train[c]);
    }
    auto split = BasicConfusion<Count>::zero(n_classes);
    split.add_group(majority_class(std::span<const Count>(left_train)), left_val);
    split.add_group(majority_class(std::span<const Count>(right_train)), right_val);
    auto baseline = BasicConfusion<Count>::zero(n_classes);
    baseline.add_group(majority_class(std::span<const Count>(train)), val);
    return objective.score(split) - objective.score(baseline);
  }

  std::vector<Count> val, left_val, right_val, train, left_train, right_train;
};

// The objective's fold scores of one feature: class tallies per (fold, bin, class) - counts, or
// weighted class weights - with the rows per (fold, bin) beside them to tell whether a side is
// empty; each fold's sides predict their training majorities on weighted or plain confusion
// tables.
template <bool Weighted>
std::vector<ScoredCandidate> score_objective(const ClassObjective& objective, size_t n_classes,
                                             std::span<const uint16_t> codes,
                                             std::span<const size_t> labels, const RowsView& folds,
                                             size_t n_bins, size_t feature,
                                             const Aggregator& aggregator, bool threshold) {
  using Count = std::conditional_t<Weighted, double, uint64_t>;
  std::vector<ScoredCandidate> out;
  const size_t n_folds = folds.n_folds;
  // h: (fold, bin, class), f: (fold, class), b: (bin, class) over folds, a: class over all;
  // the same as rows without the class: hr, fr, br, ar.
  std::vector<Count> h(n_folds * n_bins * n_classes, 0);
  std::vector<Count> f(n_folds * n_classes, 0);
  std::vector<uint64_t> hr(n_folds * n_bins, 0), fr(n_folds, 0), br(n_bins, 0);
  uint64_t ar = 0;
  const size_t n_rows = folds.rows.size();
  for (size_t j = 0; j < n_rows; ++j) {
    const uint32_t s = folds.rows[j];
    const uint16_t bin = codes[s];
    const size_t c = labels[s];
    if (bin == kMissingBin || bin >= n_bins || c >= n_classes) continue;
    const size_t m = folds.fold[j];
    h[(m * n_bins + bin) * n_classes + c] += Weighted ? folds.w[j] : 1;
    ++hr[m * n_bins + bin];
  }
  std::vector<Count> b(n_bins * n_classes, 0);
  std::vector<Count> a(n_classes, 0);
  for (size_t m = 0; m < n_folds; ++m) {
    for (size_t bin = 0; bin < n_bins; ++bin) {
      fr[m] += hr[m * n_bins + bin];
      br[bin] += hr[m * n_bins + bin];
      for (size_t c = 0; c < n_classes; ++c) {
        const Count x = h[(m * n_bins + bin) * n_classes + c];
        f[m * n_classes + c] += x;
        b[bin * n_classes + c] += x;
        a[c] += x;
      }
    }
    ar += fr[m];
  }
  const auto difference = FoldSides<Weighted>::difference;

  // Running left sides over bins 0 .. k: per fold (cl, clr) and over all folds (ca, car).
  std::vector<Count> cl(threshold ? n_folds * n_classes : 0, 0);
  std::vector<Count> ca(threshold ? n_classes : 0, 0);
  std::vector<uint64_t> clr(threshold ? n_folds : 0, 0);
  uint64_t car = 0;
  FoldSides<Weighted> sides(n_classes);
  for (size_t k = 0; k < n_bins; ++k) {
    if (threshold) {
      for (size_t m = 0; m < n_folds; ++m) {
        clr[m] += hr[m * n_bins + k];
        for (size_t c = 0; c < n_classes; ++c)
          cl[m * n_classes + c] += h[(m * n_bins + k) * n_classes + c];
      }
      car += br[k];
      for (size_t c = 0; c < n_classes; ++c)
        ca[c] += b[k * n_classes + c];
    }
    if (threshold && k + 1 == n_bins) break;
    if (br[k] == 0) continue;

    std::vector<double> fold_scores;
    fold_scores.reserve(n_folds);
    for (size_t m = 0; m < n_folds; ++m) {
      const uint64_t rows_left_val = threshold ? clr[m] : hr[m * n_bins + k];
      const uint64_t rows_left_train = threshold ? car - clr[m] : br[k] - hr[m * n_bins + k];
      // Both sides must be seen in the validation fold and learned from the training folds.
      if (fr[m] == 0 || rows_left_val == 0 || rows_left_val == fr[m] || rows_left_train == 0 ||
          rows_left_train == ar - fr[m]) {
        continue;
      }
      for (size_t c = 0; c < n_classes; ++c) {
        const size_t mc = m * n_classes + c;
        const Count in_bin = h[(m * n_bins + k) * n_classes + c];
        sides.val[c] = f[mc];
        sides.left_val[c] = threshold ? cl[mc] : in_bin;
        sides.left_train[c] =
            threshold ? difference(ca[c], cl[mc]) : difference(b[k * n_classes + c], in_bin);
        sides.train[c] = difference(a[c], sides.val[c]);
      }
      fold_scores.push_back(sides.gain(objective));
    }
    emit(out, std::move(fold_scores), n_folds, feature, k, aggregator);
  }
  return out;
}

}  // namespace

std::vector<ScoredCandidate> score_objective_fast(const ClassObjective& objective, size_t n_classes,
                                                  std::span<const uint16_t> codes,
                                                  std::span<const size_t> labels,
                                                  const FoldAssignment& folds, size_t n_bins,
                                                  size_t feature, const Aggregator& aggregator,
                                                  bool threshold) {
  RowsView rows;
  rows.rows = folds.rows;
  rows.fold = folds.fold;
  rows.n_folds = folds.n_folds;
  return score_objective_fast(objective, n_classes, codes, labels, rows, n_bins, feature,
                              aggregator, threshold);
}

std::vector<ScoredCandidate> score_objective_fast(const ClassObjective& objective, size_t n_classes,
                                                  std::span<const uint16_t> codes,
                                                  std::span<const size_t> labels,
                                                  const RowsView& folds, size_t n_bins,
                                                  size_t feature, const Aggregator& aggregator,
                                                  bool threshold) {
  if (folds.n_folds == 0 || n_bins == 0 || n_classes == 0) return {};
  if (!folds.w.empty()) {
    return score_objective<true>(objective, n_classes, codes, labels, folds, n_bins, feature,
                                 aggregator, threshold);
  }
  return score_objective<false>(objective, n_classes, codes, labels, folds, n_bins, feature,
                                aggregator, threshold);
}

}  // namespace zelk
