// Making the split rule of a node's winning candidate: from the node's own quantile edges
// (strict growth) or from the whole-set bins (fast growth). A rule sends left exactly the
// samples whose code passes the candidate's left-side test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/binning.hpp"
#include "core/data.hpp"
#include "core/tree/fast/partition.hpp"
#include "core/tree/model.hpp"
#include "core/tree/params.hpp"

namespace zelk {

// Whether a strict candidate of `column` is a cut of an order (a threshold, or a cut of the
// categories' order under category subsets; else bin or category membership).
inline bool threshold_mode(const Params& params, const Column& column) {
  return column.is_categorical() ? params.category_subsets
                                 : params.split_style == SplitStyle::Threshold;
}

// The same for a fast candidate of the feature binned as `bins`.
inline bool uses_threshold(const Params& params, const FeatureBins& bins) {
  return bins.continuous ? params.split_style == SplitStyle::Threshold : params.category_subsets;
}

// Whether the candidates of a categorical feature are cuts of its categories' order.
inline bool category_cuts(const Params& params, bool categorical) {
  return categorical && params.category_subsets;
}

// The categories sent left by cut `cut` of an order (`rank` of each of `categories`): those
// ranked at or below it; one category makes a one-category rule.
SplitRule cut_rule(size_t feature, std::span<const uint32_t> categories,
                   std::span<const uint32_t> rank, uint32_t cut);

// The rule that reproduces the winning candidate on the node's samples, or none when the
// candidate has no rule (the highest bin in threshold mode); `midpoints` as
// Params::midpoint_thresholds.
std::optional<SplitRule> make_rule(const Column& column, size_t feature, uint32_t state,
                                   std::span<const size_t> samples, size_t n_bins, bool threshold,
                                   bool midpoints = false);

// The rule of a fast candidate, with the partition test that sends the same samples left.
struct FastRule {
  SplitRule rule;
  PartitionMode mode;
  std::vector<uint8_t> left_bins;  // InSet: per bin, whether it goes left
};

// The rule of cut `cut` of a categorical feature's order (`rank` of each bin): the
// categories of the bins ranked at or below it.
FastRule fast_cut_rule(const FeatureBins& bins, size_t feature, std::span<const uint32_t> rank,
                       uint32_t cut);

// The rule that sends left exactly the samples whose code passes the partition test, or
// none when the whole-set bins have no edge for it.
std::optional<FastRule> fast_rule(const Params& params, const FeatureBins& bins, size_t feature,
                                  uint32_t k);

}  // namespace zelk
