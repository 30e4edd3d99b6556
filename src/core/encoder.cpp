#include "core/encoder.hpp"

#include <algorithm>
#include <cmath>
#include <new>

namespace zelk {

namespace {

constexpr unsigned kRadixBits = 11;
constexpr size_t kRadixBuckets = size_t{1} << kRadixBits;
constexpr unsigned kRadixPasses = (64 + kRadixBits - 1) / kRadixBits;
// Below this a comparison sort is cheaper than the radix passes' fixed cost.
constexpr size_t kRadixMin = 2048;

}  // namespace

void sort_keys(std::vector<uint64_t>& keys) {
  std::vector<uint64_t> buffer;
  sort_keys(keys, buffer);
}

void sort_keys(std::vector<uint64_t>& keys, std::vector<uint64_t>& buffer) {
  const size_t n = keys.size();
  if (n < kRadixMin) {
    std::sort(keys.begin(), keys.end());
    return;
  }
  std::vector<size_t> counts(kRadixPasses * kRadixBuckets, 0);
  for (uint64_t k : keys) {
    for (unsigned p = 0; p < kRadixPasses; ++p)
      ++counts[p * kRadixBuckets + ((k >> (p * kRadixBits)) & (kRadixBuckets - 1))];
  }
  if (buffer.size() < n) buffer.resize(n);
  uint64_t* from = keys.data();
  uint64_t* to = buffer.data();
  for (unsigned p = 0; p < kRadixPasses; ++p) {
    size_t* const c = counts.data() + p * kRadixBuckets;
    const unsigned shift = p * kRadixBits;
    // A digit that every key shares leaves the order as it is.
    if (c[(from[0] >> shift) & (kRadixBuckets - 1)] == n) continue;
    size_t offset = 0;
    for (size_t b = 0; b < kRadixBuckets; ++b) {
      const size_t count = c[b];
      c[b] = offset;
      offset += count;
    }
    for (size_t i = 0; i < n; ++i) {
      const uint64_t k = from[i];
      to[c[(k >> shift) & (kRadixBuckets - 1)]++] = k;
    }
    std::swap(from, to);
  }
  if (from != keys.data()) std::copy(from, from + n, keys.data());
}

std::vector<double> quantile_edges_of_keys(std::vector<uint64_t>& keys, size_t n_bins) {
  std::vector<uint64_t> buffer;
  return quantile_edges_of_keys(keys, n_bins, buffer);
}

std::vector<double> quantile_edges_of_keys(std::vector<uint64_t>& keys, size_t n_bins,
                                           std::vector<uint64_t>& buffer) {
  std::vector<double> edges;
  if (n_bins < 2 || keys.empty()) return edges;
  sort_keys(keys, buffer);
  const size_t n_edges = n_bins - 1;
  // An absurd n_bins is an out-of-memory condition, not a length error of the vector.
  if (n_edges > edges.max_size()) throw std::bad_alloc();
  edges.reserve(n_edges);
  const uint64_t m = keys.size();
  for (uint64_t i = 1; i < n_bins; ++i) {
    // i * m can pass 2^64 when n_bins is huge; the quotient is still below m.
    const auto q = static_cast<uint64_t>(static_cast<unsigned __int128>(i) * m / n_bins);
    edges.push_back(from_total_order_key(keys[std::min<uint64_t>(m - 1, q)]));
  }
  return edges;
}

std::vector<double> quantile_edges(std::span<const double> values, size_t n_bins) {
  if (n_bins < 2) return {};
  std::vector<uint64_t> keys;
  keys.reserve(values.size());
  for (double v : values) {
    if (std::isfinite(v)) keys.push_back(total_order_key(v));
  }
  return quantile_edges_of_keys(keys, n_bins);
}

}  // namespace zelk
