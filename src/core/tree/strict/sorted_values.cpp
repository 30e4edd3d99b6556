#include "core/tree/strict/sorted_values.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zelk::detail {

namespace {

// Below this many values a comparison sort beats the radix passes.
constexpr size_t kRadixMin = 256;

// The middle of the gap below sorted[q] among the values outside fold `skip`: halfway from
// the largest smaller one (sorted[q] itself when there is none, or when no double lies
// strictly between them). Every value outside the fold is on the same side of it as of
// sorted[q], so only values inside the fold, or new ones, can move.
double gap_middle(std::span<const SortedValue> sorted, size_t q, uint32_t skip) {
  const double upper = key_value(sorted[q].key);
  const auto first = std::lower_bound(
      sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(q), sorted[q].key,
      [](const SortedValue& s, int64_t key) { return s.key < key; });
  size_t below = static_cast<size_t>(first - sorted.begin());
  while (below > 0 && sorted[below - 1].fold == skip)
    --below;
  if (below == 0) return upper;
  const double lower = key_value(sorted[below - 1].key);
  // Halves first: the difference of two large values of opposite sign overflows.
  const double middle = lower / 2.0 + upper / 2.0;
  return lower < middle && middle <= upper ? middle : upper;
}

}  // namespace

void edges_of_sorted(std::span<const SortedValue> sorted, uint32_t skip, size_t m, size_t n_bins,
                     bool midpoints, EdgeRuns& edges, std::span<const uint32_t> in_block,
                     size_t n_folds) {
  edges.clear();
  const auto edge_at = [&](size_t q) {
    return midpoints ? gap_middle(sorted, q, skip) : key_value(sorted[q].key);
  };
  if (skip == kNoFold) {
    for_each_edge_rank(m, n_bins,
                       [&](uint64_t rank, uint64_t count) { edges.append(edge_at(rank), count); });
    return;
  }
  // A cursor over the values outside the fold: position p holds the one of rank `rank`
  // once it stops; whole blocks without the wanted rank are skipped.
  size_t p = 0;
  uint64_t rank = 0;
  for_each_edge_rank(m, n_bins, [&](uint64_t wanted, uint64_t count) {
    for (;;) {
      if (p % kBlock == 0) {
        const size_t end = std::min(p + kBlock, sorted.size());
        const uint64_t kept = (end - p) - in_block[p / kBlock * n_folds + skip];
        if (rank + kept <= wanted) {
          rank += kept;
          p = end;
          continue;
        }
      }
      if (sorted[p].fold != skip) {
        if (rank == wanted) break;
        ++rank;
      }
      ++p;
    }
    edges.append(edge_at(p), count);
  });
}

void sort_by_key(std::vector<SortedValue>& values, std::vector<SortedValue>& buffer) {
  const size_t n = values.size();
  // The digit counts are 32-bit.
  if (n < kRadixMin || n > std::numeric_limits<uint32_t>::max()) {
    std::sort(values.begin(), values.end(),
              [](const SortedValue& a, const SortedValue& b) { return a.key < b.key; });
    return;
  }
  // Least significant digit first, a byte a pass; the key's sign bit is flipped so that
  // unsigned digit order is signed key order.
  constexpr int kBits = 8;
  constexpr size_t kDigits = 8;
  constexpr size_t kRadix = size_t{1} << kBits;
  const auto digit = [](const SortedValue& v, size_t d) {
    const uint64_t u = static_cast<uint64_t>(v.key) ^ (uint64_t{1} << 63);
    return static_cast<size_t>((u >> (kBits * d)) & (kRadix - 1));
  };
  std::vector<uint32_t> counts(kDigits * kRadix, 0);
  for (const SortedValue& v : values) {
    for (size_t d = 0; d < kDigits; ++d)
      ++counts[d * kRadix + digit(v, d)];
  }
  buffer.resize(n);
  for (size_t d = 0; d < kDigits; ++d) {
    uint32_t* count = &counts[d * kRadix];
    // A digit shared by every value leaves the order as it is.
    if (count[digit(values[0], d)] == n) continue;
    uint32_t offset = 0;
    for (size_t r = 0; r < kRadix; ++r) {
      const uint32_t c = count[r];
      count[r] = offset;
      offset += c;
    }
    for (const SortedValue& v : values)
      buffer[count[digit(v, d)]++] = v;
    values.swap(buffer);
  }
}

void sort_node_values(const Column& column, std::span<const size_t> samples,
                      std::vector<SortedValue>& out) {
  out.clear();
  const std::vector<double>& values = column.values();
  for (size_t s : samples) {
    if (std::isfinite(values[s])) out.push_back({order_key(values[s]), 0, 0});
  }
  std::vector<SortedValue> buffer;
  sort_by_key(out, buffer);
}

}  // namespace zelk::detail
