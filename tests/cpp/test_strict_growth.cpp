#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/candidate/states.hpp"
#include "core/encoder.hpp"
#include "core/parallel.hpp"
#include "core/tree/decision_tree.hpp"
#include "core/tree/rules.hpp"
#include "core/tree/strict/growth.hpp"

namespace zelk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Regression mse_task() {
  return Regression{std::make_unique<Mse>()};
}
Classification gini_task(size_t n_classes) {
  return Classification{std::make_unique<Gini>(n_classes), n_classes};
}
ObjectiveClassification accuracy_task(size_t n_classes) {
  return ObjectiveClassification(std::make_unique<Accuracy>(), n_classes);
}

std::vector<size_t> all_samples(size_t n) {
  std::vector<size_t> s(n);
  for (size_t i = 0; i < n; ++i)
    s[i] = i;
  return s;
}

template <class K>
std::unique_ptr<NodeOf<K>> grow(const K& task, const Params& params,
                                const std::vector<Column>& columns,
                                const std::vector<typename K::Target>& targets,
                                const Aggregator& aggregator = Mean()) {
  return build_node(task, params, aggregator, std::span<const Column>(columns),
                    std::span<const typename K::Target>(targets), all_samples(targets.size()), 0);
}

template <class K>
std::vector<ExportedNode> flatten(const NodeOf<K>& root) {
  std::vector<ExportedNode> out;
  DecisionTree<K>::walk_export(root, out);
  return out;
}

uint64_t bits(double x) {
  return std::bit_cast<uint64_t>(x);
}

// Bit-for-bit equality of two grown trees.
void expect_same_tree(const std::vector<ExportedNode>& a, const std::vector<ExportedNode>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(a[i].is_leaf, b[i].is_leaf);
    EXPECT_EQ(a[i].children_left, b[i].children_left);
    EXPECT_EQ(a[i].children_right, b[i].children_right);
    EXPECT_EQ(a[i].feature, b[i].feature);
    EXPECT_EQ(a[i].is_categorical, b[i].is_categorical);
    EXPECT_EQ(bits(a[i].lower), bits(b[i].lower));
    EXPECT_EQ(bits(a[i].upper), bits(b[i].upper));
    EXPECT_EQ(a[i].category, b[i].category);
    EXPECT_EQ(a[i].n_samples, b[i].n_samples);
    EXPECT_EQ(bits(a[i].value), bits(b[i].value));
    EXPECT_EQ(a[i].predicted_class, b[i].predicted_class);
    ASSERT_EQ(a[i].proba.size(), b[i].proba.size());
    for (size_t k = 0; k < a[i].proba.size(); ++k) {
      EXPECT_EQ(bits(a[i].proba[k]), bits(b[i].proba[k]));
    }
  }
}

Params strict_params(size_t folds = 5, size_t n_bins = 8) {
  Params p;
  p.validation = Validation::Candidates;
  p.category_subsets = false;
  p.kfold.k = folds;
  p.kfold.seed = 3;
  p.kfold.shuffle = true;
  p.n_bins = n_bins;
  return p;
}

// Random data: three continuous features (ties, NaN and infinities among them) and one
// categorical feature with missing codes; the targets depend on two of the features.
struct RandomData {
  std::vector<Column> columns;
  std::vector<double> y;
  std::vector<size_t> labels;
};

RandomData random_data(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> a(n), b(n), c(n);
  std::vector<uint32_t> cat(n);
  RandomData d;
  for (size_t i = 0; i < n; ++i) {
    a[i] = normal(rng);
    b[i] = static_cast<double>(rng() % 7);
    c[i] = rng() % 13 == 0 ? kNaN : rng() % 29 == 0 ? -kInf : normal(rng);
    cat[i] = rng() % 11 == 0 ? kMissingCode : static_cast<uint32_t>(rng() % 6);
    const double signal = (a[i] > 0.3 ? 2.0 : 0.0) + (cat[i] == 2 ? 1.5 : 0.0) + 0.3 * b[i];
    d.y.push_back(signal + 0.5 * normal(rng));
    d.labels.push_back(static_cast<size_t>(std::min(2.0, std::max(0.0, std::floor(signal)))));
  }
  d.columns = {Column::continuous(a), Column::continuous(b), Column::continuous(c),
               Column::categorical(cat)};
  return d;
}

// ---- cross-validated scoring ----------------------------------------------------------

// Train values 0, 0, 10, 10 give the single edge 10 (n_bins 2), so the validation values
// 1, 2, 11, 12 are coded 0, 0, 1, 1.
struct HandFold {
  std::vector<Column> columns{Column::continuous({0, 0, 10, 10, 1, 2, 11, 12, kNaN})};
  std::vector<Fold> folds{Fold{{0, 1, 2, 3}, {4, 5, 6, 7}}, Fold{{0, 1, 2, 3, 4, 5, 6, 7}, {}}};
  std::vector<size_t> samples = all_samples(8);
};

TEST(StrictGrowth, ImpurityScoreWorkedExample) {
  const HandFold hand;
  const std::vector<double> y{0, 0, 0, 0, 1, 1, 5, 5};
  Params params = strict_params(2, 2);
  const Mean mean;
  const Regression task = mse_task();
  const StrictNode<double> node{params, hand.columns, y, hand.samples, hand.folds, mean};
  const auto out = task.score_feature(node, 0);
  ASSERT_EQ(out.size(), 2u);
  // State 0 separates 1, 1 from 5, 5: parent 4.0, both sides pure.
  EXPECT_EQ(out[0].feature, 0u);
  EXPECT_EQ(out[0].state, 0u);
  EXPECT_EQ(out[0].stats.scores, std::vector<double>{4.0});
  EXPECT_EQ(out[0].stats.n_folds, 2u);  // the fold without validation samples still counts
  EXPECT_EQ(out[0].score, 4.0);
  // State 1 puts every validation sample left: no fold scores it.
  EXPECT_EQ(out[1].state, 1u);
  EXPECT_TRUE(out[1].stats.scores.empty());
  EXPECT_EQ(out[1].stats.n_folds, 2u);
  EXPECT_EQ(out[1].score, -kInf);

  // Membership mode: state 1 is exactly bin 1, the same partition as threshold state 0.
  params.split_style = SplitStyle::Bin;
  const StrictNode<double> bin_node{params, hand.columns, y, hand.samples, hand.folds, mean};
  const auto bin_out = task.score_feature(bin_node, 0);
  ASSERT_EQ(bin_out.size(), 2u);
  EXPECT_EQ(bin_out[0].stats.scores, std::vector<double>{4.0});
  EXPECT_EQ(bin_out[1].stats.scores, std::vector<double>{4.0});
}

TEST(StrictGrowth, NonFiniteValidationValueIsRightOfEveryStateAndCounts) {
  const HandFold hand;
  const std::vector<double> y{0, 0, 0, 0, 1, 1, 5, 5, 5};
  const std::vector<size_t> samples = all_samples(9);
  const std::vector<Fold> folds{Fold{{0, 1, 2, 3}, {4, 5, 6, 7, 8}}};
  const Params params = strict_params(2, 2);
  const Mean mean;
  const Regression task = mse_task();
  const StrictNode<double> node{params, hand.columns, y, samples, folds, mean};
  const auto out = task.score_feature(node, 0);
  ASSERT_EQ(out.size(), 2u);
  // Parent variance of 1, 1, 5, 5, 5 is 3.84. State 0: {1, 1} | {5, 5, 5}, both pure.
  ASSERT_EQ(out[0].stats.scores.size(), 1u);
  EXPECT_NEAR(out[0].stats.scores[0], 3.84, 1e-12);
  // State 1: {1, 1, 5, 5} (variance 4) | {5 (NaN value)}: 3.84 - 4 * 4 / 5.
  ASSERT_EQ(out[1].stats.scores.size(), 1u);
  EXPECT_NEAR(out[1].stats.scores[0], 0.64, 1e-12);
}

TEST(StrictGrowth, ObjectiveScoreWorkedExample) {
  // Train 0, 0, 10 (labels 0, 0, 1) give edges 0, 10 with n_bins 3; validation 1 (label 0)
  // and 11 (label 1) are coded 1 and 2.
  const std::vector<Column> columns{Column::continuous({0, 0, 10, 1, 11})};
  const std::vector<size_t> labels{0, 0, 1, 0, 1};
  const std::vector<size_t> samples = all_samples(5);
  const std::vector<Fold> folds{Fold{{0, 1, 2}, {3, 4}}, Fold{{}, {0, 1, 2, 3, 4}}};
  const Params params = strict_params(2, 3);
  const Mean mean;
  const ObjectiveClassification task = accuracy_task(2);
  const StrictNode<size_t> node{params, columns, labels, samples, folds, mean};
  const auto out = task.score_feature(node, 0);
  ASSERT_EQ(out.size(), 2u);
  // State 1: training {0, 0} | {1} and validation {0} | {1}; accuracy 1.0 against a
  // majority baseline of 0.5.
  EXPECT_EQ(out[0].state, 1u);
  EXPECT_EQ(out[0].stats.scores, std::vector<double>{0.5});
  EXPECT_EQ(out[0].stats.n_folds, 2u);
  EXPECT_EQ(out[0].score, 0.5);
  // State 2 leaves every training sample on the left: no score, although validation splits.
  EXPECT_EQ(out[1].state, 2u);
  EXPECT_TRUE(out[1].stats.scores.empty());
  EXPECT_EQ(out[1].score, -kInf);
}

TEST(StrictGrowth, ObjectiveGainCanBeNegative) {
  // Training says "left is class 1", validation says the opposite.
  const std::vector<Column> columns{Column::categorical({7, 7, 3, 3, 3, 7, 3})};
  const std::vector<size_t> labels{1, 1, 0, 0, 0, 0, 1};
  const std::vector<Fold> folds{Fold{{0, 1, 2, 3, 4}, {5, 6}}};
  const Params params = strict_params(2, 4);
  const Mean mean;
  const ObjectiveClassification task = accuracy_task(2);
  const std::vector<size_t> samples = all_samples(7);
  const StrictNode<size_t> node{params, columns, labels, samples, folds, mean};
  const auto out = task.score_feature(node, 0);
  ASSERT_EQ(out.size(), 2u);
  // Baseline predicts the training majority 0: validation accuracy 0.5. Splitting predicts
  // 1 for category 7 and 0 for 3, both wrong: 0.0.
  EXPECT_EQ(out[0].state, 3u);
  EXPECT_EQ(out[0].stats.scores, std::vector<double>{-0.5});
  EXPECT_EQ(out[1].state, 7u);
  EXPECT_EQ(out[1].stats.scores, std::vector<double>{-0.5});
}

TEST(StrictGrowth, CandidatesComeInAscendingStateOrderOverEveryFold) {
  const RandomData d = random_data(120, 5);
  const Params params = strict_params(4, 5);
  const Mean mean;
  const Classification task = gini_task(3);
  const auto samples = all_samples(120);
  const std::vector<Fold> folds = params.kfold.folds(samples);
  const StrictNode<size_t> node{params, d.columns, d.labels, samples, folds, mean};
  for (size_t f = 0; f < d.columns.size(); ++f) {
    const auto out = task.score_feature(node, f);
    ASSERT_FALSE(out.empty());
    for (size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(out[i].feature, f);
      EXPECT_EQ(out[i].stats.n_folds, 4u);
      EXPECT_LE(out[i].stats.scores.size(), 4u);
      if (i > 0) {
        EXPECT_LT(out[i - 1].state, out[i].state);
      }
    }
  }
}

// ---- stop rules -------------------------------------------------------------------------

TEST(StrictGrowth, OneSampleIsALeafWhateverTheSettings) {
  const std::vector<Column> columns{Column::continuous({1.0})};
  for (size_t split : {0u, 1u, 2u}) {
    Params p = strict_params();
    p.min_samples_split = split;
    p.min_samples_leaf = 0;
    p.min_impurity_decrease = -kInf;
    const auto reg = grow(mse_task(), p, columns, std::vector<double>{4.5});
    ASSERT_TRUE(reg->is_leaf());
    EXPECT_EQ(reg->n_samples, 1u);
    EXPECT_EQ(reg->value, 4.5);
    const auto cls = grow(gini_task(2), p, columns, std::vector<size_t>{1});
    ASSERT_TRUE(cls->is_leaf());
    EXPECT_EQ(cls->value.predicted_class, 1u);
    EXPECT_EQ(cls->value.proba, (std::vector<double>{0.0, 1.0}));
  }
}

TEST(StrictGrowth, MinSamplesSplitBelowTwoActsAsTwo) {
  const RandomData d = random_data(150, 11);
  Params p = strict_params();
  p.min_samples_split = 2;
  const auto reference = flatten<Regression>(*grow(mse_task(), p, d.columns, d.y));
  EXPECT_GT(reference.size(), 1u);
  for (size_t split : {0u, 1u}) {
    p.min_samples_split = split;
    expect_same_tree(flatten<Regression>(*grow(mse_task(), p, d.columns, d.y)), reference);
  }
  p.min_samples_split = 2;
  p.min_samples_leaf = 0;
  expect_same_tree(flatten<Regression>(*grow(mse_task(), p, d.columns, d.y)), reference);
}

TEST(StrictGrowth, MinSamplesSplitBoundsTheNodeSize) {
  const RandomData d = random_data(60, 2);
  Params p = strict_params();
  p.min_samples_split = 61;
  EXPECT_TRUE(grow(mse_task(), p, d.columns, d.y)->is_leaf());
  p.min_samples_split = 60;
  const auto root = grow(mse_task(), p, d.columns, d.y);
  ASSERT_FALSE(root->is_leaf());
  // Every split node holds at least 60 samples, so both children are leaves.
  EXPECT_TRUE(root->left->is_leaf());
  EXPECT_TRUE(root->right->is_leaf());
}

TEST(StrictGrowth, MaxDepth) {
  const RandomData d = random_data(200, 4);
  Params p = strict_params();
  p.max_depth = 0;
  const auto stump = grow(mse_task(), p, d.columns, d.y);
  ASSERT_TRUE(stump->is_leaf());
  EXPECT_EQ(stump->n_samples, 200u);
  EXPECT_EQ(stump->value, regression_leaf(d.y));

  p.max_depth = 1;
  const auto one = grow(mse_task(), p, d.columns, d.y);
  EXPECT_EQ(node_depth(*one), 1u);
  EXPECT_EQ(one->left->n_samples + one->right->n_samples, 200u);

  p.max_depth.reset();
  EXPECT_GT(node_depth(*grow(mse_task(), p, d.columns, d.y)), 2u);
}

TEST(StrictGrowth, PureNodesAreLeavesWithoutScoring) {
  // The feature would separate the samples perfectly, but the targets are already pure.
  // Interleaved so that each unshuffled fold's edges cut through the other fold.
  const std::vector<Column> columns{Column::continuous({0, 4, 1, 5, 2, 6, 3, 7})};
  Params p = strict_params(2, 4);
  p.kfold.shuffle = false;
  p.min_impurity_decrease = -kInf;
  const std::vector<size_t> one_class(8, 1);
  const auto cls = grow(gini_task(2), p, columns, one_class);
  ASSERT_TRUE(cls->is_leaf());
  EXPECT_EQ(cls->value.proba, (std::vector<double>{0.0, 1.0}));
  EXPECT_TRUE(grow(accuracy_task(2), p, columns, one_class)->is_leaf());
  EXPECT_TRUE(grow(mse_task(), p, columns, std::vector<double>(8, 2.5))->is_leaf());
  // One differing target makes the node impure, and the same settings split it.
  EXPECT_FALSE(
      grow(mse_task(), p, columns, std::vector<double>{0, 0, 0, 0, 0, 0, 0, 1})->is_leaf());
}

TEST(StrictGrowth, NotANumberImpurityDoesNotStopGrowth) {
  // Mae of targets holding a NaN is NaN; the node must still be scored and split. The
  // median aggregator ranks NaN fold scores last, so the clean folds decide.
  std::vector<double> x, y;
  for (int i = 0; i < 40; ++i) {
    x.push_back(i);
    y.push_back(i < 20 ? 0.0 : 10.0);
  }
  y[3] = kNaN;
  const std::vector<Column> columns{Column::continuous(x)};
  Params p = strict_params(5, 4);
  p.max_depth = 1;
  const Regression task{std::make_unique<Mae>()};
  ASSERT_TRUE(std::isnan(task.node_impurity(y)));
  const auto root = grow(task, p, columns, y, Median());
  ASSERT_FALSE(root->is_leaf());
  EXPECT_EQ(root->rule->feature(), 0u);
}

TEST(StrictGrowth, BestScoreMustExceedMinImpurityDecrease) {
  const RandomData d = random_data(100, 8);
  Params p = strict_params();
  // The root's best aggregated score, recomputed the way growth computes it.
  const Regression task = mse_task();
  const Mean mean;
  const auto samples = all_samples(100);
  const std::vector<Fold> folds = p.kfold.folds(samples);
  const StrictNode<double> node{p, d.columns, d.y, samples, folds, mean};
  std::vector<ScoredCandidate> all;
  for (size_t f = 0; f < d.columns.size(); ++f) {
    for (auto& c : task.score_feature(node, f))
      all.push_back(std::move(c));
  }
  const ScoredCandidate* best = best_candidate(all);
  ASSERT_NE(best, nullptr);
  ASSERT_GT(best->score, 0.0);

  p.min_impurity_decrease = best->score;
  EXPECT_TRUE(grow(task, p, d.columns, d.y)->is_leaf());
  p.min_impurity_decrease = std::nextafter(best->score, -kInf);
  const auto root = grow(task, p, d.columns, d.y);
  ASSERT_FALSE(root->is_leaf());
  EXPECT_EQ(root->rule->feature(), best->feature);
  p.min_impurity_decrease = kNaN;  // the comparison is false, so NaN never stops a split
  EXPECT_FALSE(grow(task, p, d.columns, d.y)->is_leaf());
}

TEST(StrictGrowth, ExactZeroBestScoreIsALeafUnderZeroThreshold) {
  // Class 1 is rare everywhere, so every side predicts class 0, like the baseline: every
  // fold gain is exactly 0.0.
  std::vector<double> x;
  std::vector<size_t> labels;
  for (int i = 0; i < 40; ++i) {
    x.push_back(i);
    labels.push_back(i == 5 || i == 17 || i == 30 ? 1 : 0);
  }
  const std::vector<Column> columns{Column::continuous(x)};
  Params p = strict_params(5, 4);
  p.min_impurity_decrease = 0.0;
  EXPECT_TRUE(grow(accuracy_task(2), p, columns, labels)->is_leaf());
  p.min_impurity_decrease = -1e-300;
  EXPECT_FALSE(grow(accuracy_task(2), p, columns, labels)->is_leaf());
}

// All finite values fall in the highest bin; the NaN samples carry other targets.
struct HighestBin {
  std::vector<Column> columns;
  std::vector<double> y;
  HighestBin() {
    std::vector<double> x;
    for (int i = 0; i < 20; ++i) {
      x.push_back(i < 10 ? 1.0 : kNaN);
      y.push_back(i < 10 ? 0.0 : 10.0);
    }
    columns = {Column::continuous(x)};
  }
};

TEST(StrictGrowth, HighestBinThresholdWinnerMakesALeaf) {
  const HighestBin data;
  Params p = strict_params(5, 4);
  p.split_style = SplitStyle::Threshold;
  const auto root = grow(mse_task(), p, data.columns, data.y);
  ASSERT_TRUE(root->is_leaf());
  EXPECT_EQ(root->n_samples, 20u);

  // The same candidate in membership mode is the interval [1, +inf); NaN goes right.
  p.split_style = SplitStyle::Bin;
  const auto split = grow(mse_task(), p, data.columns, data.y);
  ASSERT_FALSE(split->is_leaf());
  const auto& interval = std::get<Interval>(split->rule->test);
  EXPECT_EQ(interval.lower, 1.0);
  EXPECT_FALSE(interval.upper.has_value());
  ASSERT_TRUE(split->left->is_leaf());
  ASSERT_TRUE(split->right->is_leaf());
  EXPECT_EQ(split->left->value, 0.0);
  EXPECT_EQ(split->right->value, 10.0);
  EXPECT_EQ(split->right->n_samples, 10u);
}

TEST(StrictGrowth, MinSamplesLeafRejectsTheWinnerWithoutTryingTheNext) {
  // Feature 0 isolates a large outlier in its low bin (best score); feature 1 splits the
  // samples in half with a smaller but positive score.
  std::vector<double> x0, x1, y;
  for (int i = 0; i < 40; ++i) {
    x0.push_back(i == 39 ? 0.0 : 1.0);
    x1.push_back(i % 2);
    y.push_back((i == 39 ? 1000.0 : 0.0) + (i % 2 ? 1.0 : 0.0));
  }
  const std::vector<Column> columns{Column::continuous(x0), Column::continuous(x1)};
  Params p = strict_params(5, 2);
  p.kfold.shuffle = false;
  const Regression task = mse_task();
  const auto free_root = grow(task, p, columns, y);
  ASSERT_FALSE(free_root->is_leaf());
  ASSERT_EQ(free_root->rule->feature(), 0u);
  const size_t smaller = std::min(free_root->left->n_samples, free_root->right->n_samples);
  EXPECT_EQ(smaller, 1u);

  p.min_samples_leaf = 2;
  EXPECT_TRUE(grow(task, p, columns, y)->is_leaf());
}

TEST(StrictGrowth, IdenticalColumnsTieToTheLowerFeature) {
  const RandomData d = random_data(150, 21);
  const std::vector<Column> columns{d.columns[0], d.columns[2], d.columns[0],
                                    d.columns[3], d.columns[2], d.columns[3]};
  Params p = strict_params();
  const auto root = grow(gini_task(3), p, columns, d.labels);
  size_t splits = 0;
  for_each_node(*root, [&splits](const NodeOf<Classification>& n, size_t) {
    if (n.is_leaf()) return;
    ++splits;
    EXPECT_LE(n.rule->feature(), 3u);
    EXPECT_NE(n.rule->feature(), 2u);
  });
  EXPECT_GT(splits, 1u);
}

TEST(StrictGrowth, MissingValuesOfTheChosenFeatureGoRight) {
  const RandomData d = random_data(150, 9);
  Params p = strict_params();
  p.max_depth = 1;
  // Only feature 2 (with NaN and -inf values) is offered.
  const std::vector<Column> columns{d.columns[2]};
  const auto root = grow(mse_task(), p, columns, d.y);
  ASSERT_FALSE(root->is_leaf());
  size_t non_finite = 0;
  for (double v : columns[0].values())
    non_finite += std::isfinite(v) ? 0 : 1;
  ASSERT_GT(non_finite, 0u);
  EXPECT_GE(root->right->n_samples, non_finite);
  std::vector<size_t> lefts;
  for (size_t i = 0; i < 150; ++i) {
    if (root->rule->route_left_train(columns, i)) {
      EXPECT_TRUE(std::isfinite(columns[0].values()[i]));
      lefts.push_back(i);
    }
  }
  EXPECT_EQ(lefts.size(), root->left->n_samples);
}

// ---- determinism --------------------------------------------------------------------------

template <class K>
void expect_parallel_matches(const K& task, const RandomData& d,
                             const std::vector<typename K::Target>& targets) {
  Params p = strict_params(3, 6);
  p.split_style = SplitStyle::Bin;
  const auto sequential = flatten<K>(*grow(task, p, d.columns, targets));
  EXPECT_GT(sequential.size(), 5u);
  for (size_t threads : {2u, 3u, 8u}) {
    SCOPED_TRACE(threads);
    p.parallel = true;
    p.n_threads = threads;
    expect_same_tree(flatten<K>(*grow(task, p, d.columns, targets)), sequential);
  }
  p.parallel = true;
  p.n_threads = 1;  // parallel requested but one thread: the sequential path
  expect_same_tree(flatten<K>(*grow(task, p, d.columns, targets)), sequential);
}

TEST(StrictGrowth, ParallelScoringGrowsTheSequentialTree) {
  for (uint64_t seed : {1u, 2u}) {
    SCOPED_TRACE(seed);
    const RandomData d = random_data(300, seed);
    expect_parallel_matches(mse_task(), d, d.y);
    expect_parallel_matches(gini_task(3), d, d.labels);
    expect_parallel_matches(accuracy_task(3), d, d.labels);
    expect_parallel_matches(Classification{std::make_unique<Entropy>(3), 3}, d, d.labels);
  }
}

// Mse on the growing thread; anywhere else fails like an exhausted allocator or like a broken
// invariant.
class FailsOnWorkers final : public RegressionCriterion {
 public:
  explicit FailsOnWorkers(bool out_of_memory) : out_of_memory_(out_of_memory) {}
  CriterionKind kind() const override { return CriterionKind::SquaredError; }
  double impurity(std::span<const double> targets) const override {
    if (std::this_thread::get_id() != owner_) {
      if (out_of_memory_) throw std::bad_alloc();
      throw std::out_of_range("index out of range");
    }
    return Mse().impurity(targets);
  }
  double weighted_impurity(std::span<const double> targets,
                           std::span<const double> weights) const override {
    return Mse().weighted_impurity(targets, weights);
  }
  std::string_view name() const override { return "mse"; }

 private:
  bool out_of_memory_;
  std::thread::id owner_ = std::this_thread::get_id();
};

// Running out of memory on a worker ends growth with std::bad_alloc; any other worker
// failure with a Panic.
TEST(StrictGrowth, WorkerFailureEndsGrowth) {
  const RandomData d = random_data(80, 3);
  for (bool out_of_memory : {true, false}) {
    SCOPED_TRACE(out_of_memory);
    const Regression task{std::make_unique<FailsOnWorkers>(out_of_memory)};
    Params p = strict_params();
    const auto sequential = flatten<Regression>(*grow(task, p, d.columns, d.y));
    expect_same_tree(sequential, flatten<Regression>(*grow(mse_task(), p, d.columns, d.y)));
    p.parallel = true;
    p.n_threads = 2;
    try {
      grow(task, p, d.columns, d.y);
      ADD_FAILURE() << "expected an exception";
    } catch (const Panic& e) {
      EXPECT_FALSE(out_of_memory);
      EXPECT_EQ(std::string(e.what()).rfind("worker thread panicked: index out of range", 0), 0u)
          << e.what();
    } catch (const std::bad_alloc&) {
      EXPECT_TRUE(out_of_memory);
    }
  }
}

TEST(StrictGrowth, UnshuffledFoldsIgnoreTheSeed) {
  const RandomData d = random_data(200, 6);
  Params p = strict_params();
  p.kfold.shuffle = false;
  p.kfold.seed = 1;
  const auto reference = flatten<Classification>(*grow(gini_task(3), p, d.columns, d.labels));
  for (uint64_t seed : {0u, 2u, 987654321u}) {
    p.kfold.seed = seed;
    expect_same_tree(flatten<Classification>(*grow(gini_task(3), p, d.columns, d.labels)),
                     reference);
  }
}

TEST(StrictGrowth, LeafPayloadsMatchTheirSamples) {
  const RandomData d = random_data(250, 13);
  Params p = strict_params();
  p.min_samples_leaf = 7;
  const auto root = grow(accuracy_task(3), p, d.columns, d.labels);
  size_t total = 0;
  for_each_node(*root, [&](const NodeOf<ObjectiveClassification>& n, size_t) {
    if (!n.is_leaf()) return;
    EXPECT_GE(n.n_samples, 7u);
    total += n.n_samples;
  });
  EXPECT_EQ(total, 250u);
  // Route every training sample down the tree: each leaf's payload is the class leaf of
  // exactly the samples that reach it.
  std::vector<std::vector<size_t>> reached(1);
  std::vector<const NodeOf<ObjectiveClassification>*> leaves;
  for_each_node(*root, [&](const NodeOf<ObjectiveClassification>& n, size_t) {
    if (n.is_leaf()) leaves.push_back(&n);
  });
  reached.assign(leaves.size(), {});
  for (size_t i = 0; i < 250; ++i) {
    const NodeOf<ObjectiveClassification>* n = root.get();
    while (!n->is_leaf()) {
      n = n->rule->route_left_train(d.columns, i) ? n->left.get() : n->right.get();
    }
    const size_t at =
        static_cast<size_t>(std::find(leaves.begin(), leaves.end(), n) - leaves.begin());
    reached[at].push_back(d.labels[i]);
  }
  for (size_t l = 0; l < leaves.size(); ++l) {
    EXPECT_EQ(leaves[l]->n_samples, reached[l].size());
    const ClassPrediction expected = class_leaf(3, reached[l]);
    EXPECT_EQ(leaves[l]->value.proba, expected.proba);
    EXPECT_EQ(leaves[l]->value.predicted_class, expected.predicted_class);
  }
}

// ---- depth ------------------------------------------------------------------------------

// Each sample is its own category and the targets increase strictly, so every node splits
// one category off the rest: the tree is a chain about as deep as the sample count.
struct ChainGrowth {
  static constexpr size_t kSamples = 1000;
  std::vector<Column> columns;
  std::vector<double> y;
  std::unique_ptr<NodeOf<Regression>> root;

  ChainGrowth() {
    std::vector<uint32_t> codes;
    for (size_t i = 0; i < kSamples; ++i) {
      codes.push_back(static_cast<uint32_t>(i));
      y.push_back(static_cast<double>(i));
    }
    columns = {Column::categorical(codes)};
  }
  static void* run(void* self) {
    auto* chain = static_cast<ChainGrowth*>(self);
    Params p = strict_params(2, 2);
    chain->root = grow(mse_task(), p, chain->columns, chain->y);
    return nullptr;
  }
};

TEST(StrictGrowth, DeepChainGrowsOnASmallStack) {
  // 64 KiB of stack: ample for iterative growth, far too little for one frame per level.
  // AddressSanitizer pads every frame with redzones, so it gets 256 KiB: still far too little
  // for a thousand of its frames.
#ifdef __SANITIZE_ADDRESS__
  constexpr size_t kStack = 256 * 1024;
#else
  constexpr size_t kStack = 64 * 1024;
#endif
  ChainGrowth chain;
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, kStack), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, &ChainGrowth::run, &chain), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
  ASSERT_NE(chain.root, nullptr);
  EXPECT_GE(node_depth(*chain.root), ChainGrowth::kSamples - 3);
  EXPECT_EQ(node_leaves(*chain.root), node_depth(*chain.root) + 1);
  EXPECT_EQ(flatten<Regression>(*chain.root)[0].n_samples, ChainGrowth::kSamples);
}

// ---- scoring agrees with the plain computation ---------------------------------------

// The plain computation: every fold's training values sorted on their own, validation codes
// against those edges, and each candidate's side lists built and judged by the criterion.
template <class Target>
std::vector<std::vector<double>> plain_impurity_scores(const Criterion<Target>& criterion,
                                                       const StrictNode<Target>& node,
                                                       size_t feature,
                                                       std::vector<uint32_t>& states) {
  const Column& column = node.columns[feature];
  states = present_states(column, node.samples, node.params.n_bins);
  const bool threshold =
      node.params.split_style == SplitStyle::Threshold && !column.is_categorical();
  std::vector<std::vector<double>> scores(states.size());
  for (const Fold& fold : node.folds) {
    if (fold.validation.empty()) continue;
    const std::vector<uint32_t> codes = fold_val_codes(column, fold, node.params.n_bins);
    std::vector<Target> y;
    for (size_t s : fold.validation)
      y.push_back(node.targets[s]);
    const double parent = criterion.impurity(y);
    for (size_t i = 0; i < states.size(); ++i) {
      std::vector<Target> left, right;
      for (size_t j = 0; j < y.size(); ++j)
        (goes_left(codes[j], states[i], threshold) ? left : right).push_back(y[j]);
      if (left.empty() || right.empty()) continue;
      const double children = static_cast<double>(left.size()) * criterion.impurity(left) +
                              static_cast<double>(right.size()) * criterion.impurity(right);
      scores[i].push_back(parent - children / static_cast<double>(y.size()));
    }
  }
  return scores;
}

size_t plain_majority(const std::vector<uint64_t>& counts) {
  size_t best = 0;
  for (size_t k = 1; k < counts.size(); ++k)
    if (counts[k] > counts[best]) best = k;
  return best;
}

std::vector<std::vector<double>> plain_objective_scores(const ClassObjective& objective,
                                                        size_t n_classes,
                                                        const StrictNode<size_t>& node,
                                                        size_t feature,
                                                        std::vector<uint32_t>& states) {
  const Column& column = node.columns[feature];
  const size_t n_bins = node.params.n_bins;
  states = present_states(column, node.samples, n_bins);
  const bool threshold =
      node.params.split_style == SplitStyle::Threshold && !column.is_categorical();
  std::vector<std::vector<double>> scores(states.size());
  const auto code_of = [&](const std::vector<double>& edges, size_t s) {
    if (column.is_categorical()) return column.codes()[s];
    const double v = column.values()[s];
    return std::isfinite(v) ? bin_code(edges, v) : kMissingCode;
  };
  const auto counts_of = [&](const std::vector<size_t>& list, const std::vector<double>& edges,
                             const uint32_t* state) {
    std::vector<uint64_t> counts(n_classes, 0);
    for (size_t s : list) {
      const size_t label = node.targets[s];
      if (label >= n_classes) continue;
      if (state == nullptr || goes_left(code_of(edges, s), *state, threshold)) ++counts[label];
    }
    return counts;
  };
  const auto sum = [](const std::vector<uint64_t>& c) {
    uint64_t t = 0;
    for (uint64_t x : c)
      t += x;
    return t;
  };
  for (const Fold& fold : node.folds) {
    if (fold.train.empty() || fold.validation.empty()) continue;
    std::vector<double> edges;
    if (!column.is_categorical()) {
      std::vector<double> train_values;
      for (size_t s : fold.train)
        train_values.push_back(column.values()[s]);
      edges = quantile_edges(train_values, n_bins);
    }
    const std::vector<uint64_t> train_all = counts_of(fold.train, edges, nullptr);
    const std::vector<uint64_t> val_all = counts_of(fold.validation, edges, nullptr);
    Confusion base = Confusion::zero(n_classes);
    base.add_group(plain_majority(train_all), val_all);
    const double base_score = objective.score(base);
    for (size_t i = 0; i < states.size(); ++i) {
      const std::vector<uint64_t> train_left = counts_of(fold.train, edges, &states[i]);
      const std::vector<uint64_t> val_left = counts_of(fold.validation, edges, &states[i]);
      const uint64_t nt = sum(train_left), nv = sum(val_left);
      if (nv == 0 || nv == sum(val_all) || nt == 0 || nt == sum(train_all)) continue;
      std::vector<uint64_t> train_right(n_classes), val_right(n_classes);
      for (size_t k = 0; k < n_classes; ++k) {
        train_right[k] = train_all[k] - train_left[k];
        val_right[k] = val_all[k] - val_left[k];
      }
      Confusion table = Confusion::zero(n_classes);
      table.add_group(plain_majority(train_left), val_left);
      table.add_group(plain_majority(train_right), val_right);
      scores[i].push_back(objective.score(table) - base_score);
    }
  }
  return scores;
}

void expect_same_scores(const std::vector<ScoredCandidate>& out,
                        const std::vector<uint32_t>& states,
                        const std::vector<std::vector<double>>& scores, size_t feature) {
  ASSERT_EQ(out.size(), states.size());
  for (size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(out[i].feature, feature);
    EXPECT_EQ(out[i].state, states[i]);
    ASSERT_EQ(out[i].stats.scores.size(), scores[i].size());
    for (size_t f = 0; f < scores[i].size(); ++f)
      EXPECT_EQ(bits(out[i].stats.scores[f]), bits(scores[i][f]));
  }
}

// Columns full of ties, both zeros, NaN and infinities, and a categorical column; labels
// include one at n_classes.
struct AgreementData {
  std::vector<Column> columns;
  std::vector<double> y;
  std::vector<size_t> labels;
};

AgreementData agreement_data(size_t n, std::mt19937_64& rng) {
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> smooth(n), coarse(n), odd(n);
  std::vector<uint32_t> cat(n);
  AgreementData d;
  for (size_t i = 0; i < n; ++i) {
    smooth[i] = normal(rng);
    coarse[i] = std::round(normal(rng) * 1.5) / 2.0;
    const uint64_t r = rng() % 16;
    odd[i] = r == 0   ? kNaN
             : r == 1 ? kInf
             : r == 2 ? -kInf
             : r < 6  ? -0.0
             : r < 9  ? 0.0
                      : static_cast<double>(rng() % 4);
    cat[i] = rng() % 9 == 0 ? kMissingCode : static_cast<uint32_t>(rng() % 5 * 7);
    const double signal = smooth[i] + (cat[i] == 14 ? 1.0 : 0.0) + (odd[i] > 1 ? 0.5 : 0.0);
    d.y.push_back(std::round(4.0 * (signal + 0.7 * normal(rng))) / 4.0);
    d.labels.push_back(rng() % 23 == 0 ? 3 : signal < -0.3 ? 0 : signal < 0.6 ? 1 : 2);
  }
  d.columns = {Column::continuous(smooth), Column::continuous(coarse), Column::continuous(odd),
               Column::categorical(cat)};
  return d;
}

// Folds dealt by KFold with their index, or of another shape and without one: each fold's
// training list a random part of the node's other samples, and one fold without validation
// samples.
std::vector<Fold> agreement_folds(const Params& params, const std::vector<size_t>& samples,
                                  bool irregular, FoldIndex& index, std::mt19937_64& rng) {
  std::vector<Fold> folds = params.kfold.folds(samples, index);
  if (!irregular) return folds;
  for (Fold& fold : folds) {
    std::vector<size_t> kept;
    for (size_t s : fold.train)
      if (rng() % 3 != 0) kept.push_back(s);
    fold.train = kept;
  }
  folds.push_back(Fold{samples, {}});
  return folds;
}

TEST(StrictGrowth, ScoringAgreesWithSideListsOnRandomNodes) {
  std::mt19937_64 rng(20261208);
  const Mse mse;
  const Variance variance;
  const Mae mae;
  const Gini gini(3);
  const Entropy entropy(3);
  const Accuracy accuracy;
  const F1 f1(Average::Macro, 0);
  const Mean mean;
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    // The first nodes are large enough for the radix sort.
    const size_t n = round < 3 ? 2500 + rng() % 3000 : 10 + rng() % 400;
    const AgreementData d = agreement_data(n, rng);
    // A node holds a random part of the rows, not always in ascending order.
    std::vector<size_t> samples;
    for (size_t i = 0; i < n; ++i)
      if (rng() % 4 != 0) samples.push_back(i);
    if (samples.size() < 2) samples = all_samples(n);
    if (round % 3 == 0) std::shuffle(samples.begin(), samples.end(), rng);
    const size_t bin_choices[] = {1, 2, 3, 5, 16, 700};
    Params params = strict_params(2 + rng() % 5, bin_choices[rng() % 6]);
    params.kfold.shuffle = round % 5 != 0;
    params.split_style = round % 2 == 0 ? SplitStyle::Threshold : SplitStyle::Bin;
    // Without an index (every fourth round) scoring sorts each fold's training values.
    const bool irregular = round % 4 == 3;
    FoldIndex index;
    const std::vector<Fold> folds = agreement_folds(params, samples, irregular, index, rng);
    const FoldIndex* known = irregular ? nullptr : &index;
    const StrictNode<double> reg{params, d.columns, d.y, samples, folds, mean, known};
    const StrictNode<size_t> cls{params, d.columns, d.labels, samples, folds, mean, known};
    const Regression mse_task{std::make_unique<Mse>()};
    const Regression variance_task{std::make_unique<Variance>()};
    const Regression mae_task{std::make_unique<Mae>()};
    const Classification gini_task{std::make_unique<Gini>(3), 3};
    const Classification entropy_task{std::make_unique<Entropy>(3), 3};
    const ObjectiveClassification accuracy_task(std::make_unique<Accuracy>(), 3);
    const ObjectiveClassification f1_task(std::make_unique<F1>(Average::Macro, 0), 3);
    for (size_t f = 0; f < d.columns.size(); ++f) {
      SCOPED_TRACE(f);
      std::vector<uint32_t> states;
      auto plain = plain_impurity_scores<double>(mse, reg, f, states);
      expect_same_scores(mse_task.score_feature(reg, f), states, plain, f);
      plain = plain_impurity_scores<double>(variance, reg, f, states);
      expect_same_scores(variance_task.score_feature(reg, f), states, plain, f);
      plain = plain_impurity_scores<double>(mae, reg, f, states);
      expect_same_scores(mae_task.score_feature(reg, f), states, plain, f);
      plain = plain_impurity_scores<size_t>(gini, cls, f, states);
      expect_same_scores(gini_task.score_feature(cls, f), states, plain, f);
      plain = plain_impurity_scores<size_t>(entropy, cls, f, states);
      expect_same_scores(entropy_task.score_feature(cls, f), states, plain, f);
      plain = plain_objective_scores(accuracy, 3, cls, f, states);
      expect_same_scores(accuracy_task.score_feature(cls, f), states, plain, f);
      plain = plain_objective_scores(f1, 3, cls, f, states);
      expect_same_scores(f1_task.score_feature(cls, f), states, plain, f);
    }
  }
}

// Regression targets with infinities give NaN scores; both computations give the same bits.
TEST(StrictGrowth, ScoringAgreesWithSideListsOnInfiniteTargets) {
  std::mt19937_64 rng(77);
  const Mse mse;
  const Mean mean;
  const Regression task{std::make_unique<Mse>()};
  for (int round = 0; round < 10; ++round) {
    AgreementData d = agreement_data(200, rng);
    for (double& t : d.y)
      if (rng() % 50 == 0) t = rng() % 2 ? kInf : -kInf;
    const std::vector<size_t> samples = all_samples(200);
    const Params params = strict_params(5, 8);
    FoldIndex index;
    const std::vector<Fold> folds = params.kfold.folds(samples, index);
    const StrictNode<double> node{params, d.columns, d.y, samples, folds, mean, &index};
    for (size_t f = 0; f < d.columns.size(); ++f) {
      std::vector<uint32_t> states;
      const auto plain = plain_impurity_scores<double>(mse, node, f, states);
      expect_same_scores(task.score_feature(node, f), states, plain, f);
    }
  }
}

TEST(StrictGrowth, RuleEdgesAgreeWithQuantileEdges) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 30; ++round) {
    // Every third node is large enough for the radix sort.
    const AgreementData d =
        agreement_data(round % 3 == 0 ? 3000 + rng() % 3000 : 50 + rng() % 300, rng);
    std::vector<size_t> samples;
    for (size_t i = 0; i < d.y.size(); ++i)
      if (rng() % 3 != 0) samples.push_back(i);
    const size_t n_bins = 2 + rng() % 40;
    for (size_t f = 0; f < 3; ++f) {
      const Column& column = d.columns[f];
      std::vector<double> gathered;
      for (size_t s : samples)
        gathered.push_back(column.values()[s]);
      const std::vector<double> edges = quantile_edges(gathered, n_bins);
      for (uint32_t state = 0; state <= edges.size() + 1; ++state) {
        const auto rule = make_rule(column, f, state, samples, n_bins, false);
        if (state > edges.size()) {
          EXPECT_FALSE(rule.has_value());
          continue;
        }
        ASSERT_TRUE(rule.has_value());
        const auto& interval = std::get<Interval>(rule->test);
        ASSERT_EQ(interval.lower.has_value(), state > 0);
        ASSERT_EQ(interval.upper.has_value(), state < edges.size());
        if (state > 0) {
          EXPECT_EQ(bits(*interval.lower), bits(edges[state - 1]));
        }
        if (state < edges.size()) {
          EXPECT_EQ(bits(*interval.upper), bits(edges[state]));
        }
      }
    }
  }
}

}  // namespace
}  // namespace zelk
