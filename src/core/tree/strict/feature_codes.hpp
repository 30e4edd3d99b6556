// Coding one feature at a strict node: its states, and per fold the side code ("slot") of
// every validation sample against bins re-fitted on the fold's training values. Both strict
// scorers start here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/aggregation.hpp"
#include "core/candidate/states.hpp"
#include "core/data.hpp"
#include "core/encoder.hpp"
#include "core/selector.hpp"
#include "core/tree/params.hpp"
#include "core/tree/strict/sorted_values.hpp"
#include "core/tree/tasks.hpp"

namespace zelk::detail {

// One ScoredCandidate per state from the states' fold score lists.
std::vector<ScoredCandidate> finish_candidates(const std::vector<uint32_t>& states,
                                               std::vector<std::vector<double>>& scores,
                                               size_t n_folds, size_t feature,
                                               const Aggregator& aggregator);

// One empty fold score list per state, each with room for every fold.
std::vector<std::vector<double>> empty_score_lists(size_t n_states, size_t n_folds);

// A feature's states at a node and, per fold, the side code of every validation and
// training sample. Codes are slots: a state's index, states.size() for a code that matches
// no state (no state lies at or above it in threshold mode), kMissingCode for a missing
// value. A slot goes left of state i exactly when goes_left(slot, i, threshold) holds, as
// the bin or category code it stands for does against states[i].
struct FeatureCodes {
  std::vector<uint32_t> states;
  std::vector<std::vector<uint32_t>> val;  // per fold, in validation order
  std::vector<SortedValue> sorted;
  std::vector<SortedValue> buffer;  // for sorting `sorted`
  EdgeRuns edges;
  std::vector<EdgeRuns> fold_edges;
  // Per fold, continuous only: the slot of the values that pass k of the fold's edge runs.
  std::vector<std::vector<uint32_t>> slot_of_runs;
  std::vector<uint32_t> in_block;  // per block of `sorted`, per fold
  bool general = false;            // no fold index: nothing derived from `sorted`
  // Category cuts: the node's categories (ascending) with their rank in the node's order, and
  // per fold their rank in the order of its training part (the number of categories for one
  // it has no rows of) and how many it ranks; the states are the cuts 0 .. categories - 2.
  std::vector<uint32_t> categories;
  std::vector<uint32_t> node_rank;
  std::vector<std::vector<uint32_t>> fold_rank;
  std::vector<size_t> fold_ranked;
  bool missing = false;  // whether a sample of the node misses its category
};

inline uint32_t category_slot(const std::vector<uint32_t>& states, uint32_t code) {
  if (code == kMissingCode) return kMissingCode;
  const auto it = std::lower_bound(states.begin(), states.end(), code);
  return it != states.end() && *it == code ? static_cast<uint32_t>(it - states.begin())
                                           : static_cast<uint32_t>(states.size());
}

// Slot of a bin code against the ascending states (see FeatureCodes).
inline uint32_t bin_slot(const std::vector<uint32_t>& states, uint32_t code, bool threshold) {
  if (code == kMissingCode) return kMissingCode;
  const auto it = std::lower_bound(states.begin(), states.end(), code);
  return threshold || (it != states.end() && *it == code)
             ? static_cast<uint32_t>(it - states.begin())
             : static_cast<uint32_t>(states.size());
}

// Slot of a finite value coded against `edges`.
inline uint32_t run_slot(const std::vector<uint32_t>& states, const EdgeRuns& edges, double v,
                         bool threshold) {
  return bin_slot(states, static_cast<uint32_t>(edges.code(v)), threshold);
}

// The slot of a category code under category cuts: its rank in `rank`, the last category and
// the unranked ones sharing the slot that no cut sends left (kMissingCode for a missing code).
inline uint32_t cut_slot(const FeatureCodes& codes, const std::vector<uint32_t>& rank,
                         uint32_t code) {
  const uint32_t slot = category_slot(codes.categories, code);
  if (slot == kMissingCode) return slot;
  const auto none = static_cast<uint32_t>(codes.states.size());
  return slot < rank.size() ? std::min(rank[slot], none) : none;
}

// Category cuts run from either end of the order when the node has missing values, which go
// right (else the cuts from one end are the other end's, sides swapped): the cuts from the low
// end are states 0 .. categories - 2, those from the high end follow. Turns the codes of the
// low end's cuts into the high end's.
template <class Target>
void turn_cuts(const StrictNode<Target>& node, const Column& column, FeatureCodes& codes);

// The order of the categories of `samples`: every one of `categories` ranked by the statistic
// of its rows, into `rank`; returns how many have rows.
template <class Target>
size_t order_categories(const StrictNode<Target>& node, const Column& column,
                        const std::vector<uint32_t>& categories, std::span<const size_t> samples,
                        std::vector<uint32_t>& rank);

// Fills `codes`; false when the feature has no state at the node. Without `folds`, only what
// the node's own candidates need: no fold's edges, order or codes.
template <class Target>
bool code_feature(const StrictNode<Target>& node, size_t feature, bool threshold,
                  FeatureCodes& codes, bool folds = true);

}  // namespace zelk::detail
