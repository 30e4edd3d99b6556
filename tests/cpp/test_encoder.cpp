#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "core/encoder.hpp"

namespace zelk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct EdgeCase {
  const char* label;
  std::vector<double> values;
  size_t n_bins;
  std::vector<double> edges;
};

TEST(Encoder, QuantileEdgesWorkedCases) {
  const EdgeCase cases[] = {
      {"four values, four bins", {1, 2, 3, 4}, 4, {2, 3, 4}},
      {"constant values repeat the edge", {5, 5, 5, 5}, 4, {5, 5, 5}},
      {"two bins take the element at m/2", {1, 2, 3, 4}, 2, {3}},
      {"input order does not matter", {4, 1, 3, 2}, 4, {2, 3, 4}},
      {"non-finite values are skipped", {4, kNaN, 1, kInf, 3, -kInf, 2}, 4, {2, 3, 4}},
      {"more bins than values clamp at the last", {10, 20}, 5, {10, 10, 20, 20}},
      {"three of ten", {9, 8, 7, 6, 5, 4, 3, 2, 1, 0}, 3, {3, 6}},
      {"one bin", {1, 2, 3}, 1, {}},
      {"zero bins", {1, 2, 3}, 0, {}},
      {"no values", {}, 8, {}},
      {"only non-finite values", {kNaN, kInf, -kInf}, 8, {}},
  };
  for (const EdgeCase& c : cases) {
    EXPECT_EQ(quantile_edges(c.values, c.n_bins), c.edges) << c.label;
  }
}

TEST(Encoder, NegativeZeroSortsBeforePositiveZero) {
  const std::vector<double> values = {0.0, -0.0, 0.0, -0.0};
  const std::vector<double> edges = quantile_edges(values, 4);  // positions 1, 2, 3
  ASSERT_EQ(edges.size(), 3u);
  EXPECT_TRUE(std::signbit(edges[0]));
  EXPECT_FALSE(std::signbit(edges[1]));
  EXPECT_FALSE(std::signbit(edges[2]));
}

TEST(Encoder, TotalOrderPlacesNaNsAtTheEnds) {
  std::vector<double> v = {1.0, kNaN, -kInf, 0.0, -kNaN, -0.0, kInf, -1.0};
  std::sort(v.begin(), v.end(), total_order_less);
  EXPECT_TRUE(std::isnan(v[0]) && std::signbit(v[0]));
  EXPECT_EQ(v[1], -kInf);
  EXPECT_EQ(v[2], -1.0);
  EXPECT_TRUE(v[3] == 0.0 && std::signbit(v[3]));
  EXPECT_TRUE(v[4] == 0.0 && !std::signbit(v[4]));
  EXPECT_EQ(v[5], 1.0);
  EXPECT_EQ(v[6], kInf);
  EXPECT_TRUE(std::isnan(v[7]) && !std::signbit(v[7]));
}

// Edge i must be a sorted value with at most floor(i*m/n_bins) values strictly below it and
// more than that many at or below it: the quantile property, checked without the index formula.
TEST(Encoder, EdgesAreQuantilesOnRandomData) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 200; ++round) {
    const size_t m = 1 + rng() % 60;
    const size_t n_bins = rng() % 80;
    std::vector<double> values(m);
    for (double& v : values)
      v = static_cast<double>(rng() % 12) - 4.0;  // many ties
    if (round % 3 == 0) values[rng() % m] = kNaN;
    std::vector<double> finite;
    for (double v : values) {
      if (std::isfinite(v)) finite.push_back(v);
    }
    const std::vector<double> edges = quantile_edges(values, n_bins);
    if (n_bins < 2 || finite.empty()) {
      EXPECT_TRUE(edges.empty());
      continue;
    }
    ASSERT_EQ(edges.size(), n_bins - 1);
    EXPECT_TRUE(std::is_sorted(edges.begin(), edges.end()));
    const size_t f = finite.size();
    for (size_t i = 1; i < n_bins; ++i) {
      const double e = edges[i - 1];
      const size_t below =
          std::count_if(finite.begin(), finite.end(), [&](double v) { return v < e; });
      const size_t at_or_below =
          std::count_if(finite.begin(), finite.end(), [&](double v) { return v <= e; });
      const size_t rank = std::min(f - 1, i * f / n_bins);
      EXPECT_LE(below, rank);
      EXPECT_GT(at_or_below, rank);
    }
  }
}

// The edges by definition: the element at each rank of the total-order sorted finite values.
std::vector<double> edges_by_full_sort(const std::vector<double>& values, size_t n_bins) {
  std::vector<double> finite;
  for (double v : values) {
    if (std::isfinite(v)) finite.push_back(v);
  }
  std::vector<double> edges;
  if (n_bins < 2 || finite.empty()) return edges;
  std::sort(finite.begin(), finite.end(), total_order_less);
  const size_t m = finite.size();
  for (size_t i = 1; i < n_bins; ++i)
    edges.push_back(finite[std::min(m - 1, i * m / n_bins)]);
  return edges;
}

std::vector<uint64_t> bit_patterns(const std::vector<double>& values) {
  std::vector<uint64_t> bits(values.size());
  if (!values.empty()) std::memcpy(bits.data(), values.data(), values.size() * sizeof(double));
  return bits;
}

// Value sets that stress the selection: ties, signed zeros, non-finite values, one crowded
// bucket holding many ranks, values spread over many exponents.
std::vector<double> random_values(std::mt19937_64& rng, size_t n, int kind) {
  std::vector<double> v(n);
  std::normal_distribution<double> normal;
  for (double& x : v) {
    switch (kind) {
      case 0:  // few distinct values, zeros of both signs
        x = static_cast<double>(static_cast<int>(rng() % 7) - 3) * 0.5;
        if (x == 0.0 && rng() % 2) x = -0.0;
        break;
      case 1:  // all equal
        x = 2.5;
        break;
      case 2:  // adjacent doubles: every key in one top-bits bucket
        x = std::nextafter(1.0, 2.0) + static_cast<double>(rng() % 1000) * 0x1p-52;
        break;
      case 3:  // spread over many exponents, both signs
        x = normal(rng) * std::ldexp(1.0, static_cast<int>(rng() % 40) - 20);
        break;
      default:  // normal values with non-finite ones mixed in
        x = normal(rng);
        break;
    }
    if (kind != 1 && rng() % 50 == 0) {
      const double specials[] = {kNaN, -kNaN, kInf, -kInf, 0.0, -0.0};
      x = specials[rng() % 6];
    }
  }
  return v;
}

TEST(Encoder, SelectionMatchesFullSortOnRandomData) {
  std::mt19937_64 rng(23);
  const size_t sizes[] = {1, 2, 3, 7, 100, 5000, 20000, 70000};
  const size_t bin_counts[] = {0, 1, 2, 3, 16, 255, 4096, 100000};
  std::vector<uint64_t> buffer;
  for (size_t n : sizes) {
    for (int kind = 0; kind < 5; ++kind) {
      const std::vector<double> values = random_values(rng, n, kind);
      for (size_t n_bins : bin_counts) {
        if (n >= 20000 && n_bins > 4096) continue;  // the sort's cost, not a new case
        SCOPED_TRACE("n=" + std::to_string(n) + " kind=" + std::to_string(kind) +
                     " n_bins=" + std::to_string(n_bins));
        const std::vector<uint64_t> expected = bit_patterns(edges_by_full_sort(values, n_bins));
        std::vector<uint64_t> keys;
        for (double v : values) {
          if (std::isfinite(v)) keys.push_back(total_order_key(v));
        }
        std::vector<uint64_t> copy = keys;
        EXPECT_EQ(bit_patterns(quantile_edges_by_selection(keys, n_bins, buffer)), expected);
        EXPECT_EQ(bit_patterns(quantile_edges_of_keys(copy, n_bins, buffer)), expected);
        EXPECT_EQ(bit_patterns(quantile_edges(values, n_bins)), expected);
      }
    }
  }
}

TEST(Encoder, AbsurdBinCountIsAnAllocationFailureNotACrash) {
  const std::vector<double> values = {1.0, 2.0, 3.0};
  EXPECT_THROW(quantile_edges(values, std::numeric_limits<size_t>::max()), std::bad_alloc);
  std::vector<uint64_t> keys = {total_order_key(1.0), total_order_key(2.0)}, buffer;
  EXPECT_THROW(quantile_edges_by_selection(keys, std::numeric_limits<size_t>::max(), buffer),
               std::bad_alloc);
  // Without a finite value nothing is allocated, whatever the bin count.
  const std::vector<double> none = {kNaN};
  EXPECT_TRUE(quantile_edges(none, std::numeric_limits<size_t>::max()).empty());
}

TEST(Encoder, BinCodeCountsEdgesAtOrBelow) {
  const std::vector<double> edges = {2, 3, 3, 4};
  EXPECT_EQ(bin_code(edges, 1.0), 0u);
  EXPECT_EQ(bin_code(edges, 2.0), 1u);
  EXPECT_EQ(bin_code(edges, 2.5), 1u);
  EXPECT_EQ(bin_code(edges, 3.0), 3u);
  EXPECT_EQ(bin_code(edges, 3.5), 3u);
  EXPECT_EQ(bin_code(edges, 4.0), 4u);
  EXPECT_EQ(bin_code(edges, 1e9), 4u);
  EXPECT_EQ(bin_code({}, 123.0), 0u);
}

// Expands runs back into the list they stand for.
std::vector<double> expand(const EdgeRuns& runs) {
  std::vector<double> out;
  for (size_t r = 0; r < runs.n_runs(); ++r) {
    const uint64_t begin = r == 0 ? 0 : runs.code_after(r);
    for (uint64_t k = begin; k < runs.code_after(r + 1); ++k)
      out.push_back(runs.value(r));
  }
  return out;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

TEST(Encoder, EdgeRunsAreTheEdgeListOnRandomData) {
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 400; ++trial) {
    const size_t m = 1 + rng() % 60;
    // Few distinct values, signed zeros and non-finite ones, so runs merge and split.
    std::vector<double> values(m);
    for (double& v : values) {
      const uint64_t pick = rng() % 10;
      v = pick == 0   ? -0.0
          : pick == 1 ? 0.0
          : pick == 2 ? kNaN
                      : static_cast<double>(rng() % 7) - 3;
    }
    // Both sides of n_bins - 1 = m, where the runs are found by edge or by rank.
    for (size_t n_bins :
         {size_t{0}, size_t{1}, size_t{2}, m / 2 + 1, m, m + 1, m + 2, 3 * m, size_t{1000}}) {
      SCOPED_TRACE("m " + std::to_string(m) + ", n_bins " + std::to_string(n_bins));
      const std::vector<double> edges = quantile_edges(values, n_bins);
      const EdgeRuns runs = quantile_edge_runs(values, n_bins);
      ASSERT_TRUE(same_bits(expand(runs), edges));
      ASSERT_EQ(runs.size(), edges.size());
      ASSERT_LE(runs.n_runs(), m);
      for (uint64_t k = 0; k < edges.size(); ++k) {
        const double at = runs[k];
        ASSERT_EQ(std::memcmp(&at, &edges[k], sizeof at), 0) << "edge " << k;
      }
      for (double v : {-4.0, -3.0, -0.0, 0.0, 0.5, 2.0, 3.0, 9.0})
        ASSERT_EQ(runs.code(v), bin_code(edges, v)) << "value " << v;
    }
  }
}

TEST(Encoder, EdgeRunsOfAHugeBinCountFollowTheValues) {
  const std::vector<double> values = {4, 1, 3, 2, 2, kNaN};
  for (size_t n_bins : {size_t{1} << 40, std::numeric_limits<size_t>::max()}) {
    const EdgeRuns runs = quantile_edge_runs(values, n_bins);
    EXPECT_EQ(runs.n_runs(), 4u);
    EXPECT_EQ(runs.size(), n_bins - 1);
    // The largest value has every edge at or below it; the smallest only its own.
    EXPECT_EQ(runs.code(4.0), n_bins - 1);
    EXPECT_EQ(runs.code(0.5), 0u);
    EXPECT_EQ(runs[0], 1.0);
    EXPECT_EQ(runs[n_bins - 2], 4.0);
    // Ranks are spaced m / n_bins apart: the edge at i is the value of rank floor(i * 5 / n).
    const auto rank_edge = [&](uint64_t i) {
      const uint64_t r = static_cast<uint64_t>(static_cast<unsigned __int128>(i) * 5 / n_bins);
      return std::vector<double>{1, 2, 2, 3, 4}[std::min<uint64_t>(r, 4)];
    };
    for (uint64_t i : {uint64_t{1}, n_bins / 5, n_bins / 5 + 1, n_bins / 2, n_bins - 1})
      EXPECT_EQ(runs[i - 1], rank_edge(i)) << "edge " << i;
  }
}

}  // namespace
}  // namespace zelk
