#include "core/encoder.hpp"

#include <algorithm>
#include <cmath>
#include <new>

namespace zelk {

std::vector<double> quantile_edges(std::span<const double> values, size_t n_bins) {
  std::vector<double> edges;
  if (n_bins < 2) return edges;

  std::vector<double> sorted;
  sorted.reserve(values.size());
  for (double v : values) {
    if (std::isfinite(v)) sorted.push_back(v);
  }
  if (sorted.empty()) return edges;
  std::sort(sorted.begin(), sorted.end(), total_order_less);

  const size_t n_edges = n_bins - 1;
  // An absurd n_bins is an out-of-memory condition, not a length error of the vector.
  if (n_edges > edges.max_size()) throw std::bad_alloc();
  edges.reserve(n_edges);
  const uint64_t m = sorted.size();
  for (uint64_t i = 1; i < n_bins; ++i) {
    // i * m can pass 2^64 when n_bins is huge; the quotient is still below m.
    const auto q = static_cast<uint64_t>(static_cast<unsigned __int128>(i) * m / n_bins);
    edges.push_back(sorted[std::min<uint64_t>(m - 1, q)]);
  }
  return edges;
}

}  // namespace zelk
