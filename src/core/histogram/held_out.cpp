#include "core/histogram/held_out.hpp"

#include <type_traits>
#include <vector>

#include "core/binning.hpp"

namespace zelk {

namespace {

// Adds one entry to a row: unweighted [count, sum, sum of squares] or [count, class counts],
// weighted [count, weight, w y, w y y] or [count, weight, class weights].
template <bool Weighted, class Target>
void tally(double* row, Target y, double w, size_t n_classes) {
  row[0] += 1.0;
  if constexpr (Weighted) {
    row[1] += w;
    if constexpr (std::is_same_v<Target, double>) {
      const double wy = w * y;
      row[2] += wy;
      row[3] += wy * y;
    } else {
      if (y < n_classes) row[2 + y] += w;
    }
  } else {
    if constexpr (std::is_same_v<Target, double>) {
      row[1] += y;
      row[2] += y * y;
    } else {
      if (y < n_classes) row[1 + y] += 1.0;
    }
  }
}

template <bool Weighted, class Target>
void tally_rows(const RowsView& rows, std::span<const Target> targets,
                std::span<const uint16_t> codes, size_t n_bins, size_t n_classes, size_t width,
                SlotTable& table) {
  const size_t n_rows = rows.rows.size();
  for (size_t j = 0; j < n_rows; ++j) {
    const uint32_t at = rows.rows[j];
    const size_t f = rows.fold[j];
    const uint16_t b = codes[at];
    const Target y = targets[at];
    const double w = Weighted ? rows.w[j] : 1.0;
    // Every row counts in its fold's total; a missing value is in no bin and goes right.
    tally<Weighted>(&table.val_total[f * width], y, w, n_classes);
    if (b < n_bins) tally<Weighted>(table.val_row(f, b), y, w, n_classes);
  }
}

}  // namespace

template <class Target>
void score_held_out_fast(const HeldOutTask& task, const RowsView& rows,
                         std::span<const Target> targets, std::span<const uint16_t> codes,
                         size_t n_bins, bool threshold, size_t feature, SlotTable& table,
                         HeldOutEvidence& evidence) {
  const size_t n_folds = rows.n_folds;
  if (n_folds == 0 || n_bins == 0) return;
  const size_t width = task.width();
  const size_t n_classes = task.n_classes;
  // Every fold cuts at the same whole-set bins.
  const std::vector<size_t> fold_slots(n_folds, n_bins);
  table.reset(width, threshold, n_bins, fold_slots);
  if (task.weighted) {
    tally_rows<true>(rows, targets, codes, n_bins, n_classes, width, table);
  } else {
    tally_rows<false>(rows, targets, codes, n_bins, n_classes, width, table);
  }
  for (size_t f = 0; f < n_folds; ++f) {
    for (size_t b = 0; b < n_bins; ++b) {
      const double* own = table.val_row(f, b);
      double* node = table.node_row(b);
      for (size_t w = 0; w < width; ++w)
        node[w] += own[w];
    }
    for (size_t w = 0; w < width; ++w)
      table.node_total[w] += table.val_total[f * width + w];
  }
  for (size_t f = 0; f < n_folds; ++f) {
    for (size_t b = 0; b < n_bins; ++b) {
      const double* node = table.node_row(b);
      const double* own = table.val_row(f, b);
      double* out = table.train_row(f, b);
      for (size_t w = 0; w < width; ++w)
        out[w] = node[w] - own[w];
      table.fold_state[table.fold_begin[f] + b] = static_cast<uint32_t>(b);
      // Under the threshold rule the last bin would leave nothing on the right.
      table.fold_offered[table.fold_begin[f] + b] = !(threshold && b + 1 == n_bins);
    }
  }
  table.finish_totals();
  for (size_t b = 0; b < n_bins; ++b) {
    table.node_state[b] = static_cast<uint32_t>(b);
    table.node_offered[b] = table.node_row(b)[0] > 0.0 && !(threshold && b + 1 == n_bins);
  }
  offer_held_out(table, task, feature, evidence);
}

template void score_held_out_fast(const HeldOutTask&, const RowsView&, std::span<const double>,
                                  std::span<const uint16_t>, size_t, bool, size_t, SlotTable&,
                                  HeldOutEvidence&);
template void score_held_out_fast(const HeldOutTask&, const RowsView&, std::span<const size_t>,
                                  std::span<const uint16_t>, size_t, bool, size_t, SlotTable&,
                                  HeldOutEvidence&);

}  // namespace zelk
