#include "core/tree/fast/growth.hpp"

#include <algorithm>
#include <exception>
#include <limits>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/histogram/held_out.hpp"
#include "core/parallel.hpp"
#include "core/tree/fast/node_layout.hpp"
#include "core/tree/fast/partition.hpp"
#include "core/tree/fast/schedule.hpp"
#include "core/tree/rules.hpp"
#include "core/validation/held_out.hpp"
#include "core/validation/prune.hpp"

namespace zelk {

namespace {

// A node's decision as it passes from choosing to the partition: the winning candidate, the
// rule that sends its left side left, and what the node records of how it was chosen.
struct FastDecision {
  size_t feature;
  uint32_t state;
  FastRule rule;
  NodeStats stats;
};

// Grows one tree depth first, left subtree before right, from an explicit stack. Per node:
// prepare it (payload, stop rules, dealing; done by the pass that made the node), score its
// features, choose the winner and its rule, partition its stretch (moving every list and
// preparing both children), then schedule the children. Large nodes near the root split
// their work over the threads; the subtrees below them grow whole, one thread each.
template <class K>
class FastGrowth {
 public:
  using Target = typename K::Target;
  using NodeT = NodeOf<K>;

  FastGrowth(const K& task, const Params& params, const Aggregator& aggregator, BinnedData& data,
             std::span<const Target> targets, std::span<const double> weights)
      : task_(task),
        params_(params),
        aggregator_(aggregator),
        data_(data),
        n_features_(data.codes.size()),
        min_split_(std::max<size_t>(params.min_samples_split, 2)),
        min_leaf_(std::max<size_t>(params.min_samples_leaf, 1)),
        targets_(targets.begin(), targets.begin() + data.n_samples),
        weights_(weights.begin(), weights.begin() + (weights.empty() ? 0 : data.n_samples)),
        stash_(data.n_samples, !weights.empty()) {}

  std::unique_ptr<NodeT> grow(size_t depth) {
    const size_t n = data_.n_samples;
    if (params_.min_weight_fraction_leaf > 0.0) {
      double total = static_cast<double>(n);
      if (weighted()) {
        total = 0.0;
        for (double w : weights_)
          total += w;
      }
      min_weight_leaf_ = params_.min_weight_fraction_leaf * total;
    }
    std::unique_ptr<NodeT> root;
    std::vector<Pending> stack;
    // The root too keeps its dealing in the stash, so no node's rows need a buffer of their own.
    stack.push_back({0, n, depth, &root, prepare(0, n, depth)});
    Worker first;
    const bool subtrees =
        params_.parallel && params_.n_threads >= 2 && n >= params_.parallel_min_samples;
    if (!subtrees) {
      grow_nodes(stack, first, true, nullptr, 0);
    } else {
      const size_t below = std::max(params_.parallel_min_samples, n / (8 * params_.n_threads));
      std::vector<Pending> frontier;
      grow_nodes(stack, first, true, &frontier, below);
      grow_frontier(frontier);
    }
    if (held_out()) prune_held_out(*root, params_.min_impurity_decrease);
    return root;
  }

 private:
  using Prepared = PreparedNode<K>;

  // A pending node: its stretch of the shared order and the slot its subtree goes into.
  // Popping the left child first grows the same tree, in the same order, as depth-first
  // recursion.
  struct Pending {
    size_t begin;
    size_t end;
    size_t depth;
    std::unique_ptr<NodeT>* slot;
    std::optional<Prepared> prepared;
  };

  // The buffers of one thread that grows nodes, kept across its nodes.
  struct Worker {
    std::vector<Target> moved_targets;  // reordering the targets after a split
    std::vector<double> moved_weights;  // and their weights
    std::vector<size_t> blocks;
    std::vector<FastScratch> scratches;              // one per block
    std::vector<uint32_t> order;                     // reordering the code lists after a split
    std::vector<std::vector<uint16_t>> moved_codes;  // one buffer per block
    std::vector<Pending> stack;                      // the subtrees it grows whole
  };

  bool stopped(size_t n, size_t depth) const {
    return n < min_split_ || (params_.max_depth && depth >= *params_.max_depth);
  }

  // Whether a node of n samples shares its work over the threads.
  bool shares_work(bool shared, size_t n) const {
    return shared && params_.parallel && params_.n_threads >= 2 &&
           n >= params_.parallel_min_samples && n_features_ >= 2;
  }

  bool weighted() const { return !weights_.empty(); }

  // The weights of the stretch [begin, begin + n), or none when unweighted.
  std::span<const double> stretch_weights(size_t begin, size_t n) const {
    return weighted() ? std::span<const double>(weights_).subspan(begin, n)
                      : std::span<const double>();
  }

  // Prepares the node of stretch [begin, begin + n) as its own pass would begin: its payload,
  // the stop rules and purity test, and for a node to split its dealing. Weighted, the stop
  // rules count the samples of positive weight.
  Prepared prepare(size_t begin, size_t n, size_t depth) {
    const std::span<const Target> t = std::span<const Target>(targets_).subspan(begin, n);
    const std::span<const double> w = stretch_weights(begin, n);
    Prepared prepared;
    prepared.counted = n;
    prepared.weight = static_cast<double>(n);
    if (weighted()) {
      prepared.payload = task_.fast_leaf_value(t, w);
      prepared.impurity = task_.node_impurity(t, w);
      prepared.weight = 0.0;
      prepared.counted = 0;
      for (double x : w) {
        prepared.weight += x;
        prepared.counted += x > 0.0 ? 1 : 0;
      }
    } else {
      prepared.payload = task_.fast_leaf_value(t);
      prepared.impurity = task_.node_impurity(t);
    }
    if (stopped(prepared.counted, depth) || 0.0 >= prepared.impurity) return prepared;
    prepared.split = true;
    stash_.deal(task_, params_.kfold, begin, t, w, prepared);
    return prepared;
  }

  // The samples among positions order[from .. to) of the stretch from `begin` that the
  // min_samples_leaf rule counts: all of them, or those of positive weight.
  size_t counted(size_t begin, std::span<const uint32_t> order, size_t from, size_t to) const {
    if (!weighted()) return to - from;
    size_t kept = 0;
    for (size_t i = from; i < to; ++i)
      kept += weights_[begin + order[i]] > 0.0 ? 1 : 0;
    return kept;
  }

  // Grows the nodes of `stack` and their subtrees with `w`'s buffers; with `shared`, splits
  // a large node's work over the threads. With `frontier`, nodes below `frontier_below`
  // samples are set aside there instead: a node's subtree depends only on its own stretch of
  // the shared arrays, so subtrees can grow in any order, at once.
  void grow_nodes(std::vector<Pending>& stack, Worker& w, bool shared,
                  std::vector<Pending>* frontier, size_t frontier_below) {
    while (!stack.empty()) {
      Pending p = std::move(stack.back());
      stack.pop_back();
      if (frontier && p.end - p.begin < frontier_below) {
        frontier->push_back(std::move(p));
        continue;
      }
      grow_node(p, stack, w, shared);
    }
  }

  void grow_node(Pending& p, std::vector<Pending>& stack, Worker& w, bool shared) {
    const size_t n = p.end - p.begin;
    NodeStats stats;
    stats.impurity = p.prepared->impurity;
    stats.weighted_n_samples = p.prepared->weight;
    const auto make_leaf = [&]() {
      *p.slot = NodeT::make_leaf(std::move(p.prepared->payload), n);
      (*p.slot)->stats = std::move(stats);
    };
    if (!p.prepared->split) return make_leaf();

    const FastNode<Target> node{params_,
                                data_,
                                aggregator_,
                                stash_.view(task_, p.begin, *p.prepared),
                                std::span<const Target>(targets_).subspan(p.begin, n),
                                p.begin,
                                n};
    std::optional<FastDecision> decision =
        held_out() ? choose_held_out(gather_evidence(node, *p.prepared, w, shared), *p.prepared)
                   : choose(score_features(node, w, shared));
    if (!decision) return make_leaf();
    std::optional<Prepared> left, right;
    const std::optional<size_t> n_left = partition(p, node, *decision, w, shared, left, right);
    if (!n_left) return make_leaf();
    // No weight measures nothing: such a child keeps this node's prediction.
    for (std::optional<Prepared>* child : {&left, &right}) {
      if (weighted() && !((*child)->weight > 0.0)) {
        (*child)->impurity = 0.0;
        (*child)->payload = p.prepared->payload;
      }
    }

    *p.slot = NodeT::make_split(std::move(decision->rule.rule), nullptr, nullptr);
    NodeT& split = **p.slot;
    stats.split_score = decision->stats.split_score;
    stats.fold_scores = std::move(decision->stats.fold_scores);
    stats.held_out_gain = decision->stats.held_out_gain;
    stats.held_out_variance = decision->stats.held_out_variance;
    split.stats = std::move(stats);
    split.n_samples = n;
    // Pruning may turn the split back into a leaf.
    if (held_out()) split.value = std::move(p.prepared->payload);
    stack.push_back({p.begin + *n_left, p.end, p.depth + 1, &split.right, std::move(right)});
    stack.push_back({p.begin, p.begin + *n_left, p.depth + 1, &split.left, std::move(left)});
  }

  // Scores every feature of the node into one result, in feature order: a large node's
  // features in blocks on several threads, the blocks' results merged in order. `score(f,
  // scratch, result)` adds feature f; `empty` is the result of no feature.
  template <class Result, class Score>
  Result over_features(size_t n, Worker& w, bool shared, const Result& empty, Score&& score) const {
    Result result = empty;
    if (!shares_work(shared, n)) {
      if (w.scratches.empty()) w.scratches.resize(1);
      for (size_t f = 0; f < n_features_; ++f)
        score(f, w.scratches[0], result);
      return result;
    }
    const size_t n_blocks = std::min(params_.n_threads, n_features_);
    if (w.blocks.size() != n_blocks) {
      w.blocks.resize(n_blocks);
      std::iota(w.blocks.begin(), w.blocks.end(), size_t{0});
      w.scratches.resize(n_blocks);
    }
    const auto blocks =
        par_map(std::span<const size_t>(w.blocks), params_.n_threads, [&](size_t b) {
          Result block = empty;
          for (size_t f = b * n_features_ / n_blocks; f < (b + 1) * n_features_ / n_blocks; ++f)
            score(f, w.scratches[b], block);
          return block;
        });
    for (const Result& block : blocks)
      result.merge(block);
    return result;
  }

  // Offers every feature of the node to one BestSplit.
  BestSplit score_features(const FastNode<Target>& node, Worker& w, bool shared) const {
    return over_features(node.n, w, shared, BestSplit{},
                         [&](size_t f, FastScratch& scratch, BestSplit& best) {
                           task_.score_feature_fast(node, f, scratch, best);
                         });
  }

  // The winner, if it beats min_impurity_decrease and the whole-set bins give it a rule.
  std::optional<FastDecision> choose(BestSplit best) const {
    if (!best.found || params_.min_impurity_decrease >= best.score) return std::nullopt;
    std::optional<FastRule> rule =
        fast_rule(params_, data_.bins[best.feature], best.feature, best.state);
    if (!rule) return std::nullopt;
    FastDecision decision{best.feature, best.state, std::move(*rule), {}};
    decision.stats.split_score = best.score;
    decision.stats.fold_scores = std::move(best.fold_scores);
    return decision;
  }

  bool held_out() const { return params_.validation == Validation::Prune; }

  // Every feature's held-out evidence of the node.
  HeldOutEvidence gather_evidence(const FastNode<Target>& node, const Prepared& prepared, Worker& w,
                                  bool shared) const {
    HeldOutTask task = task_.held_out(params_);
    task.min_weight = min_weight_leaf_;
    if (weighted()) {
      task.weighted = true;
      // One pseudo-sample of the node's mean weight: the smoothing does not change when
      // every weight is scaled.
      task.pseudo_count = prepared.weight / static_cast<double>(prepared.counted);
    }
    const size_t n_folds = node.rows.n_folds;
    const auto score = [&](size_t f, FastScratch& scratch, HeldOutEvidence& evidence) {
      const FeatureBins& bins = data_.bins[f];
      score_held_out_fast<Target>(task, node.rows, node.targets, node.codes(f), bins.n_bins,
                                  uses_threshold(params_, bins), f, scratch, evidence);
    };
    return over_features(node.n, w, shared, HeldOutEvidence(n_folds), score);
  }

  // The node's own choice, if the whole-set bins give it a rule; its validated gain goes with
  // it to the pruning.
  std::optional<FastDecision> choose_held_out(const HeldOutEvidence& evidence,
                                              const Prepared& prepared) const {
    HeldOutEstimate estimate = estimate_held_out(evidence, aggregator_, prepared.weight);
    if (!estimate.found) return std::nullopt;
    std::optional<FastRule> rule =
        fast_rule(params_, data_.bins[evidence.feature], evidence.feature, evidence.state);
    if (!rule) return std::nullopt;
    FastDecision decision{evidence.feature, evidence.state, std::move(*rule), {}};
    decision.stats.split_score = estimate.score;
    decision.stats.fold_scores = std::move(estimate.fold_scores);
    decision.stats.held_out_gain = estimate.gain;
    decision.stats.held_out_variance = estimate.variance;
    return decision;
  }

  // Partitions the node's positions by the decision and returns the left count, or nothing
  // when a side falls below min_samples_leaf. Otherwise moves the targets (and weights) and
  // every code list the same way and prepares both children into `left` and `right`.
  std::optional<size_t> partition(const Pending& p, const FastNode<Target>& node,
                                  const FastDecision& decision, Worker& w, bool shared,
                                  std::optional<Prepared>& left, std::optional<Prepared>& right) {
    const size_t n = node.n;
    const size_t f = decision.feature;
    w.order.resize(n);
    std::iota(w.order.begin(), w.order.end(), uint32_t{0});
    const size_t n_left = partition_in_place(
        w.order, node.codes(f), static_cast<uint16_t>(decision.state), decision.rule.mode);
    if (n_left < min_leaf_ || n - n_left < min_leaf_) return std::nullopt;
    if (weighted()) {
      const size_t counted_left = counted(p.begin, w.order, 0, n_left);
      if (counted_left < min_leaf_ || p.prepared->counted - counted_left < min_leaf_) {
        return std::nullopt;
      }
    }
    if (min_weight_leaf_ > 0.0) {
      double left_weight = static_cast<double>(n_left);
      if (weighted()) {
        left_weight = 0.0;
        for (size_t i = 0; i < n_left; ++i)
          left_weight += weights_[p.begin + w.order[i]];
      }
      if (!(left_weight >= min_weight_leaf_ &&
            p.prepared->weight - left_weight >= min_weight_leaf_)) {
        return std::nullopt;
      }
    }
    // The sample numbers themselves are not needed any more: every list that is read later
    // moves instead. Whoever moves the targets then prepares both children from them; the two
    // weigh as much as this many code lists and share the split of the work.
    constexpr size_t kTargetUnits = 16;
    std::exception_ptr prepare_error;
    const auto move_lists = [&](size_t b, size_t n_blocks, std::vector<uint16_t>& buffer) {
      const size_t units = n_features_ + kTargetUnits;
      const size_t first = b * units / n_blocks, last = (b + 1) * units / n_blocks;
      if (first == 0) {
        reorder(std::span<Target>(targets_).subspan(p.begin, n), w.order, w.moved_targets);
        if (weighted()) {
          reorder(std::span<double>(weights_).subspan(p.begin, n), w.order, w.moved_weights);
        }
        // Preparing is the children's own work: a failure in it surfaces as it would there,
        // on the calling thread, not as a failed worker.
        try {
          left = prepare(p.begin, n_left, p.depth + 1);
          right = prepare(p.begin + n_left, n - n_left, p.depth + 1);
        } catch (...) {
          prepare_error = std::current_exception();
        }
      }
      for (size_t g = std::max(first, kTargetUnits) - kTargetUnits;
           g < std::max(last, kTargetUnits) - kTargetUnits; ++g)
        reorder(std::span<uint16_t>(data_.codes[g]).subspan(p.begin, n), w.order, buffer);
      return 0;
    };
    if (shares_work(shared, n) && !w.blocks.empty()) {
      w.moved_codes.resize(w.blocks.size());
      par_map(std::span<const size_t>(w.blocks), params_.n_threads,
              [&](size_t b) { return move_lists(b, w.blocks.size(), w.moved_codes[b]); });
    } else {
      if (w.moved_codes.empty()) w.moved_codes.resize(1);
      move_lists(0, 1, w.moved_codes[0]);
    }
    if (prepare_error) std::rethrow_exception(prepare_error);
    return n_left;
  }

  // Grows the subtrees set aside below the large nodes, the largest first, on the threads.
  void grow_frontier(std::vector<Pending>& frontier) {
    std::stable_sort(frontier.begin(), frontier.end(), [](const Pending& a, const Pending& b) {
      return a.end - a.begin > b.end - b.begin;
    });
    std::vector<Worker> workers(std::min(params_.n_threads, frontier.size()));
    grow_subtrees(frontier.size(), params_.n_threads, [&](size_t t, size_t i) {
      Worker& w = workers[t];
      w.stack.push_back(std::move(frontier[i]));
      grow_nodes(w.stack, w, false, nullptr, 0);
    });
  }

  const K& task_;
  const Params& params_;
  const Aggregator& aggregator_;
  BinnedData& data_;  // its code lists move with the samples
  const size_t n_features_;
  const size_t min_split_;
  const size_t min_leaf_;
  std::vector<Target> targets_;  // in the order of the samples
  std::vector<double> weights_;  // the same for their weights; empty when unweighted
  NodeStash<K> stash_;
  double min_weight_leaf_ = 0.0;  // the least weight of a side; 0 sets no floor
};

}  // namespace

template <class K>
std::unique_ptr<NodeOf<K>> build_node_fast_in_place(const K& task, const Params& params,
                                                    const Aggregator& aggregator, BinnedData&& data,
                                                    std::span<const typename K::Target> targets,
                                                    size_t depth, std::span<const double> weights) {
  BinnedData owned = std::move(data);
  const size_t n = owned.n_samples;
  if (n > std::numeric_limits<uint32_t>::max()) {
    throw Panic("fast growth: " + std::to_string(n) + " samples exceed 32 bits");
  }
  for (const auto& codes : owned.codes) {
    if (codes.size() != n) {
      throw Panic("fast growth: a code list of " + std::to_string(codes.size()) + " entries for " +
                  std::to_string(n) + " samples");
    }
  }
  // Checked once for the root so that a caller's mistake ends in a Panic instead of a read
  // out of bounds.
  if (owned.bins.size() != owned.codes.size()) {
    throw Panic("fast growth: " + std::to_string(owned.codes.size()) + " code lists but " +
                std::to_string(owned.bins.size()) + " feature bins");
  }
  if (n > 0 && (targets.size() < n || (!weights.empty() && weights.size() < n))) {
    throw Panic("fast growth: sample number " + std::to_string(n - 1) + " out of range");
  }
  return FastGrowth<K>(task, params, aggregator, owned, targets, weights).grow(depth);
}

template std::unique_ptr<NodeOf<Regression>> build_node_fast_in_place<Regression>(
    const Regression&, const Params&, const Aggregator&, BinnedData&&, std::span<const double>,
    size_t, std::span<const double>);
template std::unique_ptr<NodeOf<Classification>> build_node_fast_in_place<Classification>(
    const Classification&, const Params&, const Aggregator&, BinnedData&&, std::span<const size_t>,
    size_t, std::span<const double>);
template std::unique_ptr<NodeOf<ObjectiveClassification>>
build_node_fast_in_place<ObjectiveClassification>(const ObjectiveClassification&, const Params&,
                                                  const Aggregator&, BinnedData&&,
                                                  std::span<const size_t>, size_t,
                                                  std::span<const double>);

}  // namespace zelk
