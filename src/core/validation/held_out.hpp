// Held-out validation of a node's split: what the node's own folds say about whether splitting
// it generalises. Per fold, the training part picks the split it likes best (largest
// in-sample impurity decrease) and that pick is measured on the validation part, with the
// predictions learnt on the training part. Both growth modes reduce a feature to a table of
// per-slot statistics and hand it to `offer_held_out`, which offers the feature's candidates to
// the node's evidence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <vector>

#include "core/admissibility.hpp"
#include "core/aggregation.hpp"
#include "core/criterion.hpp"
#include "core/objective.hpp"

namespace zelk {

// The split that one fold's training part picks, and what it does on the fold's validation part.
struct FoldPick {
  bool found = false;
  size_t feature = 0;
  uint32_t state = 0;
  double pick_gain = 0.0;      // the training part's in-sample impurity decrease: what it maximises
  double held_out_gain = 0.0;  // loss reduction on the validation part (total, not per sample)
  double train_gain = 0.0;     // the same loss's in-sample reduction on the training part
};

// The node's own choice (the largest in-sample gain over the whole node) and every fold's pick,
// gathered feature by feature in ascending order: a later candidate replaces the current one
// only when it ranks strictly higher, so ties go to the lowest feature, then the lowest state.
struct HeldOutEvidence {
  bool found = false;
  size_t feature = 0;
  uint32_t state = 0;
  double key = 0.0;        // the choice's in-sample gain (the metric's gain for an objective)
  double tie_break = 0.0;  // then its impurity decrease (objective only)
  double loss_gain = 0.0;  // the choice's in-sample loss reduction, in the held-out loss
  std::vector<FoldPick> folds;
  std::vector<double> validation_size;  // per fold, the validation part's size (its weight)

  explicit HeldOutEvidence(size_t n_folds = 0) { reset(n_folds); }
  // As newly made for `n_folds` folds, keeping the buffers' capacity.
  void reset(size_t n_folds) {
    found = false;
    feature = 0;
    state = 0;
    key = tie_break = loss_gain = 0.0;
    folds.assign(n_folds, FoldPick{});
    validation_size.assign(n_folds, 0.0);
  }

  bool ranks_above(double candidate_key, double candidate_tie_break) const {
    return !found || candidate_key > key ||
           (candidate_key == key && candidate_tie_break > tie_break);
  }
  // Keeps `later` (from later features only) where it ranks above.
  void merge(const HeldOutEvidence& later);
};

// The measures of one task under held-out validation. Squared error for regression (absolute
// error from the sides' medians for the mae criterion); for the classifiers the Brier score of
// class frequencies smoothed by one pseudo-sample per class, which judges a side by the
// probabilities it would predict rather than its majority alone.
struct HeldOutTask {
  // What the node's choice and the folds' picks maximise: the criterion's in-sample decrease;
  // with an objective, the node's choice maximises the metric and the picks use Gini.
  CriterionKind criterion = CriterionKind::SquaredError;
  size_t n_classes = 0;
  const ClassObjective* objective = nullptr;
  // Weighted rows: a row count, the rows' total weight, then the sums of the weighted targets
  // (w y and w y y) or the class weights. Only rows of positive weight are tallied, so the row
  // count is the count of those.
  bool weighted = false;
  // Per class, in the smoothed class frequencies: one pseudo-sample of the node's mean weight.
  double pseudo_count = 1.0;
  // Only the node's own choice is wanted: scorers may leave the folds' picks out.
  bool choice_only = false;

  // Numbers per slot: a row count, [its weight,] then the task's sums (regression: sum and sum
  // of squares of the targets; classification: one count per class).
  size_t width() const { return 1 + (weighted ? 1 : 0) + (regression() ? 2 : n_classes); }
  bool regression() const { return criterion == CriterionKind::SquaredError; }
  // Where a row's total weight is: the weight column, or the row count itself.
  size_t weight_column() const { return weighted ? 1 : 0; }
};

// Adds one sample's target to a row of the table: its count, then its sums (regression) or its
// class (a label at or above n_classes is counted in no class); weighted, its weight after the
// count and its target counted with that weight.
template <bool Weighted, class Target>
inline void tally_held_out(double* row, Target y, double w, size_t n_classes) {
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

// One feature's statistics at a node, per slot, in layers of `width` numbers per slot: the node's
// layer, whose candidates the node's choice ranges over, and one layer per fold whose
// candidates that fold's training part picks from (slots of its own: in strict mode a fold cuts
// at the edges of its training values). Slots are candidate positions in ascending order; a
// candidate's left side is its own slot (membership) or every slot up to it (threshold). Rows
// with a missing value are in no slot but in the totals: they go right.
struct SlotTable {
  size_t width = 0;
  size_t n_folds = 0;
  bool threshold = true;
  size_t node_slots = 0;
  std::vector<double> node;           // (slot, width)
  std::vector<double> node_total;     // (width)
  std::vector<uint8_t> node_offered;  // (slot): whether the slot is a candidate of the choice
  std::vector<uint32_t> node_state;   // (slot): the candidate's state
  std::vector<size_t> fold_begin;     // (fold + 1): each fold layer's first slot
  std::vector<double> train;          // (fold slot, width): each fold's training part
  std::vector<double> val;            // (fold slot, width): each fold's validation part
  std::vector<double> train_total;    // (fold, width)
  std::vector<double> val_total;      // (fold, width)
  std::vector<uint8_t> fold_offered;  // (fold slot): whether the slot is a candidate of the pick
  std::vector<uint32_t> fold_state;   // (fold slot): the candidate's state in the fold

  // Sizes and zeroes every layer: `node_slot_count` node slots, and fold f with
  // fold_slot_counts[f] slots; keeps the capacity.
  void reset(size_t row_width, bool threshold_rule, size_t node_slot_count,
             std::span<const size_t> fold_slot_counts);
  double* node_row(size_t slot) { return &node[slot * width]; }
  size_t fold_slots(size_t fold) const { return fold_begin[fold + 1] - fold_begin[fold]; }
  double* train_row(size_t fold, size_t slot) { return &train[(fold_begin[fold] + slot) * width]; }
  double* val_row(size_t fold, size_t slot) { return &val[(fold_begin[fold] + slot) * width]; }
  // Fills train_total as node_total less each fold's val_total.
  void finish_totals();
  // The enumeration's working rows (kept to reuse their capacity).
  std::vector<double> work;
};

// Offers every candidate of the table to `evidence`: the node layer's to the node's choice when
// `admission` admits its sides over the node, each fold layer's to that fold's pick when it
// admits its sides over the fold's training part.
void offer_held_out(SlotTable& table, const HeldOutTask& task, const NodeAdmission& admission,
                    size_t feature, HeldOutEvidence& evidence);

// What a node's evidence says, in total-loss units and per sample.
struct HeldOutEstimate {
  bool found = false;
  double gain = -std::numeric_limits<double>::infinity();  // validated gain of the split
  double variance = 0.0;  // of that gain, from the spread of its fold gains
  double score = std::numeric_limits<double>::quiet_NaN();  // the aggregated per-sample gain
  std::vector<double> fold_scores;  // held-out gain per validation sample, fold by fold
};

// The validated gain of splitting a node of total size (weight) `n`: the folds' held-out gains of
// their training parts' picks, aggregated per sample, corrected for the training parts being
// smaller than the node (the node's own in-sample gain less the mean of the picks' in-sample
// gains on their training parts), in total-loss units. Its variance is the number of folds
// times the sample variance of the fold gains.
HeldOutEstimate estimate_held_out(const HeldOutEvidence& evidence, const Aggregator& aggregator,
                                  double n);

}  // namespace zelk
