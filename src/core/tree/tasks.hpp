// The three task kinds that both growth drivers are written against. Each holds its measure
// and is the one seam through which a driver reaches the task's leaf payload, its node
// impurity and its scorers (strict: one list of candidates per feature; fast: every
// candidate of a feature offered to the node's BestSplit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/admissibility.hpp"
#include "core/aggregation.hpp"
#include "core/binning.hpp"
#include "core/criterion.hpp"
#include "core/cross_validation.hpp"
#include "core/data.hpp"
#include "core/histogram/best_split.hpp"
#include "core/histogram/scratch.hpp"
#include "core/objective.hpp"
#include "core/selector.hpp"
#include "core/tree/model.hpp"
#include "core/tree/params.hpp"
#include "core/validation/held_out.hpp"

namespace zelk {

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
  // A weighted fit: every sample's weight, indexed like `targets`; empty for an unweighted
  // one. Weighted, `samples` and `folds` hold the node's samples of positive weight only.
  std::span<const double> weights = {};
  NodeAdmission admission = {};  // which candidates the node may take
  size_t n_classes = 0;          // the classifiers' classes, which order categories
};

// What fast scoring of one feature reads at a node: its dealt entries and, for every
// feature, the stretch of the code list that the node's samples hold (fast growth keeps
// each code list in the order of the shared sample array).
template <class Target>
struct FastNode {
  const Params& params;
  const BinnedData& data;
  const Aggregator& aggregator;
  RowsView rows;                    // `rows.rows` indexes the stretch
  std::span<const Target> targets;  // the node's targets, in stretch order
  size_t begin = 0;                 // the node's stretch of every code list
  size_t n = 0;
  NodeAdmission admission = {};  // which candidates the node may take

  std::span<const uint16_t> codes(size_t feature) const {
    return std::span<const uint16_t>(data.codes[feature]).subspan(begin, n);
  }
};

// Two classes: the frequency of class 1 kept within the node's bounds, and the predicted class
// following it.
void bound_class_one(ClassPrediction& p, const NodeBounds& bounds);

struct Regression {
  using Target = double;
  using Payload = double;
  std::unique_ptr<RegressionCriterion> criterion;

  double leaf_value(std::span<const double> targets) const { return regression_leaf(targets); }
  // The mean summed from -0.0, so that a node whose targets are all -0.0 keeps that sign.
  double fast_leaf_value(std::span<const double> targets) const;
  double node_impurity(std::span<const double> targets) const {
    return criterion->impurity(targets);
  }
  double leaf_value(std::span<const double> targets, std::span<const double> weights) const {
    return weighted_regression_leaf(targets, weights);
  }
  double fast_leaf_value(std::span<const double> targets, std::span<const double> weights) const {
    return weighted_regression_leaf(targets, weights, -0.0);
  }
  double node_impurity(std::span<const double> targets, std::span<const double> weights) const {
    return criterion->weighted_impurity(targets, weights);
  }
  // A leaf's value kept within the node's bounds.
  static void bound(double& value, const NodeBounds& bounds) { value = bounds.clamp(value); }
  std::vector<ScoredCandidate> score_feature(const StrictNode<double>& node, size_t feature) const;
  // Variance reduction from histograms, whatever the criterion.
  void score_feature_fast(const FastNode<double>& node, size_t feature, FastScratch& scratch,
                          BestSplit& best) const;
  // Held-out validation measures squared error, or absolute error for the mae criterion.
  HeldOutTask held_out() const { return HeldOutTask{criterion->kind(), 0, nullptr}; }
};

struct Classification {
  using Target = size_t;
  using Payload = ClassPrediction;
  std::unique_ptr<ClassCriterion> criterion;
  size_t n_classes = 0;

  ClassPrediction leaf_value(std::span<const size_t> labels) const {
    return class_leaf(n_classes, labels);
  }
  ClassPrediction fast_leaf_value(std::span<const size_t> labels) const {
    return leaf_value(labels);
  }
  double node_impurity(std::span<const size_t> labels) const { return criterion->impurity(labels); }
  ClassPrediction leaf_value(std::span<const size_t> labels,
                             std::span<const double> weights) const {
    return weighted_class_leaf(n_classes, labels, weights);
  }
  ClassPrediction fast_leaf_value(std::span<const size_t> labels,
                                  std::span<const double> weights) const {
    return leaf_value(labels, weights);
  }
  double node_impurity(std::span<const size_t> labels, std::span<const double> weights) const {
    return criterion->weighted_impurity(labels, weights);
  }
  static void bound(ClassPrediction& p, const NodeBounds& bounds) { bound_class_one(p, bounds); }
  std::vector<ScoredCandidate> score_feature(const StrictNode<size_t>& node, size_t feature) const;
  void score_feature_fast(const FastNode<size_t>& node, size_t feature, FastScratch& scratch,
                          BestSplit& best) const;
  // Held-out validation picks by the criterion and measures the smoothed Brier score.
  HeldOutTask held_out() const { return HeldOutTask{criterion->kind(), n_classes, nullptr}; }
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
  ClassPrediction fast_leaf_value(std::span<const size_t> labels) const {
    return leaf_value(labels);
  }
  double node_impurity(std::span<const size_t> labels) const { return gini.impurity(labels); }
  ClassPrediction leaf_value(std::span<const size_t> labels,
                             std::span<const double> weights) const {
    return weighted_class_leaf(n_classes, labels, weights);
  }
  ClassPrediction fast_leaf_value(std::span<const size_t> labels,
                                  std::span<const double> weights) const {
    return leaf_value(labels, weights);
  }
  double node_impurity(std::span<const size_t> labels, std::span<const double> weights) const {
    return gini.weighted_impurity(labels, weights);
  }
  static void bound(ClassPrediction& p, const NodeBounds& bounds) { bound_class_one(p, bounds); }
  std::vector<ScoredCandidate> score_feature(const StrictNode<size_t>& node, size_t feature) const;
  // Leaves the scratch alone: the objective scorer keeps its counts for one call.
  void score_feature_fast(const FastNode<size_t>& node, size_t feature, FastScratch& scratch,
                          BestSplit& best) const;
  // Held-out validation: the node's split maximises the metric; the folds judge it, as the
  // impurity classifier's, by Gini picks and the smoothed Brier score.
  HeldOutTask held_out() const {
    return HeldOutTask{CriterionKind::Gini, n_classes, objective.get()};
  }
};

template <class K>
using NodeOf = Node<typename K::Payload>;

// The classes of a classification task; 0 for regression.
template <class K>
size_t class_count(const K& task) {
  if constexpr (std::is_same_v<K, Regression>) {
    return 0;
  } else {
    return task.n_classes;
  }
}

}  // namespace zelk
