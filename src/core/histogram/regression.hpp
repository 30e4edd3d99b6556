// Fast scoring of a regression feature: per-fold histograms of counts, sums and sums of
// squares, and a variance-reduction score per fold for every candidate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/admissibility.hpp"
#include "core/aggregation.hpp"
#include "core/cross_validation.hpp"
#include "core/histogram/best_split.hpp"
#include "core/histogram/scratch.hpp"
#include "core/selector.hpp"

namespace zelk {

// Variance-reduction fold scores of one regression feature.
std::vector<ScoredCandidate> score_regression_fast(std::span<const uint16_t> codes,
                                                   std::span<const double> targets,
                                                   const FoldAssignment& folds, size_t n_bins,
                                                   size_t feature, const Aggregator& aggregator,
                                                   FastScratch& scratch, bool threshold);

// The same candidates offered to `best` instead of returned, with no allocation once the
// scratch has grown; the targets are the view's gathered ones. Candidates that `admission`
// refuses are not offered. With `cuts` (a categorical feature, `threshold` set) candidate k is
// cut k of each fold's order of the categories.
void best_regression_fast(const RowsView& rows, std::span<const uint16_t> codes, size_t n_bins,
                          size_t feature, const Aggregator& aggregator,
                          const NodeAdmission& admission, FastScratch& scratch, bool threshold,
                          bool cuts, BestSplit& best);

}  // namespace zelk
