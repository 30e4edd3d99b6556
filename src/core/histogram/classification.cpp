#include "core/histogram/classification.hpp"

#include <type_traits>

#include "core/binning.hpp"
#include "core/criterion.hpp"
#include "core/histogram/candidates.hpp"

namespace zelk {

using detail::emit;
using detail::grow_and_zero;
using detail::offer;

namespace {

// One feature's per-(fold, bin, class) tallies and its per-(fold, class) totals. Unweighted,
// the tallies are counts, which also tell whether a side is empty; weighted, they are class
// weights, and the rows per (fold, bin) and per fold tell it.
template <bool Weighted>
struct ClassHistogram {
  using Cell = std::conditional_t<Weighted, double, uint32_t>;
  using Total = std::conditional_t<Weighted, double, uint64_t>;

  const Cell* cells;                    // (fold, bin, class)
  const Total* fold_class;              // (fold, class)
  const uint32_t* bin_rows = nullptr;   // weighted: (fold, bin)
  const uint64_t* fold_rows = nullptr;  // weighted: per fold
  size_t n_folds;
  size_t n_bins;
  size_t n_classes;
  bool threshold;
  bool entropy;
};

// Enumerates the candidates of the threshold or membership rule in increasing bin order and,
// for each, fills `fold_scores` with the gini or entropy decrease of every fold that has rows
// on both sides, then calls `on_candidate(k)`. `work` holds n_folds * n_classes zeroed running
// left tallies followed by room for one fold's parent, left and right tallies (3 * n_classes);
// weighted, `running_rows` holds n_folds zeroed running left rows.
template <bool Weighted, class OnCandidate>
void enumerate_classification(const ClassHistogram<Weighted>& h,
                              typename ClassHistogram<Weighted>::Total* work,
                              uint64_t* running_rows, std::vector<double>& fold_scores,
                              OnCandidate&& on_candidate) {
  using Total = typename ClassHistogram<Weighted>::Total;
  const size_t n_folds = h.n_folds, n_bins = h.n_bins, n_classes = h.n_classes;
  Total* const running_left = work;
  Total* const parent = running_left + n_folds * n_classes;
  Total* const left = parent + n_classes;
  Total* const right = left + n_classes;
  const auto impurity = [&h, n_classes](const Total* tallies, Total total) {
    const std::span<const Total> c(tallies, n_classes);
    if constexpr (Weighted) {
      return h.entropy ? entropy_from_weights(c, total) : gini_from_weights(c, total);
    } else {
      return h.entropy ? entropy_from_counts<uint64_t>(c, total)
                       : gini_from_counts<uint64_t>(c, total);
    }
  };
  fold_scores.reserve(n_folds);
  for (size_t k = 0; k < n_bins; ++k) {
    uint64_t bin_total = 0;
    for (size_t m = 0; m < n_folds; ++m) {
      const size_t cell = m * n_bins + k;
      if constexpr (Weighted) {
        bin_total += h.bin_rows[cell];
        if (!h.threshold) continue;
        running_rows[m] += h.bin_rows[cell];
        for (size_t c = 0; c < n_classes; ++c)
          running_left[m * n_classes + c] += h.cells[cell * n_classes + c];
      } else {
        for (size_t c = 0; c < n_classes; ++c) {
          const uint32_t x = h.cells[cell * n_classes + c];
          bin_total += x;
          if (h.threshold) running_left[m * n_classes + c] += x;
        }
      }
    }
    if (h.threshold && k + 1 == n_bins) break;  // nothing would remain on the right
    if (bin_total == 0) continue;

    fold_scores.clear();
    for (size_t m = 0; m < n_folds; ++m) {
      const size_t cell = m * n_bins + k;
      if constexpr (Weighted) {
        const uint64_t rows_left = h.threshold ? running_rows[m] : h.bin_rows[cell];
        if (h.fold_rows[m] == 0 || rows_left == 0 || rows_left == h.fold_rows[m]) continue;
      }
      Total n = 0, nl = 0, nr = 0;
      for (size_t c = 0; c < n_classes; ++c) {
        parent[c] = h.fold_class[m * n_classes + c];
        left[c] = h.threshold ? running_left[m * n_classes + c] : h.cells[cell * n_classes + c];
        right[c] = parent[c] - left[c];
        n += parent[c];
        nl += left[c];
        if constexpr (Weighted) nr += right[c];
      }
      if constexpr (!Weighted) {
        if (n == 0 || nl == 0 || nl == n) continue;
        nr = n - nl;
      }
      const double dn = static_cast<double>(n);
      const double dl = static_cast<double>(nl);
      const double dr = static_cast<double>(nr);
      fold_scores.push_back(impurity(parent, n) -
                            (dr * impurity(right, nr) + dl * impurity(left, nl)) / dn);
    }
    on_candidate(k);
  }
}

// Category cuts: every fold's cells in the order of its training part (see reorder_fold).
template <class Cell>
void order_fold_cells(size_t n_folds, size_t n_bins, size_t n_classes, Cell* cells,
                      uint32_t* bin_rows, FastScratch& scratch) {
  CategoryTally node(n_bins, n_classes), fold(n_bins, n_classes);
  std::vector<double> sums;
  const auto tally_of = [&](size_t m, CategoryTally& tally) {
    for (size_t b = 0; b < n_bins; ++b) {
      const Cell* cell = &cells[(m * n_bins + b) * n_classes];
      double weight = 0.0;
      uint64_t rows = 0;
      for (size_t c = 0; c < n_classes; ++c) {
        weight += static_cast<double>(cell[c]);
        rows += static_cast<uint64_t>(cell[c]);
      }
      if (bin_rows != nullptr) rows = bin_rows[m * n_bins + b];
      if (tally.width() == 1) {
        sums.assign(1, n_classes > 1 ? static_cast<double>(cell[1]) : 0.0);
      } else {
        sums.assign(cell, cell + n_classes);
      }
      tally.add_totals(b, rows, weight, sums);
    }
  };
  for (size_t m = 0; m < n_folds; ++m)
    tally_of(m, node);
  std::vector<double>& held = scratch.cut_cells;
  std::vector<uint32_t>& held_rows = scratch.cut_counts;
  for (size_t m = 0; m < n_folds; ++m) {
    fold.clear();
    tally_of(m, fold);
    Cell* c = cells + m * n_bins * n_classes;
    uint32_t* r = bin_rows != nullptr ? bin_rows + m * n_bins : nullptr;
    held.assign(c, c + n_bins * n_classes);
    if (r != nullptr) held_rows.assign(r, r + n_bins);
    detail::reorder_fold(
        node, fold, scratch.cut_rank,
        [&](size_t from, size_t to) {
          for (size_t k = 0; k < n_classes; ++k)
            c[to * n_classes + k] = static_cast<Cell>(held[from * n_classes + k]);
          if (r != nullptr) r[to] = held_rows[from];
        },
        [&](size_t at) {
          std::fill_n(c + at * n_classes, n_classes, Cell{0});
          if (r != nullptr) r[at] = 0;
        });
  }
}

// The fold totals of a filled histogram and its candidates enumerated.
template <bool Weighted, class OnCandidate>
void enumerate_cells(const RowsView& rows, size_t n_bins,
                     typename ClassHistogram<Weighted>::Cell* class_cells, uint32_t* bin_rows,
                     bool entropy, FastScratch& scratch, bool threshold,
                     OnCandidate&& on_candidate) {
  using H = ClassHistogram<Weighted>;
  const size_t n_folds = rows.n_folds;
  const size_t n_classes = rows.n_classes;
  // Per-fold class totals (and rows), the running left side and one fold's three sides.
  const size_t fc = n_folds * n_classes;
  typename H::Total* fold_class = nullptr;
  uint64_t* fold_rows = nullptr;
  if constexpr (Weighted) {
    grow_and_zero(scratch.fold_weights, 2 * fc + 3 * n_classes);
    grow_and_zero(scratch.wide, 2 * n_folds);
    fold_class = scratch.fold_weights.data();
    fold_rows = scratch.wide.data();
  } else {
    grow_and_zero(scratch.wide, 2 * fc + 3 * n_classes);
    fold_class = scratch.wide.data();
  }
  for (size_t m = 0; m < n_folds; ++m) {
    for (size_t b = 0; b < n_bins; ++b) {
      if constexpr (Weighted) fold_rows[m] += bin_rows[m * n_bins + b];
      for (size_t c = 0; c < n_classes; ++c)
        fold_class[m * n_classes + c] += class_cells[(m * n_bins + b) * n_classes + c];
    }
  }
  const H h{class_cells, fold_class, bin_rows,  fold_rows, n_folds,
            n_bins,      n_classes,  threshold, entropy};
  enumerate_classification(h, fold_class + fc, Weighted ? fold_rows + n_folds : nullptr,
                           scratch.fold_scores, on_candidate);
}

// The histogram of one feature over the node's dealt entries: class counts per (fold, bin,
// class), or weighted (rows all of positive weight, labels below n_classes) class weights and
// the rows per (fold, bin); then every candidate enumerated.
template <bool Weighted, class OnCandidate>
void class_candidates(const RowsView& rows, bool entropy, std::span<const uint16_t> codes,
                      size_t n_bins, FastScratch& scratch, bool threshold, bool cuts,
                      OnCandidate&& on_candidate) {
  using H = ClassHistogram<Weighted>;
  const size_t n_folds = rows.n_folds;
  const size_t n_classes = rows.n_classes;
  const size_t cells = n_folds * n_bins;
  typename H::Cell* class_cells = nullptr;
  uint32_t* bin_rows = nullptr;
  if constexpr (Weighted) {
    grow_and_zero(scratch.class_weights, cells * n_classes);
    grow_and_zero(scratch.bin_counts, cells);
    class_cells = scratch.class_weights.data();
    bin_rows = scratch.bin_counts.data();
  } else {
    grow_and_zero(scratch.class_counts, cells * n_classes);
    class_cells = scratch.class_counts.data();
  }
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
    if constexpr (Weighted) {
      class_cells[cell * n_classes + c] += w[j];
      bin_rows[cell] += 1;
    } else {
      class_cells[cell * n_classes + c] += 1;
    }
  }

  if (!cuts) {
    return enumerate_cells<Weighted>(rows, n_bins, class_cells, bin_rows, entropy, scratch,
                                     threshold, on_candidate);
  }
  // Category cuts: every fold's cells in its own order. Missing values play no part in these
  // scores, so the cuts from the high end of an order would score as those from its low end.
  order_fold_cells(n_folds, n_bins, n_classes, class_cells, bin_rows, scratch);
  enumerate_cells<Weighted>(rows, n_bins, class_cells, bin_rows, entropy, scratch, threshold,
                            on_candidate);
}

}  // namespace

void best_classification_fast(const RowsView& rows, CriterionKind criterion,
                              std::span<const uint16_t> codes, size_t n_bins, size_t feature,
                              const Aggregator& aggregator, const NodeAdmission& admission,
                              FastScratch& scratch, bool threshold, bool cuts, BestSplit& best) {
  if (rows.n_folds == 0 || n_bins == 0 || rows.n_classes == 0) return;
  const bool entropy = criterion == CriterionKind::Entropy;
  const bool judged = admission.reads_values();
  detail::BinSides sides;
  if (judged) {
    std::vector<uint32_t> rank;
    if (cuts) {
      detail::order_bins(rows, codes, n_bins, rows.n_classes, rank,
                         [&](size_t j) { return static_cast<size_t>(rows.label[j]); });
    }
    sides.fill(
        rows, codes, n_bins, scratch.bin_sides,
        [&](size_t j) { return rows.label[j] == 1 ? 1.0 : 0.0; }, rank);
  }
  const auto on_candidate = [&](size_t k) {
    if (judged && !admission.admits(feature, threshold, sides.left(k, threshold),
                                    sides.right(k, threshold))) {
      return;
    }
    offer(best, scratch, rows.n_folds, feature, k, aggregator);
  };
  if (rows.w.empty()) {
    class_candidates<false>(rows, entropy, codes, n_bins, scratch, threshold, cuts, on_candidate);
  } else {
    class_candidates<true>(rows, entropy, codes, n_bins, scratch, threshold, cuts, on_candidate);
  }
}

std::vector<ScoredCandidate> score_classification_fast(size_t n_classes, CriterionKind criterion,
                                                       std::span<const uint16_t> codes,
                                                       std::span<const size_t> labels,
                                                       const FoldAssignment& folds, size_t n_bins,
                                                       size_t feature, const Aggregator& aggregator,
                                                       FastScratch& scratch, bool threshold) {
  std::vector<ScoredCandidate> out;
  if (folds.n_folds == 0 || n_bins == 0 || n_classes == 0) return out;
  // The node view of the dealing: the labels in dealt order.
  std::vector<uint32_t> dealt(folds.rows.size());
  for (size_t j = 0; j < dealt.size(); ++j) {
    const size_t c = labels[folds.rows[j]];
    dealt[j] = static_cast<uint32_t>(c < n_classes ? c : n_classes);
  }
  RowsView rows;
  rows.rows = folds.rows;
  rows.fold = folds.fold;
  rows.n_folds = folds.n_folds;
  rows.label = dealt;
  rows.n_classes = n_classes;
  class_candidates<false>(
      rows, criterion == CriterionKind::Entropy, codes, n_bins, scratch, threshold, false,
      [&](size_t k) { emit(out, scratch.fold_scores, folds.n_folds, feature, k, aggregator); });
  return out;
}

}  // namespace zelk
