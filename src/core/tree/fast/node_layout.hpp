// The node layout of fast growth. Every list a node reads - the code lists, the targets and
// the node's dealing - is kept in the order of the shared sample array, so a node is one
// stretch [begin, begin + n) of each and its children are the two parts of that stretch
// after the partition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "core/cross_validation.hpp"
#include "core/histogram/scratch.hpp"
#include "core/tree/tasks.hpp"

namespace zelk {

// Deals the positions 0, 1, ..., n - 1 of a node's stretch into folds exactly as KFold::assign
// deals n samples, writing them into `rows` and their fold numbers into `fold` (n =
// rows.size() entries each); returns the number of folds. Dealing depends only on the count
// and the seed, so this is the dealing of the node's samples themselves.
size_t deal_positions(const KFold& kfold, std::span<uint32_t> rows, std::span<uint8_t> fold);

// The targets at `rows` into `y`, with every fold's sum and sum of squares (n_folds entries
// each, summed in dealt order).
void gather_regression(std::span<const double> targets, std::span<const uint32_t> rows,
                       std::span<const uint8_t> fold, size_t n_folds, std::span<double> y,
                       std::vector<double>& fold_sums, std::vector<double>& fold_sq_sums);
// The same for a weighted fit: w y and w y y summed per fold, and every fold's weight;
// `weights` is indexed like `targets`, `w` receives the weights at `rows`.
void gather_weighted_regression(std::span<const double> targets, std::span<const double> weights,
                                std::span<const uint32_t> rows, std::span<const uint8_t> fold,
                                size_t n_folds, std::span<double> y, std::span<double> w,
                                std::vector<double>& fold_sums, std::vector<double>& fold_sq_sums,
                                std::vector<double>& fold_weights);
// Keeps the dealt entries whose weight (indexed like the rows) is positive, in their order, at
// the front of `rows` and `fold`; returns how many there are.
size_t keep_positive(std::span<const double> weights, std::span<uint32_t> rows,
                     std::span<uint8_t> fold);
// The labels at `rows` into `label`, n_classes for a label at or above it.
void gather_labels(std::span<const size_t> labels, size_t n_classes, std::span<const uint32_t> rows,
                   std::span<uint32_t> label);

// What a node's own pass would compute before scoring, computed instead by the pass that made
// the node. A node to split has its dealing and gathered targets in its stretch of the stash.
template <class K>
struct PreparedNode {
  typename K::Payload payload;
  double impurity = 0.0;  // of the node's training samples
  bool split = false;     // passed the stop rules and the purity test
  size_t n_folds = 0;
  std::vector<double> fold_sums;     // regression
  std::vector<double> fold_sq_sums;  // regression
  // Weighted: the node's total weight, its samples of positive weight (the stop rules count
  // those) and, once dealt, its dealt entries that are scored (those same samples).
  double weight = 0.0;
  size_t counted = 0;
  size_t n_scored = 0;
  std::vector<double> fold_weights;  // regression, weighted
};

// The prepared nodes' dealt positions, fold numbers and gathered targets, each node in its
// own stretch; a stretch is written when its node is prepared and read when it is scored.
template <class K>
class NodeStash {
 public:
  NodeStash(size_t n, bool weighted) : rows_(n), fold_(n) {
    if constexpr (std::is_same_v<K, Regression>) y_.resize(n);
    if constexpr (std::is_same_v<K, Classification>) label_.resize(n);
    if (weighted) w_.resize(n);
  }

  // Deals the node of stretch [begin, begin + t.size()) and gathers its targets `t` (in
  // stretch order) in dealt order. Weighted (`weights` in stretch order), only the entries of
  // positive weight are kept, in dealt order, with their weights.
  void deal(const K& task, const KFold& kfold, size_t begin, std::span<const typename K::Target> t,
            std::span<const double> weights, PreparedNode<K>& prepared) {
    size_t n = t.size();
    std::span<uint32_t> dealt = std::span<uint32_t>(rows_).subspan(begin, n);
    std::span<uint8_t> fold = std::span<uint8_t>(fold_).subspan(begin, n);
    prepared.n_folds = deal_positions(kfold, dealt, fold);
    if (!weights.empty()) {
      n = keep_positive(weights, dealt, fold);
      dealt = dealt.first(n);
      fold = fold.first(n);
      const std::span<double> w = std::span<double>(w_).subspan(begin, n);
      if constexpr (std::is_same_v<K, Regression>) {
        gather_weighted_regression(t, weights, dealt, fold, prepared.n_folds,
                                   std::span<double>(y_).subspan(begin, n), w, prepared.fold_sums,
                                   prepared.fold_sq_sums, prepared.fold_weights);
      } else {
        for (size_t j = 0; j < n; ++j)
          w[j] = weights[dealt[j]];
      }
    } else if constexpr (std::is_same_v<K, Regression>) {
      gather_regression(t, dealt, fold, prepared.n_folds, std::span<double>(y_).subspan(begin, n),
                        prepared.fold_sums, prepared.fold_sq_sums);
    }
    prepared.n_scored = n;
    if constexpr (std::is_same_v<K, Classification>) {
      gather_labels(t, task.n_classes, dealt, std::span<uint32_t>(label_).subspan(begin, n));
    }
  }

  // What the scorers read of the prepared node of stretch [begin, ...).
  RowsView view(const K& task, size_t begin, const PreparedNode<K>& prepared) const {
    const size_t n = prepared.n_scored;
    RowsView view;
    view.rows = std::span<const uint32_t>(rows_).subspan(begin, n);
    view.fold = std::span<const uint8_t>(fold_).subspan(begin, n);
    view.n_folds = prepared.n_folds;
    if (!w_.empty()) {
      view.w = std::span<const double>(w_).subspan(begin, n);
      view.fold_weights = prepared.fold_weights;
    }
    if constexpr (std::is_same_v<K, Regression>) {
      view.y = std::span<const double>(y_).subspan(begin, n);
      view.fold_sums = prepared.fold_sums;
      view.fold_sq_sums = prepared.fold_sq_sums;
    } else if constexpr (std::is_same_v<K, Classification>) {
      view.label = std::span<const uint32_t>(label_).subspan(begin, n);
      view.n_classes = task.n_classes;
    }
    return view;
  }

 private:
  std::vector<uint32_t> rows_;
  std::vector<uint8_t> fold_;
  std::vector<double> y_;        // regression
  std::vector<uint32_t> label_;  // classification
  std::vector<double> w_;        // weighted
};

}  // namespace zelk
