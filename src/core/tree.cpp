#include "core/tree.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "core/candidate.hpp"
#include "core/encoder.hpp"
#include "core/parallel.hpp"

namespace zelk {

bool SplitRule::route_left_train(std::span<const Column> columns, size_t sample) const {
  if (const auto* cat = std::get_if<Category>(&test)) {
    const Column& column = columns[cat->feature];
    return column.is_categorical() && column.codes()[sample] == cat->category;
  }
  const auto& interval = std::get<Interval>(test);
  const Column& column = columns[interval.feature];
  return !column.is_categorical() && interval.contains(column.values()[sample]);
}

ClassPrediction class_leaf(size_t n_classes, std::span<const size_t> labels) {
  std::vector<uint64_t> counts(n_classes, 0);
  for (size_t label : labels) {
    if (label < n_classes) ++counts[label];
  }
  uint64_t total = 0;
  for (uint64_t c : counts)
    total += c;
  ClassPrediction out;
  out.proba.assign(n_classes, 0.0);
  if (total > 0) {
    for (size_t k = 0; k < n_classes; ++k) {
      out.proba[k] = static_cast<double>(counts[k]) / static_cast<double>(total);
    }
  }
  for (size_t k = 1; k < n_classes; ++k) {
    if (counts[k] > counts[out.predicted_class]) out.predicted_class = k;
  }
  return out;
}

double regression_leaf(std::span<const double> targets) {
  if (targets.empty()) return 0.0;
  double sum = 0.0;
  for (double t : targets)
    sum += t;
  return sum / static_cast<double>(targets.size());
}

std::optional<SplitRule> make_rule(const Column& column, size_t feature, uint32_t state,
                                   std::span<const size_t> samples, size_t n_bins, bool threshold) {
  if (column.is_categorical()) {
    if (state == kMissingCode) return std::nullopt;
    return SplitRule{Category{feature, state}};
  }
  const std::vector<double>& values = column.values();
  std::vector<double> gathered;
  gathered.reserve(samples.size());
  for (size_t s : samples)
    gathered.push_back(values[s]);
  const std::vector<double> edges = quantile_edges(gathered, n_bins);
  const size_t n_edges = edges.size();
  if (state > n_edges) return std::nullopt;
  std::optional<double> lower;
  std::optional<double> upper;
  if (state > 0) lower = edges[state - 1];
  if (state < n_edges) upper = edges[state];
  if (!threshold) return SplitRule{Interval{feature, lower, upper}};
  // The highest bin has no upper edge: "everything finite" is not a threshold.
  if (!upper) return std::nullopt;
  return SplitRule{Interval{feature, std::nullopt, upper}};
}

namespace {

bool threshold_mode(const Params& params, const Column& column) {
  return params.split_style == SplitStyle::Threshold && !column.is_categorical();
}

// One ScoredCandidate per state from the states' fold score lists.
std::vector<ScoredCandidate> finish_candidates(const std::vector<uint32_t>& states,
                                               std::vector<std::vector<double>>& scores,
                                               size_t n_folds, size_t feature,
                                               const Aggregator& aggregator) {
  std::vector<ScoredCandidate> out;
  out.reserve(states.size());
  for (size_t i = 0; i < states.size(); ++i) {
    ScoredCandidate c;
    c.stats = FoldStats::from_scores(std::move(scores[i]), n_folds);
    c.feature = feature;
    c.state = states[i];
    c.score = aggregator.aggregate(c.stats);
    out.push_back(std::move(c));
  }
  return out;
}

std::vector<std::vector<double>> empty_score_lists(size_t n_states, size_t n_folds) {
  std::vector<std::vector<double>> scores(n_states);
  for (auto& list : scores)
    list.reserve(n_folds);
  return scores;
}

// Fold score = validation impurity decrease of the candidate's split.
template <class Target>
std::vector<ScoredCandidate> score_impurity(const Criterion<Target>& criterion,
                                            const StrictNode<Target>& node, size_t feature) {
  const Column& column = node.columns[feature];
  const size_t n_bins = node.params.n_bins;
  const std::vector<uint32_t> states = present_states(column, node.samples, n_bins);
  if (states.empty()) return {};
  const bool threshold = threshold_mode(node.params, column);
  auto scores = empty_score_lists(states.size(), node.folds.size());

  size_t largest = 0;
  for (const Fold& fold : node.folds)
    largest = std::max(largest, fold.validation.size());
  std::vector<Target> y, left, right;
  y.reserve(largest);
  left.reserve(largest);
  right.reserve(largest);

  for (const Fold& fold : node.folds) {
    if (fold.validation.empty()) continue;
    const std::vector<uint32_t> codes = fold_val_codes(column, fold, n_bins);
    y.clear();
    for (size_t s : fold.validation)
      y.push_back(node.targets[s]);
    const double m = static_cast<double>(y.size());
    const double parent = criterion.impurity(y);
    for (size_t i = 0; i < states.size(); ++i) {
      left.clear();
      right.clear();
      for (size_t j = 0; j < y.size(); ++j) {
        (goes_left(codes[j], states[i], threshold) ? left : right).push_back(y[j]);
      }
      if (left.empty() || right.empty()) continue;
      const double children = static_cast<double>(left.size()) * criterion.impurity(left) +
                              static_cast<double>(right.size()) * criterion.impurity(right);
      scores[i].push_back(parent - children / m);
    }
  }
  return finish_candidates(states, scores, node.folds.size(), feature, node.aggregator);
}

// The first class with the largest count; class 0 when every count is 0.
size_t majority_class(std::span<const uint64_t> counts) {
  size_t best = 0;
  for (size_t k = 1; k < counts.size(); ++k) {
    if (counts[k] > counts[best]) best = k;
  }
  return best;
}

void clear_table(Confusion& table) {
  std::fill(table.true_pos.begin(), table.true_pos.end(), 0);
  std::fill(table.false_pos.begin(), table.false_pos.end(), 0);
  std::fill(table.false_neg.begin(), table.false_neg.end(), 0);
  std::fill(table.support.begin(), table.support.end(), 0);
  table.total = 0;
}

// Split codes of `indices`: stored category codes, or bins against `edges`.
void code_samples(const Column& column, std::span<const double> edges,
                  std::span<const size_t> indices, std::vector<uint32_t>& out) {
  out.clear();
  if (column.is_categorical()) {
    for (size_t s : indices)
      out.push_back(column.codes()[s]);
    return;
  }
  for (size_t s : indices) {
    const double v = column.values()[s];
    out.push_back(std::isfinite(v) ? bin_code(edges, v) : kMissingCode);
  }
}

// Fold score = gain of the objective when each side predicts its training majority, over
// predicting the node's training majority everywhere.
std::vector<ScoredCandidate> score_objective(const ClassObjective& objective, size_t n_classes,
                                             const StrictNode<size_t>& node, size_t feature) {
  const Column& column = node.columns[feature];
  const size_t n_bins = node.params.n_bins;
  const std::vector<uint32_t> states = present_states(column, node.samples, n_bins);
  if (states.empty()) return {};
  const bool threshold = threshold_mode(node.params, column);
  auto scores = empty_score_lists(states.size(), node.folds.size());

  std::vector<double> train_values;
  std::vector<double> edges;
  std::vector<uint32_t> train_codes, val_codes;
  std::vector<uint64_t> train_counts(n_classes), val_counts(n_classes);
  std::vector<uint64_t> train_left(n_classes), val_left(n_classes);
  std::vector<uint64_t> train_right(n_classes), val_right(n_classes);
  Confusion table = Confusion::zero(n_classes);

  for (const Fold& fold : node.folds) {
    if (fold.train.empty() || fold.validation.empty()) continue;
    edges.clear();
    if (!column.is_categorical()) {
      train_values.clear();
      for (size_t s : fold.train)
        train_values.push_back(column.values()[s]);
      edges = quantile_edges(train_values, n_bins);
    }
    code_samples(column, edges, fold.train, train_codes);
    code_samples(column, edges, fold.validation, val_codes);

    std::fill(train_counts.begin(), train_counts.end(), 0);
    std::fill(val_counts.begin(), val_counts.end(), 0);
    for (size_t s : fold.train) {
      if (node.targets[s] < n_classes) ++train_counts[node.targets[s]];
    }
    for (size_t s : fold.validation) {
      if (node.targets[s] < n_classes) ++val_counts[node.targets[s]];
    }
    const uint64_t n_train = std::accumulate(train_counts.begin(), train_counts.end(), 0ULL);
    const uint64_t n_val = std::accumulate(val_counts.begin(), val_counts.end(), 0ULL);

    clear_table(table);
    table.add_group(majority_class(train_counts), val_counts);
    const double base = objective.score(table);

    for (size_t i = 0; i < states.size(); ++i) {
      const uint32_t state = states[i];
      std::fill(train_left.begin(), train_left.end(), 0);
      std::fill(val_left.begin(), val_left.end(), 0);
      uint64_t n_train_left = 0, n_val_left = 0;
      for (size_t j = 0; j < fold.train.size(); ++j) {
        const size_t label = node.targets[fold.train[j]];
        if (label < n_classes && goes_left(train_codes[j], state, threshold)) {
          ++train_left[label];
          ++n_train_left;
        }
      }
      for (size_t j = 0; j < fold.validation.size(); ++j) {
        const size_t label = node.targets[fold.validation[j]];
        if (label < n_classes && goes_left(val_codes[j], state, threshold)) {
          ++val_left[label];
          ++n_val_left;
        }
      }
      // Both the training and the validation part must be split for the fold to judge it.
      if (n_val_left == 0 || n_val_left == n_val || n_train_left == 0 || n_train_left == n_train) {
        continue;
      }
      for (size_t k = 0; k < n_classes; ++k) {
        train_right[k] = train_counts[k] - train_left[k];
        val_right[k] = val_counts[k] - val_left[k];
      }
      clear_table(table);
      table.add_group(majority_class(train_left), val_left);
      table.add_group(majority_class(train_right), val_right);
      scores[i].push_back(objective.score(table) - base);
    }
  }
  return finish_candidates(states, scores, node.folds.size(), feature, node.aggregator);
}

}  // namespace

std::vector<ScoredCandidate> Regression::score_feature(const StrictNode<double>& node,
                                                       size_t feature) const {
  return score_impurity(*criterion, node, feature);
}

std::vector<ScoredCandidate> Classification::score_feature(const StrictNode<size_t>& node,
                                                           size_t feature) const {
  return score_impurity(*criterion, node, feature);
}

std::vector<ScoredCandidate> ObjectiveClassification::score_feature(const StrictNode<size_t>& node,
                                                                    size_t feature) const {
  return score_objective(*objective, n_classes, node, feature);
}

namespace {

// Every feature's candidates of one node, concatenated in feature order.
template <class K>
std::vector<ScoredCandidate> score_all_features(const K& task,
                                                const StrictNode<typename K::Target>& node) {
  const size_t n_features = node.columns.size();
  std::vector<std::vector<ScoredCandidate>> per_feature;
  if (node.params.parallel && node.params.n_threads >= 2) {
    std::vector<size_t> features(n_features);
    std::iota(features.begin(), features.end(), size_t{0});
    per_feature = par_map(std::span<const size_t>(features), node.params.n_threads,
                          [&task, &node](size_t f) { return task.score_feature(node, f); });
  } else {
    per_feature.reserve(n_features);
    for (size_t f = 0; f < n_features; ++f)
      per_feature.push_back(task.score_feature(node, f));
  }
  size_t total = 0;
  for (const auto& list : per_feature)
    total += list.size();
  std::vector<ScoredCandidate> all;
  all.reserve(total);
  for (auto& list : per_feature) {
    for (ScoredCandidate& c : list)
      all.push_back(std::move(c));
  }
  return all;
}

// The rule a node splits by, or none when it must stay a leaf.
template <class K>
std::optional<SplitRule> choose_rule(const K& task, const Params& params,
                                     const Aggregator& aggregator, std::span<const Column> columns,
                                     std::span<const typename K::Target> targets,
                                     std::span<const typename K::Target> node_targets,
                                     std::span<const size_t> samples, size_t depth) {
  const size_t n = samples.size();
  if (n < std::max<size_t>(params.min_samples_split, 2)) return std::nullopt;
  if (params.max_depth && depth >= *params.max_depth) return std::nullopt;
  // Written so that a not-a-number impurity does not stop growth.
  if (0.0 >= task.node_impurity(node_targets)) return std::nullopt;

  const std::vector<Fold> folds = params.kfold.folds(samples);
  const StrictNode<typename K::Target> node{params, columns, targets, samples, folds, aggregator};
  const std::vector<ScoredCandidate> candidates = score_all_features(task, node);
  const ScoredCandidate* best = best_candidate(candidates);
  if (best == nullptr) return std::nullopt;
  if (params.min_impurity_decrease >= best->score) return std::nullopt;
  const Column& column = columns[best->feature];
  return make_rule(column, best->feature, best->state, samples, params.n_bins,
                   threshold_mode(params, column));
}

}  // namespace

template <class K>
std::unique_ptr<NodeOf<K>> build_node(const K& task, const Params& params,
                                      const Aggregator& aggregator, std::span<const Column> columns,
                                      std::span<const typename K::Target> targets,
                                      std::vector<size_t> samples, size_t depth) {
  using NodeT = NodeOf<K>;
  // A pending node: its samples, its depth and the slot its subtree goes into. Slots are
  // fields of nodes already on the heap, so they stay valid while the stack grows. Growth
  // depth can approach the sample count, hence the explicit stack.
  struct Work {
    std::vector<size_t> samples;
    size_t depth;
    std::unique_ptr<NodeT>* slot;
  };
  std::unique_ptr<NodeT> root;
  std::vector<Work> stack;
  stack.push_back({std::move(samples), depth, &root});
  std::vector<typename K::Target> node_targets;
  while (!stack.empty()) {
    Work work = std::move(stack.back());
    stack.pop_back();
    const size_t n = work.samples.size();

    node_targets.clear();
    node_targets.reserve(n);
    for (size_t s : work.samples)
      node_targets.push_back(targets[s]);
    typename K::Payload payload = task.leaf_value(node_targets);

    std::optional<SplitRule> rule = choose_rule(task, params, aggregator, columns, targets,
                                                node_targets, work.samples, work.depth);
    std::vector<size_t> left, right;
    if (rule) {
      for (size_t s : work.samples) {
        (rule->route_left_train(columns, s) ? left : right).push_back(s);
      }
      const size_t min_leaf = std::max<size_t>(params.min_samples_leaf, 1);
      if (left.size() < min_leaf || right.size() < min_leaf) rule.reset();
    }
    if (!rule) {
      *work.slot = NodeT::make_leaf(std::move(payload), n);
      continue;
    }
    std::vector<size_t>().swap(work.samples);
    *work.slot = NodeT::make_split(std::move(*rule), nullptr, nullptr);
    NodeT& split = **work.slot;
    // Popped last-in first-out: the left subtree is grown completely before the right.
    stack.push_back({std::move(right), work.depth + 1, &split.right});
    stack.push_back({std::move(left), work.depth + 1, &split.left});
  }
  return root;
}

template std::unique_ptr<NodeOf<Regression>> build_node(const Regression&, const Params&,
                                                        const Aggregator&, std::span<const Column>,
                                                        std::span<const double>,
                                                        std::vector<size_t>, size_t);
template std::unique_ptr<NodeOf<Classification>> build_node(const Classification&, const Params&,
                                                            const Aggregator&,
                                                            std::span<const Column>,
                                                            std::span<const size_t>,
                                                            std::vector<size_t>, size_t);
template std::unique_ptr<NodeOf<ObjectiveClassification>> build_node(
    const ObjectiveClassification&, const Params&, const Aggregator&, std::span<const Column>,
    std::span<const size_t>, std::vector<size_t>, size_t);

}  // namespace zelk
