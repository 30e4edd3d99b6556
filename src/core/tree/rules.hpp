// Making the split rule of a node's winning candidate: from the node's own quantile edges
// (strict growth) or from the whole-set bins (fast growth). A rule sends left exactly the
// samples whose code passes the candidate's left-side test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/binning.hpp"
#include "core/data.hpp"
#include "core/tree/fast/partition.hpp"
#include "core/tree/model.hpp"
#include "core/tree/params.hpp"

namespace zelk {

// Whether a strict candidate of `column` is a threshold (else bin or category membership).
inline bool threshold_mode(const Params& params, const Column& column) {
  return params.split_style == SplitStyle::Threshold && !column.is_categorical();
}

// Whether a fast candidate of the feature binned as `bins` is a threshold.
inline bool uses_threshold(const Params& params, const FeatureBins& bins) {
  return params.split_style == SplitStyle::Threshold && bins.continuous;
}

// The rule that reproduces the winning candidate on the node's samples, or none when the
// candidate has no rule (the highest bin in threshold mode).
std::optional<SplitRule> make_rule(const Column& column, size_t feature, uint32_t state,
                                   std::span<const size_t> samples, size_t n_bins, bool threshold);

// The rule of a fast candidate, with the partition test that sends the same samples left.
struct FastRule {
  SplitRule rule;
  PartitionMode mode;
};

// The rule that sends left exactly the samples whose code passes the partition test, or
// none when the whole-set bins have no edge for it.
std::optional<FastRule> fast_rule(const Params& params, const FeatureBins& bins, size_t feature,
                                  uint32_t k);

}  // namespace zelk
