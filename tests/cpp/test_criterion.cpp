#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/criterion.hpp"

namespace zelk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(Criterion, EmptyAndSingleInputsArePure) {
  const Mse mse;
  const Variance variance;
  const Mae mae;
  const Gini gini(3);
  const Entropy entropy(3);
  EXPECT_EQ(mse.impurity({}), 0.0);
  EXPECT_EQ(variance.impurity({}), 0.0);
  EXPECT_EQ(mae.impurity({}), 0.0);
  EXPECT_EQ(gini.impurity({}), 0.0);
  EXPECT_EQ(entropy.impurity({}), 0.0);

  const std::vector<double> one = {3.7};
  EXPECT_EQ(mse.impurity(one), 0.0);
  EXPECT_EQ(variance.impurity(one), 0.0);
  EXPECT_EQ(mae.impurity(one), 0.0);
  const std::vector<size_t> label = {2};
  EXPECT_EQ(gini.impurity(label), 0.0);
  EXPECT_TRUE(same_bits(entropy.impurity(label), 0.0));  // +0.0, not -0.0
}

TEST(Criterion, NamesAreFixed) {
  EXPECT_EQ(Mse().name(), "mse");
  EXPECT_EQ(Variance().name(), "variance");
  EXPECT_EQ(Mae().name(), "mae");
  EXPECT_EQ(Gini(2).name(), "gini");
  EXPECT_EQ(Entropy(2).name(), "entropy");
}

struct RegressionCase {
  const char* label;
  std::vector<double> targets;
  double mse;
  double mae;
};

TEST(Criterion, RegressionWorkedValues) {
  const RegressionCase cases[] = {
      {"one to four", {1, 2, 3, 4}, 1.25, 1.0},
      {"unsorted", {4, 1, 3, 2}, 1.25, 1.0},
      {"odd length", {1, 10, 2}, 146.0 / 9.0, 3.0},
      {"textbook", {2, 4, 4, 4, 5, 5, 7, 9}, 4.0, 1.5},
  };
  // Any point between the two middle values gives the same exact deviation, so only rounding
  // tells the midpoint apart from a middle value, and the input-order sum from a sorted one.
  const std::vector<double> rounding = {4.858, 9.326, 0.189, 3.5};
  EXPECT_EQ(Mae().impurity(rounding), 2.62375);
  const std::vector<double> six = {3.9, 4.802, 7.97, 6.65, 5.488, 7.758};
  EXPECT_EQ(Mae().impurity(six), 1.3646666666666667);
  for (const RegressionCase& c : cases) {
    EXPECT_DOUBLE_EQ(Mse().impurity(c.targets), c.mse) << c.label;
    EXPECT_EQ(Mae().impurity(c.targets), c.mae) << c.label;
  }
}

TEST(Criterion, MaeOfLongSlicesUsesTheMedian) {
  // 25 values 0..24 scrambled: median 12, total deviation 2 * (1 + ... + 12) = 156.
  std::vector<double> targets(25);
  for (size_t i = 0; i < 25; ++i)
    targets[i] = static_cast<double>((i * 7) % 25);
  const std::vector<double> before = targets;
  EXPECT_EQ(Mae().impurity(targets), 156.0 / 25.0);
  EXPECT_EQ(targets, before);
  // 26 values: median (12 + 13) / 2, deviations 0.5, 1.5, ..., 12.5 twice: 169.
  targets.push_back(25.0);
  EXPECT_EQ(Mae().impurity(targets), 169.0 / 26.0);
}

TEST(Criterion, MseIsClampedAtZero) {
  // For three copies of 0.1 the mean of squares falls a rounding step below the squared mean.
  const std::vector<double> constant = {0.1, 0.1, 0.1};
  const double s = 0.1 + 0.1 + 0.1, q = 0.1 * 0.1 + 0.1 * 0.1 + 0.1 * 0.1;
  ASSERT_LT(q / 3.0 - (s / 3.0) * (s / 3.0), 0.0);
  EXPECT_TRUE(same_bits(Mse().impurity(constant), 0.0));
  EXPECT_TRUE(same_bits(Variance().impurity(constant), 0.0));
}

TEST(Criterion, NonFiniteTargets) {
  const std::vector<std::vector<double>> inputs = {{1, kInf}, {-kInf, 2, 3}, {kNaN, 1}};
  for (const auto& targets : inputs) {
    EXPECT_EQ(Mse().impurity(targets), 0.0);
    EXPECT_EQ(Variance().impurity(targets), 0.0);
  }
  EXPECT_TRUE(std::isnan(Mae().impurity(std::vector<double>{1, kInf})));  // median inf
  EXPECT_EQ(Mae().impurity(std::vector<double>{1, 2, kInf}), kInf);       // median 2
  EXPECT_TRUE(std::isnan(Mae().impurity(std::vector<double>{kNaN, 1, 2})));
}

TEST(Criterion, MseAndVarianceAreBitIdentical) {
  std::mt19937_64 rng(17);
  std::normal_distribution<double> dist(3.0, 1e3);
  for (int round = 0; round < 200; ++round) {
    std::vector<double> targets(rng() % 50);
    for (double& t : targets)
      t = dist(rng);
    EXPECT_TRUE(same_bits(Mse().impurity(targets), Variance().impurity(targets)));
  }
}

struct ClassCase {
  const char* label;
  size_t n_classes;
  std::vector<size_t> labels;
  double gini;
  double entropy;
};

TEST(Criterion, ClassificationWorkedValues) {
  const ClassCase cases[] = {
      {"balanced pair", 2, {0, 0, 1, 1}, 0.5, 1.0},
      {"out-of-range label counts in n only", 2, {0, 5}, 0.75, 0.5},
      {"all labels out of range", 2, {7, 8}, 1.0, 0.0},
      {"no classes", 0, {0, 1}, 1.0, 0.0},
      {"pure", 4, {3, 3, 3}, 0.0, 0.0},
      {"three to one", 2, {1, 0, 1, 1}, 0.375, 0.8112781244591328},
  };
  for (const ClassCase& c : cases) {
    EXPECT_EQ(Gini(c.n_classes).impurity(c.labels), c.gini) << c.label;
    EXPECT_DOUBLE_EQ(Entropy(c.n_classes).impurity(c.labels), c.entropy) << c.label;
  }
  const std::vector<size_t> three = {0, 1, 2};
  EXPECT_DOUBLE_EQ(Gini(3).impurity(three), 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(Entropy(3).impurity(three), std::log2(3.0));
}

TEST(Criterion, CountFormulasMatchLabelCriteriaOnRandomLabels) {
  std::mt19937_64 rng(23);
  for (int round = 0; round < 200; ++round) {
    const size_t n_classes = rng() % 6;
    std::vector<size_t> labels(1 + rng() % 40);
    for (size_t& l : labels)
      l = rng() % (n_classes + 2);  // some out of range
    std::vector<uint32_t> counts32(n_classes, 0);
    std::vector<uint64_t> counts64(n_classes, 0);
    for (size_t l : labels) {
      if (l < n_classes) {
        ++counts32[l];
        ++counts64[l];
      }
    }
    const double gini = Gini(n_classes).impurity(labels);
    const double entropy = Entropy(n_classes).impurity(labels);
    EXPECT_TRUE(same_bits(gini_from_counts<uint32_t>(counts32, labels.size()), gini));
    EXPECT_TRUE(same_bits(gini_from_counts<uint64_t>(counts64, labels.size()), gini));
    EXPECT_TRUE(same_bits(entropy_from_counts<uint32_t>(counts32, labels.size()), entropy));
    EXPECT_TRUE(same_bits(entropy_from_counts<uint64_t>(counts64, labels.size()), entropy));
  }
}

TEST(Criterion, CountFormulasOfNothing) {
  const std::vector<uint64_t> zeros = {0, 0};
  EXPECT_EQ(gini_from_counts<uint64_t>(zeros, 0), 0.0);
  EXPECT_EQ(entropy_from_counts<uint64_t>(zeros, 0), 0.0);
  const std::vector<uint32_t> counts = {1, 0};
  EXPECT_EQ(gini_from_counts<uint32_t>(counts, 2), 0.75);
  EXPECT_EQ(entropy_from_counts<uint32_t>(counts, 2), 0.5);
}

}  // namespace
}  // namespace zelk
