#include <gtest/gtest.h>

#include <bit>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/aggregation.hpp"
#include "core/binning.hpp"
#include "core/histogram/best_split.hpp"
#include "core/histogram/classification.hpp"
#include "core/histogram/objective.hpp"
#include "core/histogram/regression.hpp"
#include "core/histogram/scratch.hpp"
#include "core/objective.hpp"
#include "core/selector.hpp"
#include "core/tree/fast/node_layout.hpp"
#include "core/tree/fast/partition.hpp"

namespace zelk {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// A fold assignment given position by position: sample rows[j] is in fold fold[j].
FoldAssignment make_folds(std::vector<uint32_t> rows, std::vector<uint8_t> fold, size_t n_folds) {
  FoldAssignment a;
  a.rows = std::move(rows);
  a.fold = std::move(fold);
  a.n_folds = n_folds;
  return a;
}

std::vector<uint32_t> states_of(const std::vector<ScoredCandidate>& cands) {
  std::vector<uint32_t> out;
  for (const auto& c : cands)
    out.push_back(c.state);
  return out;
}

// Fold 0: target 1 in bin 0 and 10 in bin 1; fold 1: 2 in bin 0 and 11 in bin 1.
struct TwoFoldRegression {
  std::vector<uint16_t> codes{0, 1, 0, 1};
  std::vector<double> targets{1.0, 10.0, 2.0, 11.0};
  FoldAssignment folds = make_folds({0, 1, 2, 3}, {0, 0, 1, 1}, 2);
};

TEST(FastScoring, RegressionThresholdWorkedExample) {
  TwoFoldRegression d;
  FastScratch scratch;
  Mean mean;
  auto cands =
      score_regression_fast(d.codes, d.targets, d.folds, 2, 7, mean, scratch, /*threshold=*/true);
  ASSERT_EQ(cands.size(), 1u);
  EXPECT_EQ(cands[0].feature, 7u);
  EXPECT_EQ(cands[0].state, 0u);
  EXPECT_EQ(cands[0].stats.scores, (std::vector<double>{20.25, 20.25}));
  EXPECT_EQ(cands[0].stats.n_folds, 2u);
  EXPECT_EQ(cands[0].score, 20.25);
}

TEST(FastScoring, RegressionMembershipEmitsEveryNonEmptyBinIncludingTheLast) {
  TwoFoldRegression d;
  FastScratch scratch;
  Mean mean;
  auto cands = score_regression_fast(d.codes, d.targets, d.folds, 2, 0, mean, scratch, false);
  ASSERT_EQ(states_of(cands), (std::vector<uint32_t>{0, 1}));
  for (const auto& c : cands)
    EXPECT_EQ(c.stats.scores, (std::vector<double>{20.25, 20.25}));
}

TEST(FastScoring, RegressionMissingAndOutOfRangeCodesAreInvisible) {
  // Targets 1, 2 (bin 0) and 10, 11 (bin 1) in fold 0; fold 1 holds only samples whose code
  // is missing or beyond n_bins, so it has no counted sample and gives no score.
  std::vector<uint16_t> codes{0, 0, 1, 1, kMissingBin, 2, kMissingBin};
  std::vector<double> targets{1.0, 2.0, 10.0, 11.0, 1000.0, -500.0, 7.0};
  FoldAssignment folds = make_folds({0, 1, 2, 3, 4, 5, 6}, {0, 0, 0, 0, 1, 1, 1}, 2);
  FastScratch scratch;
  Mean mean;
  for (bool threshold : {true, false}) {
    auto cands = score_regression_fast(codes, targets, folds, 2, 0, mean, scratch, threshold);
    ASSERT_FALSE(cands.empty());
    EXPECT_EQ(cands[0].state, 0u);
    // 20.5 - (2 * 0.25 + 2 * 0.25) / 4
    EXPECT_EQ(cands[0].stats.scores, (std::vector<double>{20.25}));
    EXPECT_EQ(cands[0].stats.n_valid, 1u);
    EXPECT_EQ(cands[0].stats.n_folds, 2u);
  }
}

TEST(FastScoring, CandidateWithoutFoldScoreIsStillEmittedWithMinusInfinity) {
  // Each fold holds a single bin, so every fold has all its samples on one side.
  std::vector<uint16_t> codes{0, 0, 1, 1};
  std::vector<double> targets{1.0, 2.0, 3.0, 4.0};
  FoldAssignment folds = make_folds({0, 1, 2, 3}, {0, 0, 1, 1}, 2);
  FastScratch scratch;
  Mean mean;
  auto cands = score_regression_fast(codes, targets, folds, 2, 0, mean, scratch, true);
  ASSERT_EQ(cands.size(), 1u);
  EXPECT_TRUE(cands[0].stats.scores.empty());
  EXPECT_EQ(cands[0].score, -kInf);
}

struct EnumerationCase {
  size_t n_bins;
  bool threshold;
  std::vector<uint32_t> states;
};

TEST(FastScoring, EnumerationSkipsEmptyBinsAndTheLastThreshold) {
  // Samples only in bins 0, 2 and 3 of four bins (bin 3 also the last).
  std::vector<uint16_t> codes{0, 2, 3, 0, 2, 3};
  std::vector<double> targets{1.0, 5.0, 9.0, 2.0, 4.0, 8.0};
  FoldAssignment folds = make_folds({0, 1, 2, 3, 4, 5}, {0, 0, 0, 1, 1, 1}, 2);
  const std::vector<EnumerationCase> cases{
      {4, true, {0, 2}},
      {4, false, {0, 2, 3}},
      {5, true, {0, 2, 3}},  // bin 4 is now the (empty) last one
      {5, false, {0, 2, 3}},
  };
  Mean mean;
  for (const auto& c : cases) {
    FastScratch scratch;
    auto cands =
        score_regression_fast(codes, targets, folds, c.n_bins, 0, mean, scratch, c.threshold);
    EXPECT_EQ(states_of(cands), c.states) << c.n_bins << " " << c.threshold;
  }
}

TEST(FastScoring, SingleBinGivesNoThresholdAndOneUnscoredMembership) {
  std::vector<uint16_t> codes{0, 0, 0, 0};
  std::vector<double> targets{1.0, 2.0, 3.0, 4.0};
  std::vector<size_t> labels{0, 1, 0, 1};
  FoldAssignment folds = make_folds({0, 1, 2, 3}, {0, 1, 0, 1}, 2);
  FastScratch scratch;
  Mean mean;
  Accuracy accuracy;
  EXPECT_TRUE(score_regression_fast(codes, targets, folds, 1, 0, mean, scratch, true).empty());
  EXPECT_TRUE(score_classification_fast(2, CriterionKind::Gini, codes, labels, folds, 1, 0, mean,
                                        scratch, true)
                  .empty());
  EXPECT_TRUE(score_objective_fast(accuracy, 2, codes, labels, folds, 1, 0, mean, true).empty());

  std::vector<std::vector<ScoredCandidate>> membership;
  membership.push_back(score_regression_fast(codes, targets, folds, 1, 0, mean, scratch, false));
  membership.push_back(score_classification_fast(2, CriterionKind::Entropy, codes, labels, folds, 1,
                                                 0, mean, scratch, false));
  membership.push_back(score_objective_fast(accuracy, 2, codes, labels, folds, 1, 0, mean, false));
  for (const auto& cands : membership) {
    ASSERT_EQ(cands.size(), 1u);
    EXPECT_EQ(cands[0].state, 0u);
    EXPECT_TRUE(cands[0].stats.scores.empty());
    EXPECT_EQ(cands[0].score, -kInf);
  }
}

TEST(FastScoring, ConstantTargetsScoreZero) {
  std::vector<uint16_t> codes{0, 1, 0, 1, 2, 2};
  std::vector<double> targets(6, 0.1);
  FoldAssignment folds = make_folds({0, 1, 2, 3, 4, 5}, {0, 0, 1, 1, 0, 1}, 2);
  FastScratch scratch;
  Mean mean;
  for (bool threshold : {true, false}) {
    auto cands = score_regression_fast(codes, targets, folds, 3, 0, mean, scratch, threshold);
    ASSERT_FALSE(cands.empty());
    for (const auto& c : cands) {
      for (double s : c.stats.scores)
        EXPECT_EQ(s, 0.0);
    }
  }
}

TEST(FastScoring, NoFoldsNoBinsOrNoClassesGiveNothing) {
  TwoFoldRegression d;
  std::vector<size_t> labels{0, 1, 0, 1};
  FoldAssignment no_folds = make_folds({}, {}, 0);
  FastScratch scratch;
  Mean mean;
  Accuracy accuracy;
  EXPECT_TRUE(
      score_regression_fast(d.codes, d.targets, no_folds, 2, 0, mean, scratch, true).empty());
  EXPECT_TRUE(
      score_regression_fast(d.codes, d.targets, d.folds, 0, 0, mean, scratch, false).empty());
  for (bool threshold : {true, false}) {
    EXPECT_TRUE(score_classification_fast(0, CriterionKind::Gini, d.codes, labels, d.folds, 2, 0,
                                          mean, scratch, threshold)
                    .empty());
    EXPECT_TRUE(
        score_objective_fast(accuracy, 0, d.codes, labels, d.folds, 2, 0, mean, threshold).empty());
    EXPECT_TRUE(score_classification_fast(2, CriterionKind::Gini, d.codes, labels, d.folds, 0, 0,
                                          mean, scratch, threshold)
                    .empty());
    EXPECT_TRUE(score_objective_fast(accuracy, 2, d.codes, labels, no_folds, 2, 0, mean, threshold)
                    .empty());
  }
}

// Labels 0 (bin 0) and 1 (bin 1) in each of two folds.
struct TwoFoldClasses {
  std::vector<uint16_t> codes{0, 1, 0, 1};
  std::vector<size_t> labels{0, 1, 0, 1};
  FoldAssignment folds = make_folds({0, 1, 2, 3}, {0, 0, 1, 1}, 2);
};

TEST(FastScoring, ClassificationGiniAndEntropyWorkedExample) {
  TwoFoldClasses d;
  FastScratch scratch;
  Mean mean;
  auto gini = score_classification_fast(2, CriterionKind::Gini, d.codes, d.labels, d.folds, 2, 3,
                                        mean, scratch, true);
  ASSERT_EQ(gini.size(), 1u);
  EXPECT_EQ(gini[0].feature, 3u);
  EXPECT_EQ(gini[0].state, 0u);
  EXPECT_EQ(gini[0].stats.scores, (std::vector<double>{0.5, 0.5}));
  auto entropy = score_classification_fast(2, CriterionKind::Entropy, d.codes, d.labels, d.folds, 2,
                                           3, mean, scratch, true);
  ASSERT_EQ(entropy.size(), 1u);
  EXPECT_EQ(entropy[0].stats.scores, (std::vector<double>{1.0, 1.0}));
}

TEST(FastScoring, ObjectiveAccuracyWorkedExample) {
  // Fold 0 learns from fold 1: left predicts 0, right 1, both of fold 0's samples right
  // (accuracy 1.0); the baseline predicts class 0 (a tie) and scores 0.5.
  TwoFoldClasses d;
  Mean mean;
  Accuracy accuracy;
  auto cands = score_objective_fast(accuracy, 2, d.codes, d.labels, d.folds, 2, 1, mean, true);
  ASSERT_EQ(cands.size(), 1u);
  EXPECT_EQ(cands[0].feature, 1u);
  EXPECT_EQ(cands[0].stats.scores, (std::vector<double>{0.5, 0.5}));
  EXPECT_EQ(cands[0].score, 0.5);
  auto membership =
      score_objective_fast(accuracy, 2, d.codes, d.labels, d.folds, 2, 1, mean, false);
  ASSERT_EQ(states_of(membership), (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(membership[1].stats.scores, (std::vector<double>{0.5, 0.5}));
}

TEST(FastScoring, ObjectiveNeedsBothSidesInTrainingFolds) {
  // Bin 1 lives in fold 0 only: fold 0 has no left training samples, fold 1 no left
  // validation samples, so the candidate gets no fold score at all.
  std::vector<uint16_t> codes{1, 0, 0, 0, 0};
  std::vector<size_t> labels{1, 0, 1, 0, 1};
  FoldAssignment folds = make_folds({0, 1, 2, 3, 4}, {0, 0, 0, 1, 1}, 2);
  Mean mean;
  Accuracy accuracy;
  auto cands = score_objective_fast(accuracy, 2, codes, labels, folds, 2, 0, mean, false);
  ASSERT_EQ(states_of(cands), (std::vector<uint32_t>{0, 1}));
  EXPECT_TRUE(cands[1].stats.scores.empty());
  EXPECT_EQ(cands[1].score, -kInf);
}

TEST(FastScoring, OutOfRangeLabelsAndMissingCodesAreInvisibleToClassifiers) {
  TwoFoldClasses base;
  // The same data plus a label beyond n_classes in each fold and missing / out-of-range codes.
  std::vector<uint16_t> codes = base.codes;
  std::vector<size_t> labels = base.labels;
  std::vector<uint32_t> rows{0, 1, 2, 3};
  std::vector<uint8_t> fold{0, 0, 1, 1};
  const std::vector<std::pair<uint16_t, size_t>> extra{{0, 2}, {1, 9}, {kMissingBin, 0},
                                                       {2, 1}, {0, 2}, {kMissingBin, 1}};
  for (size_t i = 0; i < extra.size(); ++i) {
    codes.push_back(extra[i].first);
    labels.push_back(extra[i].second);
    rows.push_back(static_cast<uint32_t>(4 + i));
    fold.push_back(static_cast<uint8_t>(i % 2));
  }
  FoldAssignment noisy = make_folds(rows, fold, 2);
  Mean mean;
  Accuracy accuracy;
  for (bool threshold : {true, false}) {
    FastScratch scratch;
    for (bool entropy : {false, true}) {
      auto want = score_classification_fast(
          2, entropy ? CriterionKind::Entropy : CriterionKind::Gini, base.codes, base.labels,
          base.folds, 2, 0, mean, scratch, threshold);
      auto got =
          score_classification_fast(2, entropy ? CriterionKind::Entropy : CriterionKind::Gini,
                                    codes, labels, noisy, 2, 0, mean, scratch, threshold);
      ASSERT_EQ(states_of(got), states_of(want));
      for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i].stats.scores, want[i].stats.scores);
    }
    auto want = score_objective_fast(accuracy, 2, base.codes, base.labels, base.folds, 2, 0, mean,
                                     threshold);
    auto got = score_objective_fast(accuracy, 2, codes, labels, noisy, 2, 0, mean, threshold);
    ASSERT_EQ(states_of(got), states_of(want));
    for (size_t i = 0; i < got.size(); ++i)
      EXPECT_EQ(got[i].stats.scores, want[i].stats.scores);
  }
}

TEST(FastScoring, ReusedScratchGivesFreshResultsAndOnlyGrows) {
  std::mt19937_64 rng(5);
  const size_t n = 120;
  std::vector<uint16_t> wide(n), narrow(n);
  std::vector<double> targets(n);
  std::vector<size_t> labels(n);
  std::vector<uint32_t> rows(n);
  std::vector<uint8_t> fold(n);
  for (size_t i = 0; i < n; ++i) {
    wide[i] = static_cast<uint16_t>(rng() % 9);
    narrow[i] = static_cast<uint16_t>(rng() % 3);
    targets[i] = static_cast<double>(rng() % 1000) / 7.0;
    labels[i] = rng() % 3;
    rows[i] = static_cast<uint32_t>(i);
    fold[i] = static_cast<uint8_t>(rng() % 4);
  }
  FoldAssignment folds = make_folds(rows, fold, 4);
  Mean mean;
  FastScratch reused;
  score_regression_fast(wide, targets, folds, 9, 0, mean, reused, true);
  score_classification_fast(3, CriterionKind::Gini, wide, labels, folds, 9, 0, mean, reused, true);
  const size_t regression_size = reused.bin_sums.size();
  const size_t class_size = reused.class_counts.size();
  for (bool threshold : {true, false}) {
    FastScratch fresh;
    auto got = score_regression_fast(narrow, targets, folds, 3, 1, mean, reused, threshold);
    auto want = score_regression_fast(narrow, targets, folds, 3, 1, mean, fresh, threshold);
    ASSERT_EQ(states_of(got), states_of(want));
    for (size_t i = 0; i < got.size(); ++i)
      EXPECT_EQ(got[i].stats.scores, want[i].stats.scores);
    auto got_c = score_classification_fast(3, CriterionKind::Entropy, narrow, labels, folds, 3, 1,
                                           mean, reused, threshold);
    auto want_c = score_classification_fast(3, CriterionKind::Entropy, narrow, labels, folds, 3, 1,
                                            mean, fresh, threshold);
    ASSERT_EQ(states_of(got_c), states_of(want_c));
    for (size_t i = 0; i < got_c.size(); ++i) {
      EXPECT_EQ(got_c[i].stats.scores, want_c[i].stats.scores);
    }
  }
  EXPECT_EQ(reused.bin_sums.size(), regression_size);
  EXPECT_EQ(reused.class_counts.size(), class_size);
}

// ---------------------------------------------------------------------------------------
// Naive recomputation: every candidate and fold counted straight from the samples.

struct RandomNode {
  std::vector<uint16_t> codes;
  std::vector<double> targets;
  std::vector<size_t> labels;
  FoldAssignment folds;
  size_t n_bins = 0;
  size_t n_classes = 0;
};

RandomNode random_node(std::mt19937_64& rng, bool integer_targets) {
  RandomNode r;
  const size_t n_samples = 40 + rng() % 200;
  r.n_bins = 1 + rng() % 9;
  r.n_classes = 1 + rng() % 4;
  const size_t n_folds = 2 + rng() % 4;
  for (size_t i = 0; i < n_samples; ++i) {
    const uint64_t u = rng() % 100;
    // Mostly valid codes, some missing, some at or beyond n_bins.
    uint16_t code = static_cast<uint16_t>(rng() % r.n_bins);
    if (u < 8) code = kMissingBin;
    if (u >= 8 && u < 12) code = static_cast<uint16_t>(r.n_bins + rng() % 3);
    // Skew bins so that some are empty.
    if (r.n_bins > 3 && rng() % 4 == 0 && code < r.n_bins) code = 1;
    r.codes.push_back(code);
    r.targets.push_back(integer_targets ? static_cast<double>(rng() % 41) - 20.0
                                        : std::ldexp(static_cast<double>(rng() >> 11), -50) - 3.0);
    r.labels.push_back(rng() % (r.n_classes + 1));  // includes an out-of-range label
  }
  // The node holds a random subset of the samples in a random order.
  std::vector<uint32_t> all(n_samples);
  for (size_t i = 0; i < n_samples; ++i)
    all[i] = static_cast<uint32_t>(i);
  std::shuffle(all.begin(), all.end(), rng);
  all.resize(n_samples - rng() % 10);
  r.folds.rows = all;
  r.folds.n_folds = n_folds;
  for (size_t j = 0; j < all.size(); ++j)
    r.folds.fold.push_back(static_cast<uint8_t>(rng() % n_folds));
  return r;
}

double clamped(double v) {
  return v >= 0.0 ? v : 0.0;
}

struct NaiveCandidate {
  uint32_t state;
  std::vector<double> scores;
};

bool counted(const RandomNode& r, uint32_t s, bool need_label) {
  const uint16_t b = r.codes[s];
  return b != kMissingBin && b < r.n_bins && (!need_label || r.labels[s] < r.n_classes);
}

bool on_left(uint16_t b, uint32_t k, bool threshold) {
  return threshold ? b <= k : b == k;
}

std::vector<uint32_t> naive_states(const RandomNode& r, bool threshold, bool need_label) {
  std::vector<uint32_t> states;
  for (uint32_t k = 0; k < r.n_bins; ++k) {
    if (threshold && k + 1 == r.n_bins) continue;
    bool present = false;
    for (uint32_t s : r.folds.rows)
      present = present || (counted(r, s, need_label) && r.codes[s] == k);
    if (present) states.push_back(k);
  }
  return states;
}

std::vector<NaiveCandidate> naive_regression(const RandomNode& r, bool threshold) {
  std::vector<NaiveCandidate> out;
  for (uint32_t k : naive_states(r, threshold, false)) {
    NaiveCandidate c{k, {}};
    for (size_t m = 0; m < r.folds.n_folds; ++m) {
      uint64_t n = 0, nl = 0;
      double s = 0.0, q = 0.0, sl = 0.0, ql = 0.0;
      for (size_t j = 0; j < r.folds.rows.size(); ++j) {
        const uint32_t i = r.folds.rows[j];
        if (r.folds.fold[j] != m || !counted(r, i, false)) continue;
        const double y = r.targets[i];
        ++n;
        s += y;
        q += y * y;
        if (on_left(r.codes[i], k, threshold)) {
          ++nl;
          sl += y;
          ql += y * y;
        }
      }
      if (n == 0 || nl == 0 || nl == n) continue;
      const double dn = static_cast<double>(n), dl = static_cast<double>(nl),
                   dr = static_cast<double>(n - nl);
      const double v = clamped(q / dn - (s / dn) * (s / dn));
      const double vl = clamped(ql / dl - (sl / dl) * (sl / dl));
      const double vr = clamped((q - ql) / dr - ((s - sl) / dr) * ((s - sl) / dr));
      c.scores.push_back(v - (dr * vr + dl * vl) / dn);
    }
    out.push_back(std::move(c));
  }
  return out;
}

double naive_impurity(const std::vector<uint64_t>& counts, bool entropy) {
  uint64_t total = 0;
  for (uint64_t x : counts)
    total += x;
  const double t = static_cast<double>(total);
  double acc = 0.0;
  for (uint64_t x : counts) {
    const double p = static_cast<double>(x) / t;
    if (entropy) {
      if (x > 0) acc -= p * std::log2(p);
    } else {
      acc += p * p;
    }
  }
  return entropy ? acc : 1.0 - acc;
}

std::vector<NaiveCandidate> naive_classification(const RandomNode& r, bool threshold,
                                                 bool entropy) {
  std::vector<NaiveCandidate> out;
  for (uint32_t k : naive_states(r, threshold, true)) {
    NaiveCandidate c{k, {}};
    for (size_t m = 0; m < r.folds.n_folds; ++m) {
      std::vector<uint64_t> parent(r.n_classes, 0), left(r.n_classes, 0), right(r.n_classes, 0);
      for (size_t j = 0; j < r.folds.rows.size(); ++j) {
        const uint32_t i = r.folds.rows[j];
        if (r.folds.fold[j] != m || !counted(r, i, true)) continue;
        ++parent[r.labels[i]];
        ++(on_left(r.codes[i], k, threshold) ? left : right)[r.labels[i]];
      }
      uint64_t n = 0, nl = 0;
      for (size_t cl = 0; cl < r.n_classes; ++cl) {
        n += parent[cl];
        nl += left[cl];
      }
      if (n == 0 || nl == 0 || nl == n) continue;
      const double dn = static_cast<double>(n), dl = static_cast<double>(nl),
                   dr = static_cast<double>(n - nl);
      c.scores.push_back(
          naive_impurity(parent, entropy) -
          (dr * naive_impurity(right, entropy) + dl * naive_impurity(left, entropy)) / dn);
    }
    out.push_back(std::move(c));
  }
  return out;
}

size_t argmax(const std::vector<uint64_t>& v) {
  size_t best = 0;
  for (size_t i = 1; i < v.size(); ++i) {
    if (v[i] > v[best]) best = i;
  }
  return best;
}

uint64_t total(const std::vector<uint64_t>& v) {
  uint64_t t = 0;
  for (uint64_t x : v)
    t += x;
  return t;
}

std::vector<NaiveCandidate> naive_objective(const RandomNode& r, const ClassObjective& objective,
                                            bool threshold) {
  std::vector<NaiveCandidate> out;
  const size_t nc = r.n_classes;
  for (uint32_t k : naive_states(r, threshold, true)) {
    NaiveCandidate c{k, {}};
    for (size_t m = 0; m < r.folds.n_folds; ++m) {
      std::vector<uint64_t> lv(nc, 0), rv(nc, 0), lt(nc, 0), rt(nc, 0), v(nc, 0), tr(nc, 0);
      for (size_t j = 0; j < r.folds.rows.size(); ++j) {
        const uint32_t i = r.folds.rows[j];
        if (!counted(r, i, true)) continue;
        const size_t y = r.labels[i];
        const bool left = on_left(r.codes[i], k, threshold);
        if (r.folds.fold[j] == m) {
          ++v[y];
          ++(left ? lv : rv)[y];
        } else {
          ++tr[y];
          ++(left ? lt : rt)[y];
        }
      }
      if (total(v) == 0 || total(lv) == 0 || total(rv) == 0 || total(lt) == 0 || total(rt) == 0) {
        continue;
      }
      Confusion split = Confusion::zero(nc);
      split.add_group(argmax(lt), lv);
      split.add_group(argmax(rt), rv);
      Confusion base = Confusion::zero(nc);
      base.add_group(argmax(tr), v);
      c.scores.push_back(objective.score(split) - objective.score(base));
    }
    out.push_back(std::move(c));
  }
  return out;
}

void expect_same(const std::vector<ScoredCandidate>& got, const std::vector<NaiveCandidate>& want,
                 size_t n_folds, bool exact) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].state, want[i].state);
    EXPECT_EQ(got[i].feature, 4u);
    EXPECT_EQ(got[i].stats.n_folds, n_folds);
    ASSERT_EQ(got[i].stats.scores.size(), want[i].scores.size()) << "state " << want[i].state;
    for (size_t m = 0; m < want[i].scores.size(); ++m) {
      if (exact) {
        EXPECT_EQ(got[i].stats.scores[m], want[i].scores[m]);
      } else {
        EXPECT_NEAR(got[i].stats.scores[m], want[i].scores[m],
                    1e-9 * (1.0 + std::fabs(want[i].scores[m])));
      }
    }
    if (want[i].scores.empty()) {
      EXPECT_EQ(got[i].score, -kInf);
    }
  }
}

TEST(FastScoring, RegressionMatchesNaiveRecomputation) {
  std::mt19937_64 rng(11);
  Mean mean;
  FastScratch scratch;  // reused across every call, as on the serial path
  for (int trial = 0; trial < 60; ++trial) {
    const bool integer_targets = trial % 2 == 0;
    const RandomNode r = random_node(rng, integer_targets);
    for (bool threshold : {true, false}) {
      auto got =
          score_regression_fast(r.codes, r.targets, r.folds, r.n_bins, 4, mean, scratch, threshold);
      // Integer targets sum exactly in any order; otherwise only the membership rule adds in
      // the same order as the recomputation.
      expect_same(got, naive_regression(r, threshold), r.folds.n_folds,
                  integer_targets || !threshold);
    }
  }
}

TEST(FastScoring, ClassificationMatchesNaiveRecomputation) {
  std::mt19937_64 rng(12);
  Mean mean;
  FastScratch scratch;
  for (int trial = 0; trial < 60; ++trial) {
    const RandomNode r = random_node(rng, true);
    for (bool threshold : {true, false}) {
      for (bool entropy : {false, true}) {
        const CriterionKind kind = entropy ? CriterionKind::Entropy : CriterionKind::Gini;
        auto got = score_classification_fast(r.n_classes, kind, r.codes, r.labels, r.folds,
                                             r.n_bins, 4, mean, scratch, threshold);
        expect_same(got, naive_classification(r, threshold, entropy), r.folds.n_folds, true);
      }
    }
  }
}

TEST(FastScoring, ObjectiveMatchesNaiveRecomputation) {
  std::mt19937_64 rng(13);
  Median median;
  const Accuracy accuracy;
  const F1 f1_macro(Average::Macro, 0);
  const Recall recall_binary(Average::Binary, 1);
  const std::vector<const ClassObjective*> objectives{&accuracy, &f1_macro, &recall_binary};
  for (int trial = 0; trial < 45; ++trial) {
    const RandomNode r = random_node(rng, true);
    const ClassObjective& objective = *objectives[trial % objectives.size()];
    for (bool threshold : {true, false}) {
      auto got = score_objective_fast(objective, r.n_classes, r.codes, r.labels, r.folds, r.n_bins,
                                      4, median, threshold);
      expect_same(got, naive_objective(r, objective, threshold), r.folds.n_folds, true);
      for (const auto& c : got) {
        if (!c.stats.scores.empty()) {
          EXPECT_EQ(c.score, c.stats.median);
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------------------

TEST(FastScoring, PartitionKeepsLeftOrderAndSwapsAsSpecified) {
  // Codes indexed by sample number.
  const std::vector<uint16_t> codes{1, 0, 1, 0, 0, 1, kMissingBin, 2};
  struct Case {
    PartitionMode mode;
    uint16_t k;
    std::vector<uint32_t> order;
    size_t n_left;
  };
  const std::vector<Case> cases{
      {PartitionMode::AtMost, 0, {1, 3, 4, 0, 2, 5, 6, 7}, 3},
      {PartitionMode::Equal, 1, {0, 2, 5, 3, 4, 1, 6, 7}, 3},
      {PartitionMode::AtMost, 2, {0, 1, 2, 3, 4, 5, 7, 6}, 7},
      // The missing code never goes left, even against the largest bin number.
      {PartitionMode::AtMost, 65534, {0, 1, 2, 3, 4, 5, 7, 6}, 7},
      {PartitionMode::Equal, 3, {0, 1, 2, 3, 4, 5, 6, 7}, 0},
  };
  for (const auto& c : cases) {
    std::vector<uint32_t> samples{0, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(partition_in_place(samples, codes, c.k, c.mode), c.n_left);
    EXPECT_EQ(samples, c.order);
  }
}

// ---------------------------------------------------------------------------------------

bool same_bits(double a, double b) {
  uint64_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

// The winner that best_candidate picks from the full candidate lists.
void expect_same_winner(const std::vector<ScoredCandidate>& list, const BestSplit& best,
                        const std::string& label) {
  const ScoredCandidate* want = best_candidate(list);
  ASSERT_EQ(best.found, want != nullptr) << label;
  if (want == nullptr) return;
  EXPECT_EQ(best.feature, want->feature) << label;
  EXPECT_EQ(best.state, want->state) << label;
  EXPECT_TRUE(same_bits(best.score, want->score))
      << label << ": " << best.score << " vs " << want->score;
}

// A node's dealt entries (by sample number) with their targets gathered in dealt order, as
// the fast scorers read them.
struct GatheredRows {
  FoldAssignment folds;
  std::vector<double> y, fold_sums, fold_sq_sums;
  std::vector<uint32_t> label;
  size_t n_classes;

  GatheredRows(const FoldAssignment& dealt, std::span<const double> targets,
               std::span<const size_t> labels, size_t classes)
      : folds(dealt), y(dealt.rows.size()), label(dealt.rows.size()), n_classes(classes) {
    gather_regression(targets, folds.rows, folds.fold, folds.n_folds, y, fold_sums, fold_sq_sums);
    gather_labels(labels, n_classes, folds.rows, label);
  }

  RowsView view() const {
    return RowsView{folds.rows, folds.fold,   folds.n_folds, y,
                    fold_sums,  fold_sq_sums, label,         n_classes};
  }
};

TEST(FastScoring, BestSplitPicksTheWinnerOfTheFullCandidateLists) {
  std::mt19937_64 rng(5);
  Mean mean;
  Median median;
  TrimmedMean trimmed(0.2);
  MeanMinusLambdaStd lambda_std(0.5);
  SignalToNoise signal(1e-9);
  const std::vector<const Aggregator*> aggregators{&mean, &median, &trimmed, &lambda_std, &signal};
  FastScratch list_scratch;
  FastScratch best_scratch;  // reused, as across the nodes of a fit
  for (int trial = 0; trial < 100; ++trial) {
    // Integer targets make ties between features and states common.
    const RandomNode r = random_node(rng, trial % 2 == 0);
    std::vector<uint16_t> other = r.codes;  // a second feature over the same samples
    std::shuffle(other.begin(), other.end(), rng);
    const Aggregator& aggregator = *aggregators[trial % aggregators.size()];
    const GatheredRows gathered(r.folds, r.targets, r.labels, r.n_classes);
    const RowsView rows = gathered.view();
    const std::string label = "trial " + std::to_string(trial);
    for (bool threshold : {true, false}) {
      std::vector<ScoredCandidate> list = score_regression_fast(
          r.codes, r.targets, r.folds, r.n_bins, 3, aggregator, list_scratch, threshold);
      for (auto& c : score_regression_fast(other, r.targets, r.folds, r.n_bins, 5, aggregator,
                                           list_scratch, threshold))
        list.push_back(std::move(c));
      BestSplit best;
      best_regression_fast(rows, r.codes, r.n_bins, 3, aggregator, {}, best_scratch, threshold,
                           false, best);
      best_regression_fast(rows, other, r.n_bins, 5, aggregator, {}, best_scratch, threshold, false,
                           best);
      expect_same_winner(list, best, label + " regression");

      // Each feature on its own, merged in feature order, picks the same.
      BestSplit first, second;
      best_regression_fast(rows, r.codes, r.n_bins, 3, aggregator, {}, best_scratch, threshold,
                           false, first);
      best_regression_fast(rows, other, r.n_bins, 5, aggregator, {}, best_scratch, threshold, false,
                           second);
      first.merge(second);
      expect_same_winner(list, first, label + " merged");

      for (const CriterionKind kind : {CriterionKind::Gini, CriterionKind::Entropy}) {
        const bool entropy = kind == CriterionKind::Entropy;
        std::vector<ScoredCandidate> classes =
            score_classification_fast(r.n_classes, kind, r.codes, r.labels, r.folds, r.n_bins, 3,
                                      aggregator, list_scratch, threshold);
        for (auto& c : score_classification_fast(r.n_classes, kind, other, r.labels, r.folds,
                                                 r.n_bins, 5, aggregator, list_scratch, threshold))
          classes.push_back(std::move(c));
        BestSplit class_best;
        best_classification_fast(rows, kind, r.codes, r.n_bins, 3, aggregator, {}, best_scratch,
                                 threshold, false, class_best);
        best_classification_fast(rows, kind, other, r.n_bins, 5, aggregator, {}, best_scratch,
                                 threshold, false, class_best);
        expect_same_winner(classes, class_best, label + (entropy ? " entropy" : " gini"));
      }
    }
  }
}

TEST(FastScoring, DealingMatchesTheFoldAssignment) {
  std::mt19937_64 rng(17);
  // Reused, with stale entries: the dealing must overwrite every one.
  std::vector<uint32_t> rows;
  std::vector<uint8_t> fold;
  for (int trial = 0; trial < 60; ++trial) {
    const size_t n = rng() % 300;
    std::vector<uint32_t> samples(n);
    for (auto& s : samples)
      s = static_cast<uint32_t>(rng() % 100000);
    KFold kfold;
    kfold.k = std::vector<size_t>{0, 2, 3, 5, 10, 300, 1000}[trial % 7];
    kfold.seed = rng();
    kfold.shuffle = trial % 3 != 0;
    const std::vector<size_t> wide(samples.begin(), samples.end());
    const FoldAssignment want = kfold.assign(wide);

    rows.resize(n, 77777);
    fold.resize(n, 201);
    EXPECT_EQ(deal_positions(kfold, rows, fold), want.n_folds) << "trial " << trial;
    // Dealing positions is the same shuffle: position j names the sample dealt j-th.
    for (size_t j = 0; j < n; ++j)
      EXPECT_EQ(samples[rows[j]], want.rows[j]) << "trial " << trial << " entry " << j;
    EXPECT_EQ(fold, want.fold) << "trial " << trial;
  }
}

// The gathers give a naive gather's values and per-fold sums bit for bit, and the node stash
// hands them to the scorers from the node's own stretch.
TEST(FastScoring, GathersAndTheNodeStashMatchANaiveGather) {
  std::mt19937_64 rng(23);
  std::normal_distribution<double> normal(0.0, 1e3);
  for (int trial = 0; trial < 20; ++trial) {
    const size_t n = 1 + rng() % 400;
    std::vector<double> targets(n);
    std::vector<size_t> labels(n);
    for (size_t i = 0; i < n; ++i) {
      targets[i] = normal(rng);
      labels[i] = rng() % 5;  // class 4 is out of range for 4 classes
    }
    KFold kfold;
    kfold.k = 2 + trial % 7;
    kfold.seed = rng();
    std::vector<uint32_t> rows(n);
    std::vector<uint8_t> fold(n);
    const size_t n_folds = deal_positions(kfold, rows, fold);

    std::vector<double> want_y(n), want_sums(n_folds, 0.0), want_sq_sums(n_folds, 0.0);
    std::vector<uint32_t> want_label(n);
    for (size_t j = 0; j < n; ++j) {
      const double v = targets[rows[j]];
      want_y[j] = v;
      want_sums[fold[j]] += v;
      want_sq_sums[fold[j]] += v * v;
      want_label[j] = labels[rows[j]] < 4 ? static_cast<uint32_t>(labels[rows[j]]) : 4;
    }
    const auto expect_same_sums = [&](std::span<const double> sums,
                                      std::span<const double> sq_sums) {
      ASSERT_EQ(sums.size(), n_folds);
      ASSERT_EQ(sq_sums.size(), n_folds);
      for (size_t m = 0; m < n_folds; ++m) {
        EXPECT_EQ(std::bit_cast<uint64_t>(sums[m]), std::bit_cast<uint64_t>(want_sums[m]));
        EXPECT_EQ(std::bit_cast<uint64_t>(sq_sums[m]), std::bit_cast<uint64_t>(want_sq_sums[m]));
      }
    };

    std::vector<double> y(n, -1.0);
    std::vector<double> sums{9.0}, sq_sums{9.0, 9.0, 9.0, 9.0, 9.0, 9.0, 9.0, 9.0, 9.0, 9.0};
    gather_regression(targets, rows, fold, n_folds, y, sums, sq_sums);
    expect_same_sums(sums, sq_sums);
    EXPECT_EQ(y, want_y);
    std::vector<uint32_t> label(n, 99);
    gather_labels(labels, 4, rows, label);
    EXPECT_EQ(label, want_label);

    // The node's stretch starts after `offset` entries of other nodes; its targets are given
    // in stretch order, so the stash deals and gathers exactly as above.
    const size_t offset = trial % 3;
    Regression regression;
    NodeStash<Regression> regression_stash(offset + n, false);
    PreparedNode<Regression> regression_node;
    regression_stash.deal(regression, kfold, offset, targets, {}, regression_node);
    const RowsView y_view = regression_stash.view(regression, offset, regression_node);
    EXPECT_EQ(regression_node.n_folds, n_folds);
    EXPECT_TRUE(std::equal(y_view.rows.begin(), y_view.rows.end(), rows.begin(), rows.end()));
    EXPECT_TRUE(std::equal(y_view.fold.begin(), y_view.fold.end(), fold.begin(), fold.end()));
    EXPECT_TRUE(std::equal(y_view.y.begin(), y_view.y.end(), want_y.begin(), want_y.end()));
    expect_same_sums(y_view.fold_sums, y_view.fold_sq_sums);

    Classification classification;
    classification.n_classes = 4;
    NodeStash<Classification> label_stash(offset + n, false);
    PreparedNode<Classification> label_node;
    label_stash.deal(classification, kfold, offset, labels, {}, label_node);
    const RowsView label_view = label_stash.view(classification, offset, label_node);
    EXPECT_EQ(label_view.n_classes, 4u);
    EXPECT_TRUE(std::equal(label_view.label.begin(), label_view.label.end(), want_label.begin(),
                           want_label.end()));
  }
}

}  // namespace
}  // namespace zelk
