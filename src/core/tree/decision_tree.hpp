// The estimator's tree: its settings, its root once fitted, its task kind and aggregator.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "core/aggregation.hpp"
#include "core/tree/export.hpp"
#include "core/tree/model.hpp"
#include "core/tree/params.hpp"
#include "core/tree/tasks.hpp"

namespace zelk {

template <class K>
struct DecisionTree {
  Params params;
  std::unique_ptr<NodeOf<K>> root;
  K task;
  std::unique_ptr<Aggregator> aggregator;

  // The subtree of `node` appended to `out` in pre-order; see zelk::walk_export.
  static size_t walk_export(const NodeOf<K>& node, std::vector<ExportedNode>& out) {
    return zelk::walk_export(node, out);
  }
};

}  // namespace zelk
