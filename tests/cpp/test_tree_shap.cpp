#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "core/explain/tree_shap.hpp"
#include "core/tree/model.hpp"

namespace zelk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Random trees over `n_features` features, of which `categorical` ones hold codes 0..3.
struct TreeMaker {
  std::mt19937_64 rng;
  size_t n_features;
  size_t n_categorical;  // the last n_categorical features
  size_t n_classes;      // 0: regression

  double uniform(double lo, double hi) { return std::uniform_real_distribution<>(lo, hi)(rng); }
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
  bool is_categorical(size_t f) const { return f + n_categorical >= n_features; }

  SplitRule rule() {
    const size_t f = pick(n_features);
    if (is_categorical(f)) return SplitRule{Category{f, static_cast<uint32_t>(pick(4))}};
    const double a = uniform(-1.0, 1.0);
    const double b = uniform(-1.0, 1.0);
    switch (pick(4)) {
      case 0:
        return SplitRule{Interval{f, std::nullopt, a}};
      case 1:
        return SplitRule{Interval{f, a, std::nullopt}};
      case 2:
        return SplitRule{Interval{f, std::min(a, b), std::max(a, b)}};
      default:
        return SplitRule{Interval{f, std::nullopt, std::nullopt}};  // "not missing"
    }
  }

  void payload(Node<double>& leaf) { leaf.value = uniform(-10.0, 10.0); }
  void payload(Node<ClassPrediction>& leaf) {
    std::vector<double> p(n_classes);
    double total = 0.0;
    for (double& v : p) {
      v = uniform(0.0, 1.0);
      total += v;
    }
    for (double& v : p)
      v /= total;
    leaf.value.proba = p;
  }

  template <class T>
  std::unique_ptr<Node<T>> leaf() {
    auto n = std::make_unique<Node<T>>();
    payload(*n);
    n->n_samples = 1 + pick(50);
    // Some leaves carry no weight statistic, as a tree imported without statistics.
    n->stats.weighted_n_samples = pick(4) == 0 ? kNaN : uniform(0.1, 20.0);
    return n;
  }

  // Recursion is fine here: these trees are a few levels deep.
  template <class T>
  std::unique_ptr<Node<T>> tree(size_t depth) {
    if (depth == 0 || pick(5) == 0) return leaf<T>();
    return Node<T>::make_split(rule(), tree<T>(depth - 1), tree<T>(depth - 1));
  }

  std::vector<Cell> row() {
    std::vector<Cell> cells(n_features);
    for (size_t f = 0; f < n_features; ++f) {
      if (is_categorical(f)) {
        cells[f] = Cell::category(pick(6) == 0 ? kMissingCode : static_cast<uint32_t>(pick(4)));
      } else {
        cells[f] = Cell::number(pick(6) == 0 ? kNaN : uniform(-1.2, 1.2));
      }
    }
    return cells;
  }
};

std::vector<double> outputs(const Node<double>& leaf, size_t) {
  return {leaf.value};
}
std::vector<double> outputs(const Node<ClassPrediction>& leaf, size_t) {
  return leaf.value.proba;
}

template <class T>
double cover(const Node<T>& n) {
  if (!n.is_leaf()) return cover(*n.left) + cover(*n.right);
  const double w = n.stats.weighted_n_samples;
  return std::isnan(w) ? static_cast<double>(n.n_samples) : w;
}

// The path-dependent value function: the row's own way where the feature is in `known`,
// both children weighted by their cover where it is not.
template <class T>
std::vector<double> value_of(const Node<T>& n, std::span<const Cell> row, uint32_t known,
                             size_t k) {
  if (n.is_leaf()) return outputs(n, k);
  if ((known >> n.rule->feature()) & 1u) {
    return value_of(route_left_row(*n.rule, row) ? *n.left : *n.right, row, known, k);
  }
  const double c = cover(n);
  const std::vector<double> l = value_of(*n.left, row, known, k);
  const std::vector<double> r = value_of(*n.right, row, known, k);
  std::vector<double> out(k);
  for (size_t j = 0; j < k; ++j)
    out[j] = cover(*n.left) / c * l[j] + cover(*n.right) / c * r[j];
  return out;
}

// Shapley values over every subset of the features.
template <class T>
std::vector<double> brute_force(const Node<T>& root, std::span<const Cell> row, size_t k) {
  const size_t m = row.size();
  std::vector<double> factorial(m + 1, 1.0);
  for (size_t i = 1; i <= m; ++i)
    factorial[i] = factorial[i - 1] * static_cast<double>(i);
  std::vector<double> phi(m * k, 0.0);
  for (uint32_t s = 0; s < (1u << m); ++s) {
    const std::vector<double> without = value_of(root, row, s, k);
    const auto size = static_cast<size_t>(__builtin_popcount(s));
    for (size_t f = 0; f < m; ++f) {
      if ((s >> f) & 1u) continue;
      const std::vector<double> with = value_of(root, row, s | (1u << f), k);
      const double weight = factorial[size] * factorial[m - size - 1] / factorial[m];
      for (size_t j = 0; j < k; ++j)
        phi[f * k + j] += weight * (with[j] - without[j]);
    }
  }
  return phi;
}

struct ShapCase {
  size_t n_features;
  size_t n_categorical;
  size_t depth;
  size_t n_classes;  // 0: regression
};

class TreeShapExact : public ::testing::TestWithParam<ShapCase> {};

template <class T>
void check_against_brute_force(const ShapCase& c, uint64_t seed) {
  TreeMaker maker{std::mt19937_64(seed), c.n_features, c.n_categorical, c.n_classes};
  const size_t k = std::max<size_t>(c.n_classes, 1);
  for (int t = 0; t < 20; ++t) {
    const auto root = maker.template tree<T>(c.depth);
    const ShapTree shap(*root, k);
    ShapTree::Scratch scratch = shap.make_scratch();
    const std::vector<double> expected = value_of(*root, std::vector<Cell>(c.n_features), 0, k);
    for (size_t j = 0; j < k; ++j)
      EXPECT_NEAR(shap.expected_value()[j], expected[j], 1e-12);
    for (int r = 0; r < 10; ++r) {
      const std::vector<Cell> row = maker.row();
      std::vector<double> phi(c.n_features * k, 0.0);
      shap.explain_row(row, phi, scratch);
      const std::vector<double> want = brute_force(*root, row, k);
      for (size_t i = 0; i < phi.size(); ++i)
        ASSERT_NEAR(phi[i], want[i], 1e-12) << "tree " << t << " row " << r << " entry " << i;
      // Local accuracy: the values add up to the prediction.
      const std::vector<double> prediction = outputs(
          [&]() -> const Node<T>& {
            const Node<T>* n = root.get();
            while (!n->is_leaf())
              n = route_left_row(*n->rule, row) ? n->left.get() : n->right.get();
            return *n;
          }(),
          k);
      for (size_t j = 0; j < k; ++j) {
        double total = shap.expected_value()[j];
        for (size_t f = 0; f < c.n_features; ++f)
          total += phi[f * k + j];
        ASSERT_NEAR(total, prediction[j], 1e-12);
      }
    }
  }
}

TEST_P(TreeShapExact, MatchesBruteForceShapley) {
  const ShapCase& c = GetParam();
  if (c.n_classes == 0) {
    check_against_brute_force<double>(c, 7 + c.depth * 31 + c.n_features);
  } else {
    check_against_brute_force<ClassPrediction>(c, 11 + c.depth * 31 + c.n_features);
  }
}

// Shallow and deep trees, features repeated along a path (few features, deep trees), every
// rule kind, and outputs for one value or several classes.
INSTANTIATE_TEST_SUITE_P(Cases, TreeShapExact,
                         ::testing::Values(ShapCase{1, 0, 3, 0}, ShapCase{2, 1, 6, 0},
                                           ShapCase{3, 1, 5, 0}, ShapCase{6, 2, 4, 0},
                                           ShapCase{6, 0, 8, 0}, ShapCase{4, 2, 6, 3},
                                           ShapCase{6, 3, 5, 2}));

TEST(TreeShap, ZeroCoverBranchesAddNothing) {
  // The right child has no cover: unknown features never reach it, the row may.
  auto zero_leaf = Node<double>::make_leaf(5.0, 3);
  zero_leaf->stats.weighted_n_samples = 0.0;
  auto left = Node<double>::make_leaf(1.0, 3);
  left->stats.weighted_n_samples = 2.0;
  auto inner = Node<double>::make_split(SplitRule{Interval{0, std::nullopt, 0.0}}, std::move(left),
                                        std::move(zero_leaf));
  auto other = Node<double>::make_leaf(-1.0, 1);
  other->stats.weighted_n_samples = 2.0;
  const auto root = Node<double>::make_split(SplitRule{Interval{1, std::nullopt, 0.0}},
                                             std::move(inner), std::move(other));
  const ShapTree shap(*root, 1);
  EXPECT_DOUBLE_EQ(shap.expected_value()[0], 0.0);
  ShapTree::Scratch scratch = shap.make_scratch();
  for (const double x0 : {-1.0, 1.0}) {
    const std::vector<Cell> row{Cell::number(x0), Cell::number(-1.0)};
    std::vector<double> phi(2, 0.0);
    shap.explain_row(row, phi, scratch);
    const std::vector<double> want = brute_force(*root, row, 1);
    EXPECT_NEAR(phi[0], want[0], 1e-12);
    EXPECT_NEAR(phi[1], want[1], 1e-12);
    EXPECT_NEAR(phi[0] + phi[1], predict_node(*root, row), 1e-12);
  }
}

// Rows spread over any number of workers give the same values bit for bit.
TEST(TreeShap, SameValuesAtAnyThreadCount) {
  TreeMaker maker{std::mt19937_64(3), 5, 2, 0};
  const auto root = maker.tree<double>(9);
  const ShapTree shap(*root, 1);
  const size_t rows = 257;
  const size_t cols = 6;  // one more column than the rules read
  std::vector<double> x(rows * cols);
  std::mt19937_64 rng(5);
  for (size_t i = 0; i < rows; ++i) {
    for (size_t j = 0; j < cols; ++j) {
      const bool code = j == 3 || j == 4;
      const double v =
          code ? static_cast<double>(rng() % 5) : std::ldexp(double(rng() % 4096), -11) - 1;
      x[i * cols + j] = rng() % 7 == 0 ? kNaN : v;
    }
  }
  const MatrixView view{reinterpret_cast<const char*>(x.data()), rows, cols,
                        static_cast<ptrdiff_t>(cols * sizeof(double)), sizeof(double)};
  const std::vector<size_t> categorical{3, 4};
  std::vector<double> one(rows * cols, 0.0);
  shap.explain(view, categorical, 1, one.data());
  for (const size_t threads : {2, 3, 8}) {
    std::vector<double> many(rows * cols, 0.0);
    shap.explain(view, categorical, threads, many.data());
    EXPECT_EQ(0, std::memcmp(one.data(), many.data(), one.size() * sizeof(double))) << threads;
  }
  // The last column is read by no rule, and each row adds up to its prediction.
  for (size_t i = 0; i < rows; ++i) {
    EXPECT_EQ(one[i * cols + 5], 0.0);
    std::vector<Cell> row(cols);
    double total = shap.expected_value()[0];
    for (size_t j = 0; j < cols; ++j) {
      const double v = x[i * cols + j];
      row[j] = (j == 3 || j == 4) ? Cell::category(category_code(v)) : Cell::number(v);
      total += one[i * cols + j];
    }
    EXPECT_NEAR(total, predict_node(*root, row), 1e-12);
  }
}

// A chain a million splits deep: no recursion, and paths sized by the distinct features.
TEST(TreeShap, MillionNodeChain) {
  constexpr size_t kDepth = 1000000;
  auto node = Node<double>::make_leaf(0.0, 1);
  for (size_t d = 0; d < kDepth; ++d) {
    auto side = Node<double>::make_leaf(static_cast<double>(d % 7), 1 + d % 3);
    // Alternate sides, so the long branch is sometimes explained first, sometimes second.
    const double cut = static_cast<double>(kDepth - d);
    SplitRule rule{Interval{d % 2, std::nullopt, cut}};
    node = d % 4 < 2 ? Node<double>::make_split(std::move(rule), std::move(node), std::move(side))
                     : Node<double>::make_split(std::move(rule), std::move(side), std::move(node));
  }
  const ShapTree shap(*node, 1);
  ShapTree::Scratch scratch = shap.make_scratch();
  const std::vector<Cell> row{Cell::number(500000.5), Cell::number(10.0)};
  std::vector<double> phi(2, 0.0);
  shap.explain_row(row, phi, scratch);
  EXPECT_NEAR(shap.expected_value()[0] + phi[0] + phi[1], predict_node(*node, row), 1e-9);
}

}  // namespace
}  // namespace zelk
