#include "core/aggregation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/encoder.hpp"

namespace zelk {

namespace {

constexpr double kNoScore = -std::numeric_limits<double>::infinity();

// Float-to-unsigned conversion that saturates instead of being undefined: negative and NaN
// give 0, anything from 2^64 up gives the maximum.
uint64_t saturating_u64(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(value);
}

}  // namespace

double Mean::aggregate(const FoldStats& stats) const {
  return stats.n_valid == 0 ? kNoScore : stats.mean;
}

double Median::aggregate(const FoldStats& stats) const {
  return stats.n_valid == 0 ? kNoScore : stats.median;
}

double SignalToNoise::aggregate(const FoldStats& stats) const {
  if (stats.n_valid == 0) return kNoScore;
  return stats.mean / (stats.std + eps_);
}

double MeanMinusLambdaStd::aggregate(const FoldStats& stats) const {
  if (stats.n_valid == 0) return kNoScore;
  return stats.mean - lambda_ * stats.std;
}

double TrimmedMean::aggregate(const FoldStats& stats) const {
  const size_t m = stats.scores.size();
  if (m == 0) return kNoScore;
  std::vector<double> sorted = stats.scores;
  std::sort(sorted.begin(), sorted.end(), total_order_less);
  const uint64_t wanted = saturating_u64(std::floor(static_cast<double>(m) * frac_));
  // At least one score always remains.
  const size_t t = static_cast<size_t>(std::min<uint64_t>(wanted, (m - 1) / 2));
  double sum = 0.0;
  for (size_t i = t; i < m - t; ++i)
    sum += sorted[i];
  return sum / static_cast<double>(m - 2 * t);
}

}  // namespace zelk
