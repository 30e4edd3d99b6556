#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/binning.hpp"

namespace zelk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

BinnedData fit_ok(std::vector<Column> columns, size_t n_bins) {
  Expected<BinnedData> result = BinnedData::fit(columns, n_bins);
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error());
  return result.ok() ? std::move(result).value() : BinnedData{};
}

struct ContinuousCase {
  const char* label;
  std::vector<double> values;
  size_t n_bins;
  std::vector<double> edges;
  std::vector<uint16_t> codes;
};

TEST(Binning, ContinuousWorkedCases) {
  const ContinuousCase cases[] = {
      {"four bins", {1, 2, 3, 4}, 4, {2, 3, 4}, {0, 1, 2, 3}},
      {"constant column lands in the top bin", {5, 5, 5, 5}, 4, {5, 5, 5}, {3, 3, 3, 3}},
      {"two bins", {1, 2, 3, 4}, 2, {3}, {0, 0, 1, 1}},
      {"one bin", {4, kNaN, 1}, 1, {}, {0, kMissingBin, 0}},
      {"zero bins", {4, kInf, 1}, 0, {}, {0, kMissingBin, 0}},
      {"infinities are missing",
       {kInf, 1, -kInf, 2, kNaN},
       2,
       {2},
       {kMissingBin, 0, kMissingBin, 1, kMissingBin}},
  };
  for (const ContinuousCase& c : cases) {
    const BinnedData data = fit_ok({Column::continuous(c.values)}, c.n_bins);
    ASSERT_EQ(data.bins.size(), 1u) << c.label;
    EXPECT_EQ(data.bins[0].edges, c.edges) << c.label;
    EXPECT_EQ(data.codes[0], c.codes) << c.label;
    EXPECT_EQ(data.bins[0].n_bins, c.edges.size() + 1) << c.label;
    EXPECT_TRUE(data.bins[0].continuous) << c.label;
    EXPECT_TRUE(data.bins[0].categories.empty()) << c.label;
    EXPECT_EQ(data.n_samples, c.values.size()) << c.label;
  }
}

TEST(Binning, CategoricalBinsFollowNumericCodeOrder) {
  const BinnedData data = fit_ok({Column::categorical({7, 3, 3, kMissingCode, 9})}, 2);
  EXPECT_EQ(data.bins[0].categories, (std::vector<uint32_t>{3, 7, 9}));
  EXPECT_EQ(data.codes[0], (std::vector<uint16_t>{1, 0, 0, kMissingBin, 2}));
  EXPECT_EQ(data.bins[0].n_bins, 3u);
  EXPECT_FALSE(data.bins[0].continuous);
  EXPECT_TRUE(data.bins[0].edges.empty());
}

TEST(Binning, AllMissingCategoricalHasNoBins) {
  const BinnedData data = fit_ok({Column::categorical({kMissingCode, kMissingCode})}, 16);
  EXPECT_TRUE(data.bins[0].categories.empty());
  EXPECT_EQ(data.bins[0].n_bins, 0u);
  EXPECT_EQ(data.codes[0], (std::vector<uint16_t>{kMissingBin, kMissingBin}));
}

TEST(Binning, AllNaNColumnIgnoresHugeBinCounts) {
  const BinnedData data =
      fit_ok({Column::continuous({kNaN, kNaN, kNaN})}, std::numeric_limits<size_t>::max());
  EXPECT_TRUE(data.bins[0].edges.empty());
  EXPECT_EQ(data.bins[0].n_bins, 1u);
  EXPECT_EQ(data.codes[0], (std::vector<uint16_t>{kMissingBin, kMissingBin, kMissingBin}));
}

std::vector<double> distinct_values(size_t n) {
  std::vector<double> values(n);
  for (size_t i = 0; i < n; ++i)
    values[i] = static_cast<double>((i * 7919) % n);
  return values;
}

TEST(Binning, LargestContinuousBinCountIsAccepted) {
  const std::vector<double> values = distinct_values(70000);
  const BinnedData data = fit_ok({Column::continuous(values)}, 65535);
  EXPECT_EQ(data.bins[0].n_bins, 65535u);
  EXPECT_EQ(*std::max_element(data.codes[0].begin(), data.codes[0].end()), 65534u);
}

TEST(Binning, ContinuousLimitNamesTheFirstColumnWithAFiniteValue) {
  const std::vector<Column> columns = {
      Column::continuous({kNaN, kInf}),  // no finite value: no edges, no error
      Column::categorical({1, 2}),       // categories are not affected by n_bins
      Column::continuous({1.0, 2.0}),    // the first to fail
      Column::continuous({3.0, 4.0}),
  };
  const Expected<BinnedData> at_limit = BinnedData::fit(columns, 65536);
  ASSERT_FALSE(at_limit.ok());
  EXPECT_EQ(at_limit.error(), "feature 2: 65536 continuous bins exceed fast-mode limit");

  const Expected<BinnedData> huge = BinnedData::fit(columns, std::numeric_limits<size_t>::max());
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error(), "feature 2: 18446744073709551615 continuous bins exceed fast-mode limit");
}

std::vector<uint32_t> distinct_codes(size_t n) {
  std::vector<uint32_t> codes(n);
  for (size_t i = 0; i < n; ++i)
    codes[i] = static_cast<uint32_t>(((i * 7919) % n) * 3 + 1);
  return codes;
}

TEST(Binning, CategoryLimit) {
  const std::vector<uint32_t> most = distinct_codes(65535);
  const BinnedData data = fit_ok({Column::categorical(most)}, 2);
  EXPECT_EQ(data.bins[0].n_bins, 65535u);
  for (size_t i = 0; i < most.size(); ++i) {
    ASSERT_EQ(data.bins[0].categories[data.codes[0][i]], most[i]);
  }

  // Checking stops at the first failing feature, here before a continuous column that would
  // fail too.
  const std::vector<Column> columns = {
      Column::continuous(std::vector<double>(65536, kNaN)),
      Column::categorical(distinct_codes(65536)),
      Column::continuous(distinct_values(65536)),
  };
  const Expected<BinnedData> result = BinnedData::fit(columns, 2);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "feature 1: 65536 categories exceed fast-mode limit");
  const Expected<BinnedData> both = BinnedData::fit(columns, 70000);
  ASSERT_FALSE(both.ok());
  EXPECT_EQ(both.error(), "feature 1: 65536 categories exceed fast-mode limit");
}

// Every code must name the bin its value lies in: edges[k-1] <= v < edges[k].
TEST(Binning, CodesPlaceEveryValueInsideItsBinOnRandomData) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 50; ++round) {
    const size_t n = 1 + rng() % 300;
    const size_t n_bins = rng() % 40;
    std::vector<double> values(n);
    for (double& v : values)
      v = static_cast<double>(rng() % 25) * 0.5 - 3.0;
    for (size_t i = 0; i < n / 10; ++i)
      values[rng() % n] = kNaN;
    const BinnedData data = fit_ok({Column::continuous(values)}, n_bins);
    const std::vector<double>& edges = data.bins[0].edges;
    for (size_t i = 0; i < n; ++i) {
      const uint16_t code = data.codes[0][i];
      if (std::isnan(values[i])) {
        EXPECT_EQ(code, kMissingBin);
        continue;
      }
      ASSERT_LT(code, data.bins[0].n_bins);
      if (code > 0) {
        EXPECT_LE(edges[code - 1], values[i]);
      }
      if (code < edges.size()) {
        EXPECT_LT(values[i], edges[code]);
      }
    }
  }
}

}  // namespace
}  // namespace zelk
