#include "core/tree/strict/growth.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <optional>
#include <utility>

#include "core/parallel.hpp"
#include "core/selector.hpp"
#include "core/tree/rules.hpp"
#include "core/tree/strict/scoring.hpp"
#include "core/validation/held_out.hpp"
#include "core/validation/prune.hpp"

namespace zelk {

namespace {

// A node's decision as it passes from choosing to the split: the rule that reproduces the
// winner on the node's samples, and what the node records of how it was chosen (its score and
// fold scores, and under held-out validation its validated gain).
struct StrictDecision {
  SplitRule rule;
  NodeStats stats;
};

// Grows one tree depth first, left subtree before right, from an explicit stack: growth
// depth can approach the sample count. Per node: gather its targets and payload, check the
// stop rules, score every feature on the node's folds, choose the winner and its rule,
// partition the samples, then schedule the two children.
template <class K>
class StrictGrowth {
 public:
  using Target = typename K::Target;
  using NodeT = NodeOf<K>;

  StrictGrowth(const K& task, const Params& params, const Aggregator& aggregator,
               std::span<const Column> columns, std::span<const Target> targets)
      : task_(task),
        params_(params),
        aggregator_(aggregator),
        columns_(columns),
        targets_(targets) {}

  std::unique_ptr<NodeT> grow(std::vector<size_t> samples, size_t depth) {
    std::unique_ptr<NodeT> root;
    std::vector<Pending> stack;
    stack.push_back({std::move(samples), depth, &root});
    while (!stack.empty()) {
      Pending work = std::move(stack.back());
      stack.pop_back();
      grow_node(work, stack);
    }
    if (held_out()) prune_held_out(*root, params_.min_impurity_decrease);
    return root;
  }

 private:
  // A pending node: its samples, its depth and the slot its subtree goes into. Slots are
  // fields of nodes already on the heap, so they stay valid while the stack grows.
  struct Pending {
    std::vector<size_t> samples;
    size_t depth;
    std::unique_ptr<NodeT>* slot;
  };

  void grow_node(Pending& work, std::vector<Pending>& stack) {
    const size_t n = work.samples.size();
    gather_targets(work.samples);
    typename K::Payload payload = task_.leaf_value(node_targets_);
    NodeStats stats;
    stats.impurity = task_.node_impurity(node_targets_);
    stats.weighted_n_samples = static_cast<double>(n);

    std::optional<StrictDecision> decision = decide(work.samples, work.depth, stats.impurity);
    std::vector<size_t> left, right;
    if (decision && !partition(decision->rule, work.samples, left, right)) decision.reset();
    if (!decision) {
      *work.slot = NodeT::make_leaf(std::move(payload), n);
      (*work.slot)->stats = std::move(stats);
      return;
    }
    std::vector<size_t>().swap(work.samples);
    stats.split_score = decision->stats.split_score;
    stats.fold_scores = std::move(decision->stats.fold_scores);
    stats.held_out_gain = decision->stats.held_out_gain;
    stats.held_out_variance = decision->stats.held_out_variance;
    *work.slot = NodeT::make_split(std::move(decision->rule), nullptr, nullptr);
    NodeT& split = **work.slot;
    split.stats = std::move(stats);
    split.n_samples = n;
    // Pruning may turn the split back into a leaf.
    if (held_out()) split.value = std::move(payload);
    // Popped last-in first-out: the left subtree is grown completely before the right.
    stack.push_back({std::move(right), work.depth + 1, &split.right});
    stack.push_back({std::move(left), work.depth + 1, &split.left});
  }

  void gather_targets(std::span<const size_t> samples) {
    node_targets_.clear();
    node_targets_.reserve(samples.size());
    for (size_t s : samples)
      node_targets_.push_back(targets_[s]);
  }

  // The stop rules that need no scoring: too few samples, the depth limit, a pure node.
  bool stops(size_t n, size_t depth, double impurity) const {
    if (n < std::max<size_t>(params_.min_samples_split, 2)) return true;
    if (params_.max_depth && depth >= *params_.max_depth) return true;
    // Written so that a not-a-number impurity does not stop growth.
    return 0.0 >= impurity;
  }

  // The split a node makes, or none when it must stay a leaf.
  std::optional<StrictDecision> decide(std::span<const size_t> samples, size_t depth,
                                       double impurity) const {
    if (stops(samples.size(), depth, impurity)) return std::nullopt;
    // The index's places are 32-bit; a larger node is scored from its folds alone.
    FoldIndex index;
    const bool indexed = samples.size() <= std::numeric_limits<uint32_t>::max();
    const std::vector<Fold> folds =
        indexed ? params_.kfold.folds(samples, index) : params_.kfold.folds(samples);
    const StrictNode<Target> node{
        params_, columns_, targets_, samples, folds, aggregator_, indexed ? &index : nullptr};
    if (held_out()) return choose_held_out(gather_evidence(node), samples);
    return choose(score_features(node), samples);
  }

  bool held_out() const { return params_.validation == Validation::Prune; }

  // Every feature's held-out evidence of one node, merged in feature order.
  HeldOutEvidence gather_evidence(const StrictNode<Target>& node) const {
    const size_t n_features = node.columns.size();
    const HeldOutTask task = task_.held_out(params_);
    HeldOutEvidence evidence(node.folds.size());
    if (params_.parallel && params_.n_threads >= 2) {
      std::vector<size_t> features(n_features);
      std::iota(features.begin(), features.end(), size_t{0});
      const auto per_feature =
          par_map(std::span<const size_t>(features), params_.n_threads, [&](size_t f) {
            HeldOutEvidence own(node.folds.size());
            score_held_out(task, node, f, own);
            return own;
          });
      for (const HeldOutEvidence& own : per_feature)
        evidence.merge(own);
    } else {
      for (size_t f = 0; f < n_features; ++f)
        score_held_out(task, node, f, evidence);
    }
    return evidence;
  }

  // The node's own choice, if it has a rule; its validated gain goes with it to the pruning.
  std::optional<StrictDecision> choose_held_out(const HeldOutEvidence& evidence,
                                                std::span<const size_t> samples) const {
    HeldOutEstimate estimate =
        estimate_held_out(evidence, aggregator_, static_cast<double>(samples.size()));
    if (!estimate.found) return std::nullopt;
    const Column& column = columns_[evidence.feature];
    std::optional<SplitRule> rule = make_rule(column, evidence.feature, evidence.state, samples,
                                              params_.n_bins, threshold_mode(params_, column));
    if (!rule) return std::nullopt;
    StrictDecision decision{std::move(*rule), {}};
    decision.stats.split_score = estimate.score;
    decision.stats.fold_scores = std::move(estimate.fold_scores);
    decision.stats.held_out_gain = estimate.gain;
    decision.stats.held_out_variance = estimate.variance;
    return decision;
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

  // The best candidate, if it beats min_impurity_decrease and has a rule.
  std::optional<StrictDecision> choose(std::vector<ScoredCandidate> candidates,
                                       std::span<const size_t> samples) const {
    const ScoredCandidate* best = best_candidate(candidates);
    if (best == nullptr) return std::nullopt;
    if (params_.min_impurity_decrease >= best->score) return std::nullopt;
    const Column& column = columns_[best->feature];
    std::optional<SplitRule> rule = make_rule(column, best->feature, best->state, samples,
                                              params_.n_bins, threshold_mode(params_, column));
    if (!rule) return std::nullopt;
    ScoredCandidate& winner = candidates[static_cast<size_t>(best - candidates.data())];
    StrictDecision decision{std::move(*rule), {}};
    decision.stats.split_score = winner.score;
    decision.stats.fold_scores = std::move(winner.stats.scores);
    return decision;
  }

  // Routes the node's samples by `rule`, keeping their order; false when a side falls below
  // min_samples_leaf.
  bool partition(const SplitRule& rule, std::span<const size_t> samples, std::vector<size_t>& left,
                 std::vector<size_t>& right) const {
    for (size_t s : samples) {
      (rule.route_left_train(columns_, s) ? left : right).push_back(s);
    }
    const size_t min_leaf = std::max<size_t>(params_.min_samples_leaf, 1);
    return left.size() >= min_leaf && right.size() >= min_leaf;
  }

  const K& task_;
  const Params& params_;
  const Aggregator& aggregator_;
  std::span<const Column> columns_;
  std::span<const Target> targets_;
  std::vector<Target> node_targets_;  // the current node's targets, in sample order
};

}  // namespace

template <class K>
std::unique_ptr<NodeOf<K>> build_node(const K& task, const Params& params,
                                      const Aggregator& aggregator, std::span<const Column> columns,
                                      std::span<const typename K::Target> targets,
                                      std::vector<size_t> samples, size_t depth) {
  return StrictGrowth<K>(task, params, aggregator, columns, targets)
      .grow(std::move(samples), depth);
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
