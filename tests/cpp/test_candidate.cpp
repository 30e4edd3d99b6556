#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "core/candidate/category_order.hpp"
#include "core/candidate/states.hpp"
#include "core/encoder.hpp"
#include "core/tree/rules.hpp"
#include "core/tree/strict/sorted_values.hpp"

namespace zelk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<size_t> all_samples(size_t n) {
  std::vector<size_t> s(n);
  for (size_t i = 0; i < n; ++i)
    s[i] = i;
  return s;
}

void expect_interval(const std::optional<SplitRule>& rule, size_t feature,
                     std::optional<double> lower, std::optional<double> upper) {
  ASSERT_TRUE(rule.has_value());
  const auto* interval = std::get_if<Interval>(&rule->test);
  ASSERT_NE(interval, nullptr);
  EXPECT_EQ(interval->feature, feature);
  EXPECT_EQ(interval->lower, lower);
  EXPECT_EQ(interval->upper, upper);
}

TEST(Candidate, ContinuousStatesAreTheNodeBinsPresent) {
  const Column column = Column::continuous({1, 1, 1, 1, 2, 3});
  EXPECT_EQ(present_states(column, all_samples(6), 4), (std::vector<uint32_t>{2, 3}));
  // Only the node's samples count: {1, 1, 3} has edges 1, 1, 3 and codes 2, 2, 3.
  EXPECT_EQ(present_states(column, std::vector<size_t>{5, 0, 2}, 4), (std::vector<uint32_t>{2, 3}));
  // {2, 3}: edges 2, 3, 3, codes 1 and 3.
  EXPECT_EQ(present_states(column, std::vector<size_t>{4, 5}, 4), (std::vector<uint32_t>{1, 3}));
}

TEST(Candidate, FewerThanTwoBinsGiveTheSingleStateZero) {
  const Column column = Column::continuous({4, -1, kNaN, 7});
  for (size_t n_bins : {0u, 1u}) {
    EXPECT_EQ(present_states(column, all_samples(4), n_bins), (std::vector<uint32_t>{0}));
  }
}

TEST(Candidate, NonFiniteAndMissingValuesOfferNoState) {
  const Column all_nan = Column::continuous({kNaN, kInf, -kInf, kNaN});
  EXPECT_TRUE(present_states(all_nan, all_samples(4), 4).empty());
  const Column all_missing = Column::categorical({kMissingCode, kMissingCode});
  EXPECT_TRUE(present_states(all_missing, all_samples(2), 4).empty());
}

TEST(Candidate, CategoricalStatesAreTheCodesPresent) {
  const Column column = Column::categorical({5, 2, kMissingCode, 5, 4000000000u});
  EXPECT_EQ(present_states(column, all_samples(4), 4), (std::vector<uint32_t>{2, 5}));
  // No limit on the number of categories, and n_bins plays no part.
  EXPECT_EQ(present_states(column, all_samples(5), 1), (std::vector<uint32_t>{2, 5, 4000000000u}));
}

TEST(Candidate, MakeRuleWorkedExamples) {
  const Column column = Column::continuous({1, 1, 1, 1, 2, 3});
  const auto samples = all_samples(6);
  expect_interval(make_rule(column, 4, 2, samples, 4, true), 4, std::nullopt, 2.0);
  EXPECT_FALSE(make_rule(column, 4, 3, samples, 4, true).has_value());
  expect_interval(make_rule(column, 4, 2, samples, 4, false), 4, 1.0, 2.0);
  expect_interval(make_rule(column, 4, 3, samples, 4, false), 4, 2.0, std::nullopt);
  expect_interval(make_rule(column, 4, 0, samples, 4, false), 4, std::nullopt, 1.0);
  // A state above the highest bin has no rule.
  EXPECT_FALSE(make_rule(column, 4, 4, samples, 4, false).has_value());
  EXPECT_FALSE(make_rule(column, 4, 4, samples, 4, true).has_value());

  // No edges: in threshold mode state 0 is "every finite value" and has no rule.
  EXPECT_FALSE(make_rule(column, 0, 0, samples, 1, true).has_value());
  const auto everything = make_rule(column, 0, 0, samples, 1, false);
  expect_interval(everything, 0, std::nullopt, std::nullopt);
  const std::vector<Column> columns{Column::continuous({3.0, kNaN, kInf})};
  EXPECT_TRUE(everything->route_left_train(columns, 0));
  EXPECT_FALSE(everything->route_left_train(columns, 1));
  EXPECT_FALSE(everything->route_left_train(columns, 2));
}

TEST(Candidate, MidpointRulesSplitTheGapBelowTheEdge) {
  const Column column = Column::continuous({1, 1, 1, 1, 2, 3});
  const auto samples = all_samples(6);
  expect_interval(make_rule(column, 4, 2, samples, 4, true, true), 4, std::nullopt, 1.5);
  expect_interval(make_rule(column, 4, 3, samples, 4, false, true), 4, 1.5, std::nullopt);
  // Nothing below the lowest value: its edges stay where they are.
  expect_interval(make_rule(column, 4, 2, samples, 4, false, true), 4, 1.0, 1.5);
  expect_interval(make_rule(column, 4, 0, samples, 4, false, true), 4, std::nullopt, 1.0);

  // Halving first keeps the middle of the widest gap finite; between adjacent doubles there is
  // no middle, and the edge stays.
  const double big = std::numeric_limits<double>::max();
  expect_interval(make_rule(Column::continuous({-big, big}), 0, 0, all_samples(2), 2, true, true),
                  0, std::nullopt, 0.0);
  const double next = std::nextafter(1.0, 2.0);
  expect_interval(make_rule(Column::continuous({1.0, next}), 0, 0, all_samples(2), 2, true, true),
                  0, std::nullopt, next);
}

TEST(Candidate, MidpointFoldEdgesReadTheFoldsTrainingValuesAlone) {
  // Fold 1 holds 1, 5 and 7; fold 0, the training part when fold 1 is held out, 0, 2 and 6.
  const std::vector<detail::SortedValue> sorted = {
      {detail::order_key(0.0), 0, 0}, {detail::order_key(1.0), 1, 0},
      {detail::order_key(2.0), 0, 1}, {detail::order_key(5.0), 1, 1},
      {detail::order_key(6.0), 0, 2}, {detail::order_key(7.0), 1, 2}};
  const std::vector<uint32_t> in_block = {3, 3};
  EdgeRuns plain, middle;
  detail::edges_of_sorted(sorted, 1, 3, 3, false, plain, in_block, 2);
  detail::edges_of_sorted(sorted, 1, 3, 3, true, middle, in_block, 2);
  ASSERT_EQ(plain.size(), 2u);
  ASSERT_EQ(middle.size(), 2u);
  EXPECT_EQ(plain[0], 2.0);
  EXPECT_EQ(plain[1], 6.0);
  EXPECT_EQ(middle[0], 1.0);
  EXPECT_EQ(middle[1], 4.0);
  // Every training value keeps its code; the held-out 5 moves below 6's edge.
  for (double v : {0.0, 2.0, 6.0})
    EXPECT_EQ(plain.code(v), middle.code(v)) << v;
  EXPECT_EQ(plain.code(5.0), 1u);
  EXPECT_EQ(middle.code(5.0), 2u);
}

TEST(Candidate, MakeRuleForACategory) {
  const Column column = Column::categorical({5, 2, kMissingCode, 5});
  const auto rule = make_rule(column, 2, 5, all_samples(4), 4, false);
  ASSERT_TRUE(rule.has_value());
  const auto* cat = std::get_if<Category>(&rule->test);
  ASSERT_NE(cat, nullptr);
  EXPECT_EQ(cat->feature, 2u);
  EXPECT_EQ(cat->category, 5u);
  EXPECT_FALSE(make_rule(column, 2, kMissingCode, all_samples(4), 4, false).has_value());

  const std::vector<Column> columns{Column::continuous({0, 0, 0, 0}),
                                    Column::continuous({0, 0, 0, 0}), column};
  const std::vector<bool> expected{true, false, false, true};
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(rule->route_left_train(columns, i), expected[i]);
}

TEST(Candidate, GoesLeftByMode) {
  EXPECT_TRUE(goes_left(0, 0, true));
  EXPECT_TRUE(goes_left(1, 3, true));
  EXPECT_FALSE(goes_left(4, 3, true));
  EXPECT_FALSE(goes_left(kMissingCode, kMissingCode - 1, true));
  EXPECT_TRUE(goes_left(3, 3, false));
  EXPECT_FALSE(goes_left(2, 3, false));
  EXPECT_FALSE(goes_left(kMissingCode, 3, false));
}

// The built rule must route every node sample exactly as the left-side test of its node
// code does, for every state the feature offers.
TEST(Candidate, RuleRoutesLikeTheNodeCodesOnRandomColumns) {
  std::mt19937_64 rng(12345);
  for (int trial = 0; trial < 200; ++trial) {
    const size_t n = 1 + rng() % 60;
    const size_t n_bins = rng() % 9;
    const int distinct = 1 + static_cast<int>(rng() % 12);
    std::vector<double> values(n);
    for (double& v : values) {
      const uint64_t r = rng() % 20;
      v = r == 0 ? kNaN : r == 1 ? kInf : static_cast<double>(rng() % distinct) * 0.5 - 1.0;
    }
    std::vector<size_t> samples;
    for (size_t i = 0; i < n; ++i) {
      if (rng() % 4 != 0) samples.push_back(i);
    }
    const std::vector<Column> columns{Column::continuous(values)};
    std::vector<double> node_values;
    for (size_t s : samples)
      node_values.push_back(values[s]);
    const std::vector<double> edges = quantile_edges(node_values, n_bins);

    for (bool threshold : {true, false}) {
      for (uint32_t state : present_states(columns[0], samples, n_bins)) {
        const auto rule = make_rule(columns[0], 0, state, samples, n_bins, threshold);
        if (threshold && state == edges.size()) {
          EXPECT_FALSE(rule.has_value());
          continue;
        }
        ASSERT_TRUE(rule.has_value());
        for (size_t s : samples) {
          const uint32_t code =
              std::isfinite(values[s]) ? bin_code(edges, values[s]) : kMissingCode;
          EXPECT_EQ(rule->route_left_train(columns, s), goes_left(code, state, threshold))
              << "trial " << trial << " state " << state << " value " << values[s];
        }
      }
    }
  }
}

// Adds random rows of `k` classes (0 for regression) over t's slots, some slots left empty.
void add_random_rows(CategoryTally& t, uint64_t seed, size_t slots, size_t k) {
  std::mt19937_64 rng(seed);
  for (size_t r = 0; r < 20 * slots; ++r) {
    const size_t slot = rng() % slots;
    const double w = 0.5 + static_cast<double>(rng() % 4);
    const uint64_t draw = rng();
    if (slot % 5 == 3) continue;
    if (k == 0) {
      t.add(slot, static_cast<double>(draw % 100) / 7.0, w);
    } else {
      t.add(slot, static_cast<size_t>(draw % k), w);
    }
  }
}

TEST(CategoryOrder, ReusedTallyOrdersAsAFreshOne) {
  // One tally reset and ordered across shapes must not read its earlier work arrays.
  CategoryTally reused;
  uint64_t seed = 11;
  for (const auto& [slots, k] : std::vector<std::pair<size_t, size_t>>{
           {40, 5}, {7, 3}, {3, 6}, {12, 2}, {30, 0}, {2, 4}, {25, 9}, {6, 9}}) {
    CategoryTally fresh(slots, k);
    add_random_rows(fresh, ++seed, slots, k);
    reused.reset(slots, k);
    add_random_rows(reused, seed, slots, k);
    std::vector<uint32_t> want, got;
    const size_t ranked = fresh.order(want);
    for (int again = 0; again < 2; ++again) {
      EXPECT_EQ(reused.order(got), ranked);
      EXPECT_EQ(got, want) << slots << " slots, " << k << " classes";
    }
  }
}

TEST(CategoryOrder, MeansRankSeenSlotsTiesBySlotOverflowsAndEmptyLast) {
  struct Case {
    size_t slots;
    std::vector<std::pair<size_t, double>> rows;  // (slot, target), weight 1 unless repeated
    size_t ranked;
    std::vector<uint32_t> rank;
  };
  // Equal means keep slot order; sums that overflow give keys that are not numbers, which go
  // last among the seen slots, and the order stays a permutation.
  for (const Case& c : std::vector<Case>{
           {6, {{0, 3.0}, {2, 1.0}, {3, 3.0}, {3, 3.0}, {5, -1.0}}, 4, {2, 4, 1, 3, 5, 0}},
           {5, {{1, 1e308}, {1, 1e308}, {1, -kInf}, {0, 2.0}, {3, -4.0}}, 3, {1, 2, 3, 0, 4}}}) {
    CategoryTally t(c.slots, 0);
    for (const auto& [slot, target] : c.rows)
      t.add(slot, target, 1.0);
    std::vector<uint32_t> rank;
    EXPECT_EQ(t.order(rank), c.ranked);
    EXPECT_EQ(rank, c.rank);
  }
}

}  // namespace
}  // namespace zelk
