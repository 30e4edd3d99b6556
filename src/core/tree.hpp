// The fitted tree, the task kinds that growth is written against, and both growth drivers.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>
#include <variant>
#include <vector>

#include "core/aggregation.hpp"
#include "core/binning.hpp"
#include "core/criterion.hpp"
#include "core/cross_validation.hpp"
#include "core/data.hpp"
#include "core/histogram.hpp"
#include "core/objective.hpp"
#include "core/selector.hpp"

namespace zelk {

enum class SplitMode { Strict, Fast };
enum class SplitStyle { Threshold, Bin };

// Every growth setting, validated once at construction and read-only afterwards.
struct Params {
  std::optional<size_t> max_depth;  // absent: no depth limit
  size_t min_samples_split = 2;
  size_t min_samples_leaf = 1;
  double min_impurity_decrease = 0.0;
  size_t n_bins = 8;
  KFold kfold;
  SplitMode mode = SplitMode::Strict;
  SplitStyle split_style = SplitStyle::Threshold;
  bool parallel = false;
  size_t n_threads = 1;
  size_t parallel_min_samples = 512;
};

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

struct SplitRule {
  std::variant<Interval, Category> test;

  size_t feature() const {
    return std::visit([](const auto& t) { return t.feature; }, test);
  }
  bool is_category() const { return test.index() == 1; }
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
  const auto& interval = std::get<Interval>(rule.test);
  const Cell& cell = row[interval.feature];
  return !cell.is_code && interval.contains(cell.value);
}

struct ClassPrediction {
  std::vector<double> proba;  // class frequencies among the leaf's training samples
  size_t predicted_class = 0;  // most frequent class, ties to the lowest
};

// What growth measured at a node, for inspection; prediction never reads it.
struct NodeStats {
  double impurity = std::numeric_limits<double>::quiet_NaN();  // over the training samples
  // The node's total sample weight; its sample count while samples are unweighted.
  double weighted_n_samples = std::numeric_limits<double>::quiet_NaN();
  double split_score = std::numeric_limits<double>::quiet_NaN();  // the chosen split's score
  std::vector<double> fold_scores;  // that split's per-fold scores
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
  while (!n->is_leaf()) n = route_left_row(*n->rule, row) ? n->left.get() : n->right.get();
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

// A tree laid out for prediction over one input matrix: nodes in pre-order (a split's left
// child follows it), each test reduced to `lower <= v < upper` or a category match on the
// cell at a byte offset within a row. Built once per predict call; the walk reads the
// caller's matrix in place through its strides.
template <class T>
class PredictionTree {
 public:
  // `x_col_stride` is the byte stride between a row's cells; `categorical` ascending.
  PredictionTree(const Node<T>& root, std::span<const size_t> categorical, ptrdiff_t x_col_stride) {
    struct Pending {
      const Node<T>* node;
      size_t parent;  // index of the split whose right child this is, or kNone
      size_t depth;
    };
    constexpr size_t kNone = std::numeric_limits<size_t>::max();
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    size_t leaf_depth_min = kNone;
    std::vector<Pending> stack{{&root, kNone, 0}};
    while (!stack.empty()) {
      const Pending p = stack.back();
      stack.pop_back();
      const size_t index = nodes_.size();
      // Node indices are 32-bit to keep a node in half a cache line; a tree that large
      // could not fit in memory anyway.
      if (index > std::numeric_limits<uint32_t>::max()) {
        throw std::length_error("tree too large to predict");
      }
      if (p.parent != kNone) nodes_[p.parent].right = static_cast<uint32_t>(index);
      FlatNode& out = nodes_.emplace_back();
      const T* payload = nullptr;
      const Node<T>& n = *p.node;
      if (n.is_leaf()) {
        // A NaN lower bound never holds, so a leaf steps to itself.
        out.lower = kNaN;
        out.right = static_cast<uint32_t>(index);
        payload = &n.value;
        leaf_depth_min = std::min(leaf_depth_min, p.depth);
      } else {
        const size_t feature = n.rule->feature();
        width_ = std::max(width_, feature + 1);
        out.offset = static_cast<ptrdiff_t>(feature) * x_col_stride;
        const bool code_cell = contains_sorted(categorical, feature);
        if (const auto* cat = std::get_if<Category>(&n.rule->test)) {
          // A missing code never goes left, and a category never matches a numeric cell.
          if (code_cell && cat->category != kMissingCode) {
            out.category = cat->category;
            has_category_ = true;
          } else {
            out.lower = kNaN;
          }
        } else if (code_cell) {
          out.lower = kNaN;  // an interval never matches a category cell
        } else {
          // Equivalent to "finite and within the bounds": the lowest double instead of -inf
          // keeps -inf out, and nothing is below +inf.
          const auto& interval = std::get<Interval>(n.rule->test);
          const double lower = interval.lower.value_or(-kInf);
          out.lower = lower == -kInf ? std::numeric_limits<double>::lowest() : lower;
          out.upper = interval.upper.value_or(kInf);
        }
        depth_bound_ = std::max(depth_bound_, p.depth + 1);
        stack.push_back({n.right.get(), index, p.depth + 1});
        stack.push_back({n.left.get(), kNone, p.depth + 1});
      }
      payloads_.push_back(payload);
    }
    splits_everywhere_ = leaf_depth_min;
  }

  // Calls `emit(i, payload)` for every row i of `x`, which has at least required_columns
  // columns and the column stride given at construction.
  template <class Emit>
  void predict(const MatrixView& x, Emit&& emit) const {
    apply(x, [&](size_t i, uint32_t leaf) { emit(i, *payloads_[leaf]); });
  }

  // Calls `emit(i, leaf)` for every row i of `x` with the pre-order index of the leaf it
  // reaches (the numbering of the export).
  template <class Emit>
  void apply(const MatrixView& x, Emit&& emit) const {
    if (nodes_.size() == 1) {  // a lone leaf reads no cell, and x may have none
      for (size_t i = 0; i < x.rows; ++i)
        emit(i, uint32_t{0});
      return;
    }
    if (has_category_) {
      walk<true>(x, emit);
    } else {
      walk<false>(x, emit);
    }
  }

 private:
  struct FlatNode {
    double lower = 0.0;
    double upper = 0.0;
    ptrdiff_t offset = 0;
    uint32_t right = 0;
    uint32_t category = kMissingCode;  // kMissingCode: an interval test, or a leaf
  };

  template <bool kCategories>
  static bool goes_left(const FlatNode& n, const char* row) {
    double v;
    __builtin_memcpy(&v, row + n.offset, sizeof v);  // the caller's array may be unaligned
    if constexpr (kCategories) {
      if (n.category != kMissingCode) return category_code(v) == n.category;
    }
    return (v >= n.lower) & (v < n.upper);
  }

  template <bool kCategories>
  static uint32_t step(const FlatNode* nodes, uint32_t i, const char* row) {
    const FlatNode& n = nodes[i];
    // A mask instead of a branch: the direction is as good as random.
    const uint32_t left_mask = uint32_t{0} - uint32_t{goes_left<kCategories>(n, row)};
    return n.right ^ ((n.right ^ (i + 1)) & left_mask);
  }

  // Rows go down in blocks, one level at a time for the whole block, so that the loads of
  // independent rows overlap instead of waiting on each other.
  template <bool kCategories, class Emit>
  void walk(const MatrixView& x, Emit& emit) const {
    constexpr size_t kBlock = 16;
    constexpr size_t kAhead = 2;  // blocks
    const FlatNode* nodes = nodes_.data();
    const bool contiguous_rows = x.col_stride == static_cast<ptrdiff_t>(sizeof(double));
    const size_t row_bytes = width_ * sizeof(double);
    std::array<uint32_t, kBlock> at{};
    std::array<const char*, kBlock> rows{};
    for (size_t first = 0; first < x.rows; first += kBlock) {
      const size_t count = std::min(kBlock, x.rows - first);
      for (size_t r = 0; r < count; ++r) {
        at[r] = 0;
        rows[r] = x.data + static_cast<ptrdiff_t>(first + r) * x.row_stride;
      }
      if (contiguous_rows) {
        // The walk jumps between a row's cells, which the hardware prefetcher does not follow.
        const size_t ahead_end = std::min(x.rows, first + (kAhead + 1) * kBlock);
        for (size_t r = first + kAhead * kBlock; r < ahead_end; ++r) {
          const char* row = x.data + static_cast<ptrdiff_t>(r) * x.row_stride;
          for (size_t b = 0; b < row_bytes; b += 64)
            __builtin_prefetch(row + b);
        }
      }
      // No row can reach a leaf in fewer levels than the shallowest leaf.
      for (size_t level = 0; level < splits_everywhere_; ++level) {
        for (size_t r = 0; r < count; ++r)
          at[r] = step<kCategories>(nodes, at[r], rows[r]);
      }
      // Every path is at most depth_bound_ splits long; stop early once all rows are leaves.
      for (size_t level = splits_everywhere_; level < depth_bound_; ++level) {
        bool moved = false;
        for (size_t r = 0; r < count; ++r) {
          const uint32_t next = step<kCategories>(nodes, at[r], rows[r]);
          moved |= next != at[r];
          at[r] = next;
        }
        if (!moved) break;
      }
      for (size_t r = 0; r < count; ++r)
        emit(first + r, at[r]);
    }
  }

  std::vector<FlatNode> nodes_;
  std::vector<const T*> payloads_;  // the leaf payload of each node, nullptr for a split
  size_t depth_bound_ = 0;          // the most splits on any path
  size_t splits_everywhere_ = 0;    // the fewest splits on any path
  size_t width_ = 0;                // 1 + the largest feature a rule reads
  bool has_category_ = false;
};

// The class-leaf payload of `labels`; labels at or above n_classes are not counted.
ClassPrediction class_leaf(size_t n_classes, std::span<const size_t> labels);

// Arithmetic mean in sample order; 0.0 for no targets.
double regression_leaf(std::span<const double> targets);

// The rule that reproduces the winning candidate on the node's samples, or none when the
// candidate has no rule (the highest bin in threshold mode).
std::optional<SplitRule> make_rule(const Column& column, size_t feature, uint32_t state,
                                   std::span<const size_t> samples, size_t n_bins,
                                   bool threshold);

// What strict scoring of one feature reads at a node; shared read-only by worker threads.
template <class Target>
struct StrictNode {
  const Params& params;
  std::span<const Column> columns;
  std::span<const Target> targets;
  std::span<const size_t> samples;
  std::span<const Fold> folds;
  const Aggregator& aggregator;
  // Where KFold dealt each entry of `samples`, when it dealt `folds` from them; lets scoring
  // derive every fold's training order from one sort of the node.
  const FoldIndex* index = nullptr;
};

// What fast scoring of one feature reads at a node.
template <class Target>
struct FastNode {
  const Params& params;
  const BinnedData& data;
  std::span<const Target> targets;
  const FoldAssignment& folds;
  const Aggregator& aggregator;
};

struct Regression {
  using Target = double;
  using Payload = double;
  std::unique_ptr<RegressionCriterion> criterion;

  double leaf_value(std::span<const double> targets) const { return regression_leaf(targets); }
  double node_impurity(std::span<const double> targets) const {
    return criterion->impurity(targets);
  }
  std::vector<ScoredCandidate> score_feature(const StrictNode<double>& node,
                                             size_t feature) const;
  std::vector<ScoredCandidate> score_feature_fast(const FastNode<double>& node, size_t feature,
                                                  FastScratch* scratch) const;
};

struct Classification {
  using Target = size_t;
  using Payload = ClassPrediction;
  std::unique_ptr<ClassCriterion> criterion;
  size_t n_classes = 0;
  bool entropy = false;  // which of gini / entropy the criterion is

  ClassPrediction leaf_value(std::span<const size_t> labels) const {
    return class_leaf(n_classes, labels);
  }
  double node_impurity(std::span<const size_t> labels) const {
    return criterion->impurity(labels);
  }
  std::vector<ScoredCandidate> score_feature(const StrictNode<size_t>& node,
                                             size_t feature) const;
  std::vector<ScoredCandidate> score_feature_fast(const FastNode<size_t>& node, size_t feature,
                                                  FastScratch* scratch) const;
};

struct ObjectiveClassification {
  using Target = size_t;
  using Payload = ClassPrediction;
  std::unique_ptr<ClassObjective> objective;
  size_t n_classes = 0;
  Gini gini{0};  // for the pure-node test only

  ObjectiveClassification(std::unique_ptr<ClassObjective> objective, size_t n_classes)
      : objective(std::move(objective)), n_classes(n_classes), gini(n_classes) {}

  ClassPrediction leaf_value(std::span<const size_t> labels) const {
    return class_leaf(n_classes, labels);
  }
  double node_impurity(std::span<const size_t> labels) const { return gini.impurity(labels); }
  std::vector<ScoredCandidate> score_feature(const StrictNode<size_t>& node,
                                             size_t feature) const;
  std::vector<ScoredCandidate> score_feature_fast(const FastNode<size_t>& node, size_t feature,
                                                  FastScratch* scratch) const;
};

template <class K>
using NodeOf = Node<typename K::Payload>;

// Strict growth from raw values. Never fails for valid input (at least one sample and one
// column); throws Panic only when worker threads fail.
template <class K>
std::unique_ptr<NodeOf<K>> build_node(const K& task, const Params& params,
                                      const Aggregator& aggregator,
                                      std::span<const Column> columns,
                                      std::span<const typename K::Target> targets,
                                      std::vector<size_t> samples, size_t depth);

// Fast growth from binned data; partitions `samples` in place.
template <class K>
std::unique_ptr<NodeOf<K>> build_node_fast(const K& task, const Params& params,
                                           const Aggregator& aggregator, const BinnedData& data,
                                           std::span<const typename K::Target> targets,
                                           std::span<uint32_t> samples, size_t depth);

// The same tree as build_node_fast over samples 0, 1, ..., n - 1, from binned data that it
// takes over: the code lists are reordered along with the samples so that every node reads
// a contiguous stretch of each, which keeps the per-feature passes in cache.
template <class K>
std::unique_ptr<NodeOf<K>> build_node_fast_in_place(const K& task, const Params& params,
                                                    const Aggregator& aggregator,
                                                    BinnedData&& data,
                                                    std::span<const typename K::Target> targets,
                                                    size_t depth);

// One node of the flat, exported form of a tree.
struct ExportedNode {
  bool is_leaf = false;
  int64_t children_left = -1;
  int64_t children_right = -1;
  int64_t feature = -1;
  bool is_categorical = false;
  double lower = std::numeric_limits<double>::quiet_NaN();
  double upper = std::numeric_limits<double>::quiet_NaN();
  int64_t category = -1;
  size_t n_samples = 0;
  double value = std::numeric_limits<double>::quiet_NaN();
  int64_t predicted_class = -1;
  std::vector<double> proba;
  NodeStats stats;  // weighted_n_samples falls back to n_samples when growth recorded none
};

inline void export_payload(ExportedNode& out, double value) { out.value = value; }
inline void export_payload(ExportedNode& out, const ClassPrediction& p) {
  out.predicted_class = static_cast<int64_t>(p.predicted_class);
  out.proba = p.proba;
}

// The estimator's tree: settings, optional root, task and aggregator.
template <class K>
struct DecisionTree {
  Params params;
  std::unique_ptr<NodeOf<K>> root;
  K task;
  std::unique_ptr<Aggregator> aggregator;

  // Appends the subtree of `node` to `out` in pre-order (the left child of split i is i + 1)
  // and returns the index given to `node`. A split's count is the sum of its children's.
  static size_t walk_export(const NodeOf<K>& node, std::vector<ExportedNode>& out) {
    const size_t first = out.size();
    struct Pending {
      const NodeOf<K>* node;
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
      const NodeOf<K>& n = *p.node;
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
};

}  // namespace zelk
