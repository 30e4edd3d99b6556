// Weights scaled by a power of two before growth: the scaling itself, trees grown on weights far
// beyond what their sums could hold unscaled, the limit on regression targets, and nodes that
// weigh nothing.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/binning.hpp"
#include "core/tree/decision_tree.hpp"
#include "core/tree/export.hpp"
#include "core/tree/fast/growth.hpp"
#include "core/tree/strict/growth.hpp"
#include "core/weights.hpp"

namespace zelk {
namespace {

uint64_t bits(double x) {
  return std::bit_cast<uint64_t>(x);
}

std::vector<double> times_power_of_two(std::vector<double> w, int k) {
  for (double& x : w)
    x = std::ldexp(x, k);
  return w;
}

TEST(ScaleWeights, BringsTheLargestIntoOneToTwoWhateverPowerOfTwoScalesThemAll) {
  const std::vector<double> base{0.0, 0.3, 1.75, 12.5, 0.0, 1e-3, 7.0};
  std::vector<double> reference(base);
  const Expected<int> e0 = scale_weights(reference);
  ASSERT_TRUE(e0.ok());
  EXPECT_EQ(e0.value(), 3);  // 12.5 = 1.5625 * 2^3
  EXPECT_EQ(reference[3], 1.5625);
  for (int k : {-1000, -500, -1, 1, 500, 1010}) {  // every scaled weight a normal double
    SCOPED_TRACE(k);
    std::vector<double> w = times_power_of_two(base, k);
    const Expected<int> e = scale_weights(w);
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(e.value(), e0.value() + k);
    for (size_t i = 0; i < w.size(); ++i)
      EXPECT_EQ(bits(w[i]), bits(reference[i]));
  }
}

TEST(ScaleWeights, LeavesWeightsOfOneAloneAndFlushesOnlyBelowTwoToTheMinus1074) {
  std::vector<double> ones(5, 1.0);
  ASSERT_EQ(scale_weights(ones).value(), 0);
  EXPECT_EQ(ones, std::vector<double>(5, 1.0));
  std::vector<double> spread{std::ldexp(1.0, 1000), std::ldexp(1.0, -74), std::ldexp(1.0, -75)};
  ASSERT_EQ(scale_weights(spread).value(), 1000);
  EXPECT_EQ(spread[1], std::ldexp(1.0, -1074));  // the least subnormal, still positive
  EXPECT_EQ(spread[2], 0.0);
}

TEST(ScaleWeights, RefusesNamingSampleWeightOnlyWhenTheTotalPassesTheLargestDouble) {
  const double max = std::numeric_limits<double>::max();
  std::vector<double> one_max{max, 0.0};
  EXPECT_TRUE(scale_weights(one_max).ok());  // the largest double is a count a tree can keep
  std::vector<double> many(100, 1e308);
  const Expected<int> refused = scale_weights(many);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().rfind("sample_weight sums to about 1e+310", 0), 0u) << refused.error();
  std::vector<double> halves(2, std::ldexp(1.0, 1022));
  EXPECT_TRUE(scale_weights(halves).ok());
  std::vector<double> passing{std::ldexp(1.0, 1023), std::ldexp(1.0, 1023)};
  EXPECT_FALSE(scale_weights(passing).ok());
}

TEST(TargetLimit, RefusesTargetsOfPositiveWeightBeyondTheLimitNamingY) {
  const double limit = target_limit(4, 4.0, 5, true);
  // Squares of sums of squared errors reach DBL_MAX near |y| ~ 1e77; the limit sits below.
  EXPECT_GT(limit, 1e70);
  EXPECT_LT(limit, 1e77);
  EXPECT_GT(target_limit(4, 4.0, 5, false), limit);  // absolute errors square once less
  EXPECT_LT(target_limit(4000, 4000.0, 5, true), limit);
  const std::vector<double> within{1.0, -limit, 0.5, limit};
  EXPECT_EQ(target_range_error(within, {}, 5, true), "");
  const std::vector<double> beyond{1.0, -2.0 * limit, 0.5, 3.0};
  const std::string error = target_range_error(beyond, {}, 5, true);
  EXPECT_EQ(error.rfind("y holds a target of magnitude ", 0), 0u) << error;
  // The same target on a row of zero weight is never read.
  EXPECT_EQ(target_range_error(beyond, std::vector<double>{1.0, 0.0, 1.0, 1.0}, 5, true), "");
}

// ---- whole trees -----------------------------------------------------------------------

struct Table {
  size_t n = 0;
  std::vector<double> x;  // n x 3, row-major; column 2 categorical
  std::vector<double> y;
  std::vector<size_t> labels;
  std::vector<double> w;

  MatrixView view() const {
    return MatrixView{reinterpret_cast<const char*>(x.data()), n, 3, 3 * sizeof(double),
                      sizeof(double)};
  }
};

Table random_table(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_real_distribution<double> exponent(-2.0, 2.0);
  Table t;
  t.n = n;
  for (size_t i = 0; i < n; ++i) {
    const double row[3] = {normal(rng), normal(rng), static_cast<double>(rng() % 4)};
    t.x.insert(t.x.end(), row, row + 3);
    const double signal = 2.0 * row[0] + (row[2] == 1.0 ? 1.5 : 0.0) + normal(rng);
    t.y.push_back(signal);
    t.labels.push_back(signal < -0.5 ? 0 : (signal < 1.0 ? 1 : 2));
    t.w.push_back(rng() % 6 == 0 ? 0.0 : std::pow(10.0, exponent(rng)));
  }
  return t;
}

enum class TaskKind { Mse, Gini, F1 };

struct ScaleCase {
  SplitMode mode;
  TaskKind kind;
};

// Grows the tree of `table` on `weights` as the estimators do: scaled first, the weighted
// counts restored afterwards.
template <class K>
std::vector<ExportedNode> grow_scaled(const K& task, const Params& params, const Table& table,
                                      const std::vector<typename K::Target>& targets,
                                      std::vector<double> weights) {
  const Expected<int> exponent = scale_weights(weights);
  EXPECT_TRUE(exponent.ok());
  const Mean aggregator;
  const std::vector<size_t> categorical{2};
  std::unique_ptr<NodeOf<K>> root;
  if (params.mode == SplitMode::Fast) {
    auto data = BinnedData::fit(table.view(), categorical, params.n_bins, 1, weights);
    EXPECT_TRUE(data.ok());
    root = build_node_fast_in_place(task, params, aggregator, std::move(data).value(),
                                    std::span<const typename K::Target>(targets), 0, weights);
  } else {
    const std::vector<Column> columns = build_columns(table.view(), categorical);
    std::vector<size_t> samples(table.n);
    std::iota(samples.begin(), samples.end(), size_t{0});
    root = build_node(task, params, aggregator, std::span<const Column>(columns),
                      std::span<const typename K::Target>(targets), std::move(samples), 0, weights);
  }
  restore_weighted_counts(*root, exponent.value());
  std::vector<ExportedNode> out;
  walk_export(*root, out);
  return out;
}

// Every field of every node bit for bit, b's weighted counts 2^k times a's.
void expect_same_tree(const std::vector<ExportedNode>& a, const std::vector<ExportedNode>& b,
                      int k) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    SCOPED_TRACE(i);
    const ExportedNode &p = a[i], &q = b[i];
    EXPECT_EQ(p.is_leaf, q.is_leaf);
    EXPECT_EQ(p.feature, q.feature);
    EXPECT_EQ(bits(p.lower), bits(q.lower));
    EXPECT_EQ(bits(p.upper), bits(q.upper));
    EXPECT_EQ(p.category, q.category);
    EXPECT_EQ(p.n_samples, q.n_samples);
    EXPECT_EQ(bits(p.value), bits(q.value));
    EXPECT_EQ(p.proba, q.proba);
    EXPECT_EQ(bits(p.stats.impurity), bits(q.stats.impurity));
    EXPECT_EQ(bits(std::ldexp(p.stats.weighted_n_samples, k)), bits(q.stats.weighted_n_samples));
    EXPECT_EQ(bits(p.stats.split_score), bits(q.stats.split_score));
    EXPECT_EQ(p.stats.fold_scores, q.stats.fold_scores);
  }
}

class ScaledTree : public testing::TestWithParam<ScaleCase> {
 protected:
  template <class K>
  void check(const K& task, const std::vector<typename K::Target>& targets, const Table& table) {
    Params params;
    params.mode = GetParam().mode;
    params.validation = Validation::Prune;
    params.n_bins = 8;
    params.kfold.k = 4;
    params.min_samples_leaf = 3;
    params.min_weight_fraction_leaf = 0.01;
    const std::vector<ExportedNode> reference = grow_scaled(task, params, table, targets, table.w);
    ASSERT_GT(reference.size(), 1u);
    // At 2^520 the spread of the folds' gains, a square of weighted sums, would overflow.
    for (int k : {-600, -1, 1, 520, 900}) {
      SCOPED_TRACE(k);
      expect_same_tree(
          reference, grow_scaled(task, params, table, targets, times_power_of_two(table.w, k)), k);
    }
  }
};

TEST_P(ScaledTree, WeightsScaledByAPowerOfTwoChangeOnlyTheWeightedCounts) {
  const Table table = random_table(500, 5);
  switch (GetParam().kind) {
    case TaskKind::Mse:
      return check(Regression{std::make_unique<Mse>()}, table.y, table);
    case TaskKind::Gini:
      return check(Classification{std::make_unique<Gini>(3), 3, false}, table.labels, table);
    case TaskKind::F1:
      return check(ObjectiveClassification(std::make_unique<F1>(Average::Macro, 0), 3),
                   table.labels, table);
  }
}

std::string scale_case_name(const testing::TestParamInfo<ScaleCase>& info) {
  const char* kinds[] = {"Mse", "Gini", "F1"};
  return std::string(info.param.mode == SplitMode::Strict ? "Strict" : "Fast") +
         kinds[static_cast<int>(info.param.kind)];
}

INSTANTIATE_TEST_SUITE_P(Cases, ScaledTree,
                         testing::Values(ScaleCase{SplitMode::Strict, TaskKind::Mse},
                                         ScaleCase{SplitMode::Strict, TaskKind::Gini},
                                         ScaleCase{SplitMode::Strict, TaskKind::F1},
                                         ScaleCase{SplitMode::Fast, TaskKind::Mse},
                                         ScaleCase{SplitMode::Fast, TaskKind::Gini},
                                         ScaleCase{SplitMode::Fast, TaskKind::F1}),
                         scale_case_name);

}  // namespace
}  // namespace zelk
