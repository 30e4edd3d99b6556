// Validation "tree": a grown tree sized by cross-validating the whole tree over its weakest-link
// pruning sequence (see validation/cost_complexity.hpp). Every tree here is read through the
// caller's matrix, as prediction reads it, so that both growth modes are sized alike.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#include "core/cross_validation.hpp"
#include "core/data.hpp"
#include "core/parallel.hpp"
#include "core/tree/model.hpp"
#include "core/tree/prediction.hpp"
#include "core/validation/cost_complexity.hpp"

namespace zelk {

// A grown tree in pre-order, with every row's leaf, for sizing.
template <class T>
class FlatGrown {
 public:
  FlatGrown(const Node<T>& root, const MatrixView& x, std::span<const size_t> categorical) {
    struct Pending {
      const Node<T>* node;
      size_t parent;
      bool is_left;
    };
    std::vector<Pending> stack{{&root, 0, false}};
    while (!stack.empty()) {
      const Pending p = stack.back();
      stack.pop_back();
      const size_t i = nodes_.size();
      nodes_.push_back(p.node);
      RiskNode r;
      r.split = !p.node->is_leaf();
      r.parent = i == 0 ? 0 : p.parent;
      risk_.push_back(r);
      if (i > 0) (p.is_left ? risk_[p.parent].left : risk_[p.parent].right) = i;
      if (r.split) {
        stack.push_back({p.node->right.get(), i, false});
        stack.push_back({p.node->left.get(), i, true});
      }
    }
    for (size_t i = nodes_.size(); i-- > 0;)
      risk_[i].end = risk_[i].split ? risk_[risk_[i].right].end : i + 1;
    leaf_.resize(x.rows);
    PredictionTree<T>(root, categorical, x.col_stride).apply(x, [&](size_t row, uint32_t leaf) {
      leaf_[row] = leaf;
    });
  }

  size_t size() const { return nodes_.size(); }
  const Node<T>& node(size_t i) const { return *nodes_[i]; }
  std::vector<RiskNode>& risk() { return risk_; }
  const std::vector<RiskNode>& risk() const { return risk_; }

  // Row `row`'s path, root first, into `path`.
  void path(size_t row, std::vector<uint32_t>& path) const {
    path.clear();
    for (size_t i = leaf_[row];; i = risk_[i].parent) {
      path.push_back(static_cast<uint32_t>(i));
      if (i == 0) break;
    }
    std::reverse(path.begin(), path.end());
  }

 private:
  std::vector<const Node<T>*> nodes_;
  std::vector<RiskNode> risk_;
  std::vector<uint32_t> leaf_;  // per row of the matrix
};

// The loss of predicting a row of target `y` by a node's payload: misclassification, or the
// squared error of the mean.
inline double payload_loss(const ClassPrediction& p, size_t y) {
  return p.predicted_class == y ? 0.0 : 1.0;
}
inline double payload_loss(double mean, double y) {
  return (y - mean) * (y - mean);
}

// Fills every node's resubstitution risk from the rows `rows` it was grown from, and returns
// its splits' weakest-link levels per unit of those rows' weight: a tree grown on nine tenths
// of the rows gains nine tenths as much from the same splits, and is pruned alike at the same
// level only on that scale.
template <class T, class Target>
std::vector<double> grown_levels(FlatGrown<T>& tree, std::span<const size_t> rows,
                                 std::span<const Target> targets, std::span<const double> weights) {
  std::vector<RiskNode>& risk = tree.risk();
  std::vector<uint32_t> path;
  double total = 0.0;
  for (size_t row : rows) {
    const double w = weights.empty() ? 1.0 : weights[row];
    if (!(w > 0.0)) continue;
    total += w;
    tree.path(row, path);
    for (uint32_t i : path)
      risk[i].risk += w * payload_loss(tree.node(i).value, targets[row]);
  }
  std::vector<double> levels = weakest_link_levels(risk);
  if (total > 0.0) {
    for (double& level : levels)
      level /= total;  // -infinity, a leaf's, stays
  }
  return levels;
}

// The rows dealt into the sizing folds: stratified by class when every class has a row for
// each fold (rows of zero weight, whose labels play no part, as a group of their own), from a
// stream of the seed that differs from the nodes' folds.
template <class Target>
std::vector<uint8_t> sizing_folds(std::span<const Target> targets, std::span<const double> weights,
                                  const KFold& node_folds, size_t& n_folds) {
  const size_t n = targets.size();
  n_folds = std::min(n, kSizingFolds);
  std::vector<uint32_t> order(n);
  for (size_t i = 0; i < n; ++i)
    order[i] = static_cast<uint32_t>(i);
  KFold kfold = node_folds;
  kfold.shuffle = true;
  kfold.seed = node_folds.seed ^ 0x5ced1e55a1f01d5ull;
  kfold.shuffle_in_place(std::span<uint32_t>(order));
  std::vector<uint8_t> fold(n, 0);
  if constexpr (std::is_same_v<Target, size_t>) {
    constexpr size_t kWeightless = std::numeric_limits<size_t>::max();
    const auto group = [&](size_t i) {
      return weights.empty() || weights[i] > 0.0 ? targets[i] : kWeightless;
    };
    std::vector<size_t> per_class;
    for (size_t i = 0; i < n; ++i) {
      if (group(i) == kWeightless) continue;
      if (targets[i] >= per_class.size()) per_class.resize(targets[i] + 1, 0);
      ++per_class[targets[i]];
    }
    const bool stratified = std::all_of(per_class.begin(), per_class.end(),
                                        [&](size_t c) { return c == 0 || c >= n_folds; });
    if (stratified) {
      std::stable_sort(order.begin(), order.end(),
                       [&](uint32_t a, uint32_t b) { return group(a) < group(b); });
      for (size_t p = 0; p < n; ++p)
        fold[order[p]] = static_cast<uint8_t>(p % n_folds);
      return fold;
    }
  }
  for (size_t p = 0; p < n; ++p)
    fold[order[p]] = static_cast<uint8_t>(p * n_folds / n);
  return fold;
}

// Sizes `root`, grown on every row, by cross-validation: `grow(rows, threads)` grows the same
// way on `rows` (on `threads` threads inside growth), or returns nullptr when the rows cannot
// make a tree. Splits outside the chosen candidate become leaves with their payload.
template <class T, class Target, class Grow>
void size_by_tree_cv(std::unique_ptr<Node<T>>& root, const MatrixView& x,
                     std::span<const size_t> categorical, std::span<const Target> targets,
                     std::span<const double> weights, const KFold& node_folds, size_t n_threads,
                     Grow&& grow) {
  const size_t n = targets.size();
  std::vector<size_t> all(n);
  for (size_t i = 0; i < n; ++i)
    all[i] = i;
  FlatGrown<T> whole(*root, x, categorical);
  const std::vector<double> levels = grown_levels(whole, all, targets, weights);
  const PruningSequence sequence = pruning_sequence(levels);
  if (sequence.size() < 2) return;  // a single leaf

  size_t n_folds = 0;
  const std::vector<uint8_t> fold = sizing_folds(targets, weights, node_folds, n_folds);
  std::vector<std::vector<size_t>> train(n_folds);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n_folds; ++j) {
      if (fold[i] != j) train[j].push_back(i);
    }
  }
  // The fold trees, on several threads at once, each growing alone.
  std::vector<size_t> folds(n_folds);
  for (size_t j = 0; j < n_folds; ++j)
    folds[j] = j;
  const auto grow_fold = [&](size_t j) { return grow(std::span<const size_t>(train[j]), 1); };
  std::vector<std::unique_ptr<Node<T>>> trees;
  if (n_threads >= 2) {
    trees = par_map(std::span<const size_t>(folds), n_threads, grow_fold);
  } else {
    for (size_t j = 0; j < n_folds; ++j)
      trees.push_back(grow_fold(j));
  }
  std::vector<std::unique_ptr<FlatGrown<T>>> flat(n_folds);
  std::vector<std::vector<double>> fold_levels(n_folds);
  for (size_t j = 0; j < n_folds; ++j) {
    if (!trees[j]) continue;
    flat[j] = std::make_unique<FlatGrown<T>>(*trees[j], x, categorical);
    fold_levels[j] = grown_levels(*flat[j], train[j], targets, weights);
  }

  // A held-out row's loss under candidates [first, last): its fold tree pruned at the
  // candidate's representative level, walked from the root while the splits' levels exceed it.
  // The representatives rise with the candidates, so the row's leaf moves up its path: each
  // node of the path holds it for a run of candidates, which ends at the first representative
  // that reaches the level of the split above it.
  const std::vector<double>& representative = sequence.representative;
  const size_t n_candidates = sequence.size();
  std::vector<LossRun> runs;
  std::vector<uint32_t> path;
  const auto each_row = [&](size_t first, size_t last, auto&& add) {
    for (size_t i = 0; i < n; ++i) {
      const size_t j = fold[i];
      const double w = weights.empty() ? 1.0 : weights[i];
      if (!flat[j] || !(w > 0.0)) continue;
      const FlatGrown<T>& tree = *flat[j];
      tree.path(i, path);
      runs.clear();
      size_t stop = path.size() - 1;
      for (size_t c = first; c < last;) {
        while (stop > 0 && !(fold_levels[j][path[stop - 1]] > representative[c]))
          --stop;
        runs.push_back({c, payload_loss(tree.node(path[stop]).value, targets[i])});
        if (stop == 0) break;  // the root holds the rest
        const auto from = representative.begin();
        c = static_cast<size_t>(std::lower_bound(from + static_cast<ptrdiff_t>(c),
                                                 from + static_cast<ptrdiff_t>(last),
                                                 fold_levels[j][path[stop - 1]]) -
                                from);
      }
      add(w, std::span<const LossRun>(runs), payload_loss(tree.node(0).value, targets[i]));
    }
  };
  SizingChoice choice(n_candidates);
  each_row(0, n_candidates,
           [&](double w, std::span<const LossRun> r, double root) { choice.add_risk(w, r, root); });
  // The spreads: of the best candidate's gain over the leaf, and of the smaller ones' excess.
  each_row(choice.best(), n_candidates, [&](double w, std::span<const LossRun> r, double root) {
    choice.add_spread(w, r, root);
  });
  const double bound = sequence.bounds[choice.chosen()];

  // Parents come first, so a split turned into a leaf is met before anything below it.
  std::vector<Node<T>*> order;
  std::vector<Node<T>*> stack{root.get()};
  while (!stack.empty()) {
    Node<T>* node = stack.back();
    stack.pop_back();
    order.push_back(node);
    if (!node->is_leaf()) {
      stack.push_back(node->right.get());
      stack.push_back(node->left.get());
    }
  }
  for (size_t i = 0; i < order.size();) {
    Node<T>& node = *order[i];
    if (node.is_leaf() || levels[i] > bound) {
      ++i;
      continue;
    }
    const size_t end = whole.risk()[i].end;
    node.rule.reset();
    node.left.reset();
    node.right.reset();
    node.stats.split_score = std::numeric_limits<double>::quiet_NaN();
    node.stats.fold_scores.clear();
    i = end;
  }
}

}  // namespace zelk
