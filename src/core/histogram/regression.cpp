#include "core/histogram/regression.hpp"

#include <array>
#include <cmath>

#include "core/binning.hpp"
#include "core/histogram/candidates.hpp"

namespace zelk {

using detail::emit;
using detail::grow_and_zero;
using detail::kMaxAssignFolds;
using detail::offer;

namespace {

// Population variance from a count and two sums; rounding can push it below zero and an
// infinite target makes it not a number, both read as no spread.
double variance_from_sums(double sum, double sq_sum, double n) {
  const double mean = sum / n;
  const double v = sq_sum / n - mean * mean;
  return v >= 0.0 ? v : 0.0;
}

// One feature's per-(fold, bin) regression histogram and its per-fold totals. Weighted, the
// sums are of w y and w y y and every cell and fold also has its weight; the counts (of rows,
// all of positive weight) still decide whether a side is empty.
struct RegressionHistogram {
  const uint32_t* counts;
  const double* sums;
  const double* sq_sums;
  const uint64_t* fold_size;
  const double* fold_sums;
  const double* fold_sq_sums;
  size_t n_folds;
  size_t n_bins;
  bool threshold;
  const double* weights = nullptr;       // weighted: per cell
  const double* fold_weights = nullptr;  // weighted: per fold
};

// Enumerates the candidates of the threshold or membership rule in increasing bin order and,
// for each, fills `fold_scores` with the variance-reduction score of every fold that has
// samples on both sides, then calls `on_candidate(k)`. The left_* arrays hold n_folds
// entries, zeroed.
template <bool Weighted = false, class OnCandidate>
void enumerate_regression(const RegressionHistogram& h, uint64_t* left_count, double* left_sum,
                          double* left_sq_sum, std::vector<double>& fold_scores,
                          OnCandidate&& on_candidate, double* left_weight = nullptr) {
  const size_t n_folds = h.n_folds, n_bins = h.n_bins;
  fold_scores.reserve(n_folds);
  for (size_t k = 0; k < n_bins; ++k) {
    uint64_t bin_total = 0;
    for (size_t m = 0; m < n_folds; ++m) {
      const size_t cell = m * n_bins + k;
      bin_total += h.counts[cell];
      if (h.threshold) {
        left_count[m] += h.counts[cell];
        left_sum[m] += h.sums[cell];
        left_sq_sum[m] += h.sq_sums[cell];
        if constexpr (Weighted) left_weight[m] += h.weights[cell];
      }
    }
    if (h.threshold && k + 1 == n_bins) break;  // nothing would remain on the right
    if (bin_total == 0) continue;

    fold_scores.clear();
    for (size_t m = 0; m < n_folds; ++m) {
      const size_t cell = m * n_bins + k;
      const uint64_t n_total = h.fold_size[m];
      const uint64_t n_left = h.threshold ? left_count[m] : h.counts[cell];
      if (n_total == 0 || n_left == 0 || n_left == n_total) continue;
      const double s_left = h.threshold ? left_sum[m] : h.sums[cell];
      const double q_left = h.threshold ? left_sq_sum[m] : h.sq_sums[cell];
      double n = static_cast<double>(n_total);
      double nl = static_cast<double>(n_left);
      double nr = static_cast<double>(n_total - n_left);
      if constexpr (Weighted) {
        n = h.fold_weights[m];
        nl = h.threshold ? left_weight[m] : h.weights[cell];
        nr = n - nl;
      }
      const double s = h.fold_sums[m];
      const double q = h.fold_sq_sums[m];
      const double v = variance_from_sums(s, q, n);
      const double v_left = variance_from_sums(s_left, q_left, nl);
      const double v_right = variance_from_sums(s - s_left, q - q_left, nr);
      fold_scores.push_back(v - (nr * v_right + nl * v_left) / n);
    }
    on_candidate(k);
  }
}

// The targets of the dealt rows in dealt order, and every fold's sum and sum of squares.
void gather_dealt_targets(std::span<const double> targets, const FoldAssignment& folds,
                          std::vector<double>& y, std::vector<double>& fold_sums,
                          std::vector<double>& fold_sq_sums) {
  fold_sums.assign(folds.n_folds, 0.0);
  fold_sq_sums.assign(folds.n_folds, 0.0);
  for (size_t j = 0; j < folds.rows.size(); ++j) {
    const double v = targets[folds.rows[j]];
    y[j] = v;
    fold_sums[folds.fold[j]] += v;
    fold_sq_sums[folds.fold[j]] += v * v;
  }
}

// The histogram of one feature over the node's dealt entries: per cell a row count and the
// sums of y and y y, or weighted (rows all of positive weight) the cell's weight and the sums
// of w y and w y y.
// Category cuts: every fold's cells in the order of its training part (see reorder_fold).
template <bool Weighted>
void order_fold_cells(size_t n_folds, size_t n_bins, uint32_t* counts, double* sums,
                      double* sq_sums, double* weights, FastScratch& scratch) {
  const auto tally_of = [&](size_t m, CategoryTally& tally) {
    for (size_t b = 0; b < n_bins; ++b) {
      const size_t cell = m * n_bins + b;
      const double w = Weighted ? weights[cell] : static_cast<double>(counts[cell]);
      tally.add_totals(b, counts[cell], w, std::span<const double>(&sums[cell], 1));
    }
  };
  CategoryTally node(n_bins, 0), fold(n_bins, 0);
  for (size_t m = 0; m < n_folds; ++m)
    tally_of(m, node);
  std::vector<uint32_t>& held_counts = scratch.cut_counts;
  std::vector<double>& held = scratch.cut_cells;
  for (size_t m = 0; m < n_folds; ++m) {
    fold.clear();
    tally_of(m, fold);
    uint32_t* c = counts + m * n_bins;
    double* s = sums + m * n_bins;
    double* q = sq_sums + m * n_bins;
    double* w = Weighted ? weights + m * n_bins : nullptr;
    held_counts.assign(c, c + n_bins);
    held.assign(s, s + n_bins);
    held.insert(held.end(), q, q + n_bins);
    if constexpr (Weighted) held.insert(held.end(), w, w + n_bins);
    detail::reorder_fold(
        node, fold, scratch.cut_rank,
        [&](size_t from, size_t to) {
          c[to] = held_counts[from];
          s[to] = held[from];
          q[to] = held[n_bins + from];
          if constexpr (Weighted) w[to] = held[2 * n_bins + from];
        },
        [&](size_t at) {
          c[at] = 0;
          s[at] = q[at] = 0.0;
          if constexpr (Weighted) w[at] = 0.0;
        });
  }
}

// The fold totals of a filled histogram and its candidates enumerated; under category cuts a
// fold keeps only the categories it ranks, whose cells then hold its totals.
template <bool Weighted, class OnCandidate>
void enumerate_cells(const RowsView& rows, const uint16_t* code, size_t n_bins, uint32_t* counts,
                     double* sums, double* sq_sums, double* weights, FastScratch& scratch,
                     bool threshold, bool cuts, OnCandidate&& on_candidate) {
  const size_t n_folds = rows.n_folds;
  const size_t n_rows = rows.rows.size();
  const uint8_t* const fd = rows.fold.data();
  const double* const y = rows.y.data();
  const double* const w = rows.w.data();
  std::array<uint64_t, kMaxAssignFolds> fold_size{};
  uint64_t seen = 0;
  for (size_t m = 0; m < n_folds; ++m) {
    for (size_t b = 0; b < n_bins; ++b)
      fold_size[m] += counts[m * n_bins + b];
    seen += fold_size[m];
  }
  // The node's fold sums cover every entry; a feature with missing codes sums its own.
  const double* fold_sums = rows.fold_sums.data();
  const double* fold_sq_sums = rows.fold_sq_sums.data();
  const double* fold_weights = rows.fold_weights.data();
  if (seen != n_rows) {
    grow_and_zero(scratch.fold_sums, n_folds);
    grow_and_zero(scratch.fold_sq_sums, n_folds);
    if constexpr (Weighted) grow_and_zero(scratch.fold_weights, n_folds);
    double* const own_sums = scratch.fold_sums.data();
    double* const own_sq_sums = scratch.fold_sq_sums.data();
    double* const own_weights = Weighted ? scratch.fold_weights.data() : nullptr;
    for (size_t cell = 0; cuts && cell < n_folds * n_bins; ++cell) {
      own_sums[cell / n_bins] += sums[cell];
      own_sq_sums[cell / n_bins] += sq_sums[cell];
      if constexpr (Weighted) own_weights[cell / n_bins] += weights[cell];
    }
    for (size_t j = 0; !cuts && j < n_rows; ++j) {
      if (code[j] >= n_bins) continue;
      if constexpr (Weighted) {
        const double wv = w[j] * y[j];
        own_sums[fd[j]] += wv;
        own_sq_sums[fd[j]] += wv * y[j];
        own_weights[fd[j]] += w[j];
      } else {
        const double v = y[j];
        own_sums[fd[j]] += v;
        own_sq_sums[fd[j]] += v * v;
      }
    }
    fold_sums = own_sums;
    fold_sq_sums = own_sq_sums;
    fold_weights = own_weights;
  }

  std::array<uint64_t, kMaxAssignFolds> left_count{};
  std::array<double, kMaxAssignFolds> left_sum{};
  std::array<double, kMaxAssignFolds> left_sq_sum{};
  std::array<double, kMaxAssignFolds> left_weight{};
  RegressionHistogram h{counts,       sums,    sq_sums, fold_size.data(), fold_sums,
                        fold_sq_sums, n_folds, n_bins,  threshold};
  h.weights = weights;
  h.fold_weights = fold_weights;
  enumerate_regression<Weighted>(h, left_count.data(), left_sum.data(), left_sq_sum.data(),
                                 scratch.fold_scores, on_candidate, left_weight.data());
}

template <bool Weighted, class OnCandidate>
void regression_candidates(const RowsView& rows, std::span<const uint16_t> codes, size_t n_bins,
                           FastScratch& scratch, bool threshold, bool cuts,
                           OnCandidate&& on_candidate) {
  const size_t n_folds = rows.n_folds;
  const size_t cells = n_folds * n_bins;
  grow_and_zero(scratch.bin_counts, cells);
  grow_and_zero(scratch.bin_sums, cells);
  grow_and_zero(scratch.bin_sq_sums, cells);
  if constexpr (Weighted) grow_and_zero(scratch.bin_weights, cells);
  uint32_t* const counts = scratch.bin_counts.data();
  double* const sums = scratch.bin_sums.data();
  double* const sq_sums = scratch.bin_sq_sums.data();
  double* const weights = Weighted ? scratch.bin_weights.data() : nullptr;

  const size_t n_rows = rows.rows.size();
  const uint8_t* const fd = rows.fold.data();
  const double* const y = rows.y.data();
  const double* const w = rows.w.data();
  const uint16_t* const code = detail::gather_codes(codes, rows.rows, scratch);
  for (size_t j = 0; j < n_rows; ++j) {
    const size_t b = code[j];
    if (b >= n_bins) continue;  // also the missing code, which is at least every n_bins
    const size_t cell = fd[j] * n_bins + b;
    counts[cell] += 1;
    if constexpr (Weighted) {
      const double wv = w[j] * y[j];
      weights[cell] += w[j];
      sums[cell] += wv;
      sq_sums[cell] += wv * y[j];
    } else {
      const double v = y[j];
      sums[cell] += v;
      sq_sums[cell] += v * v;
    }
  }

  if (!cuts)
    return enumerate_cells<Weighted>(rows, code, n_bins, counts, sums, sq_sums, weights, scratch,
                                     threshold, false, on_candidate);
  // Category cuts: every fold's cells in its own order. Missing values play no part in these
  // scores, so the cuts from the high end of an order would score as those from its low end.
  order_fold_cells<Weighted>(n_folds, n_bins, counts, sums, sq_sums, weights, scratch);
  enumerate_cells<Weighted>(rows, code, n_bins, counts, sums, sq_sums, weights, scratch, threshold,
                            true, on_candidate);
}

}  // namespace

void best_regression_fast(const RowsView& rows, std::span<const uint16_t> codes, size_t n_bins,
                          size_t feature, const Aggregator& aggregator,
                          const NodeAdmission& admission, FastScratch& scratch, bool threshold,
                          bool cuts, BestSplit& best) {
  if (rows.n_folds == 0 || n_bins == 0) return;
  const bool judged = admission.reads_values();
  detail::BinSides sides;
  if (judged) {
    const auto y = [&](size_t j) { return rows.y[j]; };
    std::vector<uint32_t> rank;
    if (cuts) detail::order_bins(rows, codes, n_bins, 0, rank, y);
    sides.fill(rows, codes, n_bins, scratch.bin_sides, y, rank);
  }
  const auto on_candidate = [&](size_t k) {
    if (judged && !admission.admits(feature, threshold, sides.left(k, threshold),
                                    sides.right(k, threshold))) {
      return;
    }
    offer(best, scratch, rows.n_folds, feature, k, aggregator);
  };
  if (rows.w.empty()) {
    regression_candidates<false>(rows, codes, n_bins, scratch, threshold, cuts, on_candidate);
  } else {
    regression_candidates<true>(rows, codes, n_bins, scratch, threshold, cuts, on_candidate);
  }
}

std::vector<ScoredCandidate> score_regression_fast(std::span<const uint16_t> codes,
                                                   std::span<const double> targets,
                                                   const FoldAssignment& folds, size_t n_bins,
                                                   size_t feature, const Aggregator& aggregator,
                                                   FastScratch& scratch, bool threshold) {
  std::vector<ScoredCandidate> out;
  if (folds.n_folds == 0 || n_bins == 0) return out;
  // The node view of the dealing: targets and every fold's sums in dealt order.
  std::vector<double> y(folds.rows.size()), fold_sums, fold_sq_sums;
  gather_dealt_targets(targets, folds, y, fold_sums, fold_sq_sums);
  RowsView rows;
  rows.rows = folds.rows;
  rows.fold = folds.fold;
  rows.n_folds = folds.n_folds;
  rows.y = y;
  rows.fold_sums = fold_sums;
  rows.fold_sq_sums = fold_sq_sums;
  regression_candidates<false>(rows, codes, n_bins, scratch, threshold, false, [&](size_t k) {
    emit(out, scratch.fold_scores, folds.n_folds, feature, k, aggregator);
  });
  return out;
}

}  // namespace zelk
