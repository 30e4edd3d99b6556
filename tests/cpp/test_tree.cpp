#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/tree/model.hpp"
#include "core/tree/params.hpp"

namespace zelk {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct IntervalCase {
  std::optional<double> lower;
  std::optional<double> upper;
  double value;
  bool left;
};

void PrintTo(const IntervalCase& c, std::ostream* os) {
  *os << "[" << (c.lower ? std::to_string(*c.lower) : "-") << ", "
      << (c.upper ? std::to_string(*c.upper) : "-") << ") value " << c.value;
}

class TreeIntervalRouting : public ::testing::TestWithParam<IntervalCase> {};

// Training samples and prediction rows with the same value must take the same side.
TEST_P(TreeIntervalRouting, TrainAndRowAgree) {
  const IntervalCase& c = GetParam();
  // The rule reads feature 1; feature 0 is a categorical decoy.
  const SplitRule rule{Interval{1, c.lower, c.upper}};
  const std::vector<Column> columns{Column::categorical({0, 1}),
                                    Column::continuous({-5.0, c.value})};
  EXPECT_EQ(rule.route_left_train(columns, 1), c.left);
  const std::vector<Cell> row{Cell::category(0), Cell::number(c.value)};
  EXPECT_EQ(route_left_row(rule, row), c.left);
}

INSTANTIATE_TEST_SUITE_P(Cases, TreeIntervalRouting,
                         ::testing::Values(IntervalCase{std::nullopt, 2.5, 2.4999, true},
                                           IntervalCase{std::nullopt, 2.5, 2.5, false},
                                           IntervalCase{1.0, 2.0, 1.0, true},
                                           IntervalCase{1.0, 2.0, 2.0, false},
                                           IntervalCase{1.0, 2.0, 0.999, false},
                                           IntervalCase{1.0, std::nullopt, 1e308, true},
                                           IntervalCase{1.0, std::nullopt, kInf, false},
                                           IntervalCase{std::nullopt, 2.5, -kInf, false},
                                           IntervalCase{std::nullopt, std::nullopt, 0.0, true},
                                           IntervalCase{std::nullopt, std::nullopt, kNaN, false},
                                           IntervalCase{std::nullopt, std::nullopt, kInf, false},
                                           IntervalCase{std::nullopt, std::nullopt, -kInf, false},
                                           IntervalCase{-kInf, kInf, kNaN, false},
                                           IntervalCase{-kInf, kInf, kInf, false}));

TEST(Tree, IntervalSendsCategoryCellsAndCategoricalColumnsRight) {
  const SplitRule rule{Interval{0, std::nullopt, std::nullopt}};
  const std::vector<Column> columns{Column::categorical({0, 3})};
  EXPECT_FALSE(rule.route_left_train(columns, 0));
  EXPECT_FALSE(rule.route_left_train(columns, 1));
  const std::vector<Cell> row{Cell::category(0)};
  EXPECT_FALSE(route_left_row(rule, row));
}

TEST(Tree, CategorySendsOnlyItsOwnCodeLeft) {
  const SplitRule rule{Category{0, 3}};
  const std::vector<uint32_t> codes{3, 2, 4, kMissingCode};
  const std::vector<bool> expected{true, false, false, false};
  const std::vector<Column> columns{Column::categorical(codes)};
  for (size_t i = 0; i < codes.size(); ++i) {
    EXPECT_EQ(rule.route_left_train(columns, i), expected[i]) << codes[i];
    const std::vector<Cell> row{Cell::category(codes[i])};
    EXPECT_EQ(route_left_row(rule, row), expected[i]) << codes[i];
  }
  // A numeric cell, or a continuous column, holding the same number is not the category.
  EXPECT_FALSE(route_left_row(rule, std::vector<Cell>{Cell::number(3.0)}));
  const std::vector<Column> continuous{Column::continuous({3.0})};
  EXPECT_FALSE(rule.route_left_train(continuous, 0));
}

TEST(Tree, PredictNodeWalksToTheLeafAndCopiesItsPayload) {
  // x0 < 1.0 ? 10.0 : (x1 == category 2 ? 20.0 : 30.0)
  using N = Node<double>;
  auto root = N::make_split(
      SplitRule{Interval{0, std::nullopt, 1.0}}, N::make_leaf(10.0, 1),
      N::make_split(SplitRule{Category{1, 2}}, N::make_leaf(20.0, 1), N::make_leaf(30.0, 1)));
  EXPECT_EQ(predict_node(*root, std::vector<Cell>{Cell::number(0.5), Cell::category(2)}), 10.0);
  EXPECT_EQ(predict_node(*root, std::vector<Cell>{Cell::number(1.0), Cell::category(2)}), 20.0);
  EXPECT_EQ(predict_node(*root, std::vector<Cell>{Cell::number(kNaN), Cell::category(5)}), 30.0);
  EXPECT_EQ(predict_node(*root, std::vector<Cell>{Cell::number(2.0), Cell::number(2.0)}), 30.0);

  ClassPrediction p{{0.25, 0.75}, 1};
  auto leaf = Node<ClassPrediction>::make_leaf(p, 4);
  ClassPrediction got = predict_node(*leaf, std::vector<Cell>{});
  got.proba[0] = 9.0;
  EXPECT_EQ(leaf->value.proba[0], 0.25);  // the caller gets its own copy
}

struct ClassLeafCase {
  size_t n_classes;
  std::vector<size_t> labels;
  std::vector<double> proba;
  size_t predicted;
};

void PrintTo(const ClassLeafCase& c, std::ostream* os) {
  *os << c.n_classes << " classes, " << c.labels.size() << " labels";
}

class TreeClassLeaf : public ::testing::TestWithParam<ClassLeafCase> {};

TEST_P(TreeClassLeaf, CountsFrequenciesAndBreaksTiesLow) {
  const ClassLeafCase& c = GetParam();
  const ClassPrediction p = class_leaf(c.n_classes, c.labels);
  EXPECT_EQ(p.proba, c.proba);
  EXPECT_EQ(p.predicted_class, c.predicted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TreeClassLeaf,
    ::testing::Values(ClassLeafCase{3, {2, 0, 2, 0}, {0.5, 0.0, 0.5}, 0},
                      ClassLeafCase{2, {5, 7}, {0.0, 0.0}, 0},
                      ClassLeafCase{3, {1, 2, 2, 9}, {0.0, 1.0 / 3.0, 2.0 / 3.0}, 2},
                      ClassLeafCase{2, {}, {0.0, 0.0}, 0}, ClassLeafCase{0, {0, 1}, {}, 0},
                      ClassLeafCase{4, {3, 1, 3, 1, 1}, {0.0, 0.6, 0.0, 0.4}, 1}));

TEST(Tree, RegressionLeafIsTheMeanSummedInSampleOrder) {
  EXPECT_EQ(regression_leaf(std::vector<double>{}), 0.0);
  EXPECT_EQ(regression_leaf(std::vector<double>{1.0, 2.0, 4.0, 5.0}), 3.0);
  // (1e16 + 1) rounds back to 1e16, so the sum in this order is 0; any reordering gives 1/3.
  EXPECT_EQ(regression_leaf(std::vector<double>{1e16, 1.0, -1e16}), 0.0);
}

TEST(Tree, DepthAndLeafCount) {
  using N = Node<double>;
  const SplitRule rule{Interval{0, std::nullopt, 0.0}};
  auto single = N::make_leaf(1.0, 3);
  EXPECT_EQ(node_depth(*single), 0u);
  EXPECT_EQ(node_leaves(*single), 1u);

  auto tree = N::make_split(rule, N::make_leaf(1.0, 1),
                            N::make_split(rule, N::make_leaf(2.0, 1), N::make_leaf(3.0, 1)));
  EXPECT_EQ(node_depth(*tree), 2u);
  EXPECT_EQ(node_leaves(*tree), 3u);

  // Deeper on the left than on the right.
  auto lopsided =
      N::make_split(rule,
                    N::make_split(rule, N::make_split(rule, N::make_leaf(0, 1), N::make_leaf(0, 1)),
                                  N::make_leaf(0, 1)),
                    N::make_leaf(0, 1));
  EXPECT_EQ(node_depth(*lopsided), 3u);
  EXPECT_EQ(node_leaves(*lopsided), 4u);
}

TEST(Tree, MillionNodeChainIsCountedAndFreedWithoutRecursion) {
  using N = Node<double>;
  constexpr size_t kSplits = 1'000'000;
  const SplitRule rule{Interval{0, std::nullopt, 0.0}};
  auto chain = N::make_leaf(0.0, 1);
  for (size_t i = 0; i < kSplits; ++i) {
    chain = N::make_split(rule, N::make_leaf(0.0, 1), std::move(chain));
  }
  EXPECT_EQ(node_depth(*chain), kSplits);
  EXPECT_EQ(node_leaves(*chain), kSplits + 1);
  chain.reset();
  EXPECT_EQ(chain, nullptr);
}

TEST(Tree, AutoModeIsStrictUpToItsSizeAndForTasksFastModeCannotGrow) {
  constexpr size_t kMax = kAutoStrictValues;
  constexpr size_t kHuge = std::numeric_limits<size_t>::max();
  EXPECT_EQ(resolved_mode(SplitMode::Auto, kMax / 4, 4, true), SplitMode::Strict);
  EXPECT_EQ(resolved_mode(SplitMode::Auto, kMax / 4 + 1, 4, true), SplitMode::Fast);
  EXPECT_EQ(resolved_mode(SplitMode::Auto, kMax / 4 + 1, 4, false), SplitMode::Strict);
  // A product beyond size_t is large, not wrapped round to small.
  EXPECT_EQ(resolved_mode(SplitMode::Auto, kHuge / 2, 4, true), SplitMode::Fast);
  EXPECT_EQ(resolved_mode(SplitMode::Auto, kHuge, 0, true), SplitMode::Strict);
  for (SplitMode explicit_mode : {SplitMode::Strict, SplitMode::Fast}) {
    EXPECT_EQ(resolved_mode(explicit_mode, kHuge, kHuge, true), explicit_mode);
    EXPECT_EQ(resolved_mode(explicit_mode, 1, 1, false), explicit_mode);
  }
}

}  // namespace
}  // namespace zelk
