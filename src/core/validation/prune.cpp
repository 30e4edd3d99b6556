#include "core/validation/prune.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/validation/student_t.hpp"

namespace zelk {

std::vector<char> held_out_kept(std::span<const PruneNode> nodes, double min_impurity_decrease) {
  std::vector<double> subtree_gain(nodes.size(), 0.0);
  std::vector<double> subtree_variance(nodes.size(), 0.0);
  std::vector<char> kept(nodes.size(), 0);
  for (size_t i = nodes.size(); i-- > 0;) {
    const PruneNode& n = nodes[i];
    if (!n.split) continue;
    double gain = n.gain;
    double variance = n.variance;
    for (size_t child : {n.left, n.right}) {
      if (!kept[child]) continue;
      gain += subtree_gain[child];
      variance += subtree_variance[child];
    }
    const double bar = min_impurity_decrease * n.weight;
    const bool measured = !std::isnan(gain) && gain > -std::numeric_limits<double>::infinity();
    if (measured && !(bar >= gain)) {
      kept[i] = 1;
      subtree_gain[i] = gain;
      subtree_variance[i] = variance;
    }
  }
  if (!nodes.empty() && kept[0] && !std::isnan(min_impurity_decrease)) {
    // The degrees of freedom of the root's variance: its folds that judged a split, less one.
    const size_t freedom = std::max<size_t>(nodes[0].n_folds, 2) - 1;
    const double bar =
        student_t_quantile(1.0 - kTreeSignificance, freedom) * std::sqrt(subtree_variance[0]);
    if (!(subtree_gain[0] > bar)) kept[0] = 0;
  }
  return kept;
}

}  // namespace zelk
