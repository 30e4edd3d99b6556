// Quantile bin edges, shared by strict scoring, candidate enumeration and fast binning.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace zelk {

// IEEE 754 total order: -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN. Every sort of
// scores or values uses it, so -0.0 and +0.0 (and NaNs) always land in the same places.
inline bool total_order_less(double a, double b) {
  int64_t ia, ib;
  std::memcpy(&ia, &a, sizeof ia);
  std::memcpy(&ib, &b, sizeof ib);
  // Negative values compare in reverse bit order: flip their magnitude bits.
  ia ^= static_cast<int64_t>(static_cast<uint64_t>(ia >> 63) >> 1);
  ib ^= static_cast<int64_t>(static_cast<uint64_t>(ib >> 63) >> 1);
  return ia < ib;
}

// An unsigned key whose order is the total order above: negative values get every bit
// flipped, the others only the sign bit.
inline uint64_t total_order_key(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits ^ (static_cast<uint64_t>(static_cast<int64_t>(bits) >> 63) | (uint64_t{1} << 63));
}

inline double from_total_order_key(uint64_t key) {
  const uint64_t bits = key ^ ((key >> 63) ? uint64_t{1} << 63 : ~uint64_t{0});
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// Sorts keys ascending; a radix sort for long lists. Keys are distinct exactly when their
// values' bit patterns are, so this orders values as a total_order_less sort does.
void sort_keys(std::vector<uint64_t>& keys);
// The same with a caller's buffer for the radix passes, reused across calls.
void sort_keys(std::vector<uint64_t>& keys, std::vector<uint64_t>& buffer);

// quantile_edges of the values whose total-order keys are `keys` (finite values only);
// consumes `keys`, leaving them in an unspecified order.
std::vector<double> quantile_edges_of_keys(std::vector<uint64_t>& keys, size_t n_bins);
std::vector<double> quantile_edges_of_keys(std::vector<uint64_t>& keys, size_t n_bins,
                                           std::vector<uint64_t>& buffer);
// The same edges without sorting every key: a count of the keys' top bits finds the buckets
// holding a wanted rank, and only those are gathered and selected in. What
// quantile_edges_of_keys uses for long lists; declared for tests against the full sort.
std::vector<double> quantile_edges_by_selection(std::vector<uint64_t>& keys, size_t n_bins,
                                                std::vector<uint64_t>& buffer);

// Ascending edge list of `n_bins - 1` entries taken at quantiles of the finite values (no
// de-duplication, no interpolation); empty when n_bins < 2 or no value is finite.
std::vector<double> quantile_edges(std::span<const double> values, size_t n_bins);

// Calls visit(rank, count) for every rank among m sorted values at which quantile_edges
// takes edges, ascending, with the number of edges it takes there: O(min(n_bins, m)) calls.
template <class Visit>
void for_each_edge_rank(uint64_t m, uint64_t n_bins, Visit&& visit) {
  if (n_bins < 2 || m == 0) return;
  using Wide = unsigned __int128;  // i * m and (r + 1) * n_bins can pass 2^64
  if (n_bins - 1 <= m) {
    uint64_t run_rank = 0, run_count = 0;
    for (uint64_t i = 1; i < n_bins; ++i) {
      const uint64_t r = std::min<uint64_t>(m - 1, static_cast<uint64_t>(Wide{i} * m / n_bins));
      if (run_count != 0 && r != run_rank) {
        visit(run_rank, run_count);
        run_count = 0;
      }
      run_rank = r;
      ++run_count;
    }
    visit(run_rank, run_count);
    return;
  }
  // More edges than values: count, rank by rank, the edges i with floor(i * m / n_bins) <= r,
  // which are those with i < (r + 1) * n_bins / m.
  uint64_t before = 0;
  for (uint64_t r = 0; r < m; ++r) {
    const uint64_t through =
        r + 1 == m
            ? n_bins - 1
            : std::min<uint64_t>(n_bins - 1,
                                 static_cast<uint64_t>((Wide{r + 1} * n_bins + (m - 1)) / m) - 1);
    if (through > before) visit(r, through - before);
    before = through;
  }
}

// The edge list quantile_edges gives, held as runs of bit-identical edges: a run's value and
// the number of edges up to and including it. There are never more runs than values, so the
// list costs memory in proportion to the data whatever n_bins is.
class EdgeRuns {
 public:
  // The number of edges, repeats included: n_bins - 1, or 0.
  uint64_t size() const { return ends_.empty() ? 0 : ends_.back(); }
  size_t n_runs() const { return values_.size(); }
  double value(size_t r) const { return values_[r]; }
  // The number of runs whose value is less than or equal to a finite value. Distinct counts
  // stand for distinct codes.
  size_t runs_through(double v) const {
    return static_cast<size_t>(std::upper_bound(values_.begin(), values_.end(), v) -
                               values_.begin());
  }
  // runs_through(v) for values visited in ascending order, from `k`, the previous value's.
  size_t runs_through_from(size_t k, double v) const {
    while (k < values_.size() && values_[k] <= v)
      ++k;
    return k;
  }
  // The code of the values that pass exactly `k` runs: the number of edges in them.
  uint64_t code_after(size_t k) const { return k == 0 ? 0 : ends_[k - 1]; }
  // The number of edges less than or equal to a finite value.
  uint64_t code(double v) const { return code_after(runs_through(v)); }
  // Edge k (0-based) of the whole list.
  double operator[](uint64_t k) const;

  void clear() {
    values_.clear();
    ends_.clear();
  }
  // Appends `count` edges of value `v`; values come in ascending total order.
  void append(double v, uint64_t count) {
    if (!values_.empty() && std::memcmp(&values_.back(), &v, sizeof v) == 0) {
      ends_.back() += count;
      return;
    }
    values_.push_back(v);
    ends_.push_back(size() + count);
  }

 private:
  std::vector<double> values_;
  std::vector<uint64_t> ends_;
};

// quantile_edges of `values` as runs.
EdgeRuns quantile_edge_runs(std::span<const double> values, size_t n_bins);

// Bin code of a finite value: the number of edges less than or equal to it.
inline uint32_t bin_code(std::span<const double> edges, double value) {
  size_t lo = 0, hi = edges.size();
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (edges[mid] <= value) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return static_cast<uint32_t>(lo);
}

}  // namespace zelk
