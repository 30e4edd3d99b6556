// Sample weights: the weighted scorers against naive weighted recomputations on random data,
// whole trees of both modes, every task kind and both validations against the unweighted
// ones (weights of 1), themselves (weights doubled, or scaled by far larger powers of two as
// the estimators scale them) and targets that weigh nothing, and the scaling itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/binning.hpp"
#include "core/candidate/states.hpp"
#include "core/encoder.hpp"
#include "core/histogram/classification.hpp"
#include "core/histogram/held_out.hpp"
#include "core/histogram/objective.hpp"
#include "core/histogram/regression.hpp"
#include "core/tree/decision_tree.hpp"
#include "core/tree/fast/growth.hpp"
#include "core/tree/fit.hpp"
#include "core/tree/rules.hpp"
#include "core/tree/strict/growth.hpp"
#include "core/tree/strict/scoring.hpp"
#include "core/weights.hpp"

namespace zelk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

uint64_t bits(double x) {
  return std::bit_cast<uint64_t>(x);
}

// Agreement of a scorer's result with a recomputation that sums in another order.
void expect_close(double got, double want) {
  EXPECT_NEAR(got, want, 1e-9 * (1.0 + std::fabs(want)));
}

// Random weights: a fifth zero, the rest spread over four orders of magnitude.
std::vector<double> random_weights(size_t n, std::mt19937_64& rng) {
  std::vector<double> w(n);
  std::uniform_real_distribution<double> exponent(-2.0, 2.0);
  for (double& x : w)
    x = rng() % 5 == 0 ? 0.0 : std::pow(10.0, exponent(rng));
  return w;
}

// ---- whole trees -----------------------------------------------------------------------

// Three continuous columns (with missing values) and a categorical one, row-major.
struct Table {
  size_t n = 0;
  std::vector<double> x;  // n x 4
  std::vector<double> y;
  std::vector<size_t> labels;

  MatrixView view() const {
    return MatrixView{reinterpret_cast<const char*>(x.data()), n, 4, 4 * sizeof(double),
                      sizeof(double)};
  }
};

Table random_table(size_t n, std::mt19937_64& rng) {
  std::normal_distribution<double> normal(0.0, 1.0);
  Table t;
  t.n = n;
  for (size_t i = 0; i < n; ++i) {
    double row[4];
    for (size_t f = 0; f < 3; ++f)
      row[f] = rng() % 19 == 0 ? kNaN : normal(rng);
    row[3] = static_cast<double>(rng() % 5);
    t.x.insert(t.x.end(), row, row + 4);
    const double x0 = std::isnan(row[0]) ? 0.0 : row[0];
    const double signal = 2.0 * x0 + (row[3] == 2.0 ? 1.5 : 0.0) + (row[1] > 0.5 ? 1.0 : 0.0);
    t.y.push_back(signal + normal(rng));
    t.labels.push_back(signal + normal(rng) < -0.5 ? 0 : signal < 1.0 ? 1 : 2);
  }
  return t;
}

enum class TaskKind { Mse, Mae, Gini, Entropy, F1 };

struct TreeCase {
  SplitMode mode;
  Validation validation;
  TaskKind kind;
};

std::string case_name(const testing::TestParamInfo<TreeCase>& info) {
  const char* kinds[] = {"Mse", "Mae", "Gini", "Entropy", "F1"};
  return std::string(info.param.mode == SplitMode::Strict ? "Strict" : "Fast") +
         (info.param.validation == Validation::Prune ? "Prune" : "Candidates") +
         kinds[static_cast<int>(info.param.kind)];
}

// Grows the tree of `table` in the case's mode with `weights` (empty: unweighted) and
// returns it flattened.
template <class K>
std::vector<ExportedNode> grow_flat(const K& task, const Params& params, const Table& table,
                                    const std::vector<typename K::Target>& targets,
                                    const std::vector<double>& weights, int exponent = 0) {
  const Mean aggregator;
  const std::vector<size_t> categorical{3};
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
  restore_weighted_counts(*root, exponent);
  std::vector<ExportedNode> out;
  walk_export(*root, out);
  return out;
}

// Every field of every node bit for bit; `weight_scale` relates b's weighted counts to a's.
void expect_same_tree(const std::vector<ExportedNode>& a, const std::vector<ExportedNode>& b,
                      double weight_scale = 1.0) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    SCOPED_TRACE(i);
    const ExportedNode &p = a[i], &q = b[i];
    EXPECT_EQ(p.is_leaf, q.is_leaf);
    EXPECT_EQ(p.feature, q.feature);
    EXPECT_EQ(bits(p.lower), bits(q.lower));
    EXPECT_EQ(bits(p.upper), bits(q.upper));
    EXPECT_EQ(p.category, q.category);
    EXPECT_EQ(p.categories, q.categories);
    EXPECT_EQ(p.n_samples, q.n_samples);
    EXPECT_EQ(bits(p.value), bits(q.value));
    EXPECT_EQ(p.predicted_class, q.predicted_class);
    ASSERT_EQ(p.proba.size(), q.proba.size());
    for (size_t k = 0; k < p.proba.size(); ++k)
      EXPECT_EQ(bits(p.proba[k]), bits(q.proba[k]));
    EXPECT_EQ(bits(p.stats.impurity), bits(q.stats.impurity));
    EXPECT_EQ(bits(p.stats.weighted_n_samples * weight_scale), bits(q.stats.weighted_n_samples));
    EXPECT_EQ(bits(p.stats.split_score), bits(q.stats.split_score));
    ASSERT_EQ(p.stats.fold_scores.size(), q.stats.fold_scores.size());
    for (size_t k = 0; k < p.stats.fold_scores.size(); ++k)
      EXPECT_EQ(bits(p.stats.fold_scores[k]), bits(q.stats.fold_scores[k]));
  }
}

class WeightedTree : public testing::TestWithParam<TreeCase> {
 protected:
  template <class K>
  void check(const K& task, const std::vector<typename K::Target>& targets, const Table& table,
             std::mt19937_64& rng) {
    for (bool subsets : {false, true}) {
      SCOPED_TRACE(subsets ? "category subsets" : "one category against the rest");
      check(task, targets, table, rng, subsets);
    }
  }

  template <class K>
  void check(const K& task, const std::vector<typename K::Target>& targets, const Table& table,
             std::mt19937_64& rng, bool subsets) {
    Params params;
    params.category_subsets = subsets;
    params.mode = GetParam().mode;
    params.validation = GetParam().validation;
    params.n_bins = 8;
    params.kfold.k = 4;
    params.kfold.seed = 11;
    params.min_samples_leaf = 3;
    const std::vector<double> none;
    const std::vector<ExportedNode> plain = grow_flat(task, params, table, targets, none);
    ASSERT_GT(plain.size(), 1u);
    {
      SCOPED_TRACE("weights of 1 grow the unweighted tree");
      expect_same_tree(plain,
                       grow_flat(task, params, table, targets, std::vector<double>(table.n, 1.0)));
    }
    const std::vector<double> weights = random_weights(table.n, rng);
    const std::vector<ExportedNode> weighted = grow_flat(task, params, table, targets, weights);
    ASSERT_GT(weighted.size(), 1u);
    EXPECT_EQ(weighted[0].n_samples, table.n);
    {
      SCOPED_TRACE("doubling every weight doubles the weighted counts and nothing else");
      std::vector<double> doubled(weights);
      for (double& w : doubled)
        w *= 2.0;
      expect_same_tree(weighted, grow_flat(task, params, table, targets, doubled), 2.0);
    }
    for (int k : {-600, 520, 900}) {
      // As the estimators grow them: scaled first, the weighted counts restored afterwards.
      // Unscaled, the squares of weighted sums overflow from 2^512.
      SCOPED_TRACE("every weight times 2^" + std::to_string(k));
      std::vector<double> scaled(weights);
      for (double& w : scaled)
        w = std::ldexp(w, k);
      const Expected<int> exponent = scale_weights(scaled);
      ASSERT_TRUE(exponent.ok());
      expect_same_tree(weighted, grow_flat(task, params, table, targets, scaled, exponent.value()),
                       std::ldexp(1.0, k));
    }
    {
      SCOPED_TRACE("the targets of rows of zero weight play no part");
      std::vector<typename K::Target> changed(targets);
      for (size_t i = 0; i < table.n; ++i) {
        if (weights[i] == 0.0) changed[i] = targets[(i * 7 + 3) % table.n];
      }
      expect_same_tree(weighted, grow_flat(task, params, table, changed, weights));
    }
    {
      SCOPED_TRACE("two threads grow the serial tree");
      Params parallel = params;
      parallel.parallel = true;
      parallel.n_threads = 2;
      parallel.parallel_min_samples = 16;
      expect_same_tree(weighted, grow_flat(task, parallel, table, targets, weights));
    }
  }
};

TEST_P(WeightedTree, MatchesTheUnweightedTreeAndIsScaleInvariant) {
  std::mt19937_64 rng(41);
  const Table table = random_table(700, rng);
  switch (GetParam().kind) {
    case TaskKind::Mse:
      return check(Regression{std::make_unique<Mse>()}, table.y, table, rng);
    case TaskKind::Mae:
      return check(Regression{std::make_unique<Mae>()}, table.y, table, rng);
    case TaskKind::Gini:
      return check(Classification{std::make_unique<Gini>(3), 3}, table.labels, table, rng);
    case TaskKind::Entropy:
      return check(Classification{std::make_unique<Entropy>(3), 3}, table.labels, table, rng);
    case TaskKind::F1:
      return check(ObjectiveClassification(std::make_unique<F1>(Average::Macro, 0), 3),
                   table.labels, table, rng);
  }
}

std::vector<TreeCase> tree_cases() {
  std::vector<TreeCase> cases;
  for (SplitMode mode : {SplitMode::Strict, SplitMode::Fast}) {
    for (Validation validation : {Validation::Candidates, Validation::Prune}) {
      for (TaskKind kind :
           {TaskKind::Mse, TaskKind::Mae, TaskKind::Gini, TaskKind::Entropy, TaskKind::F1}) {
        if (mode == SplitMode::Fast && kind == TaskKind::Mae) continue;  // strict only
        cases.push_back({mode, validation, kind});
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, WeightedTree, testing::ValuesIn(tree_cases()), case_name);

// Unweighted class counts of a categorical feature are tallied by category and taken apart by
// difference; weights of 1 tally them row by row. Two and three classes, a categorical column
// with missing values (cuts from both ends of an order) and more categories than bins.
TEST(WeightedTree, CategoryCountsByDifferenceMatchTheRowByRowTally) {
  std::mt19937_64 rng(43);
  Table table = random_table(600, rng);
  for (size_t i = 0; i < table.n; ++i) {
    double& c = table.x[i * 4 + 3];
    c = rng() % 11 == 0 ? kNaN : static_cast<double>((static_cast<size_t>(c) * 3 + rng() % 3));
  }
  std::vector<size_t> two(table.labels);
  for (size_t& label : two)
    label = label == 2 ? 1 : 0;
  const std::vector<double> none, ones(table.n, 1.0);
  for (SplitMode mode : {SplitMode::Strict, SplitMode::Fast}) {
    for (Validation validation : {Validation::Prune, Validation::Tree}) {
      for (bool subsets : {false, true}) {
        for (size_t k : {2, 3}) {
          SCOPED_TRACE(testing::Message() << (mode == SplitMode::Fast ? "fast" : "strict")
                                          << " validation " << static_cast<int>(validation)
                                          << (subsets ? " subsets " : " one-vs-rest ") << k);
          Params params;
          params.mode = mode;
          params.validation = validation;
          params.category_subsets = subsets;
          params.n_bins = 8;
          params.kfold.k = 4;
          params.min_samples_leaf = 3;
          const Classification task{std::make_unique<Entropy>(k), k};
          const std::vector<size_t>& labels = k == 2 ? two : table.labels;
          const std::vector<ExportedNode> plain = grow_flat(task, params, table, labels, none);
          ASSERT_TRUE(std::any_of(plain.begin(), plain.end(),
                                  [](const ExportedNode& n) { return n.feature == 3; }));
          expect_same_tree(plain, grow_flat(task, params, table, labels, ones));
        }
      }
    }
  }
}

// ---- the scaling of the weights --------------------------------------------------------

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

TEST(WeightedBinning, EdgesComeFromTheRowsOfPositiveWeightEachCountedOnce) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 10; ++round) {
    const Table table = random_table(300 + rng() % 300, rng);
    const std::vector<double> weights = random_weights(table.n, rng);
    Table positive;
    for (size_t i = 0; i < table.n; ++i) {
      if (weights[i] == 0.0) continue;
      positive.x.insert(positive.x.end(), table.x.begin() + 4 * i, table.x.begin() + 4 * i + 4);
      ++positive.n;
    }
    const std::vector<size_t> categorical{3};
    const size_t n_bins = 2 + rng() % 30;
    auto weighted = BinnedData::fit(table.view(), categorical, n_bins, 1 + round % 2, weights);
    auto plain = BinnedData::fit(positive.view(), categorical, n_bins, 1);
    ASSERT_TRUE(weighted.ok() && plain.ok());
    for (size_t f = 0; f < 3; ++f) {
      const FeatureBins& bins = weighted.value().bins[f];
      EXPECT_EQ(bins.edges, plain.value().bins[f].edges);
      // Every row is coded against those edges, its weight whatever it is.
      for (size_t i = 0; i < table.n; ++i) {
        const double v = table.x[4 * i + f];
        const uint16_t want =
            std::isfinite(v) ? static_cast<uint16_t>(bin_code(bins.edges, v)) : kMissingBin;
        ASSERT_EQ(weighted.value().codes[f][i], want);
      }
    }
  }
}

// ---- naive weighted statistics of lists of rows ----------------------------------------

// Rows' targets, labels (below n_classes, or one at it counted in no class) and weights.
struct Rows {
  std::vector<double> y;
  std::vector<size_t> labels;
  std::vector<double> w;
  size_t n_classes = 3;

  double total(const std::vector<size_t>& s) const {
    double t = 0.0;
    for (size_t i : s)
      t += w[i];
    return t;
  }
  double mean(const std::vector<size_t>& s) const {
    double t = 0.0;
    for (size_t i : s)
      t += w[i] * y[i];
    return t / total(s);
  }
  double variance(const std::vector<size_t>& s) const {
    const double m = mean(s);
    double t = 0.0;
    for (size_t i : s)
      t += w[i] * (y[i] - m) * (y[i] - m);
    return t / total(s);
  }
  // The smallest value whose running weight reaches half, or the midpoint of it and the next
  // when it reaches exactly half.
  double median(std::vector<size_t> s) const {
    std::sort(s.begin(), s.end(), [&](size_t a, size_t b) { return y[a] < y[b]; });
    double running = 0.0;
    for (size_t k = 0; k < s.size(); ++k) {
      running += w[s[k]];
      if (running < total(s) / 2) continue;
      return running == total(s) / 2 && k + 1 < s.size() ? (y[s[k]] + y[s[k + 1]]) / 2 : y[s[k]];
    }
    return 0.0;
  }
  double mae(const std::vector<size_t>& s) const {
    const double m = median(s);
    double t = 0.0;
    for (size_t i : s)
      t += w[i] * std::fabs(y[i] - m);
    return t / total(s);
  }
  std::vector<double> classes(const std::vector<size_t>& s) const {
    std::vector<double> c(n_classes, 0.0);
    for (size_t i : s)
      if (labels[i] < n_classes) c[labels[i]] += w[i];
    return c;
  }
  // Gini or entropy over every label's weight.
  double class_impurity(const std::vector<size_t>& s, bool entropy) const {
    double acc = 0.0;
    for (double c : classes(s)) {
      const double p = c / total(s);
      acc += entropy ? (p > 0.0 ? -p * std::log2(p) : 0.0) : p * p;
    }
    return entropy ? acc : 1.0 - acc;
  }
};

// The weighted impurity decrease of splitting `all` into `left` and `right`.
template <class Impurity>
double decrease(const Rows& d, const std::vector<size_t>& left, const std::vector<size_t>& right,
                Impurity&& impurity) {
  std::vector<size_t> all(left);
  all.insert(all.end(), right.begin(), right.end());
  return impurity(all) -
         (d.total(left) * impurity(left) + d.total(right) * impurity(right)) / d.total(all);
}

size_t argmax(const std::vector<double>& c) {
  return static_cast<size_t>(std::max_element(c.begin(), c.end()) - c.begin());
}

// Accuracy (f1 = false) or macro F1 of groups of validation class weights, each predicted as
// the majority of its training class weights.
double metric(const Rows& d, bool f1,
              const std::vector<std::pair<std::vector<size_t>, std::vector<size_t>>>& groups) {
  const size_t k = d.n_classes;
  std::vector<double> tp(k, 0.0), fp(k, 0.0), fn(k, 0.0);
  double total = 0.0;
  for (const auto& [train, val] : groups) {
    const size_t predicted = argmax(d.classes(train));
    const std::vector<double> counts = d.classes(val);
    for (size_t c = 0; c < k; ++c) {
      total += counts[c];
      (c == predicted ? tp[c] : fn[c]) += counts[c];
      if (c != predicted) fp[predicted] += counts[c];
    }
  }
  if (!f1) return std::accumulate(tp.begin(), tp.end(), 0.0) / total;
  double sum = 0.0;
  for (size_t c = 0; c < k; ++c)
    sum += 2 * tp[c] + fp[c] + fn[c] > 0.0 ? 2 * tp[c] / (2 * tp[c] + fp[c] + fn[c]) : 0.0;
  return sum / static_cast<double>(k);
}

// The objective's gain when each side predicts its training majority, over the whole.
double objective_gain(const Rows& d, bool f1, const std::vector<size_t> (&train)[2],
                      const std::vector<size_t> (&val)[2]) {
  std::vector<size_t> train_all(train[0]), val_all(val[0]);
  train_all.insert(train_all.end(), train[1].begin(), train[1].end());
  val_all.insert(val_all.end(), val[1].begin(), val[1].end());
  return metric(d, f1, {{train[0], val[0]}, {train[1], val[1]}}) -
         metric(d, f1, {{train_all, val_all}});
}

// Rows of a class below n_classes: the only ones the objectives count.
std::vector<size_t> labelled(const Rows& d, std::vector<size_t> s) {
  std::erase_if(s, [&](size_t i) { return d.labels[i] >= d.n_classes; });
  return s;
}

// ---- strict and fast scorers against the naive statistics -------------------------------

TEST(WeightedScoring, StrictScorersMatchANaiveWeightedRecomputation) {
  std::mt19937_64 rng(17);
  const Mean mean;
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    const Table t = random_table(80 + rng() % 300, rng);
    const std::vector<Column> columns = build_columns(t.view(), std::vector<size_t>{3});
    Rows d{t.y, t.labels, random_weights(t.n, rng)};
    for (size_t& label : d.labels)
      if (rng() % 29 == 0) label = 3;  // out of range
    // A weighted node holds its samples of positive weight only.
    std::vector<size_t> samples;
    for (size_t i = 0; i < t.n; ++i)
      if (d.w[i] > 0.0) samples.push_back(i);
    Params params;
    params.validation = Validation::Candidates;
    params.category_subsets = false;
    params.n_bins = 2 + rng() % 10;
    params.kfold.k = 2 + rng() % 4;
    params.split_style = round % 2 == 0 ? SplitStyle::Threshold : SplitStyle::Bin;
    FoldIndex index;
    const std::vector<Fold> folds = params.kfold.folds(samples, index);
    const StrictNode<double> reg{params, columns, d.y, samples, folds, mean, &index, d.w};
    const StrictNode<size_t> cls{params, columns, d.labels, samples, folds, mean, &index, d.w};
    for (size_t f = 0; f < columns.size(); ++f) {
      SCOPED_TRACE(f);
      const Column& column = columns[f];
      const bool threshold = threshold_mode(params, column);
      const std::vector<uint32_t> states = present_states(column, samples, params.n_bins);
      const std::vector<std::vector<ScoredCandidate>> got = {
          Regression{std::make_unique<Mse>()}.score_feature(reg, f),
          Regression{std::make_unique<Mae>()}.score_feature(reg, f),
          Classification{std::make_unique<Gini>(3), 3}.score_feature(cls, f),
          Classification{std::make_unique<Entropy>(3), 3}.score_feature(cls, f),
          ObjectiveClassification(std::make_unique<Accuracy>(), 3).score_feature(cls, f),
          ObjectiveClassification(std::make_unique<F1>(Average::Macro, 0), 3)
              .score_feature(cls, f)};
      for (size_t i = 0; i < states.size(); ++i) {
        std::vector<std::vector<double>> want(got.size());
        for (const Fold& fold : folds) {
          // Both parts coded against the edges of the training part's values.
          std::vector<double> values;
          for (size_t s : fold.train)
            values.push_back(column.is_categorical() ? 0.0 : column.values()[s]);
          const std::vector<double> edges = quantile_edges(values, params.n_bins);
          const auto side = [&](size_t s) {
            const double v = column.is_categorical() ? 0.0 : column.values()[s];
            const uint32_t code = column.is_categorical() ? column.codes()[s]
                                  : std::isfinite(v)      ? bin_code(edges, v)
                                                          : kMissingCode;
            return goes_left(code, states[i], threshold) ? 0 : 1;
          };
          std::vector<size_t> val[2], train[2];
          for (size_t s : fold.validation)
            val[side(s)].push_back(s);
          for (size_t s : fold.train)
            train[side(s)].push_back(s);
          if (!val[0].empty() && !val[1].empty()) {
            using L = const std::vector<size_t>&;
            want[0].push_back(decrease(d, val[0], val[1], [&](L s) { return d.variance(s); }));
            want[1].push_back(decrease(d, val[0], val[1], [&](L s) { return d.mae(s); }));
            for (bool entropy : {false, true}) {
              want[2 + entropy].push_back(
                  decrease(d, val[0], val[1], [&](L s) { return d.class_impurity(s, entropy); }));
            }
          }
          const std::vector<size_t> lt[2] = {labelled(d, train[0]), labelled(d, train[1])};
          const std::vector<size_t> lv[2] = {labelled(d, val[0]), labelled(d, val[1])};
          if (lt[0].empty() || lt[1].empty() || lv[0].empty() || lv[1].empty()) continue;
          want[4].push_back(objective_gain(d, false, lt, lv));
          want[5].push_back(objective_gain(d, true, lt, lv));
        }
        for (size_t g = 0; g < got.size(); ++g) {
          SCOPED_TRACE(g);
          ASSERT_EQ(got[g].size(), states.size());
          ASSERT_EQ(got[g][i].stats.scores.size(), want[g].size());
          for (size_t k = 0; k < want[g].size(); ++k)
            expect_close(got[g][i].stats.scores[k], want[g][k]);
        }
      }
    }
  }
}

// A fast node's entries of positive weight, dealt into folds, as the fast driver keeps them.
struct FastRows {
  Rows d;
  std::vector<uint16_t> codes;  // by row
  std::vector<uint32_t> rows;   // the dealt entries, then the same in dealt order:
  std::vector<uint8_t> fold;
  std::vector<double> y, w, fold_sums, fold_sq_sums, fold_weights;
  std::vector<uint32_t> label;
  size_t n_folds = 0, n_bins = 0;

  RowsView view() const {
    RowsView v;
    v.rows = rows;
    v.fold = fold;
    v.n_folds = n_folds;
    v.y = y;
    v.fold_sums = fold_sums;
    v.fold_sq_sums = fold_sq_sums;
    v.label = label;
    v.n_classes = d.n_classes;
    v.w = w;
    v.fold_weights = fold_weights;
    return v;
  }
  // Fold m's entries (or the other folds') with a code below n_bins, by side of bin k.
  void sides(size_t m, bool in_fold, uint32_t k, bool threshold, std::vector<size_t> (&out)[2],
             bool with_missing = false) const {
    for (size_t j = 0; j < rows.size(); ++j) {
      const uint16_t b = codes[rows[j]];
      if ((fold[j] == m) != in_fold || (b >= n_bins && !with_missing)) continue;
      out[b < n_bins && (threshold ? b <= k : b == k) ? 0 : 1].push_back(rows[j]);
    }
  }
};

FastRows fast_rows(std::mt19937_64& rng) {
  FastRows r;
  const size_t n = 60 + rng() % 300;
  r.n_bins = 2 + rng() % 8;
  r.n_folds = 2 + rng() % 4;
  r.d.n_classes = 2 + rng() % 2;
  std::normal_distribution<double> normal(0.0, 1.0);
  r.d.w = random_weights(n, rng);
  for (size_t i = 0; i < n; ++i) {
    r.codes.push_back(rng() % 13 == 0 ? kMissingBin : static_cast<uint16_t>(rng() % r.n_bins));
    r.d.y.push_back(normal(rng) + 0.3 * r.codes.back());
    r.d.labels.push_back((rng() % 3 == 0 ? rng() : r.codes.back()) % r.d.n_classes);
  }
  r.fold_sums.assign(r.n_folds, 0.0);
  r.fold_sq_sums.assign(r.n_folds, 0.0);
  r.fold_weights.assign(r.n_folds, 0.0);
  for (uint32_t i = 0; i < n; ++i) {
    if (r.d.w[i] == 0.0) continue;
    const auto m = static_cast<uint8_t>(rng() % r.n_folds);
    r.rows.push_back(i);
    r.fold.push_back(m);
    r.y.push_back(r.d.y[i]);
    r.label.push_back(static_cast<uint32_t>(r.d.labels[i]));
    r.w.push_back(r.d.w[i]);
    r.fold_sums[m] += r.d.w[i] * r.d.y[i];
    r.fold_sq_sums[m] += r.d.w[i] * r.d.y[i] * r.d.y[i];
    r.fold_weights[m] += r.d.w[i];
  }
  return r;
}

// The winner's fold scores are its naive ones (each fold's decrease on its own entries), and
// no candidate's naive mean beats its score.
template <class Impurity>
void expect_naive_winner(const FastRows& r, bool threshold, const BestSplit& best,
                         Impurity&& impurity) {
  double top = -std::numeric_limits<double>::infinity();
  std::vector<std::vector<double>> naive(r.n_bins);
  for (uint32_t k = 0; k < r.n_bins; ++k) {
    for (size_t m = 0; m < r.n_folds; ++m) {
      std::vector<size_t> side[2];
      r.sides(m, true, k, threshold, side);
      if (!side[0].empty() && !side[1].empty())
        naive[k].push_back(decrease(r.d, side[0], side[1], impurity));
    }
    if (naive[k].empty()) continue;
    top = std::max(top, std::accumulate(naive[k].begin(), naive[k].end(), 0.0) /
                            static_cast<double>(naive[k].size()));
  }
  ASSERT_EQ(best.found, std::isfinite(top));
  if (!best.found) return;
  ASSERT_EQ(best.fold_scores.size(), naive[best.state].size());
  for (size_t m = 0; m < best.fold_scores.size(); ++m)
    expect_close(best.fold_scores[m], naive[best.state][m]);
  expect_close(best.score, top);
}

TEST(WeightedScoring, FastScorersMatchANaiveWeightedRecomputation) {
  std::mt19937_64 rng(23);
  const Mean mean;
  using L = const std::vector<size_t>&;
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const FastRows r = fast_rows(rng);
    const bool threshold = round % 2 == 0;
    FastScratch scratch;
    BestSplit regression;
    best_regression_fast(r.view(), r.codes, r.n_bins, 0, mean, {}, scratch, threshold, false,
                         regression);
    expect_naive_winner(r, threshold, regression, [&](L s) { return r.d.variance(s); });
    for (bool entropy : {false, true}) {
      BestSplit best;
      best_classification_fast(r.view(), entropy ? CriterionKind::Entropy : CriterionKind::Gini,
                               r.codes, r.n_bins, 0, mean, {}, scratch, threshold, false, best);
      expect_naive_winner(r, threshold, best, [&](L s) { return r.d.class_impurity(s, entropy); });
    }
    const Accuracy accuracy;
    for (const ScoredCandidate& c :
         score_objective_fast(accuracy, r.d.n_classes, r.codes, r.d.labels, r.view(), r.n_bins, 0,
                              mean, threshold)) {
      std::vector<double> want;
      for (size_t m = 0; m < r.n_folds; ++m) {
        std::vector<size_t> train[2], val[2];
        r.sides(m, false, c.state, threshold, train);
        r.sides(m, true, c.state, threshold, val);
        if (train[0].empty() || train[1].empty() || val[0].empty() || val[1].empty()) continue;
        want.push_back(objective_gain(r.d, false, train, val));
      }
      ASSERT_EQ(c.stats.scores.size(), want.size());
      for (size_t m = 0; m < want.size(); ++m)
        expect_close(c.stats.scores[m], want[m]);
    }
  }
}

// Each fold's pick (the training part's largest in-sample decrease) and its held-out gain:
// the weighted loss of the training part's predictions on the validation part, before the
// split less after (squared error, or the Brier score of class frequencies smoothed by the
// pseudo count).
TEST(WeightedHeldOut, FastEvidenceMatchesANaiveWeightedRecomputation) {
  std::mt19937_64 rng(29);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const FastRows r = fast_rows(rng);
    const Rows& d = r.d;
    const bool threshold = round % 2 == 0;
    const bool classify = round % 4 >= 2;
    HeldOutTask task{classify ? CriterionKind::Entropy : CriterionKind::SquaredError,
                     classify ? d.n_classes : 0, nullptr};
    Admissibility floors;
    floors.min_rows = 2.0;
    floors.positive_weight = true;
    const NodeAdmission admission{&floors, {}};
    task.weighted = true;
    task.pseudo_count = 0.25 + 0.5 * static_cast<double>(rng() % 4);
    FastScratch scratch;
    HeldOutEvidence evidence(r.n_folds);
    if (classify) {
      score_held_out_fast<size_t>(task, r.view(), d.labels, r.codes, r.n_bins, threshold, false, 0,
                                  admission, scratch, evidence);
    } else {
      score_held_out_fast<double>(task, r.view(), d.y, r.codes, r.n_bins, threshold, false, 0,
                                  admission, scratch, evidence);
    }
    const auto loss = [&](const std::vector<size_t>& fit, const std::vector<size_t>& on) {
      double total = 0.0;
      const std::vector<double> c = d.classes(fit);
      const double smoothed = d.total(fit) + task.pseudo_count * static_cast<double>(d.n_classes);
      for (size_t i : on) {
        double l = classify ? 0.0 : (d.y[i] - d.mean(fit)) * (d.y[i] - d.mean(fit));
        for (size_t k = 0; classify && k < d.n_classes; ++k) {
          const double p = (c[k] + task.pseudo_count) / smoothed;
          l += (p - (d.labels[i] == k ? 1.0 : 0.0)) * (p - (d.labels[i] == k ? 1.0 : 0.0));
        }
        total += d.w[i] * l;
      }
      return total;
    };
    const auto impurity = [&](const std::vector<size_t>& s) {
      return d.total(s) * (classify ? d.class_impurity(s, true) : d.variance(s));
    };
    for (size_t m = 0; m < r.n_folds; ++m) {
      SCOPED_TRACE(m);
      std::vector<size_t> everything[2];
      r.sides(m, true, 0, true, everything, true);
      std::vector<size_t> val(everything[0]);
      val.insert(val.end(), everything[1].begin(), everything[1].end());
      expect_close(evidence.validation_size[m], d.total(val));
      bool found = false;
      FoldPick want;
      for (uint32_t k = 0; k + (threshold ? 1 : 0) < r.n_bins; ++k) {
        std::vector<size_t> t[2], v[2];
        r.sides(m, false, k, threshold, t, true);
        r.sides(m, true, k, threshold, v, true);
        if (t[0].size() < 2 || t[1].size() < 2) continue;
        std::vector<size_t> all(t[0]);
        all.insert(all.end(), t[1].begin(), t[1].end());
        const double gain = impurity(all) - impurity(t[0]) - impurity(t[1]);
        if (found && !(gain > want.pick_gain + 1e-9 * (1.0 + std::fabs(want.pick_gain)))) continue;
        found = true;
        want.state = k;
        want.pick_gain = gain;
        want.held_out_gain =
            loss(all, v[0]) + loss(all, v[1]) - loss(t[0], v[0]) - loss(t[1], v[1]);
      }
      ASSERT_EQ(evidence.folds[m].found, found);
      if (!found) continue;
      EXPECT_EQ(evidence.folds[m].state, want.state);
      expect_close(evidence.folds[m].pick_gain, want.pick_gain);
      expect_close(evidence.folds[m].held_out_gain, want.held_out_gain);
    }
  }
}

// Whole class counts around 2^16, where the entropy's c log2 c stops being looked up: the
// node's choice and each fold's pick gain what the direct computation gives.
TEST(HeldOutEntropy, CountsAroundTheLookupEdgeGainWhatTheDirectComputationGives) {
  for (size_t a : {65534, 65535, 65536, 65537, 131073}) {
    SCOPED_TRACE(a);
    FastRows r;
    r.n_bins = 2;
    r.n_folds = 2;
    r.d.n_classes = 2;
    // Bin 0: a of class 0 and 7 of class 1; bin 1: one of class 0 and 500 of class 1.
    const auto add = [&](uint16_t bin, size_t label, size_t count) {
      for (size_t i = 0; i < count; ++i) {
        r.codes.push_back(bin);
        r.d.labels.push_back(label);
        r.d.y.push_back(0.0);
        r.d.w.push_back(1.0);
      }
    };
    add(0, 0, a);
    add(0, 1, 7);
    add(1, 0, 1);
    add(1, 1, 500);
    for (uint32_t i = 0; i < r.codes.size(); ++i) {
      r.rows.push_back(i);
      r.fold.push_back(static_cast<uint8_t>(i % 2));
      r.label.push_back(static_cast<uint32_t>(r.d.labels[i]));
    }
    HeldOutTask task{CriterionKind::Entropy, 2, nullptr};
    task.pseudo_count = 1.0;
    FastScratch scratch;
    HeldOutEvidence evidence(r.n_folds);
    score_held_out_fast<size_t>(task, r.view(), r.d.labels, r.codes, r.n_bins, true, false, 0,
                                NodeAdmission{}, scratch, evidence);
    const auto gain = [&](const std::vector<size_t>(&s)[2]) {
      std::vector<size_t> all(s[0]);
      all.insert(all.end(), s[1].begin(), s[1].end());
      const auto impurity = [&](const std::vector<size_t>& x) {
        return r.d.total(x) * r.d.class_impurity(x, true);
      };
      return impurity(all) - impurity(s[0]) - impurity(s[1]);
    };
    std::vector<size_t> node[2], train[2][2];
    for (size_t m = 0; m < 2; ++m) {
      r.sides(m, true, 0, true, node);
      r.sides(m, false, 0, true, train[m]);
    }
    ASSERT_TRUE(evidence.found);
    expect_close(evidence.key, gain(node));
    for (size_t m = 0; m < 2; ++m) {
      ASSERT_TRUE(evidence.folds[m].found);
      expect_close(evidence.folds[m].pick_gain, gain(train[m]));
    }
  }
}

}  // namespace
}  // namespace zelk
