#include "core/tree/rules.hpp"

#include <vector>

#include "core/encoder.hpp"
#include "core/tree/strict/sorted_values.hpp"

namespace zelk {

std::optional<SplitRule> make_rule(const Column& column, size_t feature, uint32_t state,
                                   std::span<const size_t> samples, size_t n_bins, bool threshold,
                                   bool midpoints) {
  if (column.is_categorical()) {
    if (state == kMissingCode) return std::nullopt;
    return SplitRule{Category{feature, state}};
  }
  std::vector<detail::SortedValue> sorted;
  detail::sort_node_values(column, samples, sorted);
  EdgeRuns edges;
  detail::edges_of_sorted(sorted, detail::kNoFold, sorted.size(), n_bins, midpoints, edges);
  const uint64_t n_edges = edges.size();
  if (state > n_edges) return std::nullopt;
  std::optional<double> lower;
  std::optional<double> upper;
  if (state > 0) lower = edges[state - 1];
  if (state < n_edges) upper = edges[state];
  if (!threshold) return SplitRule{Interval{feature, lower, upper}};
  // The highest bin has no upper edge: "everything finite" is not a threshold.
  if (!upper) return std::nullopt;
  return SplitRule{Interval{feature, std::nullopt, upper}};
}

SplitRule cut_rule(size_t feature, std::span<const uint32_t> categories,
                   std::span<const uint32_t> rank, uint32_t cut) {
  std::vector<uint32_t> left;
  for (size_t i = 0; i < categories.size(); ++i) {
    if (rank[i] <= cut) left.push_back(categories[i]);
  }
  if (left.size() == 1) return SplitRule{Category{feature, left[0]}};
  return SplitRule{CategorySet{feature, std::move(left)}};
}

FastRule fast_cut_rule(const FeatureBins& bins, size_t feature, std::span<const uint32_t> rank,
                       uint32_t cut) {
  std::vector<uint8_t> left(bins.categories.size(), 0);
  for (size_t b = 0; b < left.size(); ++b)
    left[b] = rank[b] <= cut ? 1 : 0;
  return FastRule{cut_rule(feature, bins.categories, rank, cut), PartitionMode::InSet,
                  std::move(left)};
}

std::optional<FastRule> fast_rule(const Params& params, const FeatureBins& bins, size_t feature,
                                  uint32_t k) {
  if (!bins.continuous) {
    if (k >= bins.categories.size()) return std::nullopt;
    return FastRule{SplitRule{Category{feature, bins.categories[k]}}, PartitionMode::Equal, {}};
  }
  const std::vector<double>& edges = bins.edges;
  if (uses_threshold(params, bins)) {
    if (k >= edges.size()) return std::nullopt;
    return FastRule{
        SplitRule{Interval{feature, std::nullopt, edges[k]}}, PartitionMode::AtMost, {}};
  }
  if (k > edges.size()) return std::nullopt;
  Interval interval{feature, std::nullopt, std::nullopt};
  if (k > 0) interval.lower = edges[k - 1];
  if (k < edges.size()) interval.upper = edges[k];
  return FastRule{SplitRule{interval}, PartitionMode::Equal, {}};
}

}  // namespace zelk
