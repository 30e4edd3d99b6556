// Sizing a tree by cross-validation over its weakest-link pruning sequence.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "core/aggregation.hpp"
#include "core/tree/fit.hpp"
#include "core/tree/sizing.hpp"
#include "core/validation/cost_complexity.hpp"

namespace zelk {
namespace {

constexpr double kNone = -std::numeric_limits<double>::infinity();

// root -> (left leaf, right -> (two leaves)), with the nodes' risks as leaves.
std::vector<RiskNode> small_tree(double root, double left, double right, double below) {
  std::vector<RiskNode> t(5);
  t[0] = {true, 1, 2, 0, 5, root};
  t[1] = {false, 0, 0, 0, 2, left};
  t[2] = {true, 3, 4, 0, 5, right};
  t[3] = {false, 0, 0, 2, 4, below};
  t[4] = {false, 0, 0, 2, 5, below};
  return t;
}

TEST(WeakestLink, PrunesTheWeakestSubtreeFirstAndLevelsNeverFallUpwards) {
  // The right split removes 3 - 2 * 1 = 1 of risk for one more leaf; the root 10 - 4 - 3 = 3
  // more, so (3 + 1) / 2 = 2 per leaf with both: the right split goes first, at 1, then the
  // root alone removes 3 for one leaf.
  const std::vector<double> a = weakest_link_levels(small_tree(10, 4, 3, 1));
  EXPECT_EQ(a[2], 1.0);
  EXPECT_EQ(a[0], 3.0);
  EXPECT_EQ(a[1], kNone);
  // A weak root above a strong split: both go at the root's level, which is the smaller link
  // of the whole tree (10 - 4 - 5 = 1 and 5 - 2 = 3 make (1 + 3) / 2 = 2).
  const std::vector<double> b = weakest_link_levels(small_tree(10, 4, 5, 1));
  EXPECT_EQ(b[0], 2.0);
  EXPECT_EQ(b[2], 2.0);
}

TEST(WeakestLink, SequenceBoundsAndRepresentativeLevels) {
  const PruningSequence s = pruning_sequence(std::vector<double>{3.0, kNone, 1.0, kNone, 3.0});
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s.bounds[0], kNone);
  EXPECT_EQ(s.bounds[1], 1.0);
  EXPECT_EQ(s.bounds[2], 3.0);
  EXPECT_EQ(s.representative[0], 0.5);
  EXPECT_DOUBLE_EQ(s.representative[1], std::sqrt(3.0));
  // The single leaf prunes a fold tree to its root even when that root's level is above 3.
  EXPECT_EQ(s.representative[2], std::numeric_limits<double>::infinity());
  EXPECT_EQ(pruning_sequence(std::vector<double>{kNone}).size(), 1u);
}

// A row's losses from candidate `first` on, as runs.
std::vector<LossRun> runs_of(const std::vector<double>& losses, size_t first) {
  std::vector<LossRun> runs;
  for (size_t c = first; c < losses.size(); ++c) {
    if (c == first || losses[c] != losses[c - 1]) runs.push_back({c, losses[c]});
  }
  return runs;
}

// Rows whose losses under the candidates (the last the single leaf) and under the root are
// given.
size_t choose(const std::vector<std::vector<double>>& losses, const std::vector<double>& root) {
  SizingChoice choice(losses[0].size());
  for (size_t i = 0; i < losses.size(); ++i)
    choice.add_risk(1.0, runs_of(losses[i], 0), root[i]);
  for (size_t i = 0; i < losses.size(); ++i)
    choice.add_spread(1.0, runs_of(losses[i], choice.best()), root[i]);
  return choice.chosen();
}

TEST(SizingChoiceTest, TakesTheTreeOfLeastRiskTheSmallestOfEqualsWhenItBeatsTheLeaf) {
  std::vector<std::vector<double>> losses;
  std::vector<double> root;
  for (int i = 0; i < 400; ++i) {
    // The whole tree errs on 10%; the pruned one on one row more (two more, one fewer); the
    // single leaf (the root) on half.
    const double whole = i % 10 == 0 ? 1.0 : 0.0;
    const double pruned = i == 5 || i == 15 ? 1.0 : i == 0 ? 0.0 : whole;
    const double leaf = i % 2 == 0 ? 1.0 : 0.0;
    losses.push_back({whole, pruned, leaf});
    root.push_back(leaf);
  }
  EXPECT_EQ(choose(losses, root), 0u);
  // Errs on the same number of rows as the whole tree, the pruned tree is taken.
  losses[5][1] = 0.0;
  EXPECT_EQ(choose(losses, root), 1u);
  // A gain over the leaf within its noise is no gain: 201 of 400 rows right against 200.
  for (size_t i = 0; i < losses.size(); ++i)
    losses[i] = {root[i], i == 0 ? 0.0 : root[i], root[i]};
  EXPECT_EQ(choose(losses, root), 2u);
  // A tree no better than the leaf on those rows is not kept.
  for (size_t i = 0; i < losses.size(); ++i)
    losses[i] = {root[i], root[i], root[i]};
  EXPECT_EQ(choose(losses, root), 2u);
}

TEST(SizingChoiceTest, TakesTheSmallestTreeWithinHalfAStandardErrorOfTheBest) {
  // Candidates: the whole tree (errs on 10%), two pruned trees, the single leaf (errs on half).
  // Against the whole tree, the middle one errs on 3 rows more (3 > 0.5 sqrt(3)), the small one
  // on 6 more and 5 fewer (1 <= 0.5 sqrt(11)): the small one is kept, past the middle one.
  const auto losses_with = [](int small_more) {
    std::vector<std::vector<double>> losses;
    for (int i = 0; i < 400; ++i) {
      const double whole = i % 10 == 0 ? 1.0 : 0.0;
      const double middle = i >= 1 && i <= 3 ? 1.0 : whole;
      const bool more = i >= 1 && i <= small_more;
      const bool fewer = i % 10 == 0 && i < 50;
      const double small = more ? 1.0 : fewer ? 0.0 : whole;
      losses.push_back({whole, middle, small, i % 2 == 0 ? 1.0 : 0.0});
    }
    return losses;
  };
  std::vector<double> root;
  for (int i = 0; i < 400; ++i)
    root.push_back(i % 2 == 0 ? 1.0 : 0.0);
  EXPECT_EQ(choose(losses_with(6), root), 2u);
  // Two rows more make 3 > 0.5 sqrt(13): the whole tree stays.
  EXPECT_EQ(choose(losses_with(8), root), 0u);
}

TEST(SizingChoiceTest, RisksFromRunsOfEqualLossAreThePerCandidateSums) {
  // Each row's loss steps up and down along the candidates, as a leaf moving up a path does
  // when the payloads above it differ.
  std::mt19937_64 rng(5);
  const size_t n_candidates = 9;
  SizingChoice choice(n_candidates);
  std::vector<double> direct(n_candidates, 0.0);
  double weight = 0.0;
  for (int i = 0; i < 300; ++i) {
    const double w = static_cast<double>(1 + rng() % 4);
    std::vector<LossRun> runs{{0, static_cast<double>(rng() % 3)}};
    for (size_t c = 1; c < n_candidates; ++c) {
      if (rng() % 3 == 0) runs.push_back({c, static_cast<double>(rng() % 3)});
    }
    for (size_t r = 0; r < runs.size(); ++r) {
      const size_t end = r + 1 < runs.size() ? runs[r + 1].first : n_candidates;
      for (size_t c = runs[r].first; c < end; ++c)
        direct[c] += w * runs[r].loss;
    }
    weight += w;
    choice.add_risk(w, runs, 1.0);
  }
  const std::vector<double> risks = choice.risks();
  size_t least = n_candidates - 1;  // the smallest tree among equals
  for (size_t c = n_candidates; c-- > 0;) {
    EXPECT_EQ(risks[c], direct[c] / weight) << c;  // sums of small integers are exact
    if (direct[c] < direct[least]) least = c;
  }
  EXPECT_EQ(choice.best(), least);
}

template <class K>
std::unique_ptr<NodeOf<K>> fit(K task, SplitMode mode, const std::vector<double>& x,
                               const VectorView& y, size_t n) {
  Params p;
  p.mode = mode;
  p.validation = Validation::Tree;
  const DecisionTree<K> model{p, nullptr, std::move(task), std::make_unique<Mean>()};
  const TrainingSet data{
      MatrixView{reinterpret_cast<const char*>(x.data()), n, 2, 2 * sizeof(double), sizeof(double)},
      y};
  auto grown = fit_tree(model, data, InputChecks::Checked);
  EXPECT_TRUE(grown.ok());
  return std::move(grown).value();
}

TEST(TreeSizing, NoiseGivesALeafAndAStepGivesTheStep) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> normal;
  const size_t n = 600;
  std::vector<double> x(2 * n), noise(n), step(n);
  std::vector<int64_t> labels(n);
  std::vector<size_t> rows(n);
  for (size_t i = 0; i < n; ++i) {
    rows[i] = i;
    x[2 * i] = normal(rng);
    x[2 * i + 1] = normal(rng);
    noise[i] = normal(rng);
    step[i] = (x[2 * i] > 0.0 ? 2.0 : 0.0) + 0.5 * normal(rng);
    labels[i] = rng() % 2;
  }
  const auto view = [n](const auto& v) {
    return VectorView{reinterpret_cast<const char*>(v.data()), n, 8};
  };
  for (SplitMode mode : {SplitMode::Strict, SplitMode::Fast}) {
    SCOPED_TRACE(mode == SplitMode::Strict ? "strict" : "fast");
    EXPECT_EQ(node_leaves(*fit(Regression{std::make_unique<Mse>()}, mode, x, view(noise), n)), 1u);
    EXPECT_EQ(node_leaves(
                  *fit(Classification{std::make_unique<Entropy>(2), 2}, mode, x, view(labels), n)),
              1u);
    // The step is kept, near where it is, and little else.
    const auto tree = fit(Regression{std::make_unique<Mse>()}, mode, x, view(step), n);
    ASSERT_FALSE(tree->is_leaf());
    EXPECT_LE(node_leaves(*tree), 3u);
    EXPECT_EQ(tree->rule->feature(), 0u);
    const auto& cut = std::get<Interval>(tree->rule->test);
    ASSERT_TRUE(cut.upper.has_value());
    EXPECT_NEAR(*cut.upper, 0.0, 0.1);
    // A fold tree carries part of the weight, so levels compare across trees per unit of it:
    // scaling every weight leaves them as they are.
    const MatrixView matrix{reinterpret_cast<const char*>(x.data()), n, 2, 2 * sizeof(double),
                            sizeof(double)};
    const auto levels = [&](std::span<const double> w) {
      FlatGrown<double> flat(*tree, matrix, {});
      return grown_levels(flat, std::span<const size_t>(rows), std::span<const double>(step), w);
    };
    const std::vector<double> unweighted = levels({});
    EXPECT_GT(unweighted[0], 0.0);
    EXPECT_EQ(levels(std::vector<double>(n, 4.0)), unweighted);
  }
}

}  // namespace
}  // namespace zelk
