// A node's finite values of one continuous feature, sorted once, and the quantile edges read
// off them: of all the values, or of all but one fold's (a fold's training values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/data.hpp"
#include "core/encoder.hpp"

namespace zelk::detail {

// Integers that compare as total_order_less compares the doubles; the map is its own inverse.
inline int64_t order_key(double v) {
  int64_t i;
  std::memcpy(&i, &v, sizeof i);
  return i ^ static_cast<int64_t>(static_cast<uint64_t>(i >> 63) >> 1);
}

inline double key_value(int64_t key) {
  const int64_t i = key ^ static_cast<int64_t>(static_cast<uint64_t>(key >> 63) >> 1);
  double v;
  std::memcpy(&v, &i, sizeof v);
  return v;
}

// A finite node value, with the fold whose validation list holds its sample and its place
// there. Values with equal keys are bit-identical, so any sort gives the same value sequence.
struct SortedValue {
  int64_t key;
  uint32_t fold;
  uint32_t place;
};

constexpr uint32_t kNoFold = 0xFFFFFFFFu;
// Sorted values are counted per fold in blocks of this many, so that finding an edge of a fold
// can skip whole blocks.
constexpr size_t kBlock = 64;

// The edges quantile_edges gives for the values of `sorted` outside fold `skip` (kNoFold:
// all of them), of which there are `m`. Filtering a sorted sequence keeps it sorted, so the
// edges are those of sorting the subset again. For a fold, `in_block[b * n_folds + skip]`
// counts its values in block b. With `midpoints`, each edge moves down to the middle of the
// gap below it among the same values (see Params::midpoint_thresholds): the values coded are
// coded alike.
void edges_of_sorted(std::span<const SortedValue> sorted, uint32_t skip, size_t m, size_t n_bins,
                     bool midpoints, EdgeRuns& edges, std::span<const uint32_t> in_block = {},
                     size_t n_folds = 0);

// Sorts by key. The order among equal keys is irrelevant: their values are bit-identical.
void sort_by_key(std::vector<SortedValue>& values, std::vector<SortedValue>& buffer);

// Finite values of `samples` in `column`, ascending in total order.
void sort_node_values(const Column& column, std::span<const size_t> samples,
                      std::vector<SortedValue>& out);

}  // namespace zelk::detail
