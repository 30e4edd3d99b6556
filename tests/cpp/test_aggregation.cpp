#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "core/aggregation.hpp"

namespace zelk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double trimmed(std::vector<double> scores, double frac) {
  return TrimmedMean(frac).aggregate(FoldStats::from_scores(std::move(scores), 5));
}

TEST(Aggregation, NoScoresRankBelowEverything) {
  std::vector<std::unique_ptr<Aggregator>> aggregators;
  aggregators.push_back(std::make_unique<Mean>());
  aggregators.push_back(std::make_unique<Median>());
  for (double p : {0.0, 0.3, -1.0, kNaN, kInf}) {
    aggregators.push_back(std::make_unique<TrimmedMean>(p));
    aggregators.push_back(std::make_unique<SignalToNoise>(p));
    aggregators.push_back(std::make_unique<MeanMinusLambdaStd>(p));
  }
  // Fields set as if scored: only the count decides.
  FoldStats stale;
  stale.mean = 5.0;
  stale.median = 5.0;
  stale.std = 1.0;
  stale.n_valid = 0;
  stale.n_folds = 4;
  const FoldStats empty = FoldStats::from_scores({}, 4);
  for (const auto& aggregator : aggregators) {
    EXPECT_EQ(aggregator->aggregate(empty), -kInf) << aggregator->name();
    EXPECT_EQ(aggregator->aggregate(stale), -kInf) << aggregator->name();
  }
}

struct TrimCase {
  const char* label;
  std::vector<double> scores;
  double frac;
  double expected;
};

TEST(Aggregation, TrimmedMeanCases) {
  const TrimCase cases[] = {
      {"one trimmed from each end", {1, 2, 3, 4, 100}, 0.2, 3.0},
      {"order of the folds does not matter", {100, 3, 1, 4, 2}, 0.2, 3.0},
      {"no trimming", {1, 2, 3, 4, 100}, 0.0, 22.0},
      {"half keeps the middle score", {1, 2, 3, 4, 100}, 0.5, 3.0},
      {"beyond half is capped", {1, 2, 3, 4, 100}, 0.9, 3.0},
      {"negative trims nothing", {1, 2, 3, 4, 100}, -1.0, 22.0},
      {"NaN trims nothing", {1, 2, 3, 4, 100}, kNaN, 22.0},
      {"huge saturates then caps", {1, 2, 3, 4, 100}, 1e300, 3.0},
      {"infinite saturates then caps", {1, 2, 3, 4, 100}, kInf, 3.0},
      {"even length keeps two middle scores", {10, 1, 3, 2}, 0.5, 2.5},
      {"floor of 1.0", {10, 1, 3, 2}, 0.25, 2.5},
      {"floor of 0.96", {10, 1, 3, 2}, 0.24, 4.0},
      {"two scores are never trimmed", {1, 4}, 0.9, 2.5},
      {"single score", {7.5}, 0.4, 7.5},
  };
  for (const TrimCase& c : cases) {
    EXPECT_EQ(trimmed(c.scores, c.frac), c.expected) << c.label;
  }
}

TEST(Aggregation, TrimmedMeanSumsFromTheLowestScoreUp) {
  // Ascending: 1 + 1 + 2^53 is exact; any order adding 1 to 2^53 first loses it.
  const double big = 9007199254740992.0;
  EXPECT_EQ(trimmed({big, 1.0, 1.0}, 0.0), (big + 2.0) / 3.0);
}

TEST(Aggregation, MeanAndMedian) {
  const FoldStats stats = FoldStats::from_scores({10, 1, 3, 2}, 4);
  EXPECT_EQ(Mean().aggregate(stats), 4.0);
  EXPECT_EQ(Median().aggregate(stats), 2.5);
}

TEST(Aggregation, SignalToNoise) {
  const FoldStats spread = FoldStats::from_scores({1, 3}, 2);  // mean 2, std 1
  EXPECT_EQ(SignalToNoise(1.0).aggregate(spread), 1.0);
  EXPECT_EQ(SignalToNoise(-0.5).aggregate(spread), 4.0);
  const FoldStats flat = FoldStats::from_scores({0.5, 0.5, 0.5}, 3);
  EXPECT_EQ(SignalToNoise(0.25).aggregate(flat), 2.0);
  EXPECT_EQ(SignalToNoise(0.0).aggregate(flat), kInf);
  EXPECT_EQ(SignalToNoise(0.0).aggregate(FoldStats::from_scores({-0.5, -0.5}, 2)), -kInf);
  EXPECT_TRUE(std::isnan(SignalToNoise(0.0).aggregate(FoldStats::from_scores({0.0}, 1))));
}

TEST(Aggregation, MeanMinusLambdaStd) {
  const FoldStats spread = FoldStats::from_scores({1, 3}, 2);  // mean 2, std 1
  EXPECT_EQ(MeanMinusLambdaStd(2.0).aggregate(spread), 0.0);
  EXPECT_EQ(MeanMinusLambdaStd(0.0).aggregate(spread), Mean().aggregate(spread));
  EXPECT_EQ(MeanMinusLambdaStd(-1.0).aggregate(spread), 3.0);
}

TEST(Aggregation, SingleScore) {
  const FoldStats one = FoldStats::from_scores({0.3}, 5);
  EXPECT_EQ(Mean().aggregate(one), 0.3);
  EXPECT_EQ(Median().aggregate(one), 0.3);
  EXPECT_EQ(TrimmedMean(0.4).aggregate(one), 0.3);
  EXPECT_EQ(MeanMinusLambdaStd(3.0).aggregate(one), 0.3);
  EXPECT_EQ(SignalToNoise(0.5).aggregate(one), 0.6);
}

TEST(Aggregation, NamesAreFixed) {
  EXPECT_EQ(Mean().name(), "mean");
  EXPECT_EQ(Median().name(), "median");
  EXPECT_EQ(TrimmedMean(0.1).name(), "trimmed_mean");
  EXPECT_EQ(SignalToNoise(0.1).name(), "signal_to_noise");
  EXPECT_EQ(MeanMinusLambdaStd(0.1).name(), "mean_minus_lambda_std");
}

}  // namespace
}  // namespace zelk
