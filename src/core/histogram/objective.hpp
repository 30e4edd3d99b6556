// Fast scoring of a feature for the objective classifier: side classes learned on the other
// folds' class counts, each fold scored by the objective's gain over one class for all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/aggregation.hpp"
#include "core/cross_validation.hpp"
#include "core/histogram/scratch.hpp"
#include "core/objective.hpp"
#include "core/selector.hpp"

namespace zelk {

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

}  // namespace zelk
