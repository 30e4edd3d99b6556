#include "core/tree/strict/feature_codes.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <utility>

#include "core/candidate/category_order.hpp"

namespace zelk::detail {

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

namespace {

// Folds of unknown origin: every fold's training values are sorted on their own.
template <class Target>
bool code_unindexed(const StrictNode<Target>& node, const Column& column, bool threshold,
                    FeatureCodes& codes, size_t n_folds) {
  const size_t n_bins = node.params.n_bins;
  codes.general = true;
  codes.states = present_states(column, node.samples, n_bins);
  if (codes.states.empty()) return false;
  codes.fold_edges.resize(n_folds);
  std::vector<double> train_values;
  for (size_t f = 0; f < n_folds; ++f) {
    const Fold& fold = node.folds[f];
    train_values.clear();
    for (size_t s : fold.train)
      train_values.push_back(column.values()[s]);
    codes.fold_edges[f] = quantile_edge_runs(train_values, n_bins);
    codes.val[f].resize(fold.validation.size());
    for (size_t j = 0; j < fold.validation.size(); ++j) {
      const double v = column.values()[fold.validation[j]];
      codes.val[f][j] = std::isfinite(v) ? run_slot(codes.states, codes.fold_edges[f], v, threshold)
                                         : kMissingCode;
    }
  }
  return true;
}

template <class Target>
CategoryTally tally_categories(const StrictNode<Target>& node, const Column& column,
                               const std::vector<uint32_t>& categories,
                               std::span<const size_t> samples) {
  CategoryTally tally(categories.size(), node.n_classes);
  for (size_t s : samples) {
    const uint32_t slot = category_slot(categories, column.codes()[s]);
    if (slot >= categories.size()) continue;  // missing, or not a category of the node
    tally.add(slot, node.targets[s], node.weights.empty() ? 1.0 : node.weights[s]);
  }
  return tally;
}

// Category cuts: each fold's validation codes are their categories' ranks in the order of the
// fold's training part, so that a fold judges cuts it could have learnt.
template <class Target>
bool code_category_cuts(const StrictNode<Target>& node, const Column& column, FeatureCodes& codes,
                        size_t n_folds) {
  codes.categories = present_states(column, node.samples, node.params.n_bins);
  const size_t k = codes.categories.size();
  if (k < 2) return false;
  codes.states.resize(k - 1);
  for (size_t i = 0; i + 1 < k; ++i)
    codes.states[i] = static_cast<uint32_t>(i);
  const CategoryTally all = tally_categories(node, column, codes.categories, node.samples);
  all.order(codes.node_rank);
  codes.missing = std::any_of(node.samples.begin(), node.samples.end(),
                              [&](size_t s) { return column.codes()[s] == kMissingCode; });
  codes.fold_rank.resize(n_folds);
  codes.fold_ranked.resize(n_folds);
  for (size_t f = 0; f < n_folds; ++f) {
    const std::vector<size_t>& validation = node.folds[f].validation;
    CategoryTally train = all;
    train.subtract(tally_categories(node, column, codes.categories, validation));
    std::vector<uint32_t>& rank = codes.fold_rank[f];
    codes.fold_ranked[f] = train.order(rank);
    for (uint32_t& r : rank) {
      if (r >= codes.fold_ranked[f]) r = static_cast<uint32_t>(k);  // in no cut's left side
    }
    codes.val[f].resize(validation.size());
    for (size_t j = 0; j < validation.size(); ++j)
      codes.val[f][j] = cut_slot(codes, rank, column.codes()[validation[j]]);
  }
  return true;
}

// A categorical feature: the fold's training values play no part in its codes.
template <class Target>
bool code_categorical(const StrictNode<Target>& node, const Column& column, FeatureCodes& codes,
                      size_t n_folds) {
  if (node.params.category_subsets) return code_category_cuts(node, column, codes, n_folds);
  codes.states = present_states(column, node.samples, node.params.n_bins);
  if (codes.states.empty()) return false;
  for (size_t f = 0; f < n_folds; ++f) {
    const std::vector<size_t>& validation = node.folds[f].validation;
    codes.val[f].resize(validation.size());
    for (size_t j = 0; j < validation.size(); ++j)
      codes.val[f][j] = category_slot(codes.states, column.codes()[validation[j]]);
  }
  return true;
}

// The node's finite values sorted once, each with its fold and place; `finite_in_fold`
// counts them per fold.
template <class Target>
void sort_with_folds(const StrictNode<Target>& node, const Column& column, FeatureCodes& codes,
                     std::vector<size_t>& finite_in_fold) {
  std::vector<SortedValue>& sorted = codes.sorted;
  sorted.clear();
  const std::vector<double>& values = column.values();
  const FoldIndex& index = *node.index;
  // In the node's order, which follows the column more closely than the dealt order.
  for (size_t p = 0; p < node.samples.size(); ++p) {
    const double v = values[node.samples[p]];
    if (!std::isfinite(v)) continue;
    const uint32_t f = index.fold[p];
    sorted.push_back({order_key(v), f, index.place[p]});
    ++finite_in_fold[f];
  }
  sort_by_key(sorted, codes.buffer);
}

// States: the node's bin codes present among its sorted finite values.
void states_of_sorted(size_t n_bins, bool midpoints, FeatureCodes& codes) {
  codes.states.clear();
  edges_of_sorted(codes.sorted, kNoFold, codes.sorted.size(), n_bins, midpoints, codes.edges);
  const EdgeRuns& edges = codes.edges;
  size_t k = 0;
  bool have = false;
  for (const SortedValue& e : codes.sorted) {
    const double v = key_value(e.key);
    k = edges.runs_through_from(k, v);
    const auto code = static_cast<uint32_t>(edges.code_after(k));
    if (!have || codes.states.back() != code) {
      codes.states.push_back(code);
      have = true;
    }
  }
}

// Every fold's edges (of the sorted values outside it) and the slot of each of their runs.
template <class Target>
void fold_slot_tables(const StrictNode<Target>& node, bool threshold,
                      const std::vector<size_t>& finite_in_fold, FeatureCodes& codes) {
  const size_t n_bins = node.params.n_bins;
  const size_t n_folds = node.folds.size();
  const std::vector<SortedValue>& sorted = codes.sorted;
  const size_t m = sorted.size();
  std::vector<uint32_t>& in_block = codes.in_block;
  in_block.assign((m + kBlock - 1) / kBlock * n_folds, 0);
  for (size_t p = 0; p < m; ++p)
    ++in_block[p / kBlock * n_folds + sorted[p].fold];
  codes.fold_edges.resize(n_folds);
  codes.slot_of_runs.resize(n_folds);
  for (size_t f = 0; f < n_folds; ++f) {
    EdgeRuns& edges = codes.fold_edges[f];
    edges_of_sorted(sorted, static_cast<uint32_t>(f), m - finite_in_fold[f], n_bins,
                    node.params.midpoint_thresholds, edges, in_block, n_folds);
    std::vector<uint32_t>& table = codes.slot_of_runs[f];
    table.resize(edges.n_runs() + 1);
    for (size_t k = 0; k <= edges.n_runs(); ++k)
      table[k] = bin_slot(codes.states, static_cast<uint32_t>(edges.code_after(k)), threshold);
    codes.val[f].assign(node.folds[f].validation.size(), kMissingCode);
  }
}

// A continuous feature with a fold index: one sort per feature and node, since every fold's
// training values are the sorted node values less that fold's own.
template <class Target>
bool code_sorted(const StrictNode<Target>& node, const Column& column, bool threshold,
                 FeatureCodes& codes, bool folds) {
  const size_t n_folds = node.folds.size();
  std::vector<size_t> finite_in_fold(n_folds, 0);
  sort_with_folds(node, column, codes, finite_in_fold);
  states_of_sorted(node.params.n_bins, node.params.midpoint_thresholds, codes);
  if (codes.states.empty()) return false;
  if (!folds) return true;
  fold_slot_tables(node, threshold, finite_in_fold, codes);
  // Sorted values have ascending codes against any edges, so one pass codes every fold.
  std::vector<size_t> cursor(n_folds, 0);
  for (const SortedValue& e : codes.sorted) {
    const EdgeRuns& edges = codes.fold_edges[e.fold];
    const double v = key_value(e.key);
    const size_t k = cursor[e.fold] = edges.runs_through_from(cursor[e.fold], v);
    codes.val[e.fold][e.place] = codes.slot_of_runs[e.fold][k];
  }
  return true;
}

}  // namespace

template <class Target>
bool code_feature(const StrictNode<Target>& node, size_t feature, bool threshold,
                  FeatureCodes& codes, bool folds) {
  const Column& column = node.columns[feature];
  const size_t n_folds = folds ? node.folds.size() : 0;
  codes.val.resize(n_folds);
  codes.general = false;
  if (column.is_categorical()) return code_categorical(node, column, codes, n_folds);
  if (node.index == nullptr) return code_unindexed(node, column, threshold, codes, n_folds);
  return code_sorted(node, column, threshold, codes, folds);
}

template <class Target>
void turn_cuts(const StrictNode<Target>& node, const Column& column, FeatureCodes& codes) {
  const size_t k = codes.categories.size();
  for (uint32_t& r : codes.node_rank)
    r = static_cast<uint32_t>(k - 1 - r);  // every category of the node has rows
  for (size_t f = 0; f < codes.fold_ranked.size(); ++f) {
    const size_t ranked = codes.fold_ranked[f];
    for (uint32_t& r : codes.fold_rank[f]) {
      if (r < ranked) r = static_cast<uint32_t>(ranked - 1 - r);
    }
    const std::vector<size_t>& validation = node.folds[f].validation;
    for (size_t j = 0; j < validation.size(); ++j)
      codes.val[f][j] = cut_slot(codes, codes.fold_rank[f], column.codes()[validation[j]]);
  }
  for (uint32_t& state : codes.states)
    state += static_cast<uint32_t>(k - 1);
}

template <class Target>
size_t order_categories(const StrictNode<Target>& node, const Column& column,
                        const std::vector<uint32_t>& categories, std::span<const size_t> samples,
                        std::vector<uint32_t>& rank) {
  return tally_categories(node, column, categories, samples).order(rank);
}

template bool code_feature(const StrictNode<double>&, size_t, bool, FeatureCodes&, bool);
template bool code_feature(const StrictNode<size_t>&, size_t, bool, FeatureCodes&, bool);
template void turn_cuts(const StrictNode<double>&, const Column&, FeatureCodes&);
template void turn_cuts(const StrictNode<size_t>&, const Column&, FeatureCodes&);
template size_t order_categories(const StrictNode<double>&, const Column&,
                                 const std::vector<uint32_t>&, std::span<const size_t>,
                                 std::vector<uint32_t>&);
template size_t order_categories(const StrictNode<size_t>&, const Column&,
                                 const std::vector<uint32_t>&, std::span<const size_t>,
                                 std::vector<uint32_t>&);

}  // namespace zelk::detail
