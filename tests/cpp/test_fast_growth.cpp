#include <gtest/gtest.h>
#include <pthread.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/aggregation.hpp"
#include "core/binning.hpp"
#include "core/criterion.hpp"
#include "core/objective.hpp"
#include "core/parallel.hpp"
#include "core/tree/decision_tree.hpp"
#include "core/tree/fast/growth.hpp"
#include "fast_reference.hpp"

namespace zelk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

FeatureBins continuous_bins(std::vector<double> edges) {
  FeatureBins b;
  b.n_bins = edges.size() + 1;
  b.edges = std::move(edges);
  b.continuous = true;
  return b;
}

FeatureBins categorical_bins(std::vector<uint32_t> categories) {
  FeatureBins b;
  b.n_bins = categories.size();
  b.categories = std::move(categories);
  b.continuous = false;
  return b;
}

BinnedData binned(std::vector<std::vector<uint16_t>> codes, std::vector<FeatureBins> bins) {
  BinnedData d;
  d.n_samples = codes.empty() ? 0 : codes[0].size();
  d.codes = std::move(codes);
  d.bins = std::move(bins);
  return d;
}

Regression regression(bool variance = false) {
  Regression r;
  if (variance) {
    r.criterion = std::make_unique<Variance>();
  } else {
    r.criterion = std::make_unique<Mse>();
  }
  return r;
}

Classification classification(size_t n_classes, bool entropy) {
  Classification c;
  if (entropy) {
    c.criterion = std::make_unique<Entropy>(n_classes);
  } else {
    c.criterion = std::make_unique<Gini>(n_classes);
  }
  c.n_classes = n_classes;
  return c;
}

// Small folds without shuffling, so the hand-made examples know which fold each sample is in.
Params plain_params() {
  Params p;
  p.validation = Validation::Candidates;
  p.category_subsets = false;
  p.n_bins = 8;
  p.kfold.k = 2;
  p.kfold.shuffle = false;
  p.mode = SplitMode::Fast;
  return p;
}

std::vector<uint32_t> all_samples(size_t n) {
  std::vector<uint32_t> s(n);
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<uint32_t>(i);
  return s;
}

// The core's driver, on a copy of `data` (it takes the binned data over).
template <class K>
std::unique_ptr<NodeOf<K>> grow(const K& task, const Params& params, const BinnedData& data,
                                const std::vector<typename K::Target>& targets,
                                const Aggregator& aggregator) {
  BinnedData copy = data;
  return build_node_fast_in_place(task, params, aggregator, std::move(copy),
                                  std::span<const typename K::Target>(targets), 0);
}

template <class K>
std::unique_ptr<NodeOf<K>> reference(const K& task, const Params& params, const BinnedData& data,
                                     const std::vector<typename K::Target>& targets,
                                     const Aggregator& aggregator) {
  std::vector<uint32_t> samples = all_samples(targets.size());
  return reference_fast_tree(task, params, aggregator, data,
                             std::span<const typename K::Target>(targets),
                             std::span<uint32_t>(samples));
}

template <class K>
std::unique_ptr<NodeOf<K>> grow(const K& task, const Params& params, const BinnedData& data,
                                const std::vector<typename K::Target>& targets) {
  Mean mean;
  return grow(task, params, data, targets, mean);
}

template <class K>
std::vector<ExportedNode> flatten(const NodeOf<K>& root) {
  std::vector<ExportedNode> out;
  walk_export(root, out);
  return out;
}

bool same_bits(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

template <class K>
void expect_same_tree(const NodeOf<K>& a, const NodeOf<K>& b, const std::string& label) {
  const auto x = flatten<K>(a);
  const auto y = flatten<K>(b);
  ASSERT_EQ(x.size(), y.size()) << label;
  for (size_t i = 0; i < x.size(); ++i) {
    SCOPED_TRACE(label + ", node " + std::to_string(i));
    EXPECT_EQ(x[i].is_leaf, y[i].is_leaf);
    EXPECT_EQ(x[i].children_left, y[i].children_left);
    EXPECT_EQ(x[i].children_right, y[i].children_right);
    EXPECT_EQ(x[i].feature, y[i].feature);
    EXPECT_EQ(x[i].is_categorical, y[i].is_categorical);
    EXPECT_TRUE(same_bits(x[i].lower, y[i].lower));
    EXPECT_TRUE(same_bits(x[i].upper, y[i].upper));
    EXPECT_EQ(x[i].category, y[i].category);
    EXPECT_EQ(x[i].n_samples, y[i].n_samples);
    EXPECT_TRUE(same_bits(x[i].value, y[i].value));
    EXPECT_EQ(x[i].predicted_class, y[i].predicted_class);
    EXPECT_EQ(x[i].proba, y[i].proba);
  }
}

const Interval& interval_of(const SplitRule& rule) {
  return std::get<Interval>(rule.test);
}

// ---------------------------------------------------------------------------------------
// Stop rules on one informative feature: codes alternate 0 / 1 with targets 0 / 10, so both
// folds score 25 (a perfect split), or on an uninformative one whose folds score 0.

struct StopCase {
  std::string name;
  bool informative;
  void (*tweak)(Params&);
  bool splits;
};

TEST(FastGrowth, StopRules) {
  const BinnedData data = binned({{0, 1, 0, 1, 0, 1, 0, 1}}, {continuous_bins({0.5})});
  const std::vector<double> informative{0, 10, 0, 10, 0, 10, 0, 10};
  const std::vector<double> uninformative{0, 0, 10, 10, 0, 0, 10, 10};
  const std::vector<StopCase> cases{
      {"defaults", true, [](Params&) {}, true},
      {"min_samples_split 0", true, [](Params& p) { p.min_samples_split = 0; }, true},
      {"min_samples_split 1", true, [](Params& p) { p.min_samples_split = 1; }, true},
      {"min_samples_split 8", true, [](Params& p) { p.min_samples_split = 8; }, true},
      {"min_samples_split 9", true, [](Params& p) { p.min_samples_split = 9; }, false},
      {"max_depth 0", true, [](Params& p) { p.max_depth = 0; }, false},
      {"max_depth 1", true, [](Params& p) { p.max_depth = 1; }, true},
      {"decrease equal to the score", true, [](Params& p) { p.min_impurity_decrease = 25.0; },
       false},
      {"decrease below the score", true, [](Params& p) { p.min_impurity_decrease = 24.99; }, true},
      {"decrease NaN", true, [](Params& p) { p.min_impurity_decrease = kNaN; }, true},
      {"min_samples_leaf 0", true, [](Params& p) { p.min_samples_leaf = 0; }, true},
      {"min_samples_leaf 4", true, [](Params& p) { p.min_samples_leaf = 4; }, true},
      {"min_samples_leaf 5", true, [](Params& p) { p.min_samples_leaf = 5; }, false},
      {"score 0 against decrease 0", false, [](Params&) {}, false},
      {"score 0 against a negative decrease", false,
       [](Params& p) { p.min_impurity_decrease = -1.0; }, true},
  };
  const Regression task = regression();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Params params = plain_params();
    c.tweak(params);
    auto root = grow(task, params, data, c.informative ? informative : uninformative);
    ASSERT_TRUE(root);
    ASSERT_EQ(root->is_leaf(), !c.splits);
    if (!c.splits) {
      EXPECT_EQ(root->value, 5.0);
      EXPECT_EQ(root->n_samples, 8u);
      continue;
    }
    const Interval& rule = interval_of(*root->rule);
    EXPECT_EQ(rule.feature, 0u);
    EXPECT_FALSE(rule.lower.has_value());
    EXPECT_EQ(rule.upper, 0.5);
    if (c.informative) {
      ASSERT_TRUE(root->left->is_leaf() && root->right->is_leaf());
      EXPECT_EQ(root->left->value, 0.0);
      EXPECT_EQ(root->left->n_samples, 4u);
      EXPECT_EQ(root->right->value, 10.0);
      EXPECT_EQ(root->right->n_samples, 4u);
    }
  }
}

TEST(FastGrowth, SmallOrPureNodesAreLeavesWithTheirPayload) {
  const BinnedData one = binned({{0}}, {continuous_bins({})});
  auto single = grow(regression(), plain_params(), one, std::vector<double>{3.5});
  ASSERT_TRUE(single->is_leaf());
  EXPECT_EQ(single->value, 3.5);
  EXPECT_EQ(single->n_samples, 1u);

  const BinnedData data = binned({{0, 1, 0, 1}}, {continuous_bins({0.5})});
  // The mean is summed from -0.0, so all -0.0 targets keep their sign.
  auto negative_zero = grow(regression(), plain_params(), data, std::vector<double>(4, -0.0));
  ASSERT_TRUE(negative_zero->is_leaf());
  EXPECT_TRUE(std::signbit(negative_zero->value));

  auto pure_class =
      grow(classification(3, false), plain_params(), data, std::vector<size_t>{2, 2, 2, 2});
  ASSERT_TRUE(pure_class->is_leaf());
  EXPECT_EQ(pure_class->value.predicted_class, 2u);
  EXPECT_EQ(pure_class->value.proba, (std::vector<double>{0.0, 0.0, 1.0}));

  // The objective classifier tests purity with Gini over its classes.
  ObjectiveClassification objective(std::make_unique<Accuracy>(), 2);
  auto pure_objective = grow(objective, plain_params(), data, std::vector<size_t>{1, 1, 1, 1});
  ASSERT_TRUE(pure_objective->is_leaf());
  EXPECT_EQ(pure_objective->value.predicted_class, 1u);

  Params shallow = plain_params();
  shallow.max_depth = 0;
  auto mixed = grow(classification(2, true), shallow, data, std::vector<size_t>{0, 1, 1, 1});
  ASSERT_TRUE(mixed->is_leaf());
  EXPECT_EQ(mixed->value.proba, (std::vector<double>{0.25, 0.75}));
  EXPECT_EQ(mixed->n_samples, 4u);
}

// Codes 0, 1, 2 repeating; bin 2 holds the tens, so isolating it is the best split.
TEST(FastGrowth, RuleFormsFromWholeSetBins) {
  std::vector<uint16_t> codes;
  std::vector<double> targets;
  for (int r = 0; r < 4; ++r) {
    for (uint16_t b = 0; b < 3; ++b) {
      codes.push_back(b);
      targets.push_back(b == 2 ? 10.0 : 0.0);
    }
  }
  const Regression task = regression();
  Params params = plain_params();

  const BinnedData continuous = binned({codes}, {continuous_bins({1.0, 2.0})});
  params.split_style = SplitStyle::Threshold;
  auto threshold = grow(task, params, continuous, targets);
  ASSERT_FALSE(threshold->is_leaf());
  EXPECT_FALSE(interval_of(*threshold->rule).lower.has_value());
  EXPECT_EQ(interval_of(*threshold->rule).upper, 2.0);

  // Membership of the last bin: only a lower bound.
  params.split_style = SplitStyle::Bin;
  auto bin = grow(task, params, continuous, targets);
  ASSERT_FALSE(bin->is_leaf());
  EXPECT_EQ(interval_of(*bin->rule).lower, 2.0);
  EXPECT_FALSE(interval_of(*bin->rule).upper.has_value());
  EXPECT_EQ(bin->left->n_samples, 4u);
  EXPECT_EQ(bin->left->value, 10.0);

  // A categorical feature is split by membership whatever the style, on the category code.
  const BinnedData categorical = binned({codes}, {categorical_bins({3, 7, 9})});
  for (SplitStyle style : {SplitStyle::Threshold, SplitStyle::Bin}) {
    params.split_style = style;
    auto cat = grow(task, params, categorical, targets);
    ASSERT_FALSE(cat->is_leaf());
    const auto& rule = std::get<Category>(cat->rule->test);
    EXPECT_EQ(rule.feature, 0u);
    EXPECT_EQ(rule.category, 9u);
  }
}

TEST(FastGrowth, TiesGoToTheLowestFeatureThenTheLowestBin) {
  // Two identical features; under membership bins 0 and 1 score alike.
  const std::vector<uint16_t> codes{0, 1, 0, 1, 0, 1, 0, 1};
  const BinnedData data = binned({codes, codes}, {continuous_bins({0.5}), continuous_bins({0.5})});
  const std::vector<double> targets{0, 10, 0, 10, 0, 10, 0, 10};
  Params params = plain_params();
  params.split_style = SplitStyle::Bin;
  auto root = grow(regression(), params, data, targets);
  ASSERT_FALSE(root->is_leaf());
  const Interval& rule = interval_of(*root->rule);
  EXPECT_EQ(rule.feature, 0u);
  EXPECT_FALSE(rule.lower.has_value());
  EXPECT_EQ(rule.upper, 0.5);

  // The same data with the second copy scoring better: the higher feature wins on score.
  const BinnedData uneven =
      binned({{0, 0, 1, 1, 0, 0, 1, 1}, codes}, {continuous_bins({0.5}), continuous_bins({0.5})});
  auto better = grow(regression(), params, uneven, targets);
  ASSERT_FALSE(better->is_leaf());
  EXPECT_EQ(better->rule->feature(), 1u);
}

// Gives every candidate the same score, to see how the driver treats non-finite ones.
class ConstantAggregator final : public Aggregator {
 public:
  explicit ConstantAggregator(double value) : value_(value) {}
  double aggregate(const FoldStats&) const override { return value_; }
  std::string_view name() const override { return "constant"; }

 private:
  double value_;
};

TEST(FastGrowth, NonFiniteScoresAreNeverChosen) {
  const BinnedData data = binned({{0, 1, 0, 1, 2, 2}, {1, 1, 0, 0, 1, 0}},
                                 {continuous_bins({0.5, 1.5}), continuous_bins({0.5})});
  const std::vector<double> targets{0, 10, 0, 10, 5, 6};
  for (double value : {kNaN, kInf, -kInf}) {
    ConstantAggregator aggregator(value);
    auto root = grow(regression(), plain_params(), data, targets, aggregator);
    EXPECT_TRUE(root->is_leaf()) << value;
  }
  // A finite constant makes every candidate tie: feature 0, bin 0 wins.
  ConstantAggregator finite(1.0);
  Params params = plain_params();
  params.max_depth = 1;
  auto root = grow(regression(), params, data, targets, finite);
  ASSERT_FALSE(root->is_leaf());
  EXPECT_EQ(interval_of(*root->rule).feature, 0u);
  EXPECT_EQ(interval_of(*root->rule).upper, 0.5);
}

TEST(FastGrowth, MissingValuesGoRight) {
  // Samples 8 .. 11 have no value for the feature.
  const std::vector<uint16_t> codes{0, 1, 0,           1,           0,           1,
                                    0, 1, kMissingBin, kMissingBin, kMissingBin, kMissingBin};
  const BinnedData data = binned({codes}, {continuous_bins({0.5})});
  const std::vector<double> targets{0, 10, 0, 10, 0, 10, 0, 10, 10, 10, 10, 10};
  for (SplitStyle style : {SplitStyle::Threshold, SplitStyle::Bin}) {
    Params params = plain_params();
    params.split_style = style;
    Mean mean;
    auto root = grow(regression(), params, data, targets, mean);
    ASSERT_FALSE(root->is_leaf());
    ASSERT_TRUE(root->left->is_leaf());
    EXPECT_EQ(root->left->n_samples, 4u);
    EXPECT_EQ(root->left->value, 0.0);
    ASSERT_TRUE(root->right->is_leaf());
    EXPECT_EQ(root->right->n_samples, 8u);
    EXPECT_EQ(root->right->value, 10.0);
    // Partitioned by sample number, the shared array holds the left child's samples first.
    std::vector<uint32_t> samples = all_samples(targets.size());
    auto by_number =
        reference_fast_tree(regression(), params, mean, data, std::span<const double>(targets),
                            std::span<uint32_t>(samples));
    for (size_t i = 0; i < 4; ++i)
      EXPECT_EQ(codes[samples[i]], 0u);
    expect_same_tree<Regression>(*root, *by_number, "by sample number");
  }
}

// ---------------------------------------------------------------------------------------
// Random data: mixed continuous and categorical features with missing values.

struct RandomSet {
  BinnedData data;
  std::vector<double> values;  // regression targets
  std::vector<size_t> labels;  // class labels, a few out of range
};

RandomSet random_set(uint64_t seed, size_t n, size_t n_classes) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<Column> columns;
  std::vector<std::vector<double>> raw(3, std::vector<double>(n));
  for (size_t f = 0; f < 3; ++f) {
    for (size_t i = 0; i < n; ++i)
      raw[f][i] = rng() % 17 == 0 ? kNaN : normal(rng);
    columns.push_back(Column::continuous(raw[f]));
  }
  std::vector<uint32_t> cats(n);
  for (size_t i = 0; i < n; ++i)
    cats[i] = rng() % 13 == 0 ? kMissingCode : 2 * (rng() % 5);
  columns.push_back(Column::categorical(cats));
  std::vector<uint32_t> noise(n);
  for (size_t i = 0; i < n; ++i)
    noise[i] = static_cast<uint32_t>(rng() % 3);
  columns.push_back(Column::categorical(noise));

  RandomSet set;
  auto fitted = BinnedData::fit(columns, 8);
  EXPECT_TRUE(fitted.ok());
  set.data = std::move(fitted).value();
  for (size_t i = 0; i < n; ++i) {
    const double x0 = std::isnan(raw[0][i]) ? 0.0 : raw[0][i];
    const double x1 = std::isnan(raw[1][i]) ? 0.0 : raw[1][i];
    set.values.push_back(3.0 * x0 + (x1 > 0.3 ? 2.0 : 0.0) + (cats[i] == 4 ? 1.5 : 0.0) +
                         0.5 * normal(rng));
    size_t label = (x0 > 0.0 ? 1 : 0) + (cats[i] == 6 ? 1 : 0);
    if (rng() % 10 == 0) label = rng() % (n_classes + 1);  // noise, sometimes out of range
    set.labels.push_back(std::min(label, n_classes));
  }
  return set;
}

Params random_params(SplitStyle style) {
  Params p;
  p.validation = Validation::Candidates;
  p.category_subsets = false;
  p.n_bins = 8;
  p.mode = SplitMode::Fast;
  p.kfold.k = 3;
  p.kfold.seed = 7;
  p.kfold.shuffle = true;
  p.min_samples_leaf = 2;
  p.split_style = style;
  return p;
}

struct ThreadSetting {
  bool parallel;
  size_t n_threads;
  size_t min_samples;
};

const std::vector<ThreadSetting> kThreadSettings{
    {true, 1, 0}, {true, 2, 0},   {true, 3, 0},   {true, 8, 0},       {true, 2, 1},  {true, 3, 1},
    {true, 8, 1}, {true, 2, 150}, {true, 8, 150}, {true, 3, 1000000}, {false, 8, 0},
};

template <class K>
void expect_thread_independent(const K& task, const RandomSet& set,
                               const std::vector<typename K::Target>& targets,
                               const std::string& label) {
  TrimmedMean aggregator(0.2);
  for (SplitStyle style : {SplitStyle::Threshold, SplitStyle::Bin}) {
    Params serial = random_params(style);
    auto reference = grow(task, serial, set.data, targets, aggregator);
    ASSERT_GT(node_leaves(*reference), 4u) << label;
    for (const ThreadSetting& t : kThreadSettings) {
      Params params = serial;
      params.parallel = t.parallel;
      params.n_threads = t.n_threads;
      params.parallel_min_samples = t.min_samples;
      auto tree = grow(task, params, set.data, targets, aggregator);
      expect_same_tree<K>(*reference, *tree,
                          label + " threads " + std::to_string(t.n_threads) + " min " +
                              std::to_string(t.min_samples));
    }
  }
}

TEST(FastGrowth, SerialAndParallelGrowIdenticalTrees) {
  const RandomSet set = random_set(21, 300, 3);
  expect_thread_independent(regression(), set, set.values, "regression");
  expect_thread_independent(classification(3, false), set, set.labels, "gini");
  expect_thread_independent(classification(3, true), set, set.labels, "entropy");
  ObjectiveClassification accuracy(std::make_unique<Accuracy>(), 3);
  expect_thread_independent(accuracy, set, set.labels, "accuracy");
  ObjectiveClassification f1(std::make_unique<F1>(Average::Macro, 0), 3);
  expect_thread_independent(f1, set, set.labels, "f1 macro");
}

TEST(FastGrowth, MseAndVarianceGrowIdenticalTrees) {
  for (uint64_t seed : {1u, 2u, 3u}) {
    const RandomSet set = random_set(seed, 250, 2);
    for (SplitStyle style : {SplitStyle::Threshold, SplitStyle::Bin}) {
      const Params params = random_params(style);
      auto mse = grow(regression(false), params, set.data, set.values);
      auto variance = grow(regression(true), params, set.data, set.values);
      ASSERT_GT(node_leaves(*mse), 4u);
      expect_same_tree<Regression>(*mse, *variance, "seed " + std::to_string(seed));
    }
  }
}

TEST(FastGrowth, LeavesCountEverySampleOnce) {
  const RandomSet set = random_set(9, 280, 3);
  for (SplitStyle style : {SplitStyle::Threshold, SplitStyle::Bin}) {
    auto tree = grow(classification(3, false), random_params(style), set.data, set.labels);
    const auto flat = flatten<Classification>(*tree);
    EXPECT_EQ(flat[0].n_samples, 280u);
    size_t total = 0;
    for (const auto& node : flat) {
      if (node.is_leaf) {
        EXPECT_GE(node.n_samples, 2u);  // min_samples_leaf
        total += node.n_samples;
      }
    }
    EXPECT_EQ(total, 280u);
  }
}

// ---------------------------------------------------------------------------------------
// Every sample is its own category and targets are distinct, so each node splits off one
// sample until two remain: a chain as deep as the data is long. Grown on a thread with a
// small stack, where growth that recursed per level would overflow.

struct ChainJob {
  size_t n = 0;
  size_t depth = 0;
  size_t leaves = 0;
};

void* grow_chain(void* arg) {
  auto* job = static_cast<ChainJob*>(arg);
  std::vector<uint16_t> codes(job->n);
  std::vector<uint32_t> categories(job->n);
  std::vector<double> targets(job->n);
  for (size_t i = 0; i < job->n; ++i) {
    codes[i] = static_cast<uint16_t>(i);
    categories[i] = static_cast<uint32_t>(i);
    targets[i] = static_cast<double>(i);
  }
  const BinnedData data = binned({codes}, {categorical_bins(categories)});
  Params params = plain_params();
  params.kfold.shuffle = true;
  Mean mean;
  auto root = grow(regression(), params, data, targets, mean);
  job->depth = node_depth(*root);
  job->leaves = node_leaves(*root);
  return nullptr;
}

TEST(FastGrowth, DeepChainGrowsWithoutRecursion) {
  ChainJob job;
  job.n = 2000;
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 128 * 1024), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, grow_chain, &job), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(job.depth, job.n - 2);
  EXPECT_EQ(job.leaves, job.n - 1);
}

TEST(FastGrowth, TooFewTargetsPanic) {
  BinnedData data = binned({{0, 1, 0}}, {continuous_bins({0.5})});
  const std::vector<double> targets{0.0, 1.0};
  Mean mean;
  EXPECT_THROW(build_node_fast_in_place(regression(), plain_params(), mean, std::move(data),
                                        std::span<const double>(targets), 0),
               Panic);
}

// The core's driver must grow the reference driver's trees, at any thread setting.
template <class K>
void expect_in_place_agrees(const K& task, const RandomSet& set,
                            const std::vector<typename K::Target>& targets,
                            const std::string& label) {
  TrimmedMean aggregator(0.2);
  for (SplitStyle style : {SplitStyle::Threshold, SplitStyle::Bin}) {
    for (const ThreadSetting& t :
         {ThreadSetting{false, 1, 0}, ThreadSetting{true, 2, 0}, ThreadSetting{true, 3, 150}}) {
      Params params = random_params(style);
      params.parallel = t.parallel;
      params.n_threads = t.n_threads;
      params.parallel_min_samples = t.min_samples;
      auto want = reference(task, params, set.data, targets, aggregator);
      ASSERT_GE(node_leaves(*want), 4u) << label;
      auto tree = grow(task, params, set.data, targets, aggregator);
      expect_same_tree<K>(*want, *tree, label + " threads " + std::to_string(t.n_threads));
    }
  }
}

TEST(FastGrowth, GrowsTheReferenceTrees) {
  for (uint64_t seed : {4u, 5u}) {
    const RandomSet set = random_set(seed, 400, 3);
    expect_in_place_agrees(regression(), set, set.values, "regression");
    expect_in_place_agrees(classification(3, false), set, set.labels, "gini");
    expect_in_place_agrees(classification(3, true), set, set.labels, "entropy");
    ObjectiveClassification accuracy(std::make_unique<Accuracy>(), 3);
    expect_in_place_agrees(accuracy, set, set.labels, "accuracy");
  }
}

// Many wide features and thousands of samples: the children are prepared on whichever block
// moves the targets, beside blocks that move code lists, and the subtrees below the large
// nodes grow on several threads at once, in whatever order they finish.
TEST(FastGrowth, InPlaceGrowthOnWideDataIsThreadIndependent) {
  constexpr size_t n = 6000, n_features = 12;
  std::mt19937_64 rng(31);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<std::vector<double>> raw(n_features, std::vector<double>(n));
  std::vector<Column> columns;
  for (size_t f = 0; f < n_features; ++f) {
    for (size_t i = 0; i < n; ++i)
      raw[f][i] = rng() % 29 == 0 ? kNaN : normal(rng);
    columns.push_back(Column::continuous(raw[f]));
  }
  auto fitted = BinnedData::fit(columns, 64);
  ASSERT_TRUE(fitted.ok());
  const BinnedData data = std::move(fitted).value();
  std::vector<double> values(n);
  std::vector<size_t> labels(n);
  for (size_t i = 0; i < n; ++i) {
    const double x0 = std::isnan(raw[0][i]) ? 0.0 : raw[0][i];
    const double x5 = std::isnan(raw[5][i]) ? 0.0 : raw[5][i];
    const double x11 = std::isnan(raw[11][i]) ? 0.0 : raw[11][i];
    values[i] = 2.0 * x0 + (x5 > 0.2 ? 1.5 : -1.0) + x0 * x11 + 0.7 * normal(rng);
    labels[i] = (x0 + x11 > 0.0 ? 1 : 0) + (x5 > 1.0 ? 1 : 0);
  }
  const auto check = [&](const auto& task, const auto& targets, const std::string& label) {
    using K = std::decay_t<decltype(task)>;
    using Target = typename K::Target;
    Mean aggregator;
    Params serial = random_params(SplitStyle::Threshold);
    serial.kfold.k = 5;
    serial.max_depth = 9;
    serial.parallel = false;
    auto want = reference(task, serial, data, targets, aggregator);
    ASSERT_GT(node_leaves(*want), 40u) << label;
    for (const ThreadSetting& t : kThreadSettings) {
      Params params = serial;
      params.parallel = t.parallel;
      params.n_threads = t.n_threads;
      params.parallel_min_samples = t.min_samples;
      for (int repeat = 0; repeat < 2; ++repeat) {
        BinnedData copy = data;
        auto tree = build_node_fast_in_place(task, params, aggregator, std::move(copy),
                                             std::span<const Target>(targets), 0);
        expect_same_tree<K>(*want, *tree,
                            label + " threads " + std::to_string(t.n_threads) + " min " +
                                std::to_string(t.min_samples));
      }
    }
  };
  check(regression(), values, "regression");
  check(classification(3, false), labels, "gini");
  ObjectiveClassification accuracy(std::make_unique<Accuracy>(), 3);
  check(accuracy, labels, "accuracy");
}

TEST(FastGrowth, InPlaceGrowthRejectsMismatchedCodeLists) {
  BinnedData data = binned({{0, 1, 0}, {1, 0}}, {continuous_bins({0.5}), continuous_bins({0.5})});
  data.n_samples = 3;
  const std::vector<double> targets{1.0, 2.0, 3.0};
  Mean mean;
  EXPECT_THROW(build_node_fast_in_place(regression(), plain_params(), mean, std::move(data),
                                        std::span<const double>(targets), 0),
               Panic);
}

}  // namespace
}  // namespace zelk
