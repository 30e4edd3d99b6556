// Held-out validation of one feature at a strict node: the node's candidates cut at the node's
// own edges, and every fold's training and validation parts cut at the edges of the fold's
// training values, tallied into one slot table.
#include <cmath>
#include <type_traits>

#include "core/encoder.hpp"
#include "core/tree/rules.hpp"
#include "core/tree/strict/feature_codes.hpp"
#include "core/tree/strict/scoring.hpp"

namespace zelk {

namespace {

using detail::bin_slot;
using detail::category_slot;
using detail::FeatureCodes;
using detail::key_value;
using detail::run_slot;
using detail::SortedValue;

// Adds one sample's target to a row of the table: its count, then its sums (regression) or its
// class (a label at or above n_classes is counted in no class).
template <class Target>
void tally(double* row, Target y, size_t n_classes) {
  row[0] += 1.0;
  if constexpr (std::is_same_v<Target, double>) {
    row[1] += y;
    row[2] += y * y;
  } else {
    if (y < n_classes) row[1 + y] += 1.0;
  }
}

// The node's codes against its own edges, for the slots of its choice; and the number of those
// edges (the threshold state above the last edge has no rule).
template <class Target>
uint64_t tally_node(const StrictNode<Target>& node, const Column& column, const FeatureCodes& codes,
                    bool threshold, size_t n_classes, SlotTable& table) {
  if (column.is_categorical()) {
    for (size_t s : node.samples) {
      const uint32_t slot = category_slot(codes.states, column.codes()[s]);
      if (slot != kMissingCode) tally(table.node_row(slot), node.targets[s], n_classes);
    }
    return 0;
  }
  if (codes.general) {
    std::vector<double> values;
    values.reserve(node.samples.size());
    for (size_t s : node.samples)
      values.push_back(column.values()[s]);
    const EdgeRuns edges = quantile_edge_runs(values, node.params.n_bins);
    for (size_t s : node.samples) {
      const double v = column.values()[s];
      if (std::isfinite(v)) {
        tally(table.node_row(run_slot(codes.states, edges, v, threshold)), node.targets[s],
              n_classes);
      }
    }
    return edges.size();
  }
  size_t k = 0;
  for (const SortedValue& e : codes.sorted) {
    k = codes.edges.runs_through_from(k, key_value(e.key));
    const uint32_t slot =
        bin_slot(codes.states, static_cast<uint32_t>(codes.edges.code_after(k)), threshold);
    tally(table.node_row(slot), node.targets[node.folds[e.fold].validation[e.place]], n_classes);
  }
  return codes.edges.size();
}

// Fold f's training part, cut at the fold's edges.
template <class Target>
void tally_training(const StrictNode<Target>& node, const Column& column, const FeatureCodes& codes,
                    bool threshold, size_t n_classes, size_t f, SlotTable& table) {
  if (column.is_categorical()) {
    // Categories do not depend on the fold: the training part is the node less the fold.
    for (size_t slot = 0; slot <= table.n_slots; ++slot) {
      const double* whole = table.node_row(slot);
      const double* own = table.val_row(f, slot);
      double* out = table.train_row(f, slot);
      for (size_t w = 0; w < table.width; ++w)
        out[w] = whole[w] - own[w];
    }
    return;
  }
  if (codes.general) {
    for (size_t s : node.folds[f].train) {
      const double v = column.values()[s];
      if (std::isfinite(v)) {
        tally(table.train_row(f, run_slot(codes.states, codes.fold_edges[f], v, threshold)),
              node.targets[s], n_classes);
      }
    }
    return;
  }
  // The training values are the sorted node values outside the fold, so codes only ascend.
  const EdgeRuns& edges = codes.fold_edges[f];
  const std::vector<uint32_t>& slot_of = codes.slot_of_runs[f];
  size_t k = 0;
  for (const SortedValue& e : codes.sorted) {
    if (e.fold == f) continue;
    k = edges.runs_through_from(k, key_value(e.key));
    tally(table.train_row(f, slot_of[k]), node.targets[node.folds[e.fold].validation[e.place]],
          n_classes);
  }
}

}  // namespace

template <class Target>
void score_held_out(const HeldOutTask& task, const StrictNode<Target>& node, size_t feature,
                    HeldOutEvidence& evidence) {
  const Column& column = node.columns[feature];
  const bool threshold = threshold_mode(node.params, column);
  FeatureCodes codes;
  if (!detail::code_feature(node, feature, threshold, codes)) return;
  const size_t n_folds = node.folds.size();
  const size_t n_states = codes.states.size();
  SlotTable table;
  table.reset(n_states, n_folds, task.width(), threshold);

  for (size_t f = 0; f < n_folds; ++f) {
    const std::vector<size_t>& validation = node.folds[f].validation;
    double* total = &table.val_total[f * table.width];
    for (size_t j = 0; j < validation.size(); ++j) {
      const Target y = node.targets[validation[j]];
      tally(total, y, task.n_classes);
      const uint32_t slot = codes.val[f][j];
      if (slot != kMissingCode) tally(table.val_row(f, slot), y, task.n_classes);
    }
    for (size_t w = 0; w < table.width; ++w)
      table.node_total[w] += total[w];
  }
  const uint64_t n_edges = tally_node(node, column, codes, threshold, task.n_classes, table);
  for (size_t f = 0; f < n_folds; ++f)
    tally_training(node, column, codes, threshold, task.n_classes, f, table);
  table.finish_totals();
  for (size_t i = 0; i < n_states; ++i) {
    table.state[i] = codes.states[i];
    // In threshold mode the state above the node's last edge sends every finite value left: it
    // has no rule.
    table.offered[i] = !(threshold && !column.is_categorical() && codes.states[i] >= n_edges);
  }
  offer_held_out(table, task, feature, evidence);
}

template void score_held_out(const HeldOutTask&, const StrictNode<double>&, size_t,
                             HeldOutEvidence&);
template void score_held_out(const HeldOutTask&, const StrictNode<size_t>&, size_t,
                             HeldOutEvidence&);

}  // namespace zelk
