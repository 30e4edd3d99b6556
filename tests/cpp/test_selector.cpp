#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/selector.hpp"

namespace zelk {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

ScoredCandidate candidate(size_t feature, uint32_t state, double score) {
  ScoredCandidate c;
  c.feature = feature;
  c.state = state;
  c.score = score;
  return c;
}

TEST(Selector, RankingExample) {
  const std::vector<ScoredCandidate> list{candidate(3, 1, 0.20), candidate(1, 7, 0.20),
                                          candidate(1, 4, 0.20), candidate(0, 0, kNaN)};
  const ScoredCandidate* best = best_candidate(list);
  ASSERT_NE(best, nullptr);
  EXPECT_EQ(best->feature, 1u);
  EXPECT_EQ(best->state, 4u);
  EXPECT_EQ(best, &list[2]);
}

TEST(Selector, NonFiniteScoresNeverWin) {
  EXPECT_EQ(best_candidate(std::vector<ScoredCandidate>{}), nullptr);
  EXPECT_EQ(
      best_candidate(std::vector<ScoredCandidate>{candidate(0, 0, -kInf), candidate(1, 0, -kInf)}),
      nullptr);
  EXPECT_EQ(best_candidate(std::vector<ScoredCandidate>{candidate(0, 0, kNaN)}), nullptr);
  EXPECT_EQ(best_candidate(std::vector<ScoredCandidate>{candidate(0, 0, kInf)}), nullptr);

  const std::vector<ScoredCandidate> list{candidate(0, 0, kInf), candidate(0, 1, kNaN),
                                          candidate(2, 3, -5.0), candidate(1, 2, -kInf)};
  const ScoredCandidate* best = best_candidate(list);
  ASSERT_NE(best, nullptr);
  EXPECT_EQ(best, &list[2]);  // a negative finite score still beats no score
}

TEST(Selector, WinnerIsIndependentOfArrivalOrder) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<ScoredCandidate> list;
    const size_t n = 1 + rng() % 12;
    for (size_t i = 0; i < n; ++i) {
      // Few distinct scores, features and states, so that ties are frequent.
      const uint64_t r = rng() % 6;
      const double score = r == 0 ? kNaN : r == 1 ? -kInf : static_cast<double>(rng() % 3);
      list.push_back(candidate(rng() % 3, static_cast<uint32_t>(rng() % 3), score));
    }
    // Reference: the lexicographic maximum of (score, -feature, -state) among finite scores.
    const ScoredCandidate* expected = nullptr;
    for (const ScoredCandidate& c : list) {
      if (!std::isfinite(c.score)) continue;
      if (expected == nullptr || c.score > expected->score ||
          (c.score == expected->score &&
           (c.feature < expected->feature ||
            (c.feature == expected->feature && c.state < expected->state)))) {
        expected = &c;
      }
    }
    std::vector<ScoredCandidate> shuffled = list;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    for (const auto* l : {&list, &shuffled}) {
      const ScoredCandidate* best = best_candidate(*l);
      if (expected == nullptr) {
        EXPECT_EQ(best, nullptr);
        continue;
      }
      ASSERT_NE(best, nullptr);
      EXPECT_EQ(best->score, expected->score);
      EXPECT_EQ(best->feature, expected->feature);
      EXPECT_EQ(best->state, expected->state);
    }
  }
}

}  // namespace
}  // namespace zelk
