#include "core/histogram/classification.hpp"

#include "core/binning.hpp"
#include "core/criterion.hpp"
#include "core/histogram/candidates.hpp"

namespace zelk {

using detail::emit;
using detail::grow_and_zero;
using detail::offer;

namespace {

// One feature's per-(fold, bin, class) counts and its per-(fold, class) totals.
template <class FoldCount>
struct ClassHistogram {
  const uint32_t* class_counts;
  const FoldCount* fold_class;
  size_t n_folds;
  size_t n_bins;
  size_t n_classes;
  bool threshold;
  bool entropy;
};

// Enumerates the candidates like enumerate_regression, scoring each fold by the decrease of
// gini or entropy. `work` holds n_folds * n_classes zeroed running left counts followed by
// room for one fold's parent, left and right counts (3 * n_classes).
template <class FoldCount, class OnCandidate>
void enumerate_classification(const ClassHistogram<FoldCount>& h, uint64_t* work,
                              std::vector<double>& fold_scores, OnCandidate&& on_candidate) {
  const size_t n_folds = h.n_folds, n_bins = h.n_bins, n_classes = h.n_classes;
  uint64_t* const running_left = work;
  uint64_t* const parent = running_left + n_folds * n_classes;
  uint64_t* const left = parent + n_classes;
  uint64_t* const right = left + n_classes;
  const auto impurity = [&h, n_classes](const uint64_t* counts, uint64_t total) {
    const std::span<const uint64_t> c(counts, n_classes);
    return h.entropy ? entropy_from_counts<uint64_t>(c, total)
                     : gini_from_counts<uint64_t>(c, total);
  };
  fold_scores.reserve(n_folds);
  for (size_t k = 0; k < n_bins; ++k) {
    uint64_t bin_total = 0;
    for (size_t m = 0; m < n_folds; ++m) {
      const size_t cell = m * n_bins + k;
      for (size_t c = 0; c < n_classes; ++c) {
        const uint32_t x = h.class_counts[cell * n_classes + c];
        bin_total += x;
        if (h.threshold) running_left[m * n_classes + c] += x;
      }
    }
    if (h.threshold && k + 1 == n_bins) break;  // nothing would remain on the right
    if (bin_total == 0) continue;

    fold_scores.clear();
    for (size_t m = 0; m < n_folds; ++m) {
      const size_t cell = m * n_bins + k;
      uint64_t n_total = 0;
      uint64_t n_left = 0;
      for (size_t c = 0; c < n_classes; ++c) {
        parent[c] = h.fold_class[m * n_classes + c];
        left[c] =
            h.threshold ? running_left[m * n_classes + c] : h.class_counts[cell * n_classes + c];
        right[c] = parent[c] - left[c];
        n_total += parent[c];
        n_left += left[c];
      }
      if (n_total == 0 || n_left == 0 || n_left == n_total) continue;
      const uint64_t n_right = n_total - n_left;
      const double i_parent = impurity(parent, n_total);
      const double i_left = impurity(left, n_left);
      const double i_right = impurity(right, n_right);
      const double n = static_cast<double>(n_total);
      const double nl = static_cast<double>(n_left);
      const double nr = static_cast<double>(n_right);
      fold_scores.push_back(i_parent - (nr * i_right + nl * i_left) / n);
    }
    on_candidate(k);
  }
}

}  // namespace

std::vector<ScoredCandidate> score_classification_fast(size_t n_classes, bool entropy,
                                                       std::span<const uint16_t> codes,
                                                       std::span<const size_t> labels,
                                                       const FoldAssignment& folds, size_t n_bins,
                                                       size_t feature, const Aggregator& aggregator,
                                                       FastScratch& scratch, bool threshold) {
  std::vector<ScoredCandidate> out;
  const size_t n_folds = folds.n_folds;
  if (n_folds == 0 || n_bins == 0 || n_classes == 0) return out;

  const size_t cells = n_folds * n_bins;
  grow_and_zero(scratch.class_counts, cells * n_classes);
  grow_and_zero(scratch.fold_class_counts, n_folds * n_classes);
  grow_and_zero(scratch.bin_counts, cells);
  uint32_t* const class_counts = scratch.class_counts.data();
  uint32_t* const fold_class_counts = scratch.fold_class_counts.data();
  uint32_t* const bin_counts = scratch.bin_counts.data();

  const size_t n_rows = folds.rows.size();
  for (size_t j = 0; j < n_rows; ++j) {
    const uint32_t s = folds.rows[j];
    const uint16_t b = codes[s];
    const size_t c = labels[s];
    if (b == kMissingBin || b >= n_bins || c >= n_classes) continue;
    const size_t m = folds.fold[j];
    const size_t cell = m * n_bins + b;
    class_counts[cell * n_classes + c] += 1;
    fold_class_counts[m * n_classes + c] += 1;
    bin_counts[cell] += 1;
  }

  std::vector<uint64_t> sides(n_folds * n_classes + 3 * n_classes, 0);
  std::vector<double> fold_scores;
  enumerate_classification(ClassHistogram<uint32_t>{class_counts, fold_class_counts, n_folds,
                                                    n_bins, n_classes, threshold, entropy},
                           sides.data(), fold_scores, [&](size_t k) {
                             emit(out, fold_scores, n_folds, feature, k, aggregator);
                           });
  return out;
}

namespace {

// The weighted histogram: class weights per (fold, bin, class) and the rows (all of positive
// weight, labels below n_classes) per (fold, bin), which decide whether a side is empty; each
// fold is scored like the unweighted one with weights for counts.
void best_weighted_classification(const RowsView& rows, bool entropy,
                                  std::span<const uint16_t> codes, size_t n_bins, size_t feature,
                                  const Aggregator& aggregator, FastScratch& scratch,
                                  bool threshold, BestSplit& best) {
  const size_t n_folds = rows.n_folds;
  const size_t n_classes = rows.n_classes;
  const size_t cells = n_folds * n_bins;
  grow_and_zero(scratch.class_weights, cells * n_classes);
  grow_and_zero(scratch.bin_counts, cells);
  double* const class_weights = scratch.class_weights.data();
  uint32_t* const bin_rows = scratch.bin_counts.data();
  const size_t n_rows = rows.rows.size();
  const uint8_t* const fd = rows.fold.data();
  const uint32_t* const label = rows.label.data();
  const double* const w = rows.w.data();
  const uint16_t* const code = detail::gather_codes(codes, rows.rows, scratch);
  for (size_t j = 0; j < n_rows; ++j) {
    const size_t b = code[j];
    const size_t c = label[j];
    if (b >= n_bins || c >= n_classes) continue;
    const size_t cell = fd[j] * n_bins + b;
    class_weights[cell * n_classes + c] += w[j];
    bin_rows[cell] += 1;
  }

  // Per fold: class weights and rows; the running left side's; one fold's three sides.
  const size_t fc = n_folds * n_classes;
  grow_and_zero(scratch.fold_weights, 2 * fc + 3 * n_classes);
  grow_and_zero(scratch.wide, 2 * n_folds);
  double* const fold_class = scratch.fold_weights.data();
  double* const running_left = fold_class + fc;
  double* const parent = running_left + fc;
  double* const left = parent + n_classes;
  double* const right = left + n_classes;
  uint64_t* const fold_rows = scratch.wide.data();
  uint64_t* const running_rows = fold_rows + n_folds;
  for (size_t m = 0; m < n_folds; ++m) {
    for (size_t b = 0; b < n_bins; ++b) {
      fold_rows[m] += bin_rows[m * n_bins + b];
      for (size_t c = 0; c < n_classes; ++c)
        fold_class[m * n_classes + c] += class_weights[(m * n_bins + b) * n_classes + c];
    }
  }
  const auto impurity = [entropy, n_classes](const double* weights, double total) {
    const std::span<const double> c(weights, n_classes);
    return entropy ? entropy_from_weights(c, total) : gini_from_weights(c, total);
  };
  std::vector<double>& fold_scores = scratch.fold_scores;
  fold_scores.reserve(n_folds);
  for (size_t k = 0; k < n_bins; ++k) {
    uint64_t bin_total = 0;
    for (size_t m = 0; m < n_folds; ++m) {
      const size_t cell = m * n_bins + k;
      bin_total += bin_rows[cell];
      if (!threshold) continue;
      running_rows[m] += bin_rows[cell];
      for (size_t c = 0; c < n_classes; ++c)
        running_left[m * n_classes + c] += class_weights[cell * n_classes + c];
    }
    if (threshold && k + 1 == n_bins) break;  // nothing would remain on the right
    if (bin_total == 0) continue;

    fold_scores.clear();
    for (size_t m = 0; m < n_folds; ++m) {
      const size_t cell = m * n_bins + k;
      const uint64_t rows_left = threshold ? running_rows[m] : bin_rows[cell];
      if (fold_rows[m] == 0 || rows_left == 0 || rows_left == fold_rows[m]) continue;
      double n = 0.0, nl = 0.0, nr = 0.0;
      for (size_t c = 0; c < n_classes; ++c) {
        parent[c] = fold_class[m * n_classes + c];
        left[c] = threshold ? running_left[m * n_classes + c] : class_weights[cell * n_classes + c];
        right[c] = parent[c] - left[c];
        n += parent[c];
        nl += left[c];
        nr += right[c];
      }
      fold_scores.push_back(impurity(parent, n) -
                            (nr * impurity(right, nr) + nl * impurity(left, nl)) / n);
    }
    offer(best, scratch, n_folds, feature, k, aggregator);
  }
}

}  // namespace

void best_classification_fast(const RowsView& rows, bool entropy, std::span<const uint16_t> codes,
                              size_t n_bins, size_t feature, const Aggregator& aggregator,
                              FastScratch& scratch, bool threshold, BestSplit& best) {
  const size_t n_folds = rows.n_folds;
  const size_t n_classes = rows.n_classes;
  if (n_folds == 0 || n_bins == 0 || n_classes == 0) return;
  if (!rows.w.empty()) {
    best_weighted_classification(rows, entropy, codes, n_bins, feature, aggregator, scratch,
                                 threshold, best);
    return;
  }

  const size_t cells = n_folds * n_bins;
  grow_and_zero(scratch.class_counts, cells * n_classes);
  uint32_t* const class_counts = scratch.class_counts.data();

  const size_t n_rows = rows.rows.size();
  const uint8_t* const fd = rows.fold.data();
  const uint32_t* const label = rows.label.data();
  const uint16_t* const code = detail::gather_codes(codes, rows.rows, scratch);
  for (size_t j = 0; j < n_rows; ++j) {
    const size_t b = code[j];
    const size_t c = label[j];
    if (b >= n_bins || c >= n_classes) continue;
    class_counts[(fd[j] * n_bins + b) * n_classes + c] += 1;
  }

  // Per-fold class totals, the running left side and one fold's three sides, all counts.
  const size_t fc = n_folds * n_classes;
  grow_and_zero(scratch.wide, 2 * fc + 3 * n_classes);
  uint64_t* const fold_class = scratch.wide.data();
  uint64_t* const running_left = fold_class + fc;  // then room for one fold's three sides
  for (size_t m = 0; m < n_folds; ++m) {
    for (size_t b = 0; b < n_bins; ++b) {
      for (size_t c = 0; c < n_classes; ++c)
        fold_class[m * n_classes + c] += class_counts[(m * n_bins + b) * n_classes + c];
    }
  }

  enumerate_classification(ClassHistogram<uint64_t>{class_counts, fold_class, n_folds, n_bins,
                                                    n_classes, threshold, entropy},
                           running_left, scratch.fold_scores, [&](size_t k) {
                             offer(best, scratch, n_folds, feature, k, aggregator);
                           });
}

}  // namespace zelk
