#include "core/encoder.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>

namespace zelk {

namespace {

constexpr unsigned kRadixBits = 11;
constexpr size_t kRadixBuckets = size_t{1} << kRadixBits;
constexpr unsigned kRadixPasses = (64 + kRadixBits - 1) / kRadixBits;
// Below this a comparison sort is cheaper than the radix passes' fixed cost.
constexpr size_t kRadixMin = 2048;

// Sorts data[0..n) ascending; `scratch` holds n keys and ends up unspecified.
void sort_span(uint64_t* data, size_t n, uint64_t* scratch) {
  if (n < kRadixMin) {
    std::sort(data, data + n);
    return;
  }
  std::vector<size_t> counts(kRadixPasses * kRadixBuckets, 0);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t k = data[i];
    for (unsigned p = 0; p < kRadixPasses; ++p)
      ++counts[p * kRadixBuckets + ((k >> (p * kRadixBits)) & (kRadixBuckets - 1))];
  }
  uint64_t* from = data;
  uint64_t* to = scratch;
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
  if (from != data) std::copy(from, from + n, data);
}

// Selection buckets by the keys' top bits (sign, exponent and some mantissa bits): about as
// many buckets as keys, within bounds that keep the counts cheap to clear.
constexpr unsigned kSelectMinBits = 12;
constexpr unsigned kSelectMaxBits = 20;
constexpr uint32_t kUnwanted = ~uint32_t{0};
// A bucket holding more wanted ranks than this is sorted rather than selected in.
constexpr size_t kSelectRanksPerBucket = 8;
// Shorter lists are sorted: the bucket counts' fixed cost would dominate.
constexpr size_t kSelectMin = size_t{1} << 14;

// Rank of edge i (1-based) among m sorted keys.
uint64_t edge_rank(uint64_t i, uint64_t m, uint64_t n_bins) {
  // i * m can pass 2^64 when n_bins is huge; the quotient is still below m.
  const auto q = static_cast<uint64_t>(static_cast<unsigned __int128>(i) * m / n_bins);
  return std::min<uint64_t>(m - 1, q);
}

void check_edge_count(size_t n_bins) {
  // An absurd n_bins is an out-of-memory condition, not a length error of the vector.
  if (n_bins - 1 > std::vector<double>().max_size()) throw std::bad_alloc();
}

std::vector<double> edges_by_sort(std::vector<uint64_t>& keys, size_t n_bins,
                                  std::vector<uint64_t>& buffer) {
  check_edge_count(n_bins);
  sort_keys(keys, buffer);
  std::vector<double> edges;
  edges.reserve(n_bins - 1);
  const uint64_t m = keys.size();
  for (uint64_t i = 1; i < n_bins; ++i)
    edges.push_back(from_total_order_key(keys[edge_rank(i, m, n_bins)]));
  return edges;
}

}  // namespace

void sort_keys(std::vector<uint64_t>& keys) {
  std::vector<uint64_t> buffer;
  sort_keys(keys, buffer);
}

void sort_keys(std::vector<uint64_t>& keys, std::vector<uint64_t>& buffer) {
  if (keys.size() >= kRadixMin && buffer.size() < keys.size()) buffer.resize(keys.size());
  sort_span(keys.data(), keys.size(), buffer.data());
}

std::vector<double> quantile_edges_of_keys(std::vector<uint64_t>& keys, size_t n_bins) {
  std::vector<uint64_t> buffer;
  return quantile_edges_of_keys(keys, n_bins, buffer);
}

std::vector<double> quantile_edges_of_keys(std::vector<uint64_t>& keys, size_t n_bins,
                                           std::vector<uint64_t>& buffer) {
  if (n_bins < 2 || keys.empty()) return {};
  // With about as many edges as keys, sorting everything is no more work.
  if (keys.size() < kSelectMin || n_bins > keys.size() / 16) {
    return edges_by_sort(keys, n_bins, buffer);
  }
  return quantile_edges_by_selection(keys, n_bins, buffer);
}

std::vector<double> quantile_edges_by_selection(std::vector<uint64_t>& keys, size_t n_bins,
                                                std::vector<uint64_t>& buffer) {
  if (n_bins < 2 || keys.empty()) return {};
  const uint64_t m = keys.size();
  if (m >= kUnwanted) return edges_by_sort(keys, n_bins, buffer);
  check_edge_count(n_bins);
  // The wanted ranks, ascending with the edge index, computed once: the walks below compare
  // against them bucket by bucket.
  std::vector<uint64_t> ranks(n_bins - 1);
  for (uint64_t i = 1; i < n_bins; ++i)
    ranks[i - 1] = edge_rank(i, m, n_bins);
  const size_t n_ranks_total = ranks.size();

  const unsigned bits = std::clamp<unsigned>(std::bit_width(m), kSelectMinBits, kSelectMaxBits);
  const size_t n_buckets = size_t{1} << bits;
  const unsigned shift = 64 - bits;
  // One table, first the keys' count per bucket, then where each bucket holding a wanted
  // rank fills its slice of the buffer (the others marked unwanted): it is the selection's
  // largest transient, held once per thread that bins.
  std::vector<uint32_t> table(n_buckets, 0);
  for (uint64_t k : keys)
    ++table[k >> shift];
  struct Wanted {
    uint64_t start;  // rank of the bucket's first key
    uint32_t offset;
    uint32_t size;
  };
  std::vector<Wanted> wanted;
  size_t n_wanted = 0;
  {
    uint64_t start = 0;
    size_t r = 0;
    for (size_t b = 0; b < n_buckets; ++b) {
      const uint32_t count = table[b];
      const uint64_t end = start + count;
      if (r < n_ranks_total && ranks[r] < end) {
        wanted.push_back({start, static_cast<uint32_t>(n_wanted), count});
        table[b] = static_cast<uint32_t>(n_wanted);
        n_wanted += count;
        while (r < n_ranks_total && ranks[r] < end)
          ++r;
      } else {
        table[b] = kUnwanted;
      }
      start = end;
    }
  }
  if (buffer.size() < n_wanted) buffer.resize(n_wanted);
  for (uint64_t k : keys) {
    uint32_t& f = table[k >> shift];
    if (f != kUnwanted) buffer[f++] = k;
  }

  // The keys are spent: they serve as the sort scratch from here on.
  uint64_t* const scratch = keys.data();
  std::vector<double> edges;
  edges.reserve(n_ranks_total);
  size_t r = 0;
  for (const Wanted& w : wanted) {
    uint64_t* const begin = buffer.data() + w.offset;
    const uint64_t end = w.start + w.size;
    size_t last = r;
    while (last < n_ranks_total && ranks[last] < end)
      ++last;
    if (last - r > kSelectRanksPerBucket) {
      sort_span(begin, w.size, scratch);
      for (; r < last; ++r)
        edges.push_back(from_total_order_key(begin[ranks[r] - w.start]));
    } else {
      // A selection leaves only larger-or-equal keys after its rank, so the next rank is
      // searched for there.
      uint64_t* lo = begin;
      for (; r < last; ++r) {
        uint64_t* const nth = begin + (ranks[r] - w.start);
        if (nth >= lo) {
          std::nth_element(lo, nth, begin + w.size);
          lo = nth + 1;
        }
        edges.push_back(from_total_order_key(*nth));
      }
    }
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

double EdgeRuns::operator[](uint64_t k) const {
  return values_[static_cast<size_t>(std::upper_bound(ends_.begin(), ends_.end(), k) -
                                     ends_.begin())];
}

EdgeRuns quantile_edge_runs(std::span<const double> values, size_t n_bins) {
  EdgeRuns runs;
  if (n_bins < 2) return runs;
  std::vector<uint64_t> keys;
  keys.reserve(values.size());
  for (double v : values) {
    if (std::isfinite(v)) keys.push_back(total_order_key(v));
  }
  sort_keys(keys);
  for_each_edge_rank(keys.size(), n_bins, [&](uint64_t rank, uint64_t count) {
    runs.append(from_total_order_key(keys[rank]), count);
  });
  return runs;
}

}  // namespace zelk
