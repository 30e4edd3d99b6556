#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "core/cross_validation.hpp"

namespace zelk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<size_t> iota(size_t n, size_t from = 0) {
  std::vector<size_t> v(n);
  std::iota(v.begin(), v.end(), from);
  return v;
}

struct PermutationCase {
  uint64_t seed;
  std::vector<size_t> input;
  std::vector<size_t> dealt;
};

TEST(CrossValidation, ShufflePermutationsArePinned) {
  const PermutationCase cases[] = {
      {42, {0, 1, 2, 3, 4}, {3, 0, 2, 4, 1}},
      {0, iota(10), {7, 0, 4, 6, 2, 5, 8, 3, 9, 1}},
      {0, {0, 1}, {0, 1}},
      {1, {0, 1}, {1, 0}},
      {5, {}, {}},
      {5, {9}, {9}},
  };
  for (const PermutationCase& c : cases) {
    const KFold kfold{3, c.seed, true};
    EXPECT_EQ(kfold.dealt_order(c.input), c.dealt) << "seed " << c.seed;
  }
}

TEST(CrossValidation, ShuffleMovesPositionsNotValues) {
  // The permutation depends on the seed and the list length only, so a relabelled list is
  // dealt in the same positional order, and the same list twice gives the same result.
  const KFold kfold{4, 0, true};
  const std::vector<size_t> forward = iota(10);
  std::vector<size_t> relabelled(10);
  for (size_t i = 0; i < 10; ++i)
    relabelled[i] = 100 + 9 - i;
  const std::vector<size_t> a = kfold.dealt_order(forward);
  const std::vector<size_t> b = kfold.dealt_order(relabelled);
  ASSERT_EQ(a.size(), b.size());
  for (size_t p = 0; p < a.size(); ++p)
    EXPECT_EQ(b[p], 100 + 9 - a[p]);
  EXPECT_EQ(kfold.dealt_order(forward), a);
  EXPECT_NE(kfold.dealt_order(std::vector<size_t>(relabelled.rbegin(), relabelled.rend())),
            kfold.dealt_order(relabelled));
}

TEST(CrossValidation, SeededWorkedFoldsAndAssignment) {
  const KFold kfold{2, 42, true};
  const std::vector<size_t> samples = iota(5);
  const std::vector<Fold> folds = kfold.folds(samples);
  ASSERT_EQ(folds.size(), 2u);
  EXPECT_EQ(folds[0].validation, (std::vector<size_t>{3, 0, 2}));
  EXPECT_EQ(folds[0].train, (std::vector<size_t>{4, 1}));
  EXPECT_EQ(folds[1].validation, (std::vector<size_t>{4, 1}));
  EXPECT_EQ(folds[1].train, (std::vector<size_t>{3, 0, 2}));

  const FoldAssignment assignment = kfold.assign(samples);
  EXPECT_EQ(assignment.rows, (std::vector<uint32_t>{3, 0, 2, 4, 1}));
  EXPECT_EQ(assignment.fold, (std::vector<uint8_t>{0, 0, 0, 1, 1}));
  EXPECT_EQ(assignment.n_folds, 2u);
}

TEST(CrossValidation, UnshuffledBlocksKeepListOrder) {
  const std::vector<size_t> samples = iota(10, 20);
  const std::vector<Fold> folds = KFold{3, 0, false}.folds(samples);
  ASSERT_EQ(folds.size(), 3u);
  EXPECT_EQ(folds[0].validation, (std::vector<size_t>{20, 21, 22, 23}));
  EXPECT_EQ(folds[1].validation, (std::vector<size_t>{24, 25, 26}));
  EXPECT_EQ(folds[2].validation, (std::vector<size_t>{27, 28, 29}));
  EXPECT_EQ(folds[1].train, (std::vector<size_t>{20, 21, 22, 23, 27, 28, 29}));
  EXPECT_EQ(folds[0].train, (std::vector<size_t>{24, 25, 26, 27, 28, 29}));
  EXPECT_EQ(folds[2].train, (std::vector<size_t>{20, 21, 22, 23, 24, 25, 26}));

  // Without shuffling the seed is irrelevant.
  for (uint64_t seed : {1ull, 42ull, ~0ull}) {
    const std::vector<Fold> other = KFold{3, seed, false}.folds(samples);
    for (size_t f = 0; f < 3; ++f) {
      EXPECT_EQ(other[f].validation, folds[f].validation);
      EXPECT_EQ(other[f].train, folds[f].train);
    }
    EXPECT_EQ((KFold{3, seed, false}.assign(samples).rows),
              (std::vector<uint32_t>{20, 21, 22, 23, 24, 25, 26, 27, 28, 29}));
  }
}

struct CountCase {
  size_t k;
  size_t n;
  size_t folds;
  size_t assigned;
};

TEST(CrossValidation, FoldCounts) {
  const CountCase cases[] = {
      {0, 10, 2, 2}, {1, 10, 2, 2},        {2, 10, 2, 2},         {5, 3, 3, 3},
      {3, 2, 2, 2},  {300, 300, 300, 255}, {1000, 600, 600, 255},
  };
  for (const CountCase& c : cases) {
    const KFold kfold{c.k, 9, true};
    const std::vector<size_t> samples = iota(c.n);
    const std::vector<Fold> folds = kfold.folds(samples);
    EXPECT_EQ(folds.size(), c.folds) << "k " << c.k << " n " << c.n;
    for (const Fold& f : folds)
      EXPECT_FALSE(f.validation.empty());
    EXPECT_EQ(kfold.assign(samples).n_folds, c.assigned) << "k " << c.k << " n " << c.n;
  }
}

TEST(CrossValidation, AssignCapsAt255Folds) {
  const FoldAssignment a = KFold{300, 3, true}.assign(iota(300));
  ASSERT_EQ(a.n_folds, 255u);
  std::vector<size_t> sizes(255, 0);
  for (uint8_t f : a.fold) {
    ASSERT_LT(f, 255);
    ++sizes[f];
  }
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 2u), 45);
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 1u), 210);
  // The larger folds come first.
  EXPECT_TRUE(std::is_sorted(sizes.rbegin(), sizes.rend()));
  EXPECT_TRUE(std::is_sorted(a.fold.begin(), a.fold.end()));
}

// folds and assign must deal identically, and every fold must partition the node.
TEST(CrossValidation, FoldsAndAssignAgreeOnRandomInputs) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 100; ++round) {
    const size_t n = 2 + rng() % 120;
    std::vector<size_t> samples(n);
    for (size_t& s : samples)
      s = rng() % 100000;
    std::sort(samples.begin(), samples.end());
    samples.erase(std::unique(samples.begin(), samples.end()), samples.end());
    if (samples.size() < 2) continue;
    std::shuffle(samples.begin(), samples.end(), rng);
    const KFold kfold{rng() % 12, rng(), rng() % 2 == 0};
    const std::vector<Fold> folds = kfold.folds(samples);
    const FoldAssignment a = kfold.assign(samples);
    ASSERT_EQ(a.n_folds, folds.size());
    ASSERT_EQ(a.rows.size(), samples.size());
    size_t position = 0;
    for (size_t f = 0; f < folds.size(); ++f) {
      for (size_t s : folds[f].validation) {
        EXPECT_EQ(a.rows[position], s);
        EXPECT_EQ(a.fold[position], f);
        ++position;
      }
      std::vector<size_t> all = folds[f].train;
      all.insert(all.end(), folds[f].validation.begin(), folds[f].validation.end());
      std::sort(all.begin(), all.end());
      std::vector<size_t> expected = samples;
      std::sort(expected.begin(), expected.end());
      EXPECT_EQ(all, expected);
    }
    EXPECT_EQ(position, samples.size());
  }
}

// Dealing with an index gives the same folds, and the index names each entry's place, for
// sample lists with repeats as well.
TEST(CrossValidation, IndexedFoldsAreTheFoldsAndLocateEveryEntry) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 100; ++round) {
    const size_t n = 2 + rng() % 150;
    std::vector<size_t> samples(n);
    for (size_t& s : samples)
      s = rng() % (round % 3 == 0 ? 20 : 100000);
    const KFold kfold{rng() % 12, rng(), rng() % 2 == 0};
    const std::vector<Fold> plain = kfold.folds(samples);
    FoldIndex index;
    const std::vector<Fold> folds = kfold.folds(samples, index);
    ASSERT_EQ(folds.size(), plain.size());
    for (size_t f = 0; f < folds.size(); ++f) {
      EXPECT_EQ(folds[f].validation, plain[f].validation);
      EXPECT_EQ(folds[f].train, plain[f].train);
    }
    ASSERT_EQ(index.fold.size(), n);
    ASSERT_EQ(index.place.size(), n);
    std::vector<std::vector<int>> hits(folds.size());
    for (size_t f = 0; f < folds.size(); ++f)
      hits[f].assign(folds[f].validation.size(), 0);
    for (size_t p = 0; p < n; ++p) {
      ASSERT_LT(index.fold[p], folds.size());
      const Fold& fold = folds[index.fold[p]];
      ASSERT_LT(index.place[p], fold.validation.size());
      EXPECT_EQ(fold.validation[index.place[p]], samples[p]);
      ++hits[index.fold[p]][index.place[p]];
    }
    for (const auto& list : hits)
      for (int h : list)
        EXPECT_EQ(h, 1);
  }
}

TEST(CrossValidation, ValidationCodesUseTrainingEdgesOnly) {
  // Training values 1..4 give the edge 3 with two bins; the large validation values would
  // move it if they took part.
  const Column column = Column::continuous({1, 2, 3, 4, 2.9, 3.0, 100, 100, kNaN, kInf, -kInf, -5});
  Fold fold;
  fold.train = {0, 1, 2, 3};
  fold.validation = {4, 5, 6, 7, 8, 9, 10, 11};
  EXPECT_EQ(fold_val_codes(column, fold, 2),
            (std::vector<uint32_t>{0, 1, 1, 1, kMissingCode, kMissingCode, kMissingCode, 0}));
  EXPECT_EQ(fold_val_codes(column, fold, 4),
            (std::vector<uint32_t>{1, 2, 3, 3, kMissingCode, kMissingCode, kMissingCode, 0}));
  EXPECT_EQ(fold_val_codes(column, fold, 1),
            (std::vector<uint32_t>{0, 0, 0, 0, kMissingCode, kMissingCode, kMissingCode, 0}));
  Fold no_train;
  no_train.validation = {0, 8};
  EXPECT_EQ(fold_val_codes(column, no_train, 8), (std::vector<uint32_t>{0, kMissingCode}));
}

TEST(CrossValidation, ValidationCodesOfCategoricalAreStoredCodes) {
  const Column column = Column::categorical({4, 9, kMissingCode, 2});
  Fold fold;
  fold.train = {0, 1};
  fold.validation = {3, 2, 1};
  EXPECT_EQ(fold_val_codes(column, fold, 2), (std::vector<uint32_t>{2, kMissingCode, 9}));
}

TEST(CrossValidation, StatsOfNoScores) {
  const FoldStats stats = FoldStats::from_scores({}, 5);
  EXPECT_EQ(stats.mean, -kInf);
  EXPECT_EQ(stats.median, -kInf);
  EXPECT_EQ(stats.std, 0.0);
  EXPECT_EQ(stats.n_valid, 0u);
  EXPECT_EQ(stats.n_folds, 5u);
  EXPECT_TRUE(stats.scores.empty());
}

TEST(CrossValidation, StatsOfScores) {
  const FoldStats even = FoldStats::from_scores({4, 1, 3, 2}, 6);
  EXPECT_EQ(even.mean, 2.5);
  EXPECT_EQ(even.median, 2.5);
  EXPECT_EQ(even.std, std::sqrt(1.25));
  EXPECT_EQ(even.n_valid, 4u);
  EXPECT_EQ(even.n_folds, 6u);
  EXPECT_EQ(even.scores, (std::vector<double>{4, 1, 3, 2}));  // fold order kept

  const FoldStats odd = FoldStats::from_scores({5, -1, 3}, 3);
  EXPECT_EQ(odd.median, 3.0);
  EXPECT_EQ(odd.mean, 7.0 / 3.0);

  const FoldStats single = FoldStats::from_scores({0.25}, 1);
  EXPECT_EQ(single.mean, 0.25);
  EXPECT_EQ(single.median, 0.25);
  EXPECT_EQ(single.std, 0.0);
}

TEST(CrossValidation, StatsSumInListOrderAndSortByTotalOrder) {
  // 1 + 2^53 rounds back to 2^53, so the list-order sum is 0; any other order gives 1.
  const double big = 9007199254740992.0;
  const FoldStats stats = FoldStats::from_scores({1.0, big, -big}, 3);
  EXPECT_EQ(stats.mean, 0.0);
  EXPECT_EQ(stats.median, 1.0);

  // Under the total order -0.0 precedes +0.0, whatever the input order.
  const FoldStats zeros = FoldStats::from_scores({0.0, -0.0, -1.0}, 3);
  EXPECT_TRUE(zeros.median == 0.0 && std::signbit(zeros.median));
  const FoldStats zeros2 = FoldStats::from_scores({-0.0, 0.0, 1.0}, 3);
  EXPECT_TRUE(zeros2.median == 0.0 && !std::signbit(zeros2.median));
}

}  // namespace
}  // namespace zelk
