// What every fast scorer shares: the scratch arrays' sizing, and the two ways a scored
// candidate leaves a scorer (appended to a list, or offered to the node's BestSplit).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/admissibility.hpp"
#include "core/aggregation.hpp"
#include "core/candidate/category_order.hpp"
#include "core/cross_validation.hpp"
#include "core/histogram/best_split.hpp"
#include "core/histogram/scratch.hpp"
#include "core/selector.hpp"

namespace zelk::detail {

// Fold numbers are 8-bit, so per-fold arrays of this size fit every node.
inline constexpr size_t kMaxAssignFolds = 255;

// Makes the first `n` entries usable and zero; capacity is kept for the next feature.
template <class T>
void grow_and_zero(std::vector<T>& v, size_t n) {
  if (v.size() < n) v.resize(n);
  std::fill_n(v.begin(), n, T{});
}

inline void emit(std::vector<ScoredCandidate>& out, std::vector<double> fold_scores, size_t n_folds,
                 size_t feature, size_t k, const Aggregator& aggregator) {
  FoldStats stats = FoldStats::from_scores(std::move(fold_scores), n_folds);
  const double score = aggregator.aggregate(stats);
  out.push_back(ScoredCandidate{std::move(stats), feature, static_cast<uint32_t>(k), score});
}

// FoldStats::from_scores into a reused record, without allocating once the buffers grew.
inline void summarise(FastScratch& scratch, size_t n_folds) {
  scratch.stats.scores.assign(scratch.fold_scores.begin(), scratch.fold_scores.end());
  scratch.stats.summarise(n_folds, scratch.sorted_scores);
}

// Offers candidate k, whose fold scores are in scratch.fold_scores, to `best`.
inline void offer(BestSplit& best, FastScratch& scratch, size_t n_folds, size_t feature, size_t k,
                  const Aggregator& aggregator) {
  summarise(scratch, n_folds);
  best.offer(feature, static_cast<uint32_t>(k), aggregator.aggregate(scratch.stats),
             scratch.stats.scores);
}

// The codes of the dealt entries, gathered in a loop of independent loads before the
// histogram loop's read-modify-writes, so that the random reads overlap.
inline const uint16_t* gather_codes(std::span<const uint16_t> codes, std::span<const uint32_t> rows,
                                    FastScratch& scratch) {
  const size_t n = rows.size();
  if (scratch.gathered.size() < n) scratch.gathered.resize(n);
  uint16_t* const out = scratch.gathered.data();
  const uint32_t* const r = rows.data();
  const uint16_t* const code = codes.data();
  for (size_t j = 0; j < n; ++j)
    out[j] = code[r[j]];
  return out;
}

// The order of a categorical feature's bins by the statistic of a node's dealt entries
// (`value(j)`: entry j's target, or its label as size_t), into `rank`, tallied in `tally`;
// returns how many bins have entries.
template <class Value>
size_t order_bins(const RowsView& rows, std::span<const uint16_t> codes, size_t n_bins,
                  size_t n_classes, std::vector<uint32_t>& rank, Value&& value,
                  CategoryTally& tally) {
  tally.reset(n_bins, n_classes);
  for (size_t j = 0; j < rows.rows.size(); ++j) {
    const uint16_t b = codes[rows.rows[j]];
    if (b < n_bins) tally.add(b, value(j), rows.w.empty() ? 1.0 : rows.w[j]);
  }
  return tally.order(rank);
}
template <class Value>
size_t order_bins(const RowsView& rows, std::span<const uint16_t> codes, size_t n_bins,
                  size_t n_classes, std::vector<uint32_t>& rank, Value&& value) {
  CategoryTally tally;
  return order_bins(rows, codes, n_bins, n_classes, rank, value, tally);
}

// A rank of an order taken from its high end: the `ranked` first reversed, the others kept.
inline uint32_t reversed_rank(uint32_t r, size_t ranked) {
  return r < ranked ? static_cast<uint32_t>(ranked - 1 - r) : r;
}
inline void reverse_ranks(std::vector<uint32_t>& rank, size_t ranked) {
  for (uint32_t& r : rank)
    r = reversed_rank(r, ranked);
}

// Category cuts: a fold's cells reordered by the order of its training part - the node's
// tally less the fold's own, `fold` - so that the fold judges cuts it could have learnt; the
// bins it has no training rows of are dropped. `move(from, to)` moves the fold's cell of bin
// `from` to position `to`; `clear(position)` empties one. Returns how many bins it ranks.
template <class Move, class Clear>
size_t reorder_fold(const CategoryTally& node, const CategoryTally& fold,
                    std::vector<uint32_t>& rank, Move&& move, Clear&& clear) {
  CategoryTally train = node;
  train.subtract(fold);
  const size_t ranked = train.order(rank);
  const size_t n_bins = rank.size();
  for (size_t b = 0; b < n_bins; ++b)
    move(b, rank[b]);  // into a copy: every position is written once
  for (size_t position = ranked; position < n_bins; ++position)
    clear(position);
  return ranked;
}

// A feature's candidates' sides over the whole node, for an admission whose rules read them:
// per bin the rows, weight and value sum of the node's entries (`value(j)` the value of entry
// j: its target, or whether it is of class 1), so that a candidate's left side is its bin or
// every bin up to it and its right side the rest, missing entries included.
class BinSides {
 public:
  // With `rank`, the bins are taken in that order (a categorical feature's cuts).
  template <class Value>
  void fill(const RowsView& rows, std::span<const uint16_t> codes, size_t n_bins,
            std::vector<Side>& buffer, Value&& value, std::span<const uint32_t> rank = {}) {
    buffer.assign(2 * n_bins, Side{});
    bins_ = std::span<Side>(buffer).first(n_bins);
    prefix_ = std::span<Side>(buffer).subspan(n_bins);
    total_ = Side{};
    for (size_t j = 0; j < rows.rows.size(); ++j) {
      const double w = rows.w.empty() ? 1.0 : rows.w[j];
      const Side entry{1.0, w, w * value(j)};
      add(total_, entry);
      const uint16_t b = codes[rows.rows[j]];
      if (b < n_bins) add(bins_[rank.empty() ? b : rank[b]], entry);
    }
    Side running;
    for (size_t b = 0; b < n_bins; ++b) {
      add(running, bins_[b]);
      prefix_[b] = running;
    }
  }
  Side left(size_t k, bool threshold) const { return threshold ? prefix_[k] : bins_[k]; }
  Side right(size_t k, bool threshold) const {
    const Side l = left(k, threshold);
    return Side{total_.rows - l.rows, total_.weight - l.weight, total_.value_sum - l.value_sum};
  }

 private:
  static void add(Side& to, const Side& s) {
    to.rows += s.rows;
    to.weight += s.weight;
    to.value_sum += s.value_sum;
  }
  std::span<Side> bins_, prefix_;
  Side total_;
};

}  // namespace zelk::detail
