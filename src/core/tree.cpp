#include "core/tree.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "core/candidate.hpp"
#include "core/encoder.hpp"
#include "core/parallel.hpp"

namespace zelk {

bool SplitRule::route_left_train(std::span<const Column> columns, size_t sample) const {
  if (const auto* cat = std::get_if<Category>(&test)) {
    const Column& column = columns[cat->feature];
    if (!column.is_categorical()) return false;
    const uint32_t code = column.codes()[sample];
    return code != kMissingCode && code == cat->category;
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

// ---------------------------------------------------------------------------------------
// Fast growth: per-task histogram scoring and the driver that grows a tree from binned data
// by partitioning one shared sample array in place.

namespace zelk {

namespace {

bool uses_threshold(const Params& params, const FeatureBins& bins) {
  return params.split_style == SplitStyle::Threshold && bins.continuous;
}

template <PartitionMode Mode>
size_t partition_with(std::span<uint32_t> samples, std::span<const uint16_t> codes, uint16_t k) {
  size_t i = 0;
  const size_t n = samples.size();
  for (size_t j = 0; j < n; ++j) {
    const uint16_t code = codes[samples[j]];
    const bool left = Mode == PartitionMode::AtMost ? (code != kMissingBin && code <= k)
                                                    : (code != kMissingBin && code == k);
    if (left) {
      std::swap(samples[i], samples[j]);
      ++i;
    }
  }
  return i;
}

// The leaf payload of a node. The regression mean starts from -0.0 so that a node whose
// targets are all -0.0 keeps that sign.
double fast_leaf_value(const Regression&, std::span<const double> targets) {
  if (targets.empty()) return 0.0;
  double sum = -0.0;
  for (double y : targets)
    sum += y;
  return sum / static_cast<double>(targets.size());
}

template <class K>
typename K::Payload fast_leaf_value(const K& task, std::span<const typename K::Target> targets) {
  return task.leaf_value(targets);
}

// The rule that sends left exactly the samples whose code passes the partition test, or
// none when the whole-set bins have no edge for it.
struct FastRule {
  SplitRule rule;
  PartitionMode mode;
};

std::optional<FastRule> fast_rule(const Params& params, const FeatureBins& bins, size_t feature,
                                  uint32_t k) {
  if (!bins.continuous) {
    if (k >= bins.categories.size()) return std::nullopt;
    return FastRule{SplitRule{Category{feature, bins.categories[k]}}, PartitionMode::Equal};
  }
  const std::vector<double>& edges = bins.edges;
  if (uses_threshold(params, bins)) {
    if (k >= edges.size()) return std::nullopt;
    return FastRule{SplitRule{Interval{feature, std::nullopt, edges[k]}}, PartitionMode::AtMost};
  }
  if (k > edges.size()) return std::nullopt;
  Interval interval{feature, std::nullopt, std::nullopt};
  if (k > 0) interval.lower = edges[k - 1];
  if (k < edges.size()) interval.upper = edges[k];
  return FastRule{SplitRule{interval}, PartitionMode::Equal};
}

// Sample numbers index the targets and every code list; checked once for the root so that
// a caller's mistake ends in a Panic instead of a read out of bounds.
template <class Target>
void check_inputs(const BinnedData& data, std::span<const Target> targets,
                  std::span<const uint32_t> samples) {
  if (data.bins.size() != data.codes.size()) {
    throw Panic("fast growth: " + std::to_string(data.codes.size()) + " code lists but " +
                std::to_string(data.bins.size()) + " feature bins");
  }
  if (samples.empty()) return;
  const size_t limit = static_cast<size_t>(*std::max_element(samples.begin(), samples.end()));
  bool valid = limit < targets.size();
  for (const auto& codes : data.codes)
    valid = valid && limit < codes.size();
  if (!valid) {
    throw Panic("fast growth: sample number " + std::to_string(limit) + " out of range");
  }
}

}  // namespace

size_t partition_in_place(std::span<uint32_t> samples, std::span<const uint16_t> codes, uint16_t k,
                          PartitionMode mode) {
  return mode == PartitionMode::AtMost ? partition_with<PartitionMode::AtMost>(samples, codes, k)
                                       : partition_with<PartitionMode::Equal>(samples, codes, k);
}

std::vector<ScoredCandidate> Regression::score_feature_fast(const FastNode<double>& node,
                                                            size_t feature,
                                                            FastScratch* scratch) const {
  FastScratch local;
  const FeatureBins& bins = node.data.bins[feature];
  return score_regression_fast(node.data.codes[feature], node.targets, node.folds, bins.n_bins,
                               feature, node.aggregator, scratch ? *scratch : local,
                               uses_threshold(node.params, bins));
}

std::vector<ScoredCandidate> Classification::score_feature_fast(const FastNode<size_t>& node,
                                                                size_t feature,
                                                                FastScratch* scratch) const {
  FastScratch local;
  const FeatureBins& bins = node.data.bins[feature];
  return score_classification_fast(n_classes, entropy, node.data.codes[feature], node.targets,
                                   node.folds, bins.n_bins, feature, node.aggregator,
                                   scratch ? *scratch : local, uses_threshold(node.params, bins));
}

std::vector<ScoredCandidate> ObjectiveClassification::score_feature_fast(
    const FastNode<size_t>& node, size_t feature, FastScratch* /*scratch*/) const {
  const FeatureBins& bins = node.data.bins[feature];
  return score_objective_fast(*objective, n_classes, node.data.codes[feature], node.targets,
                              node.folds, bins.n_bins, feature, node.aggregator,
                              uses_threshold(node.params, bins));
}

template <class K>
std::unique_ptr<NodeOf<K>> build_node_fast(const K& task, const Params& params,
                                           const Aggregator& aggregator, const BinnedData& data,
                                           std::span<const typename K::Target> targets,
                                           std::span<uint32_t> samples, size_t depth) {
  using Target = typename K::Target;
  using NodeT = NodeOf<K>;
  check_inputs(data, targets, samples);

  const size_t n_features = data.codes.size();
  std::vector<size_t> features(n_features);
  std::iota(features.begin(), features.end(), size_t{0});
  const size_t min_split = std::max<size_t>(params.min_samples_split, 2);
  const size_t min_leaf = std::max<size_t>(params.min_samples_leaf, 1);

  // Pending nodes: a sub-range of `samples` and the slot its subtree goes into. Popping the
  // left child first grows the same tree, in the same order, as depth-first recursion.
  struct Pending {
    size_t begin;
    size_t end;
    size_t depth;
    std::unique_ptr<NodeT>* slot;
  };
  std::unique_ptr<NodeT> root;
  std::vector<Pending> stack{{0, samples.size(), depth, &root}};

  std::vector<Target> node_targets;
  std::vector<size_t> widened;
  std::vector<ScoredCandidate> candidates;
  while (!stack.empty()) {
    const Pending p = stack.back();
    stack.pop_back();
    const std::span<uint32_t> s = samples.subspan(p.begin, p.end - p.begin);
    const size_t n = s.size();

    node_targets.resize(n);
    for (size_t i = 0; i < n; ++i)
      node_targets[i] = targets[s[i]];
    const std::span<const Target> t(node_targets);
    auto payload = fast_leaf_value(task, t);
    auto make_leaf = [&]() { *p.slot = NodeT::make_leaf(std::move(payload), n); };

    if (n < min_split || (params.max_depth && p.depth >= *params.max_depth)) {
      make_leaf();
      continue;
    }
    if (0.0 >= task.node_impurity(t)) {
      make_leaf();
      continue;
    }

    widened.assign(s.begin(), s.end());
    const FoldAssignment folds = params.kfold.assign(widened);
    const FastNode<Target> node{params, data, targets, folds, aggregator};

    candidates.clear();
    if (params.parallel && params.n_threads >= 2 && n >= params.parallel_min_samples) {
      auto lists = par_map(std::span<const size_t>(features), params.n_threads, [&](size_t f) {
        FastScratch scratch;
        return task.score_feature_fast(node, f, &scratch);
      });
      for (auto& list : lists) {
        for (auto& c : list)
          candidates.push_back(std::move(c));
      }
    } else {
      FastScratch scratch;
      for (size_t f : features) {
        auto list = task.score_feature_fast(node, f, &scratch);
        for (auto& c : list)
          candidates.push_back(std::move(c));
      }
    }

    const ScoredCandidate* best = best_candidate(candidates);
    if (best == nullptr || params.min_impurity_decrease >= best->score) {
      make_leaf();
      continue;
    }
    const size_t f = best->feature;
    const uint32_t k = best->state;
    std::optional<FastRule> rule = fast_rule(params, data.bins[f], f, k);
    if (!rule) {
      make_leaf();
      continue;
    }
    const size_t n_left =
        partition_in_place(s, data.codes[f], static_cast<uint16_t>(k), rule->mode);
    if (n_left < min_leaf || n - n_left < min_leaf) {
      make_leaf();
      continue;
    }

    *p.slot = NodeT::make_split(std::move(rule->rule), nullptr, nullptr);
    NodeT& split = **p.slot;
    stack.push_back({p.begin + n_left, p.end, p.depth + 1, &split.right});
    stack.push_back({p.begin, p.begin + n_left, p.depth + 1, &split.left});
  }
  return root;
}

template std::unique_ptr<NodeOf<Regression>> build_node_fast<Regression>(
    const Regression&, const Params&, const Aggregator&, const BinnedData&, std::span<const double>,
    std::span<uint32_t>, size_t);
template std::unique_ptr<NodeOf<Classification>> build_node_fast<Classification>(
    const Classification&, const Params&, const Aggregator&, const BinnedData&,
    std::span<const size_t>, std::span<uint32_t>, size_t);
template std::unique_ptr<NodeOf<ObjectiveClassification>> build_node_fast<ObjectiveClassification>(
    const ObjectiveClassification&, const Params&, const Aggregator&, const BinnedData&,
    std::span<const size_t>, std::span<uint32_t>, size_t);

}  // namespace zelk
