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
               std::span<const Column> columns, std::span<const Target> targets,
               std::span<const double> weights)
      : task_(task),
        params_(params),
        aggregator_(aggregator),
        columns_(columns),
        targets_(targets),
        weights_(weights) {}

  std::unique_ptr<NodeT> grow(std::vector<size_t> samples, size_t depth) {
    if (params_.min_weight_fraction_leaf > 0.0) {
      double total = static_cast<double>(samples.size());
      if (weighted()) {
        total = 0.0;
        for (size_t s : samples)
          total += weights_[s];
      }
      min_weight_leaf_ = params_.min_weight_fraction_leaf * total;
    }
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
    const NodeT* parent = nullptr;  // the split above, whose payload a weightless node takes
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
      // No weight measures nothing: the node keeps its parent's prediction.
      if (!(stats.weighted_n_samples > 0.0)) {
        stats.impurity = 0.0;
        if (work.parent != nullptr) payload = work.parent->value;
      }
    } else {
      payload = task_.leaf_value(node_targets_);
      stats.impurity = task_.node_impurity(node_targets_);
      stats.weighted_n_samples = static_cast<double>(n);
    }

    std::optional<StrictDecision> decision =
        decide(work.samples, counted, work.depth, stats.impurity, stats.weighted_n_samples);
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
    // Pruning may turn the split back into a leaf, and a weightless child takes it.
    split.value = std::move(payload);
    // Popped last-in first-out: the left subtree is grown completely before the right.
    stack.push_back({std::move(right), work.depth + 1, &split.right, &split});
    stack.push_back({std::move(left), work.depth + 1, &split.left, &split});
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

  // The stop rules that need no scoring: too few samples, the depth limit, a pure node.
  bool stops(size_t n, size_t depth, double impurity) const {
    if (n < std::max<size_t>(params_.min_samples_split, 2)) return true;
    if (params_.max_depth && depth >= *params_.max_depth) return true;
    // Written so that a not-a-number impurity does not stop growth.
    return 0.0 >= impurity;
  }

  // The split a node makes, or none when it must stay a leaf. `counted` is the node's number
  // of samples (of positive weight, when weighted) and `weight` its total weight.
  std::optional<StrictDecision> decide(std::span<const size_t> samples, size_t counted,
                                       size_t depth, double impurity, double weight) const {
    if (stops(counted, depth, impurity)) return std::nullopt;
    // The index's places are 32-bit; a larger node is scored from its folds alone.
    FoldIndex index;
    const bool indexed = samples.size() <= std::numeric_limits<uint32_t>::max();
    const std::vector<Fold> folds =
        indexed ? params_.kfold.folds(samples, index) : params_.kfold.folds(samples);
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
                                    weights_};
      return decide_scored(node, weight, counted);
    }
    const StrictNode<Target> node{
        params_, columns_, targets_, samples, folds, aggregator_, indexed ? &index : nullptr};
    return decide_scored(node, weight, counted);
  }

  std::optional<StrictDecision> decide_scored(const StrictNode<Target>& node, double weight,
                                              size_t counted) const {
    if (held_out()) {
      HeldOutTask task = task_.held_out(params_);
      task.min_weight = min_weight_leaf_;
      if (weighted()) {
        task.weighted = true;
        // One pseudo-sample of the node's mean weight: the smoothing does not change when
        // every weight is scaled.
        task.pseudo_count = weight / static_cast<double>(counted);
      }
      return choose_held_out(gather_evidence(node, task), node.samples, weight);
    }
    return choose(score_features(node), node.samples);
  }

  bool held_out() const { return params_.validation == Validation::Prune; }

  // Every feature's held-out evidence of one node, merged in feature order.
  HeldOutEvidence gather_evidence(const StrictNode<Target>& node, const HeldOutTask& task) const {
    const size_t n_features = node.columns.size();
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
                                                std::span<const size_t> samples,
                                                double weight) const {
    HeldOutEstimate estimate = estimate_held_out(evidence, aggregator_, weight);
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
  // min_samples_leaf (samples of positive weight, when weighted).
  bool partition(const SplitRule& rule, std::span<const size_t> samples, std::vector<size_t>& left,
                 std::vector<size_t>& right) const {
    for (size_t s : samples) {
      (rule.route_left_train(columns_, s) ? left : right).push_back(s);
    }
    const size_t min_leaf = std::max<size_t>(params_.min_samples_leaf, 1);
    if (counted(left) < min_leaf || counted(right) < min_leaf) return false;
    return min_weight_leaf_ == 0.0 ||
           (weight_of(left) >= min_weight_leaf_ && weight_of(right) >= min_weight_leaf_);
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
  std::span<const double> weights_;   // empty when unweighted
  std::vector<Target> node_targets_;  // the current node's targets, in sample order
  std::vector<double> node_weights_;  // and their weights, when weighted
  double min_weight_leaf_ = 0.0;      // the least weight of a side; 0 sets no floor
};

}  // namespace

template <class K>
std::unique_ptr<NodeOf<K>> build_node(const K& task, const Params& params,
                                      const Aggregator& aggregator, std::span<const Column> columns,
                                      std::span<const typename K::Target> targets,
                                      std::vector<size_t> samples, size_t depth,
                                      std::span<const double> weights) {
  return StrictGrowth<K>(task, params, aggregator, columns, targets, weights)
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
