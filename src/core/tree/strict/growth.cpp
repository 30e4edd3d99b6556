#include "core/tree/strict/growth.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/parallel.hpp"
#include "core/selector.hpp"
#include "core/tree/policy.hpp"
#include "core/tree/rules.hpp"
#include "core/tree/strict/feature_codes.hpp"
#include "core/tree/strict/scoring.hpp"
#include "core/validation/held_out.hpp"

namespace zelk {

namespace {

// A node's decision as it passes from choosing to the split: the rule that reproduces the
// winner on the node's samples, and the verdict that chose it.
struct StrictDecision {
  SplitRule rule;
  Verdict verdict;
};

// A weighted node's samples of positive weight, with the folds that KFold dealt from all of
// its samples less the others, and where each of them went: rows of zero weight are dealt
// like any other, then left out of every statistic.
struct PositiveSamples {
  std::vector<size_t> samples;
  std::vector<Fold> folds;
  FoldIndex index;
};

PositiveSamples positive_samples(std::span<const size_t> samples, const std::vector<Fold>& folds,
                                 const FoldIndex* index, std::span<const double> weights) {
  PositiveSamples out;
  const auto positive = [weights](size_t s) { return weights[s] > 0.0; };
  out.folds.resize(folds.size());
  std::vector<std::vector<uint32_t>> place(folds.size());  // a validation entry's new place
  for (size_t f = 0; f < folds.size(); ++f) {
    for (size_t s : folds[f].train) {
      if (positive(s)) out.folds[f].train.push_back(s);
    }
    std::vector<size_t>& validation = out.folds[f].validation;
    if (index != nullptr) place[f].resize(folds[f].validation.size());
    for (size_t j = 0; j < folds[f].validation.size(); ++j) {
      const size_t s = folds[f].validation[j];
      if (index != nullptr) place[f][j] = static_cast<uint32_t>(validation.size());
      if (positive(s)) validation.push_back(s);
    }
  }
  for (size_t p = 0; p < samples.size(); ++p) {
    if (!positive(samples[p])) continue;
    out.samples.push_back(samples[p]);
    if (index == nullptr) continue;
    out.index.fold.push_back(index->fold[p]);
    out.index.place.push_back(place[index->fold[p]][index->place[p]]);
  }
  return out;
}

// The side of a split a sample list makes, for a constraint's bounds: its weight and the
// weighted sum of its value.
template <class Target>
Side side_of(std::span<const size_t> samples, std::span<const Target> targets,
             std::span<const double> weights) {
  Side side;
  for (size_t s : samples) {
    const double w = weights.empty() ? 1.0 : weights[s];
    side.rows += w > 0.0 ? 1.0 : 0.0;
    side.weight += w;
    if constexpr (std::is_same_v<Target, double>) {
      side.value_sum += w * targets[s];
    } else {
      side.value_sum += targets[s] == 1 ? w : 0.0;
    }
  }
  return side;
}

// Grows one tree depth first, left subtree before right, from an explicit stack: growth
// depth can approach the sample count. Per node: gather its targets and payload, check the
// stop rules, score every feature on the node's folds, let the policy's validation choose the
// winner, make its rule, partition the samples, then schedule the two children.
template <class K>
class StrictGrowth {
 public:
  using Target = typename K::Target;
  using NodeT = NodeOf<K>;

  StrictGrowth(const K& task, const Params& params, const Aggregator& aggregator,
               std::span<const Column> columns, std::span<const Target> targets,
               std::span<const double> weights, const GrowthPolicy<K>& policy)
      : task_(task),
        params_(params),
        aggregator_(aggregator),
        columns_(columns),
        targets_(targets),
        weights_(weights),
        policy_(policy) {}

  std::unique_ptr<NodeT> grow(std::vector<size_t> samples, size_t depth) {
    std::unique_ptr<NodeT> root;
    std::vector<Pending> stack;
    stack.push_back({std::move(samples), depth, &root, NodeBounds{}});
    while (!stack.empty()) {
      Pending work = std::move(stack.back());
      stack.pop_back();
      grow_node(work, stack);
    }
    policy_.after_growth(*root);
    return root;
  }

 private:
  // A pending node: its samples, its depth, the slot its subtree goes into and the bounds its
  // value must keep. Slots are fields of nodes already on the heap, so they stay valid while
  // the stack grows.
  struct Pending {
    std::vector<size_t> samples;
    size_t depth;
    std::unique_ptr<NodeT>* slot;
    NodeBounds bounds;
  };

  // Scores a node for its validation: its best candidate, or its held-out evidence.
  struct Scorer {
    const StrictGrowth& growth;
    const StrictNode<Target>& node;

    BestSplit candidates() const {
      std::vector<ScoredCandidate> all = growth.score_features(node);
      const ScoredCandidate* best =
          node.admission.reads_values() ? growth.best_admitted(node, all) : best_candidate(all);
      BestSplit out;
      if (best == nullptr) return out;
      out.found = true;
      out.feature = best->feature;
      out.state = best->state;
      out.score = best->score;
      out.fold_scores = std::move(all[static_cast<size_t>(best - all.data())].stats.scores);
      return out;
    }
    bool orders_categories(size_t feature) const { return growth.orders_categories(node, feature); }
    std::vector<HeldOutEvidence> held_out(const HeldOutTask& task) const {
      return growth.gather_evidence(node, task);
    }
  };

  void grow_node(Pending& work, std::vector<Pending>& stack) {
    const size_t n = work.samples.size();
    gather_targets(work.samples);
    NodeStats stats;
    typename K::Payload payload{};
    // Weighted, the stop rules count the samples of positive weight.
    size_t counted = n;
    if (weighted()) {
      payload = task_.leaf_value(node_targets_, node_weights_);
      stats.impurity = task_.node_impurity(node_targets_, node_weights_);
      stats.weighted_n_samples = 0.0;
      counted = 0;
      for (double w : node_weights_) {
        stats.weighted_n_samples += w;
        counted += w > 0.0 ? 1 : 0;
      }
    } else {
      payload = task_.leaf_value(node_targets_);
      stats.impurity = task_.node_impurity(node_targets_);
      stats.weighted_n_samples = static_cast<double>(n);
    }
    K::bound(payload, work.bounds);

    std::optional<StrictDecision> decision;
    if (!policy_.stops(counted, work.depth, stats.impurity)) {
      decision = decide(work, NodeFacts{stats.weighted_n_samples, counted});
    }
    std::vector<size_t> left, right;
    if (decision && !partition(decision->rule, work.samples, left, right)) decision.reset();
    if (!decision) {
      *work.slot = NodeT::make_leaf(std::move(payload), n);
      (*work.slot)->stats = std::move(stats);
      return;
    }
    std::vector<size_t>().swap(work.samples);
    std::move(decision->verdict).record(stats);
    *work.slot = NodeT::make_split(std::move(decision->rule), nullptr, nullptr);
    NodeT& split = **work.slot;
    split.stats = std::move(stats);
    split.n_samples = n;
    // Pruning may turn the split back into a leaf.
    if (policy_.keeps_payloads()) split.value = std::move(payload);
    auto [left_bounds, right_bounds] =
        child_bounds(work.bounds, split.rule->feature(), left, right);
    // Popped last-in first-out: the left subtree is grown completely before the right.
    stack.push_back({std::move(right), work.depth + 1, &split.right, right_bounds});
    stack.push_back({std::move(left), work.depth + 1, &split.left, left_bounds});
  }

  std::pair<NodeBounds, NodeBounds> child_bounds(const NodeBounds& bounds, size_t feature,
                                                 std::span<const size_t> left,
                                                 std::span<const size_t> right) const {
    const Admissibility& rules = policy_.admissibility();
    if (!rules.reads_values()) return {bounds, bounds};
    return rules.child_bounds(bounds, feature, side_of(left, targets_, weights_).value(),
                              side_of(right, targets_, weights_).value());
  }

  bool weighted() const { return !weights_.empty(); }

  void gather_targets(std::span<const size_t> samples) {
    node_targets_.clear();
    node_targets_.reserve(samples.size());
    for (size_t s : samples)
      node_targets_.push_back(targets_[s]);
    if (!weighted()) return;
    node_weights_.clear();
    node_weights_.reserve(samples.size());
    for (size_t s : samples)
      node_weights_.push_back(weights_[s]);
  }

  // The split a node that passed the stop rules makes, or none when it must stay a leaf.
  std::optional<StrictDecision> decide(const Pending& work, const NodeFacts& facts) const {
    const std::span<const size_t> samples = work.samples;
    // The index's places are 32-bit; a larger node is scored from its folds alone.
    FoldIndex index;
    const bool indexed = samples.size() <= std::numeric_limits<uint32_t>::max();
    const std::vector<Fold> folds =
        indexed ? params_.kfold.folds(samples, index) : params_.kfold.folds(samples);
    const NodeAdmission admission = policy_.admission(work.bounds);
    if (weighted()) {
      const PositiveSamples positive =
          positive_samples(samples, folds, indexed ? &index : nullptr, weights_);
      const StrictNode<Target> node{params_,
                                    columns_,
                                    targets_,
                                    positive.samples,
                                    positive.folds,
                                    aggregator_,
                                    indexed ? &positive.index : nullptr,
                                    weights_,
                                    admission,
                                    n_classes()};
      return decide_scored(node, facts);
    }
    const StrictNode<Target> node{
        params_, columns_,  targets_,   samples, folds, aggregator_, indexed ? &index : nullptr,
        {},      admission, n_classes()};
    return decide_scored(node, facts);
  }

  std::optional<StrictDecision> decide_scored(const StrictNode<Target>& node,
                                              const NodeFacts& facts) const {
    Scorer scorer{*this, node};
    std::optional<Verdict> verdict = policy_.choose(scorer, facts);
    if (!verdict) return std::nullopt;
    std::optional<SplitRule> rule = rule_of(node, verdict->feature, verdict->state);
    if (!rule) return std::nullopt;
    return StrictDecision{std::move(*rule), std::move(*verdict)};
  }

  size_t n_classes() const { return class_count(task_); }
  // Whether `feature` splits the node by a cut of an order of more than two categories, an
  // order its own sample chose (two categories make one partition, in either order).
  bool orders_categories(const StrictNode<Target>& node, size_t feature) const {
    const Column& column = columns_[feature];
    return category_cuts(params_, column.is_categorical()) &&
           present_states(column, node.samples, params_.n_bins).size() > 2;
  }

  // The rule that reproduces candidate `state` of `feature` on the node's samples: a cut of
  // the node's order of its categories, or a threshold or bin at the node's own edges.
  std::optional<SplitRule> rule_of(const StrictNode<Target>& node, size_t feature,
                                   uint32_t state) const {
    const Column& column = columns_[feature];
    if (category_cuts(params_, column.is_categorical())) {
      const std::vector<uint32_t> categories = present_states(column, node.samples, params_.n_bins);
      const size_t k = categories.size();
      if (k < 2 || state + 2 >= 2 * k) return std::nullopt;
      std::vector<uint32_t> rank;
      detail::order_categories(node, column, categories, node.samples, rank);
      // The cuts from the high end of the order follow those from the low end.
      uint32_t cut = state;
      if (state + 1 >= k) {
        cut = state - static_cast<uint32_t>(k - 1);
        for (uint32_t& r : rank)
          r = static_cast<uint32_t>(k - 1 - r);
      }
      return cut_rule(feature, categories, rank, cut);
    }
    return make_rule(column, feature, state, node.samples, params_.n_bins,
                     threshold_mode(params_, column), params_.midpoint_thresholds);
  }

  // The best candidate that the node's admission admits, its sides those of its rule over the
  // node's samples; ranked candidates are tried in turn.
  const ScoredCandidate* best_admitted(const StrictNode<Target>& node,
                                       std::span<const ScoredCandidate> all) const {
    std::vector<const ScoredCandidate*> ranked;
    for (const ScoredCandidate& c : all) {
      if (std::isfinite(c.score)) ranked.push_back(&c);
    }
    std::sort(ranked.begin(), ranked.end(), [](const ScoredCandidate* a, const ScoredCandidate* b) {
      return ranks_above(*a, *b);
    });
    std::vector<size_t> left, right;
    for (const ScoredCandidate* c : ranked) {
      const bool threshold = threshold_mode(params_, columns_[c->feature]);
      const std::optional<SplitRule> rule = rule_of(node, c->feature, c->state);
      if (!rule) continue;
      left.clear();
      right.clear();
      for (size_t s : node.samples)
        (rule->route_left_train(columns_, s) ? left : right).push_back(s);
      if (node.admission.admits(c->feature, threshold, side_of(left, targets_, weights_),
                                side_of(right, targets_, weights_))) {
        return c;
      }
    }
    return nullptr;
  }

  // Every feature's held-out evidence of one node, in feature order.
  std::vector<HeldOutEvidence> gather_evidence(const StrictNode<Target>& node,
                                               const HeldOutTask& task) const {
    const size_t n_features = node.columns.size();
    const auto score = [&](size_t f) {
      HeldOutEvidence own(node.folds.size());
      score_held_out(task, node, f, own);
      return own;
    };
    std::vector<size_t> features(n_features);
    std::iota(features.begin(), features.end(), size_t{0});
    if (params_.parallel && params_.n_threads >= 2) {
      return par_map(std::span<const size_t>(features), params_.n_threads, score);
    }
    std::vector<HeldOutEvidence> out;
    out.reserve(n_features);
    for (size_t f : features)
      out.push_back(score(f));
    return out;
  }

  // Every feature's candidates of one node, concatenated in feature order.
  std::vector<ScoredCandidate> score_features(const StrictNode<Target>& node) const {
    const size_t n_features = node.columns.size();
    std::vector<std::vector<ScoredCandidate>> per_feature;
    if (params_.parallel && params_.n_threads >= 2) {
      std::vector<size_t> features(n_features);
      std::iota(features.begin(), features.end(), size_t{0});
      const K& task = task_;
      per_feature = par_map(std::span<const size_t>(features), params_.n_threads,
                            [&task, &node](size_t f) { return task.score_feature(node, f); });
    } else {
      per_feature.reserve(n_features);
      for (size_t f = 0; f < n_features; ++f)
        per_feature.push_back(task_.score_feature(node, f));
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

  // Routes the node's samples by `rule`, keeping their order; false when a side falls below
  // the policy's floors (samples of positive weight, when weighted).
  bool partition(const SplitRule& rule, std::span<const size_t> samples, std::vector<size_t>& left,
                 std::vector<size_t>& right) const {
    for (size_t s : samples) {
      (rule.route_left_train(columns_, s) ? left : right).push_back(s);
    }
    if (!policy_.keeps_rows(counted(left), counted(right))) return false;
    return !policy_.weight_floor() || policy_.keeps_weight(weight_of(left), weight_of(right));
  }

  double weight_of(const std::vector<size_t>& samples) const {
    if (!weighted()) return static_cast<double>(samples.size());
    double total = 0.0;
    for (size_t s : samples)
      total += weights_[s];
    return total;
  }

  size_t counted(const std::vector<size_t>& samples) const {
    if (!weighted()) return samples.size();
    size_t n = 0;
    for (size_t s : samples)
      n += weights_[s] > 0.0 ? 1 : 0;
    return n;
  }

  const K& task_;
  const Params& params_;
  const Aggregator& aggregator_;
  std::span<const Column> columns_;
  std::span<const Target> targets_;
  std::span<const double> weights_;  // empty when unweighted
  const GrowthPolicy<K>& policy_;
  std::vector<Target> node_targets_;  // the current node's targets, in sample order
  std::vector<double> node_weights_;  // and their weights, when weighted
};

}  // namespace

template <class K>
std::unique_ptr<NodeOf<K>> build_node(const K& task, const Params& params,
                                      const Aggregator& aggregator, std::span<const Column> columns,
                                      std::span<const typename K::Target> targets,
                                      std::vector<size_t> samples, size_t depth,
                                      std::span<const double> weights) {
  double total = static_cast<double>(samples.size());
  if (!weights.empty() && params.min_weight_fraction_leaf > 0.0) {
    total = 0.0;
    for (size_t s : samples)
      total += weights[s];
  }
  const Params effective = effective_params<K>(params);
  const GrowthPolicy<K> policy(task, effective, aggregator, !weights.empty(), total);
  return StrictGrowth<K>(task, effective, aggregator, columns, targets, weights, policy)
      .grow(std::move(samples), depth);
}

template std::unique_ptr<NodeOf<Regression>> build_node(const Regression&, const Params&,
                                                        const Aggregator&, std::span<const Column>,
                                                        std::span<const double>,
                                                        std::vector<size_t>, size_t,
                                                        std::span<const double>);
template std::unique_ptr<NodeOf<Classification>> build_node(
    const Classification&, const Params&, const Aggregator&, std::span<const Column>,
    std::span<const size_t>, std::vector<size_t>, size_t, std::span<const double>);
template std::unique_ptr<NodeOf<ObjectiveClassification>> build_node(
    const ObjectiveClassification&, const Params&, const Aggregator&, std::span<const Column>,
    std::span<const size_t>, std::vector<size_t>, size_t, std::span<const double>);

}  // namespace zelk
