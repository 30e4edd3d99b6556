// Quantile bin edges, shared by strict scoring, candidate enumeration and fast binning.
#pragma once

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
