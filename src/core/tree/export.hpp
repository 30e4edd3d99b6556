// The flat, exported form of a tree: one record per node in pre-order.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <variant>
#include <vector>

#include "core/tree/model.hpp"

namespace zelk {

// One node of the flat, exported form of a tree.
struct ExportedNode {
  bool is_leaf = false;
  int64_t children_left = -1;
  int64_t children_right = -1;
  int64_t feature = -1;
  bool is_categorical = false;
  double lower = std::numeric_limits<double>::quiet_NaN();
  double upper = std::numeric_limits<double>::quiet_NaN();
  int64_t category = -1;            // the one category of a category test, else -1
  std::vector<int64_t> categories;  // a categorical split's left categories
  size_t n_samples = 0;
  double value = std::numeric_limits<double>::quiet_NaN();
  int64_t predicted_class = -1;
  std::vector<double> proba;
  NodeStats stats;  // weighted_n_samples falls back to n_samples when growth recorded none
};

inline void export_payload(ExportedNode& out, double value) {
  out.value = value;
}
inline void export_payload(ExportedNode& out, const ClassPrediction& p) {
  out.predicted_class = static_cast<int64_t>(p.predicted_class);
  out.proba = p.proba;
}

// Appends the subtree of `node` to `out` in pre-order (the left child of split i is i + 1)
// and returns the index given to `node`. A split's count is the sum of its children's.
template <class T>
size_t walk_export(const Node<T>& node, std::vector<ExportedNode>& out) {
  const size_t first = out.size();
  struct Pending {
    const Node<T>* node;
    int64_t parent;  // index of the parent split, -1 for `node`
    bool is_left;
  };
  std::vector<Pending> stack{{&node, -1, false}};
  while (!stack.empty()) {
    Pending p = stack.back();
    stack.pop_back();
    const auto index = static_cast<int64_t>(out.size());
    out.emplace_back();
    if (p.parent >= 0) {
      auto& parent = out[static_cast<size_t>(p.parent)];
      (p.is_left ? parent.children_left : parent.children_right) = index;
    }
    ExportedNode& rec = out.back();
    const Node<T>& n = *p.node;
    rec.stats = n.stats;
    if (n.is_leaf()) {
      rec.is_leaf = true;
      rec.n_samples = n.n_samples;
      export_payload(rec, n.value);
      continue;
    }
    rec.feature = static_cast<int64_t>(n.rule->feature());
    if (const auto* cat = std::get_if<Category>(&n.rule->test)) {
      rec.is_categorical = true;
      rec.category = static_cast<int64_t>(cat->category);
      rec.categories = {rec.category};
    } else if (const auto* set = std::get_if<CategorySet>(&n.rule->test)) {
      rec.is_categorical = true;
      rec.categories.assign(set->categories.begin(), set->categories.end());
    } else {
      const auto& interval = std::get<Interval>(n.rule->test);
      rec.lower = interval.lower.value_or(-std::numeric_limits<double>::infinity());
      rec.upper = interval.upper.value_or(std::numeric_limits<double>::infinity());
    }
    stack.push_back({n.right.get(), index, false});
    stack.push_back({n.left.get(), index, true});
  }
  // Children come after their parent in pre-order, so one backward pass sums the counts.
  for (size_t i = out.size(); i-- > first;) {
    ExportedNode& rec = out[i];
    if (!rec.is_leaf) {
      rec.n_samples = out[static_cast<size_t>(rec.children_left)].n_samples +
                      out[static_cast<size_t>(rec.children_right)].n_samples;
    }
    if (std::isnan(rec.stats.weighted_n_samples)) {
      rec.stats.weighted_n_samples = static_cast<double>(rec.n_samples);
    }
  }
  return first;
}

}  // namespace zelk
