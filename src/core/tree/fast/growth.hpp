// Fast growth: a tree grown from binned data, every candidate scored from per-fold
// histograms, the shared sample order partitioned in place node by node.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "core/aggregation.hpp"
#include "core/binning.hpp"
#include "core/tree/params.hpp"
#include "core/tree/tasks.hpp"

namespace zelk {

// Grows the tree over samples 0, 1, ..., n - 1 from binned data that it takes over: the code
// lists are reordered along with the samples so that every node reads a contiguous stretch
// of each, which keeps the per-feature passes in cache. Throws Panic when the code lists or
// targets do not cover every sample, or when worker threads fail. `weights` (one per sample,
// finite and non-negative, positive somewhere) weighs every sample in every statistic; empty
// grows the unweighted tree.
template <class K>
std::unique_ptr<NodeOf<K>> build_node_fast_in_place(const K& task, const Params& params,
                                                    const Aggregator& aggregator, BinnedData&& data,
                                                    std::span<const typename K::Target> targets,
                                                    size_t depth,
                                                    std::span<const double> weights = {});

}  // namespace zelk
