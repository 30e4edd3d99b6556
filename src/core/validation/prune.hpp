// The pass after held-out growth that removes every split whose subtree's validated gain does
// not stand out from what chance alone would leave in it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "core/tree/model.hpp"
#include "core/validation/student_t.hpp"

namespace zelk {

// The level at which the whole tree must beat a single leaf.
inline constexpr double kTreeSignificance = 0.05;

// Bottom-up over the grown tree (children before their parent, with no recursion). A split
// stays when its subtree's validated gain S - its own held-out gain plus its kept children's
// S - exceeds min_impurity_decrease per unit of the node's weight: the subtree is expected to
// gain on data it was not grown from. Otherwise the split becomes a leaf with the payload growth
// left in it, and its subtree is freed.
//
// Then the root answers for the whole tree, whose gain was picked as the best of many: it stays
// only when S exceeds the one-sided 5% quantile of Student's t with (the root's folds - 1)
// degrees of freedom times sqrt(W), W the summed variance of the kept splits' gains, so that
// data with nothing to learn give a single leaf at least about nineteen times in twenty. A
// not-a-number min_impurity_decrease keeps every split whose gain was measured.
template <class T>
void prune_held_out(Node<T>& root, double min_impurity_decrease) {
  struct Entry {
    Node<T>* node;
    size_t left = 0;  // entry indices of a split's children
    size_t right = 0;
  };
  constexpr size_t kNone = static_cast<size_t>(-1);
  struct Pending {
    Node<T>* node;
    size_t parent;  // entry index of the parent, kNone for the root
    bool is_left;
  };
  std::vector<Entry> order;  // pre-order: a parent before its children
  std::vector<Pending> stack{{&root, kNone, false}};
  while (!stack.empty()) {
    const Pending p = stack.back();
    stack.pop_back();
    const size_t index = order.size();
    order.push_back({p.node});
    if (p.parent != kNone) (p.is_left ? order[p.parent].left : order[p.parent].right) = index;
    if (!p.node->is_leaf()) {
      stack.push_back({p.node->right.get(), index, false});
      stack.push_back({p.node->left.get(), index, true});
    }
  }

  const auto to_leaf = [](Node<T>& n) {
    n.rule.reset();
    n.left.reset();
    n.right.reset();
    n.stats.split_score = std::numeric_limits<double>::quiet_NaN();
    n.stats.fold_scores.clear();
  };
  // The degrees of freedom of the root's variance: its folds that judged a split, less one.
  const auto freedom = [](const Node<T>& n) {
    return std::max<size_t>(n.stats.fold_scores.size(), 2) - 1;
  };
  std::vector<double> subtree_gain(order.size(), 0.0);
  std::vector<double> subtree_variance(order.size(), 0.0);
  std::vector<char> kept(order.size(), 0);
  for (size_t i = order.size(); i-- > 0;) {
    Node<T>& n = *order[i].node;
    if (n.is_leaf()) continue;
    double gain = n.stats.held_out_gain;
    double variance = n.stats.held_out_variance;
    for (size_t child : {order[i].left, order[i].right}) {
      if (!kept[child]) continue;
      gain += subtree_gain[child];
      variance += subtree_variance[child];
    }
    const double bar = min_impurity_decrease * n.stats.weighted_n_samples;
    const bool measured = !std::isnan(gain) && gain > -std::numeric_limits<double>::infinity();
    if (measured && !(bar >= gain)) {
      kept[i] = 1;
      subtree_gain[i] = gain;
      subtree_variance[i] = variance;
      continue;
    }
    to_leaf(n);
  }
  if (kept[0] && !std::isnan(min_impurity_decrease)) {
    const double bar =
        student_t_quantile(1.0 - kTreeSignificance, freedom(root)) * std::sqrt(subtree_variance[0]);
    if (!(subtree_gain[0] > bar)) to_leaf(root);
  }
}

}  // namespace zelk
