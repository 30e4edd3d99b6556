// What a fast scorer reads of a node besides the codes (its dealt entries) and the buffers
// it counts into (the caller's scratch, reused across features).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/candidate/category_order.hpp"
#include "core/cross_validation.hpp"
#include "core/validation/held_out.hpp"

namespace zelk {

// Growable histogram buffers owned by the caller and reused across features; addressed
// fold-major: (fold m, bin b) at m * n_bins + b, (m, b, class c) at (m * n_bins + b) *
// n_classes + c, (m, c) at m * n_classes + c. Arrays only ever grow.
struct FastScratch {
  std::vector<uint32_t> class_counts;       // (fold, bin, class)
  std::vector<uint32_t> fold_class_counts;  // (fold, class)
  std::vector<uint32_t> bin_counts;         // (fold, bin)
  std::vector<double> bin_sums;             // (fold, bin): sum of targets
  std::vector<double> bin_sq_sums;          // (fold, bin): sum of squared targets
  std::vector<double> bin_weights;          // (fold, bin): weighted fits, total weight
  std::vector<double> class_weights;        // (fold, bin, class): weighted fits
  std::vector<double> fold_sums;            // per fold: sum of targets
  std::vector<double> fold_sq_sums;         // per fold: sum of squared targets
  std::vector<double> fold_weights;         // per fold: weighted fits, total weight
  std::vector<double> fold_scores;          // one candidate's fold scores
  std::vector<double> sorted_scores;        // the same, sorted for the median
  std::vector<uint64_t> wide;               // the classifiers' per-fold and per-side counts
  std::vector<uint16_t> gathered;           // one feature's codes in dealt order
  FoldStats stats;                          // one candidate's summary
  SlotTable held_out;                       // held-out validation's per-bin statistics
  std::vector<uint8_t> seen;                // per bin: whether a row of the node is in it
  std::vector<uint32_t> occupied;           // the bins seen, ascending
  std::vector<double> held_out_cells;       // (fold, bin, column): weighted held-out rows
  std::vector<Side> bin_sides;              // (2 bins): the node's sides per bin, and up to it
  std::vector<uint32_t> cut_rank;           // category cuts: a fold's rank of every bin
  std::vector<uint32_t> cut_counts;         // category cuts: one fold's counts, reordered
  std::vector<double> cut_cells;            // category cuts: one fold's sums, reordered
  std::vector<uint32_t> cut_rank_fold;      // category cuts: one fold's rank of every slot
  std::vector<uint32_t> cut_fold_ranks;     // category cuts: (fold, slot) ranks by training part
  std::vector<size_t> cut_fold_ranked;      // category cuts: per fold, the slots it ranks
  std::vector<double> cut_moved;            // category cuts: a layer's rows while reordered
  SlotTable cut_filled;                     // category cuts: the filled table, for the second end
  CategoryTally cut_tally;                  // category cuts: a layer's tally of its categories
};

// What the fast scorers read of a node's dealt entries, wherever they are kept.
struct RowsView {
  std::span<const uint32_t> rows;  // indexes the code lists
  std::span<const uint8_t> fold;
  size_t n_folds = 0;
  std::span<const double> y;             // regression
  std::span<const double> fold_sums;     // regression
  std::span<const double> fold_sq_sums;  // regression
  std::span<const uint32_t> label;       // classification
  size_t n_classes = 0;
  // A weighted fit: every entry's weight, in dealt order (the node's entries of positive weight
  // only); empty for an unweighted one. The regression fold sums are then of w y and w y y.
  std::span<const double> w = {};
  std::span<const double> fold_weights = {};  // regression, weighted: every fold's weight
};

}  // namespace zelk
