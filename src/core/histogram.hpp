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

// Objective gain fold scores: side classes learned on the other folds, scored on the fold.
std::vector<ScoredCandidate> score_objective_fast(const ClassObjective& objective, size_t n_classes,
                                                  std::span<const uint16_t> codes,
                                                  std::span<const size_t> labels,
                                                  const FoldAssignment& folds, size_t n_bins,
                                                  size_t feature, const Aggregator& aggregator,
                                                  bool threshold);

// Which samples partition_in_place moves to the front: bin code at most k (threshold) or
// equal to k (membership). The missing code satisfies neither.
enum class PartitionMode { AtMost, Equal };

// Moves the samples that satisfy the test to the front of `samples`, keeping their relative
// order, and returns how many there are. The right side keeps the order the swaps leave it
// in, which decides the children's folds.
size_t partition_in_place(std::span<uint32_t> samples, std::span<const uint16_t> codes, uint16_t k,
                          PartitionMode mode);

}  // namespace zelk
