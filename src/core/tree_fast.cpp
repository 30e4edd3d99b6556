// Fast growth: per-task histogram scoring and the driver that grows a tree from binned data
// by partitioning one shared sample array in place.
#include <algorithm>
#include <numeric>
#include <string>

#include "core/parallel.hpp"
#include "core/tree.hpp"

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
