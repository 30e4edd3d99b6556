// Quantile bin edges, shared by strict scoring, candidate enumeration and fast binning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelk {

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
