#include "core/histogram/held_out.hpp"

#include <algorithm>
#include <type_traits>
#include <vector>

#include "core/binning.hpp"
#include "core/candidate/category_order.hpp"
#include "core/histogram/candidates.hpp"

namespace zelk {

namespace {

using detail::grow_and_zero;

// Fills the table from per-(fold, bin) histograms, bin n_bins holding the rows whose value is
// missing: `row_of(f, b, out)` writes one row. The table's slots are the occupied bins only
// (a bin without rows of the node changes no side); a fold's total is the sum of its bins and
// its missing rows, the node's the sum of its folds. For the node's choice alone the folds'
// training parts are left empty.
template <class RowOf>
void fill_table(SlotTable& table, std::span<const uint32_t> occupied, size_t n_folds, size_t n_bins,
                bool threshold, bool choice_only, RowOf&& row_of) {
  const size_t width = table.width;
  for (size_t f = 0; f < n_folds; ++f) {
    double* total = &table.val_total[f * width];
    for (size_t i = 0; i <= occupied.size(); ++i) {
      double* row = table.val_row(f, i);  // the last of the layer's rows: the missing rows
      row_of(f, i < occupied.size() ? occupied[i] : n_bins, row);
      for (size_t w = 0; w < width; ++w)
        total[w] += row[w];
    }
    for (size_t w = 0; w < width; ++w)
      table.node_total[w] += total[w];
    for (size_t i = 0; i < occupied.size(); ++i) {
      const double* own = table.val_row(f, i);
      double* node = table.node_row(i);
      for (size_t w = 0; w < width; ++w)
        node[w] += own[w];
    }
  }
  for (size_t i = 0; i < occupied.size(); ++i) {
    // Under the threshold rule the last bin would leave nothing on the right.
    const bool offered = !(threshold && occupied[i] + 1 == n_bins);
    table.node_state[i] = occupied[i];
    table.node_offered[i] = offered;
    if (choice_only) continue;
    const double* node = table.node_row(i);
    for (size_t f = 0; f < n_folds; ++f) {
      const double* own = table.val_row(f, i);
      double* out = table.train_row(f, i);
      for (size_t w = 0; w < width; ++w)
        out[w] = node[w] - own[w];
      table.fold_state[table.fold_begin[f] + i] = occupied[i];
      table.fold_offered[table.fold_begin[f] + i] = offered;
    }
  }
  table.finish_totals();
}

// Adds table row `row(i)` of each of n slots to `tally` as slot `slot(i)`'s totals.
template <class Row, class Slot>
void tally_rows(CategoryTally& tally, const HeldOutTask& task, size_t n, Row&& row, Slot&& slot) {
  const size_t weight_column = task.weight_column(), sums = weight_column + 1;
  // A row's sums as the tally reads them: the target's, class 1's, or every class's.
  const bool one_class = !task.regression() && task.n_classes < 2;
  const size_t first = !task.regression() && tally.width() == 1 ? sums + 1 : sums;
  static constexpr double kNone[1] = {0.0};
  for (size_t i = 0; i < n; ++i) {
    const double* r = row(i);
    tally.add_totals(slot(i), static_cast<uint64_t>(r[0]), r[weight_column],
                     one_class ? std::span<const double>(kNone)
                               : std::span<const double>(r + first, tally.width()));
  }
}

// Every fold's order of the table's slots by its training part, fold-major into
// `scratch.cut_fold_ranks`, and how many slots each ranks into `scratch.cut_fold_ranked`: both
// ends of a cut take the same orders.
void order_folds(SlotTable& t, const HeldOutTask& task, FastScratch& scratch) {
  const size_t n = t.node_slots;
  CategoryTally& train = scratch.cut_tally;
  train.reset(n, task.n_classes);
  std::vector<uint32_t>& rank = scratch.cut_rank_fold;
  scratch.cut_fold_ranks.resize(t.n_folds * n);
  scratch.cut_fold_ranked.resize(t.n_folds);
  for (size_t f = 0; f < t.n_folds; ++f) {
    train.clear();
    tally_rows(
        train, task, n, [&](size_t i) { return t.train_row(f, i); }, [](size_t i) { return i; });
    scratch.cut_fold_ranked[f] = train.order(rank);
    std::copy(rank.begin(), rank.end(), scratch.cut_fold_ranks.begin() + f * n);
  }
}

// Category cuts: the node layer's slots in the node's order of the categories (`node_rank`, of
// every bin), each fold layer's in the order of its training part (order_folds), so that a
// fold's pick is a cut it could have learnt; a layer's candidates are its cuts that leave a
// category right. `descending` takes each order from its high end, the cuts numbered from
// `first_state`.
void order_layers(SlotTable& t, const HeldOutTask& task, std::span<const uint32_t> occupied,
                  std::span<const uint32_t> node_rank, bool descending, uint32_t first_state,
                  FastScratch& scratch) {
  const size_t n = occupied.size(), width = t.width;
  std::vector<double>& held = scratch.cut_moved;
  held.resize(n * width);
  // Moves the n rows at `rows` to the positions `position(i)`.
  const auto permute = [&](double* rows, auto&& position) {
    std::copy(rows, rows + n * width, held.begin());
    for (size_t i = 0; i < n; ++i)
      std::copy_n(&held[i * width], width, rows + position(i) * width);
  };
  // Every occupied bin has rows of the node, so the node ranks them all.
  permute(t.node.data(), [&](size_t i) {
    const size_t r = node_rank[occupied[i]];
    return descending ? n - 1 - r : r;
  });
  for (size_t i = 0; i < n; ++i) {
    t.node_state[i] = first_state + static_cast<uint32_t>(i);
    t.node_offered[i] = i + 1 < n;
  }
  if (task.choice_only) return;
  for (size_t f = 0; f < t.n_folds; ++f) {
    const uint32_t* rank = &scratch.cut_fold_ranks[f * n];
    const size_t ranked = scratch.cut_fold_ranked[f];
    const auto position = [&](size_t i) -> size_t {
      return descending ? detail::reversed_rank(rank[i], ranked) : rank[i];
    };
    permute(t.train_row(f, 0), position);
    permute(t.val_row(f, 0), position);
    for (size_t i = 0; i < n; ++i) {
      t.fold_state[t.fold_begin[f] + i] = first_state + static_cast<uint32_t>(i);
      t.fold_offered[t.fold_begin[f] + i] = i + 1 < ranked;
    }
  }
}

// Offers the cuts of the filled table's categories from both ends of each layer's order, the
// cuts from the high end numbered after the n_bins - 1 from the low end; without `missing`
// rows the two ends give the same partitions, and only the low end is offered.
template <class Target>
void offer_category_cuts(const HeldOutTask& task, const RowsView& rows,
                         std::span<const Target> targets, std::span<const uint16_t> codes,
                         size_t n_bins, bool missing, size_t feature,
                         const NodeAdmission& admission, FastScratch& scratch,
                         HeldOutEvidence& evidence) {
  SlotTable& table = scratch.held_out;
  std::vector<uint32_t>& rank = scratch.cut_rank;
  if (std::is_same_v<Target, size_t> && !task.weighted) {
    // Unweighted class counts are exact in any order: the node's rows of the table give its
    // order without another pass over its rows.
    CategoryTally& tally = scratch.cut_tally;
    tally.reset(n_bins, task.n_classes);
    tally_rows(
        tally, task, scratch.occupied.size(), [&](size_t i) { return table.node_row(i); },
        [&](size_t i) { return scratch.occupied[i]; });
    tally.order(rank);
  } else {
    const uint32_t* const at = rows.rows.data();
    detail::order_bins(
        rows, codes, n_bins, task.n_classes, rank, [&](size_t j) { return targets[at[j]]; },
        scratch.cut_tally);
  }
  if (!task.choice_only) order_folds(table, task, scratch);
  // The second end starts again from the filled table; copied into kept capacity.
  if (missing) scratch.cut_filled = table;
  order_layers(table, task, scratch.occupied, rank, false, 0, scratch);
  offer_held_out(table, task, admission, feature, evidence);
  if (!missing) return;
  table = scratch.cut_filled;
  order_layers(table, task, scratch.occupied, rank, true, static_cast<uint32_t>(n_bins - 1),
               scratch);
  offer_held_out(table, task, admission, feature, evidence);
}

}  // namespace

template <class Target>
void score_held_out_fast(const HeldOutTask& task, const RowsView& rows,
                         std::span<const Target> targets, std::span<const uint16_t> codes,
                         size_t n_bins, bool threshold, bool cuts, size_t feature,
                         const NodeAdmission& admission, FastScratch& scratch,
                         HeldOutEvidence& evidence) {
  const size_t n_folds = rows.n_folds;
  if (n_folds == 0 || n_bins == 0) return;
  SlotTable& table = scratch.held_out;
  const size_t n_rows = rows.rows.size();
  const uint16_t* const code = detail::gather_codes(codes, rows.rows, scratch);
  const uint8_t* const fold = rows.fold.data();
  const uint32_t* const at = rows.rows.data();
  // Integer counts per (fold, bin), bin n_bins for a missing value; which bins hold rows.
  const size_t slots = n_bins + 1;
  grow_and_zero(scratch.seen, slots);
  uint8_t* const seen = scratch.seen.data();
  const auto bin_of = [n_bins](uint16_t b) -> size_t { return b < n_bins ? b : n_bins; };
  const auto occupied = [&]() {
    scratch.occupied.clear();
    for (size_t b = 0; b < n_bins; ++b) {
      if (seen[b]) scratch.occupied.push_back(static_cast<uint32_t>(b));
    }
    // Every fold's layer has the node's slots: every fold cuts at the whole-set bins. One
    // more row per layer than slots: the missing rows' row while the totals are summed.
    const std::vector<size_t> fold_slots(n_folds, scratch.occupied.size() + 1);
    table.reset(task.width(), threshold, scratch.occupied.size(), fold_slots);
    return std::span<const uint32_t>(scratch.occupied);
  };
  if (task.weighted) {
    // Weighted rows are tallied straight into the table's layout, one row per (fold, bin).
    const size_t width = task.width();
    grow_and_zero(scratch.held_out_cells, n_folds * slots * width);
    double* const cells = scratch.held_out_cells.data();
    for (size_t j = 0; j < n_rows; ++j) {
      const size_t b = bin_of(code[j]);
      seen[b] = 1;
      tally_held_out<true>(&cells[(fold[j] * slots + b) * width], targets[at[j]], rows.w[j],
                           task.n_classes);
    }
    fill_table(table, occupied(), n_folds, n_bins, threshold, task.choice_only,
               [&](size_t f, size_t b, double* row) {
                 const double* cell = &cells[(f * slots + b) * width];
                 for (size_t c = 0; c < width; ++c)
                   row[c] = cell[c];
               });
  } else if constexpr (std::is_same_v<Target, double>) {
    grow_and_zero(scratch.bin_counts, n_folds * slots);
    grow_and_zero(scratch.bin_sums, n_folds * slots);
    grow_and_zero(scratch.bin_sq_sums, n_folds * slots);
    uint32_t* const counts = scratch.bin_counts.data();
    double* const sums = scratch.bin_sums.data();
    double* const sq_sums = scratch.bin_sq_sums.data();
    // The node's targets in dealt order, when the stash gathered them.
    const bool gathered = rows.y.size() == n_rows;
    for (size_t j = 0; j < n_rows; ++j) {
      const size_t b = bin_of(code[j]);
      const size_t cell = fold[j] * slots + b;
      const double y = gathered ? rows.y[j] : targets[at[j]];
      seen[b] = 1;
      counts[cell] += 1;
      sums[cell] += y;
      sq_sums[cell] += y * y;
    }
    fill_table(table, occupied(), n_folds, n_bins, threshold, task.choice_only,
               [&](size_t f, size_t b, double* row) {
                 const size_t cell = f * slots + b;
                 row[0] = counts[cell];
                 row[1] = sums[cell];
                 row[2] = sq_sums[cell];
               });
  } else {
    // One more class for labels at or above n_classes: counted as rows, in no class.
    const size_t k = task.n_classes, classes = k + 1;
    grow_and_zero(scratch.class_counts, n_folds * slots * classes);
    uint32_t* const counts = scratch.class_counts.data();
    const bool gathered = rows.label.size() == n_rows;
    for (size_t j = 0; j < n_rows; ++j) {
      const size_t label = gathered ? rows.label[j] : targets[at[j]];
      const size_t b = bin_of(code[j]);
      seen[b] = 1;
      counts[(fold[j] * slots + b) * classes + (label < k ? label : k)] += 1;
    }
    fill_table(table, occupied(), n_folds, n_bins, threshold, task.choice_only,
               [&](size_t f, size_t b, double* row) {
                 const uint32_t* cell = &counts[(f * slots + b) * classes];
                 uint64_t n = 0;
                 for (size_t c = 0; c < classes; ++c)
                   n += cell[c];
                 row[0] = static_cast<double>(n);
                 for (size_t c = 0; c < k; ++c)
                   row[1 + c] = cell[c];
               });
  }
  if (!cuts) return offer_held_out(table, task, admission, feature, evidence);
  offer_category_cuts(task, rows, targets, codes, n_bins, seen[n_bins] != 0, feature, admission,
                      scratch, evidence);
}

template void score_held_out_fast(const HeldOutTask&, const RowsView&, std::span<const double>,
                                  std::span<const uint16_t>, size_t, bool, bool, size_t,
                                  const NodeAdmission&, FastScratch&, HeldOutEvidence&);
template void score_held_out_fast(const HeldOutTask&, const RowsView&, std::span<const size_t>,
                                  std::span<const uint16_t>, size_t, bool, bool, size_t,
                                  const NodeAdmission&, FastScratch&, HeldOutEvidence&);

}  // namespace zelk
