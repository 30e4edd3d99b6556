// The fitted tree as it lives in memory: split rules, nodes and leaf payloads, and the walks
// that read a tree without recursion (prediction of one row, depth, leaf count).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "core/data.hpp"

namespace zelk {

// A continuous test, closed below and open above; an absent bound is unbounded.
struct Interval {
  size_t feature = 0;
  std::optional<double> lower;
  std::optional<double> upper;

  bool contains(double x) const {
    return std::isfinite(x) && (!lower || x >= *lower) && (!upper || x < *upper);
  }
};

// One category against all others.
struct Category {
  size_t feature = 0;
  uint32_t category = 0;
};

// A set of categories (ascending, at least two, never the missing code) against all others.
struct CategorySet {
  size_t feature = 0;
  std::vector<uint32_t> categories;

  bool contains(uint32_t code) const {
    return std::binary_search(categories.begin(), categories.end(), code);
  }
};

struct SplitRule {
  std::variant<Interval, Category, CategorySet> test;

  size_t feature() const {
    return std::visit([](const auto& t) { return t.feature; }, test);
  }
  bool is_category() const { return test.index() != 0; }
  // Whether training sample `sample` goes to the left child.
  bool route_left_train(std::span<const Column> columns, size_t sample) const;
};

// One cell of a prediction row: a number, or a category code for a categorical feature.
struct Cell {
  double value = 0.0;
  uint32_t code = kMissingCode;
  bool is_code = false;

  static Cell number(double v) { return Cell{v, kMissingCode, false}; }
  static Cell category(uint32_t c) { return Cell{0.0, c, true}; }
};

inline bool route_left_row(const SplitRule& rule, std::span<const Cell> row) {
  if (const auto* cat = std::get_if<Category>(&rule.test)) {
    // A missing code never goes left, even against an imported rule on that very code.
    const Cell& cell = row[cat->feature];
    return cell.is_code && cell.code != kMissingCode && cell.code == cat->category;
  }
  if (const auto* set = std::get_if<CategorySet>(&rule.test)) {
    const Cell& cell = row[set->feature];
    return cell.is_code && cell.code != kMissingCode && set->contains(cell.code);
  }
  const auto& interval = std::get<Interval>(rule.test);
  const Cell& cell = row[interval.feature];
  return !cell.is_code && interval.contains(cell.value);
}

struct ClassPrediction {
  std::vector<double> proba;   // class frequencies among the leaf's training samples
  size_t predicted_class = 0;  // most frequent class, ties to the lowest
};

// What growth measured at a node, for inspection; prediction never reads it.
struct NodeStats {
  double impurity = std::numeric_limits<double>::quiet_NaN();  // over the training samples
  // The node's total sample weight; its sample count while samples are unweighted.
  double weighted_n_samples = std::numeric_limits<double>::quiet_NaN();
  double split_score = std::numeric_limits<double>::quiet_NaN();  // the chosen split's score
  std::vector<double> fold_scores;                                // that split's per-fold scores
  // Under held-out validation: the split's validated gain in total-loss units and its variance,
  // which the pruning pass reads.
  double held_out_gain = std::numeric_limits<double>::quiet_NaN();
  double held_out_variance = std::numeric_limits<double>::quiet_NaN();
};

// A leaf (no rule) or a split owning exactly two children. Destruction is iterative, so a
// chain of a million nodes is freed without deep recursion.
template <class T>
struct Node {
  std::optional<SplitRule> rule;  // present exactly for a split node
  std::unique_ptr<Node> left;
  std::unique_ptr<Node> right;
  T value{};             // leaf payload
  size_t n_samples = 0;  // training samples that reached the leaf
  NodeStats stats;

  Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  ~Node() {
    std::vector<std::unique_ptr<Node>> pending;
    auto detach = [&pending](Node& n) {
      if (n.left) pending.push_back(std::move(n.left));
      if (n.right) pending.push_back(std::move(n.right));
    };
    detach(*this);
    while (!pending.empty()) {
      std::unique_ptr<Node> n = std::move(pending.back());
      pending.pop_back();
      detach(*n);
    }
  }

  bool is_leaf() const { return !rule.has_value(); }

  static std::unique_ptr<Node> make_leaf(T value, size_t n_samples) {
    auto n = std::make_unique<Node>();
    n->value = std::move(value);
    n->n_samples = n_samples;
    return n;
  }
  static std::unique_ptr<Node> make_split(SplitRule rule, std::unique_ptr<Node> left,
                                          std::unique_ptr<Node> right) {
    auto n = std::make_unique<Node>();
    n->rule = std::move(rule);
    n->left = std::move(left);
    n->right = std::move(right);
    return n;
  }
};

// Walks `row` from `node` to a leaf and returns a copy of its payload. Reads only the cells
// the rules on the path name.
template <class T>
T predict_node(const Node<T>& node, std::span<const Cell> row) {
  const Node<T>* n = &node;
  while (!n->is_leaf())
    n = route_left_row(*n->rule, row) ? n->left.get() : n->right.get();
  return n->value;
}

// Visits every node in pre-order (node, left subtree, right subtree) without recursion;
// `visit(node, depth)`.
template <class T, class Visit>
void for_each_node(const Node<T>& root, Visit&& visit) {
  std::vector<std::pair<const Node<T>*, size_t>> stack{{&root, 0}};
  while (!stack.empty()) {
    auto [n, depth] = stack.back();
    stack.pop_back();
    visit(*n, depth);
    if (!n->is_leaf()) {
      stack.emplace_back(n->right.get(), depth + 1);
      stack.emplace_back(n->left.get(), depth + 1);
    }
  }
}

// A leaf has depth 0; a split 1 + the larger depth of its children.
template <class T>
size_t node_depth(const Node<T>& root) {
  size_t deepest = 0;
  for_each_node(root, [&deepest](const Node<T>&, size_t d) { deepest = std::max(deepest, d); });
  return deepest;
}

template <class T>
size_t node_leaves(const Node<T>& root) {
  size_t leaves = 0;
  for_each_node(root, [&leaves](const Node<T>& n, size_t) { leaves += n.is_leaf() ? 1 : 0; });
  return leaves;
}

// The number of columns a prediction row needs: 1 + the largest feature any rule reads, 0
// for a single leaf.
template <class T>
size_t required_columns(const Node<T>& root) {
  size_t needed = 0;
  for_each_node(root, [&needed](const Node<T>& n, size_t) {
    if (!n.is_leaf()) needed = std::max(needed, n.rule->feature() + 1);
  });
  return needed;
}

// The class-leaf payload of `labels`; labels at or above n_classes are not counted.
ClassPrediction class_leaf(size_t n_classes, std::span<const size_t> labels);

// Arithmetic mean in sample order; 0.0 for no targets.
double regression_leaf(std::span<const double> targets);

// The same payloads with every sample counted with its weight (`weights` as long as the
// targets): class weights over their total, the weighted mean from `start` (0.0, or -0.0 for
// fast growth's leaves); weights of 1 give the unweighted payloads bit for bit.
ClassPrediction weighted_class_leaf(size_t n_classes, std::span<const size_t> labels,
                                    std::span<const double> weights);
double weighted_regression_leaf(std::span<const double> targets, std::span<const double> weights,
                                double start = 0.0);

}  // namespace zelk
