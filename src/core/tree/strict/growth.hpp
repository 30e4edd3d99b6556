// Strict growth: a tree grown from the raw feature values, every split chosen by scoring
// each feature's candidates on the node's own cross-validation folds.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "core/aggregation.hpp"
#include "core/data.hpp"
#include "core/tree/params.hpp"
#include "core/tree/tasks.hpp"

namespace zelk {

// Strict growth from raw values. Never fails for valid input (at least one sample and one
// column); throws Panic only when worker threads fail. `weights` (indexed like `targets`,
// finite and non-negative, positive somewhere in `samples`) weighs every sample in every
// statistic; empty grows the unweighted tree.
template <class K>
std::unique_ptr<NodeOf<K>> build_node(const K& task, const Params& params,
                                      const Aggregator& aggregator, std::span<const Column> columns,
                                      std::span<const typename K::Target> targets,
                                      std::vector<size_t> samples, size_t depth,
                                      std::span<const double> weights = {});

}  // namespace zelk
