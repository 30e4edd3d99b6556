// A plain fast-growth driver over sample numbers: the reference that the core's driver must
// grow the same trees as. Per node it deals the samples with KFold::assign, lists every
// candidate of every feature with the list scorers, picks the winner with best_candidate and
// partitions the one shared sample array in place; it shares no buffer, no dealing and no
// scheduling with the core's driver.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/aggregation.hpp"
#include "core/binning.hpp"
#include "core/histogram/classification.hpp"
#include "core/histogram/objective.hpp"
#include "core/histogram/regression.hpp"
#include "core/selector.hpp"
#include "core/tree/fast/partition.hpp"
#include "core/tree/rules.hpp"
#include "core/tree/tasks.hpp"

namespace zelk {

// Every candidate of feature f at the node dealt as `folds`.
template <class K>
std::vector<ScoredCandidate> reference_candidates(const K& task, const Params& params,
                                                  const Aggregator& aggregator,
                                                  const BinnedData& data,
                                                  std::span<const typename K::Target> targets,
                                                  const FoldAssignment& folds, size_t f,
                                                  FastScratch& scratch) {
  const FeatureBins& bins = data.bins[f];
  const bool threshold = uses_threshold(params, bins);
  if constexpr (std::is_same_v<K, Regression>) {
    return score_regression_fast(data.codes[f], targets, folds, bins.n_bins, f, aggregator, scratch,
                                 threshold);
  } else if constexpr (std::is_same_v<K, Classification>) {
    return score_classification_fast(task.n_classes, task.criterion->kind(), data.codes[f], targets,
                                     folds, bins.n_bins, f, aggregator, scratch, threshold);
  } else {
    return score_objective_fast(*task.objective, task.n_classes, data.codes[f], targets, folds,
                                bins.n_bins, f, aggregator, threshold);
  }
}

// Grows the tree of `samples` (sample numbers, partitioned in place: each node's samples end
// up in its stretch, the left child's first).
template <class K>
std::unique_ptr<NodeOf<K>> reference_fast_tree(const K& task, const Params& params,
                                               const Aggregator& aggregator, const BinnedData& data,
                                               std::span<const typename K::Target> targets,
                                               std::span<uint32_t> samples) {
  using Target = typename K::Target;
  using NodeT = NodeOf<K>;
  struct Pending {
    size_t begin;
    size_t end;
    size_t depth;
    std::unique_ptr<NodeT>* slot;
  };
  const size_t min_split = std::max<size_t>(params.min_samples_split, 2);
  const size_t min_leaf = std::max<size_t>(params.min_samples_leaf, 1);
  std::unique_ptr<NodeT> root;
  std::vector<Pending> stack{{0, samples.size(), 0, &root}};
  FastScratch scratch;
  while (!stack.empty()) {
    const Pending p = stack.back();
    stack.pop_back();
    const std::span<uint32_t> s = samples.subspan(p.begin, p.end - p.begin);
    std::vector<Target> t;
    for (uint32_t i : s)
      t.push_back(targets[i]);
    typename K::Payload payload = task.fast_leaf_value(t);
    const auto make_leaf = [&] { *p.slot = NodeT::make_leaf(std::move(payload), s.size()); };
    if (s.size() < min_split || (params.max_depth && p.depth >= *params.max_depth) ||
        0.0 >= task.node_impurity(t)) {
      make_leaf();
      continue;
    }
    const FoldAssignment folds = params.kfold.assign(std::vector<size_t>(s.begin(), s.end()));
    std::vector<ScoredCandidate> candidates;
    for (size_t f = 0; f < data.codes.size(); ++f) {
      for (ScoredCandidate& c :
           reference_candidates(task, params, aggregator, data, targets, folds, f, scratch))
        candidates.push_back(std::move(c));
    }
    const ScoredCandidate* best = best_candidate(candidates);
    if (best == nullptr || params.min_impurity_decrease >= best->score) {
      make_leaf();
      continue;
    }
    std::optional<FastRule> rule =
        fast_rule(params, data.bins[best->feature], best->feature, best->state);
    if (!rule) {
      make_leaf();
      continue;
    }
    const size_t n_left = partition_in_place(s, data.codes[best->feature],
                                             static_cast<uint16_t>(best->state), rule->mode);
    if (n_left < min_leaf || s.size() - n_left < min_leaf) {
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

}  // namespace zelk
