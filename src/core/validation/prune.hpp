// The pass after held-out growth that removes every split whose subtree's validated gain does
// not stand out from what chance alone would leave in it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace zelk {

// The level at which the whole tree must beat a single leaf.
inline constexpr double kTreeSignificance = 0.05;

// One node of a grown tree as pruning reads it; nodes are in pre-order, so a split's
// children come after it.
struct PruneNode {
  bool split = false;
  size_t left = 0;  // a split's children, as indices of the list
  size_t right = 0;
  double gain = 0.0;      // its split's validated gain, in total-loss units
  double variance = 0.0;  // and that gain's variance
  double weight = 0.0;    // the node's total weight
  size_t n_folds = 0;     // the folds that judged its split
};

// Which splits stay (1) and which become leaves (0), bottom-up. A split stays when its
// subtree's validated gain S - its own held-out gain plus its kept children's S - exceeds
// min_impurity_decrease per unit of the node's weight: the subtree is expected to gain on data
// it was not grown from.
//
// Then the root answers for the whole tree, whose gain was picked as the best of many: it stays
// only when S exceeds the one-sided 5% quantile of Student's t with (the root's folds - 1)
// degrees of freedom times sqrt(W), W the summed variance of the kept splits' gains, so that
// data with nothing to learn give a single leaf at least about nineteen times in twenty. A
// not-a-number min_impurity_decrease keeps every split whose gain was measured.
std::vector<char> held_out_kept(std::span<const PruneNode> nodes, double min_impurity_decrease);

}  // namespace zelk
