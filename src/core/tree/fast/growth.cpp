#include "core/tree/fast/growth.hpp"

#include <algorithm>
#include <exception>
#include <limits>
#include <numeric>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/histogram/candidates.hpp"
#include "core/histogram/held_out.hpp"
#include "core/parallel.hpp"
#include "core/tree/fast/node_layout.hpp"
#include "core/tree/fast/partition.hpp"
#include "core/tree/fast/schedule.hpp"
#include "core/tree/policy.hpp"
#include "core/tree/rules.hpp"
#include "core/validation/held_out.hpp"

namespace zelk {

namespace {

// A node's decision as it passes from choosing to the partition: the rule that sends the
// winner's left side left, and the verdict that chose it.
struct FastDecision {
  FastRule rule;
  Verdict verdict;
};

// The side a stretch of targets (and weights, when weighted) makes, for a constraint's bounds.
template <class Target>
Side side_of(std::span<const Target> targets, std::span<const double> weights) {
  Side side;
  for (size_t i = 0; i < targets.size(); ++i) {
    const double w = weights.empty() ? 1.0 : weights[i];
    side.rows += w > 0.0 ? 1.0 : 0.0;
    side.weight += w;
    if constexpr (std::is_same_v<Target, double>) {
      side.value_sum += w * targets[i];
    } else {
      side.value_sum += targets[i] == 1 ? w : 0.0;
    }
  }
  return side;
}

// Grows one tree depth first, left subtree before right, from an explicit stack. Per node:
// prepare it (payload, stop rules, dealing; done by the pass that made the node), score its
// features, let the policy's validation choose the winner, make its rule, partition its
// stretch (moving every list and preparing both children), then schedule the children. Large
// nodes near the root split their work over the threads; the subtrees below them grow whole,
// one thread each.
template <class K>
class FastGrowth {
 public:
  using Target = typename K::Target;
  using NodeT = NodeOf<K>;

  FastGrowth(const K& task, const Params& params, const Aggregator& aggregator, BinnedData& data,
             std::span<const Target> targets, std::span<const double> weights,
             const GrowthPolicy<K>& policy)
      : task_(task),
        params_(params),
        aggregator_(aggregator),
        data_(data),
        n_features_(data.codes.size()),
        targets_(targets.begin(), targets.begin() + data.n_samples),
        weights_(weights.begin(), weights.begin() + (weights.empty() ? 0 : data.n_samples)),
        stash_(data.n_samples, !weights.empty()),
        policy_(policy) {}

  std::unique_ptr<NodeT> grow(size_t depth) {
    const size_t n = data_.n_samples;
    std::unique_ptr<NodeT> root;
    std::vector<Pending> stack;
    // The root too keeps its dealing in the stash, so no node's rows need a buffer of their own.
    stack.push_back({0, n, depth, &root, prepare(0, n, depth), NodeBounds{}});
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
    policy_.after_growth(*root);
    return root;
  }

 private:
  using Prepared = PreparedNode<K>;

  // A pending node: its stretch of the shared order, the slot its subtree goes into and the
  // bounds its value must keep. Popping the left child first grows the same tree, in the same
  // order, as depth-first recursion.
  struct Pending {
    size_t begin;
    size_t end;
    size_t depth;
    std::unique_ptr<NodeT>* slot;
    std::optional<Prepared> prepared;
    NodeBounds bounds;
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
    std::vector<HeldOutEvidence> evidence;           // per feature, of the node it scores
  };

  // Scores a node for its validation: its best candidate, or its held-out evidence.
  struct Scorer {
    const FastGrowth& growth;
    const FastNode<Target>& node;
    Worker& worker;
    bool shared;

    BestSplit candidates() const { return growth.score_features(node, worker, shared); }
    bool orders_categories(size_t feature) const { return growth.orders_categories(node, feature); }
    const std::vector<HeldOutEvidence>& held_out(const HeldOutTask& task) const {
      return growth.gather_evidence(node, task, worker, shared);
    }
  };

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
    if (policy_.stops(prepared.counted, depth, prepared.impurity)) return prepared;
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
    Prepared& prepared = *p.prepared;
    K::bound(prepared.payload, p.bounds);
    NodeStats stats;
    stats.impurity = prepared.impurity;
    stats.weighted_n_samples = prepared.weight;
    const auto make_leaf = [&]() {
      *p.slot = NodeT::make_leaf(std::move(prepared.payload), n);
      (*p.slot)->stats = std::move(stats);
    };
    if (!prepared.split) return make_leaf();

    const FastNode<Target> node{params_,
                                data_,
                                aggregator_,
                                stash_.view(task_, p.begin, prepared),
                                std::span<const Target>(targets_).subspan(p.begin, n),
                                p.begin,
                                n,
                                policy_.admission(p.bounds)};
    std::optional<FastDecision> decision =
        decide(Scorer{*this, node, w, shared}, NodeFacts{prepared.weight, prepared.counted});
    if (!decision) return make_leaf();
    std::optional<Prepared> left, right;
    const std::optional<size_t> n_left = partition(p, node, *decision, w, shared, left, right);
    if (!n_left) return make_leaf();

    *p.slot = NodeT::make_split(std::move(decision->rule.rule), nullptr, nullptr);
    NodeT& split = **p.slot;
    std::move(decision->verdict).record(stats);
    split.stats = std::move(stats);
    split.n_samples = n;
    // Pruning may turn the split back into a leaf.
    if (policy_.keeps_payloads()) split.value = std::move(prepared.payload);
    auto [left_bounds, right_bounds] =
        child_bounds(p.bounds, split.rule->feature(), p.begin, *n_left, n);
    stack.push_back(
        {p.begin + *n_left, p.end, p.depth + 1, &split.right, std::move(right), right_bounds});
    stack.push_back(
        {p.begin, p.begin + *n_left, p.depth + 1, &split.left, std::move(left), left_bounds});
  }

  // The children's bounds, from the values of their stretches once the partition moved them.
  std::pair<NodeBounds, NodeBounds> child_bounds(const NodeBounds& bounds, size_t feature,
                                                 size_t begin, size_t n_left, size_t n) const {
    const Admissibility& rules = policy_.admissibility();
    if (!rules.reads_values()) return {bounds, bounds};
    const std::span<const Target> t(targets_);
    const Side left = side_of(t.subspan(begin, n_left), stretch_weights(begin, n_left));
    const Side right =
        side_of(t.subspan(begin + n_left, n - n_left), stretch_weights(begin + n_left, n - n_left));
    return rules.child_bounds(bounds, feature, left.value(), right.value());
  }

  // The validation's verdict with the rule that the whole-set bins give it, if any: a cut of
  // the node's order of a categorical feature's bins, or one bin or edge.
  std::optional<FastDecision> decide(const Scorer& scorer, const NodeFacts& facts) const {
    std::optional<Verdict> verdict = policy_.choose(scorer, facts);
    if (!verdict) return std::nullopt;
    const size_t f = verdict->feature;
    const FeatureBins& bins = data_.bins[f];
    std::optional<FastRule> rule;
    if (category_cuts(params_, !bins.continuous)) {
      // The cuts from the high end of the order follow the n_bins - 1 from its low end.
      std::vector<uint32_t> rank;
      const size_t ranked = order_node_bins(scorer.node, f, rank);
      uint32_t cut = verdict->state;
      if (cut + 1 >= bins.n_bins) {
        cut -= static_cast<uint32_t>(bins.n_bins - 1);
        detail::reverse_ranks(rank, ranked);
      }
      if (cut + 1 < ranked) rule = fast_cut_rule(bins, f, rank, cut);
    } else {
      rule = fast_rule(params_, bins, f, verdict->state);
    }
    if (!rule) return std::nullopt;
    return FastDecision{std::move(*rule), std::move(*verdict)};
  }

  // Whether `feature` splits the node by a cut of an order of more than two categories, an
  // order its own sample chose (two categories make one partition, in either order).
  bool orders_categories(const FastNode<Target>& node, size_t feature) const {
    const FeatureBins& bins = data_.bins[feature];
    if (!category_cuts(params_, !bins.continuous)) return false;
    std::vector<char> seen(bins.n_bins, 0);
    size_t present = 0;
    const std::span<const uint16_t> codes = node.codes(feature);
    for (size_t r : node.rows.rows) {
      const uint16_t b = codes[r];
      if (b < bins.n_bins && !seen[b]) {
        seen[b] = 1;
        if (++present > 2) return true;
      }
    }
    return false;
  }

  // The order of feature f's bins by the node's statistic, as held-out validation orders them.
  size_t order_node_bins(const FastNode<Target>& node, size_t f,
                         std::vector<uint32_t>& rank) const {
    return detail::order_bins(node.rows, node.codes(f), data_.bins[f].n_bins, class_count(task_),
                              rank, [&](size_t j) { return node.targets[node.rows.rows[j]]; });
  }

  // The blocks a shared node's features are scored in: one per thread, at most one per feature.
  size_t feature_blocks() const { return std::min(params_.n_threads, n_features_); }

  // Runs `score(f, scratch, b)` on every feature f of a node of n samples: in order on this
  // thread as block 0, or for a large node in feature_blocks() blocks b of consecutive
  // features on several threads.
  template <class Score>
  void over_features(size_t n, Worker& w, bool shared, Score&& score) const {
    if (!shares_work(shared, n)) {
      if (w.scratches.empty()) w.scratches.resize(1);
      for (size_t f = 0; f < n_features_; ++f)
        score(f, w.scratches[0], size_t{0});
      return;
    }
    const size_t n_blocks = feature_blocks();
    if (w.blocks.size() != n_blocks) {
      w.blocks.resize(n_blocks);
      std::iota(w.blocks.begin(), w.blocks.end(), size_t{0});
      w.scratches.resize(n_blocks);
    }
    par_map(std::span<const size_t>(w.blocks), params_.n_threads, [&](size_t b) {
      for (size_t f = b * n_features_ / n_blocks; f < (b + 1) * n_features_ / n_blocks; ++f)
        score(f, w.scratches[b], b);
      return 0;
    });
  }

  // Offers every feature of the node to one BestSplit: each block to its own, merged in order.
  BestSplit score_features(const FastNode<Target>& node, Worker& w, bool shared) const {
    std::vector<BestSplit> block_best(shares_work(shared, node.n) ? feature_blocks() : 1);
    over_features(node.n, w, shared, [&](size_t f, FastScratch& scratch, size_t b) {
      task_.score_feature_fast(node, f, scratch, block_best[b]);
    });
    if (block_best.size() == 1) return std::move(block_best[0]);
    BestSplit best;
    for (const BestSplit& block : block_best)
      best.merge(block);
    return best;
  }

  // Every feature's held-out evidence of the node, in feature order, in the worker's buffer
  // (features of different blocks fill different entries).
  const std::vector<HeldOutEvidence>& gather_evidence(const FastNode<Target>& node,
                                                      const HeldOutTask& task, Worker& w,
                                                      bool shared) const {
    std::vector<HeldOutEvidence>& evidence = w.evidence;
    evidence.resize(n_features_);
    for (HeldOutEvidence& e : evidence)
      e.reset(node.rows.n_folds);
    over_features(node.n, w, shared, [&](size_t f, FastScratch& scratch, size_t) {
      const FeatureBins& bins = data_.bins[f];
      score_held_out_fast<Target>(
          task, node.rows, node.targets, node.codes(f), bins.n_bins, uses_threshold(params_, bins),
          category_cuts(params_, !bins.continuous), f, node.admission, scratch, evidence[f]);
    });
    return evidence;
  }

  // Partitions the node's positions by the decision and returns the left count, or nothing
  // when a side falls below the policy's floors. Otherwise moves the targets (and weights)
  // and every code list the same way and prepares both children into `left` and `right`.
  std::optional<size_t> partition(const Pending& p, const FastNode<Target>& node,
                                  const FastDecision& decision, Worker& w, bool shared,
                                  std::optional<Prepared>& left, std::optional<Prepared>& right) {
    const size_t n = node.n;
    const size_t f = decision.verdict.feature;
    w.order.resize(n);
    std::iota(w.order.begin(), w.order.end(), uint32_t{0});
    const size_t n_left =
        partition_in_place(w.order, node.codes(f), static_cast<uint16_t>(decision.verdict.state),
                           decision.rule.mode, decision.rule.left_bins);
    // Weighted, the rows of positive weight; their counts bound the others'.
    const size_t rows_left = counted(p.begin, w.order, 0, n_left);
    if (!policy_.keeps_rows(rows_left, weighted() ? p.prepared->counted - rows_left : n - n_left)) {
      return std::nullopt;
    }
    if (policy_.weight_floor()) {
      double left_weight = static_cast<double>(n_left);
      if (weighted()) {
        left_weight = 0.0;
        for (size_t i = 0; i < n_left; ++i)
          left_weight += weights_[p.begin + w.order[i]];
      }
      if (!policy_.keeps_weight(left_weight, p.prepared->weight - left_weight)) return std::nullopt;
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
  std::vector<Target> targets_;  // in the order of the samples
  std::vector<double> weights_;  // the same for their weights; empty when unweighted
  NodeStash<K> stash_;
  const GrowthPolicy<K>& policy_;
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
  double total = static_cast<double>(n);
  if (!weights.empty() && params.min_weight_fraction_leaf > 0.0) {
    total = 0.0;
    for (size_t i = 0; i < n; ++i)
      total += weights[i];
  }
  const Params effective = effective_params<K>(params);
  const GrowthPolicy<K> policy(task, effective, aggregator, !weights.empty(), total);
  return FastGrowth<K>(task, effective, aggregator, owned, targets, weights, policy).grow(depth);
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
