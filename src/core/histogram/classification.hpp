// Fast scoring of a classification feature: per-fold histograms of class counts, and a
// Gini or entropy decrease per fold for every candidate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/admissibility.hpp"
#include "core/aggregation.hpp"
#include "core/criterion.hpp"
#include "core/cross_validation.hpp"
#include "core/histogram/best_split.hpp"
#include "core/histogram/scratch.hpp"
#include "core/selector.hpp"

namespace zelk {

// Gini or entropy decrease fold scores of one classification feature.
std::vector<ScoredCandidate> score_classification_fast(size_t n_classes, CriterionKind criterion,
                                                       std::span<const uint16_t> codes,
                                                       std::span<const size_t> labels,
                                                       const FoldAssignment& folds, size_t n_bins,
                                                       size_t feature, const Aggregator& aggregator,
                                                       FastScratch& scratch, bool threshold);

// The same candidates offered to `best` instead of returned, with no allocation once the
// scratch has grown; the labels are the view's gathered ones. Candidates that `admission`
// refuses are not offered. With `cuts` (a categorical feature, `threshold` set) candidate k is
// cut k of each fold's order of the categories.
void best_classification_fast(const RowsView& rows, CriterionKind criterion,
                              std::span<const uint16_t> codes, size_t n_bins, size_t feature,
                              const Aggregator& aggregator, const NodeAdmission& admission,
                              FastScratch& scratch, bool threshold, bool cuts, BestSplit& best);

}  // namespace zelk
