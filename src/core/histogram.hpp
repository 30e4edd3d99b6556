// Fast-mode scorers: every candidate of one feature at a node scored from per-fold
// histograms of 16-bit bin codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/aggregation.hpp"
#include "core/cross_validation.hpp"
#include "core/objective.hpp"
#include "core/selector.hpp"

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
  std::vector<double> fold_sums;            // per fold: sum of targets
  std::vector<double> fold_sq_sums;         // per fold: sum of squared targets
  std::vector<double> fold_scores;          // one candidate's fold scores
  std::vector<double> sorted_scores;        // the same, sorted for the median
  std::vector<uint64_t> wide;               // the classifiers' per-fold and per-side counts
  std::vector<uint16_t> gathered;           // one feature's codes in dealt order
  FoldStats stats;                          // one candidate's summary
};

// Variance-reduction fold scores of one regression feature.
std::vector<ScoredCandidate> score_regression_fast(std::span<const uint16_t> codes,
                                                   std::span<const double> targets,
                                                   const FoldAssignment& folds, size_t n_bins,
                                                   size_t feature, const Aggregator& aggregator,
                                                   FastScratch& scratch, bool threshold);

// Gini or entropy decrease fold scores of one classification feature.
std::vector<ScoredCandidate> score_classification_fast(size_t n_classes, bool entropy,
                                                       std::span<const uint16_t> codes,
                                                       std::span<const size_t> labels,
                                                       const FoldAssignment& folds, size_t n_bins,
                                                       size_t feature, const Aggregator& aggregator,
                                                       FastScratch& scratch, bool threshold);

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
};

// Objective gain fold scores: side classes learned on the other folds, scored on the fold.
std::vector<ScoredCandidate> score_objective_fast(const ClassObjective& objective, size_t n_classes,
                                                  std::span<const uint16_t> codes,
                                                  std::span<const size_t> labels,
                                                  const FoldAssignment& folds, size_t n_bins,
                                                  size_t feature, const Aggregator& aggregator,
                                                  bool threshold);
// The same reading the dealing through a view (the targets are not read from it).
std::vector<ScoredCandidate> score_objective_fast(const ClassObjective& objective, size_t n_classes,
                                                  std::span<const uint16_t> codes,
                                                  std::span<const size_t> labels,
                                                  const RowsView& rows, size_t n_bins,
                                                  size_t feature, const Aggregator& aggregator,
                                                  bool threshold);

// Deals `samples` into folds exactly as KFold::assign does, straight into `out` (whose
// buffers are reused) without widening the sample numbers.
void deal_folds(const KFold& kfold, std::span<const uint32_t> samples, FoldAssignment& out);
// The dealing of the positions 0, 1, ..., n - 1 of a node's sample list.
void deal_positions(const KFold& kfold, size_t n, FoldAssignment& out);
// The same dealing written into `rows` and `fold` (n = rows.size() entries each), for
// callers that keep it elsewhere; returns the number of folds.
size_t deal_positions(const KFold& kfold, std::span<uint32_t> rows, std::span<uint8_t> fold);

// NodeRows' gathers into caller-owned arrays of rows.size() entries; `fold_sums` and
// `fold_sq_sums` get n_folds entries.
void gather_regression(std::span<const double> targets, std::span<const uint32_t> rows,
                       std::span<const uint8_t> fold, size_t n_folds, std::span<double> y,
                       std::vector<double>& fold_sums, std::vector<double>& fold_sq_sums);
void gather_labels(std::span<const size_t> labels, size_t n_classes, std::span<const uint32_t> rows,
                   std::span<uint32_t> label);

// A node's dealt entries with the targets every feature's pass reads, gathered once per
// node so that the per-feature loops read them sequentially. `folds.rows` holds whatever
// indexes the code lists and the targets given to the gather: sample numbers, or positions
// in the node's stretch. Buffers only ever grow.
struct NodeRows {
  FoldAssignment folds;
  std::vector<double> y;             // regression: target of each dealt entry
  std::vector<double> fold_sums;     // regression: per fold, over every entry in order
  std::vector<double> fold_sq_sums;  // regression: per fold, squares likewise
  std::vector<uint32_t> label;       // classification: label, or n_classes when invalid
  size_t n_classes = 0;

  void gather_regression(std::span<const double> targets);
  void gather_labels(std::span<const size_t> labels, size_t n_classes);
  RowsView view() const;
  operator RowsView() const { return view(); }  // NOLINT: a NodeRows reads as its view
};

// The best candidate seen so far; ranks like best_candidate, so offering features in
// ascending order and states in ascending order picks the same winner.
struct BestSplit {
  bool found = false;
  size_t feature = 0;
  uint32_t state = 0;
  double score = 0.0;

  // Keeps `other` if it ranks above; `other` must come from later features only.
  void merge(const BestSplit& other) {
    if (other.found && (!found || other.score > score)) *this = other;
  }
};

// The same candidates as score_regression_fast / score_classification_fast, offered to `best`
// instead of returned, with no allocation once the scratch has grown.
void best_regression_fast(const RowsView& rows, std::span<const uint16_t> codes, size_t n_bins,
                          size_t feature, const Aggregator& aggregator, FastScratch& scratch,
                          bool threshold, BestSplit& best);
void best_classification_fast(const RowsView& rows, bool entropy, std::span<const uint16_t> codes,
                              size_t n_bins, size_t feature, const Aggregator& aggregator,
                              FastScratch& scratch, bool threshold, BestSplit& best);

// Which samples partition_in_place moves to the front: bin code at most k (threshold) or
// equal to k (membership). The missing code satisfies neither.
enum class PartitionMode { AtMost, Equal };

// Moves the samples that satisfy the test to the front of `samples`, keeping their relative
// order, and returns how many there are. The right side keeps the order the swaps leave it
// in, which decides the children's folds.
size_t partition_in_place(std::span<uint32_t> samples, std::span<const uint16_t> codes, uint16_t k,
                          PartitionMode mode);

}  // namespace zelk
