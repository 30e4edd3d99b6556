#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/binning.hpp"
#include "core/data.hpp"
#include "core/encoder.hpp"

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

uint64_t bits_of(double v) {
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// Doubles that stress the total order: both zeros, infinities, NaNs of either sign,
// subnormals, duplicates and ordinary values.
double awkward_double(std::mt19937_64& rng) {
  switch (rng() % 10) {
    case 0:
      return 0.0;
    case 1:
      return -0.0;
    case 2:
      return (rng() % 2 ? 1 : -1) * kInf;
    case 3:
      return (rng() % 2 ? 1 : -1) * std::numeric_limits<double>::denorm_min() *
             static_cast<double>(rng() % 5);
    case 4:
      return static_cast<double>(rng() % 7) - 3.0;
    case 5:
      return rng() % 2 ? kNaN : -kNaN;
    default: {
      const uint64_t b = rng();
      double v;
      std::memcpy(&v, &b, sizeof v);
      return v;
    }
  }
}

TEST(Binning, KeySortOrdersLikeTheTotalOrder) {
  std::mt19937_64 rng(3);
  for (size_t n : {0u, 1u, 7u, 2047u, 2048u, 20000u}) {
    std::vector<double> values(n);
    for (double& v : values)
      v = awkward_double(rng);
    std::vector<uint64_t> keys;
    for (double v : values) {
      keys.push_back(total_order_key(v));
      EXPECT_EQ(bits_of(from_total_order_key(keys.back())), bits_of(v));
    }
    sort_keys(keys);
    std::sort(values.begin(), values.end(), total_order_less);
    ASSERT_EQ(keys.size(), values.size());
    for (size_t i = 0; i < n; ++i)
      ASSERT_EQ(bits_of(from_total_order_key(keys[i])), bits_of(values[i])) << n << " at " << i;
  }
}

// The matrix path bins exactly as the column path, whatever the layout and thread count.
TEST(Binning, MatrixFitMatchesColumnFit) {
  std::mt19937_64 rng(8);
  const size_t n = 5000, m = 6;
  const std::vector<size_t> categorical{1, 4};
  std::vector<double> cells(n * m);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < m; ++j) {
      double v = 0.0;
      if (j == 1 || j == 4) {
        // Halves, negatives, NaN and huge values exercise the category coding.
        v = rng() % 20 == 0 ? kNaN : static_cast<double>(rng() % 40) * 0.5 - 2.0;
        if (rng() % 50 == 0) v = 1e12;
      } else if (j == 2) {
        v = static_cast<double>(rng() % 9);  // heavy duplicates
      } else if (j == 5) {
        v = kNaN;  // no finite value at all
      } else {
        v = awkward_double(rng);
      }
      cells[i * m + j] = v;
    }
  }
  MatrixView rows_first{reinterpret_cast<const char*>(cells.data()), n, m,
                        static_cast<ptrdiff_t>(m * sizeof(double)), sizeof(double)};
  // The same matrix stored column after column.
  std::vector<double> transposed(n * m);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < m; ++j)
      transposed[j * n + i] = cells[i * m + j];
  }
  MatrixView columns_first{reinterpret_cast<const char*>(transposed.data()), n, m, sizeof(double),
                           static_cast<ptrdiff_t>(n * sizeof(double))};

  for (size_t n_bins : {2u, 16u, 255u}) {
    const BinnedData want = fit_ok(build_columns(rows_first, categorical), n_bins);
    for (const MatrixView* view : {&rows_first, &columns_first}) {
      for (size_t threads : {1u, 2u, 3u}) {
        Expected<BinnedData> got = BinnedData::fit(*view, categorical, n_bins, threads);
        ASSERT_TRUE(got.ok()) << got.error();
        const BinnedData& data = got.value();
        EXPECT_EQ(data.n_samples, n);
        ASSERT_EQ(data.codes.size(), m);
        for (size_t j = 0; j < m; ++j) {
          SCOPED_TRACE("bins " + std::to_string(n_bins) + " threads " + std::to_string(threads) +
                       " feature " + std::to_string(j));
          EXPECT_EQ(data.codes[j], want.codes[j]);
          EXPECT_EQ(data.bins[j].n_bins, want.bins[j].n_bins);
          EXPECT_EQ(data.bins[j].continuous, want.bins[j].continuous);
          EXPECT_EQ(data.bins[j].categories, want.bins[j].categories);
          ASSERT_EQ(data.bins[j].edges.size(), want.bins[j].edges.size());
          for (size_t e = 0; e < want.bins[j].edges.size(); ++e)
            EXPECT_EQ(bits_of(data.bins[j].edges[e]), bits_of(want.bins[j].edges[e]));
        }
      }
    }
    // The codes are the plain bisection's, for every finite value.
    for (size_t j : {0u, 2u, 3u}) {
      for (size_t i = 0; i < n; ++i) {
        const double v = cells[i * m + j];
        const uint16_t expected =
            std::isfinite(v) ? static_cast<uint16_t>(bin_code(want.bins[j].edges, v)) : kMissingBin;
        ASSERT_EQ(want.codes[j][i], expected) << "feature " << j << " row " << i;
      }
    }
  }

  // Failures name the same first feature as the column path.
  const size_t too_many = 70000;
  const Expected<BinnedData> want =
      BinnedData::fit(build_columns(rows_first, categorical), too_many);
  const Expected<BinnedData> got = BinnedData::fit(rows_first, categorical, too_many, 2);
  ASSERT_FALSE(want.ok());
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error(), want.error());
  EXPECT_EQ(got.error(), "feature 0: 70000 continuous bins exceed fast-mode limit");
}

TEST(Binning, MatrixFitCategoryLimit) {
  const size_t n = 65536;
  std::vector<double> cells(2 * n);
  for (size_t i = 0; i < n; ++i) {
    cells[2 * i] = 1.0;
    cells[2 * i + 1] = static_cast<double>(i);
  }
  MatrixView x{reinterpret_cast<const char*>(cells.data()), n, 2, 2 * sizeof(double),
               sizeof(double)};
  const std::vector<size_t> categorical{1};
  const Expected<BinnedData> got = BinnedData::fit(x, categorical, 4, 2);
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error(), "feature 1: 65536 categories exceed fast-mode limit");
}

}  // namespace
}  // namespace zelk
