#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/data.hpp"

namespace zelk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

MatrixView row_major(const std::vector<double>& values, size_t rows, size_t cols) {
  return MatrixView{reinterpret_cast<const char*>(values.data()), rows, cols,
                    static_cast<ptrdiff_t>(cols * sizeof(double)), sizeof(double)};
}

struct CodeCase {
  double value;
  uint32_t code;
};

TEST(Data, CategoryCodeRoundsHalvesAwayAndMarksTheRestMissing) {
  const CodeCase cases[] = {
      {2.5, 3u},
      {2.4, 2u},
      {0.49, 0u},
      {0.5, 1u},
      {1.5, 2u},
      {7.0, 7u},
      {0.0, 0u},
      {-0.0, 0u},
      {-0.3, kMissingCode},
      {-1.0, kMissingCode},
      {kNaN, kMissingCode},
      {-kNaN, kMissingCode},
      {kInf, kMissingCode},
      {-kInf, kMissingCode},
      {4294967293.5, 4294967294u},
      {4294967294.4, 4294967294u},
      {4294967294.5, kMissingCode},
      {4294967295.0, kMissingCode},
      {1e300, kMissingCode},
  };
  for (const CodeCase& c : cases) {
    EXPECT_EQ(category_code(c.value), c.code) << "value " << c.value;
  }
}

TEST(Data, ContainsSortedFindsExactlyTheListedIndices) {
  const std::vector<size_t> list = {0, 3, 4, 9, 200};
  for (size_t i = 0; i < 210; ++i) {
    const bool listed = i == 0 || i == 3 || i == 4 || i == 9 || i == 200;
    EXPECT_EQ(contains_sorted(list, i), listed) << i;
  }
  EXPECT_FALSE(contains_sorted({}, 0));
  const std::vector<size_t> one = {5};
  EXPECT_TRUE(contains_sorted(one, 5));
  EXPECT_FALSE(contains_sorted(one, 4));
  EXPECT_FALSE(contains_sorted(one, 6));
}

TEST(Data, BuildColumnsCodesCategoricalAndCopiesContinuous) {
  // Column 1 is categorical; column 0 keeps its non-finite values unchanged.
  const std::vector<double> x = {
      1.0,   2.5,   //
      kNaN,  2.4,   //
      kInf,  -1.0,  //
      -kInf, kNaN,  //
      -0.0,  7.0,   //
  };
  const std::vector<size_t> categorical = {1};
  const std::vector<Column> columns = build_columns(row_major(x, 5, 2), categorical);
  ASSERT_EQ(columns.size(), 2u);

  ASSERT_FALSE(columns[0].is_categorical());
  const std::vector<double>& v = columns[0].values();
  ASSERT_EQ(v.size(), 5u);
  EXPECT_EQ(v[0], 1.0);
  EXPECT_TRUE(std::isnan(v[1]));
  EXPECT_EQ(v[2], kInf);
  EXPECT_EQ(v[3], -kInf);
  EXPECT_TRUE(v[4] == 0.0 && std::signbit(v[4]));

  ASSERT_TRUE(columns[1].is_categorical());
  EXPECT_EQ(columns[1].codes(), (std::vector<uint32_t>{3, 2, kMissingCode, kMissingCode, 7}));
  EXPECT_EQ(columns[1].size(), 5u);
}

TEST(Data, CategoricalIndexBeyondColumnsHasNoEffect) {
  const std::vector<double> x = {1.5, 2.5, 3.5, 4.5};
  const std::vector<size_t> categorical = {2, 7};
  const std::vector<Column> columns = build_columns(row_major(x, 2, 2), categorical);
  ASSERT_EQ(columns.size(), 2u);
  EXPECT_FALSE(columns[0].is_categorical());
  EXPECT_FALSE(columns[1].is_categorical());
  EXPECT_EQ(columns[1].values(), (std::vector<double>{2.5, 4.5}));
}

bool same_columns(const std::vector<Column>& a, const std::vector<Column>& b) {
  if (a.size() != b.size()) return false;
  for (size_t j = 0; j < a.size(); ++j) {
    if (a[j].is_categorical() != b[j].is_categorical()) return false;
    if (a[j].is_categorical()) {
      if (a[j].codes() != b[j].codes()) return false;
    } else {
      const auto& va = a[j].values();
      const auto& vb = b[j].values();
      if (va.size() != vb.size()) return false;
      if (std::memcmp(va.data(), vb.data(), va.size() * sizeof(double)) != 0) return false;
    }
  }
  return true;
}

TEST(Data, AnyMemoryLayoutGivesTheSameColumns) {
  const size_t rows = 7, cols = 4;
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> dist(-2.0, 12.0);
  std::vector<double> x(rows * cols);
  for (double& v : x)
    v = dist(rng);
  x[5] = kNaN;
  const std::vector<size_t> categorical = {1, 3};
  const std::vector<Column> expected = build_columns(row_major(x, rows, cols), categorical);

  // Column-major copy of the same matrix.
  std::vector<double> t(rows * cols);
  for (size_t i = 0; i < rows; ++i) {
    for (size_t j = 0; j < cols; ++j)
      t[j * rows + i] = x[i * cols + j];
  }
  const MatrixView col_major{reinterpret_cast<const char*>(t.data()), rows, cols, sizeof(double),
                             static_cast<ptrdiff_t>(rows * sizeof(double))};
  EXPECT_TRUE(same_columns(build_columns(col_major, categorical), expected));

  // Every other element of a wider buffer, rows stored bottom-up (negative row stride).
  std::vector<double> wide(rows * cols * 2, -99.0);
  for (size_t i = 0; i < rows; ++i) {
    for (size_t j = 0; j < cols; ++j)
      wide[((rows - 1 - i) * cols + j) * 2] = x[i * cols + j];
  }
  const MatrixView strided{reinterpret_cast<const char*>(wide.data() + (rows - 1) * cols * 2), rows,
                           cols, -static_cast<ptrdiff_t>(cols * 2 * sizeof(double)),
                           2 * sizeof(double)};
  EXPECT_TRUE(same_columns(build_columns(strided, categorical), expected));

  // Misaligned by one byte.
  std::vector<char> bytes(x.size() * sizeof(double) + 1);
  std::memcpy(bytes.data() + 1, x.data(), x.size() * sizeof(double));
  const MatrixView misaligned{bytes.data() + 1, rows, cols,
                              static_cast<ptrdiff_t>(cols * sizeof(double)), sizeof(double)};
  EXPECT_TRUE(same_columns(build_columns(misaligned, categorical), expected));
}

TEST(Data, EmptyMatrixShapes) {
  const std::vector<double> none;
  EXPECT_TRUE(build_columns(row_major(none, 0, 0), {}).empty());
  const std::vector<Column> zero_rows = build_columns(row_major(none, 0, 3), {});
  ASSERT_EQ(zero_rows.size(), 3u);
  for (const Column& c : zero_rows)
    EXPECT_EQ(c.size(), 0u);
}

}  // namespace
}  // namespace zelk
