#include "core/tree/tasks.hpp"

#include "core/histogram/classification.hpp"
#include "core/histogram/objective.hpp"
#include "core/histogram/regression.hpp"
#include "core/tree/rules.hpp"
#include "core/tree/strict/scoring.hpp"

namespace zelk {

void bound_class_one(ClassPrediction& p, const NodeBounds& bounds) {
  if (!bounds.bounded() || p.proba.size() != 2) return;
  const double one = bounds.clamp(p.proba[1]);
  p.proba = {1.0 - one, one};
  p.predicted_class = one > p.proba[0] ? 1 : 0;
}

double Regression::fast_leaf_value(std::span<const double> targets) const {
  if (targets.empty()) return 0.0;
  double sum = -0.0;
  for (double y : targets)
    sum += y;
  return sum / static_cast<double>(targets.size());
}

std::vector<ScoredCandidate> Regression::score_feature(const StrictNode<double>& node,
                                                       size_t feature) const {
  return score_impurity(*criterion, 0, node, feature);
}

std::vector<ScoredCandidate> Classification::score_feature(const StrictNode<size_t>& node,
                                                           size_t feature) const {
  return score_impurity(*criterion, n_classes, node, feature);
}

std::vector<ScoredCandidate> ObjectiveClassification::score_feature(const StrictNode<size_t>& node,
                                                                    size_t feature) const {
  return score_objective(*objective, n_classes, node, feature);
}

void Regression::score_feature_fast(const FastNode<double>& node, size_t feature,
                                    FastScratch& scratch, BestSplit& best) const {
  const FeatureBins& bins = node.data.bins[feature];
  best_regression_fast(node.rows, node.codes(feature), bins.n_bins, feature, node.aggregator,
                       node.admission, scratch, uses_threshold(node.params, bins),
                       category_cuts(node.params, !bins.continuous), best);
}

void Classification::score_feature_fast(const FastNode<size_t>& node, size_t feature,
                                        FastScratch& scratch, BestSplit& best) const {
  const FeatureBins& bins = node.data.bins[feature];
  best_classification_fast(node.rows, criterion->kind(), node.codes(feature), bins.n_bins, feature,
                           node.aggregator, node.admission, scratch,
                           uses_threshold(node.params, bins),
                           category_cuts(node.params, !bins.continuous), best);
}

void ObjectiveClassification::score_feature_fast(const FastNode<size_t>& node, size_t feature,
                                                 FastScratch& /*scratch*/, BestSplit& best) const {
  const FeatureBins& bins = node.data.bins[feature];
  for (const ScoredCandidate& c : score_objective_fast(
           *objective, n_classes, node.codes(feature), node.targets, node.rows, bins.n_bins,
           feature, node.aggregator, uses_threshold(node.params, bins))) {
    best.offer(c.feature, c.state, c.score, c.stats.scores);
  }
}

}  // namespace zelk
