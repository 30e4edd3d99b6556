#include "core/weights.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>

namespace zelk {

namespace {

// "1.8e+310": a positive number given as its mantissa and binary exponent, whose value may lie
// beyond the double range.
std::string scientific(double mantissa, int exponent) {
  const double digits = std::log10(mantissa) + exponent * std::log10(2.0);
  const double whole = std::floor(digits);
  char text[48];
  std::snprintf(text, sizeof text, "%.2ge%+d", std::pow(10.0, digits - whole),
                static_cast<int>(whole));
  return text;
}

}  // namespace

Expected<int> scale_weights(std::span<double> weights) {
  double largest = 0.0;
  for (double w : weights)
    largest = std::max(largest, w);
  if (!(largest > 0.0)) return 0;
  int binary = 0;
  std::frexp(largest, &binary);  // largest = m * 2^binary, m in [0.5, 1)
  const int exponent = binary - 1;
  double total = 0.0;
  for (double& w : weights) {
    w = std::ldexp(w, -exponent);
    total += w;
  }
  // The tree's weighted counts are at most the total, which must be a double in the caller's
  // units.
  if (!std::isfinite(std::ldexp(total, exponent))) {
    return Error{"sample_weight sums to about " + scientific(total, exponent) +
                 ", more than a double holds (1.8e+308 at most): divide every weight by the "
                 "same factor, which changes nothing but the weighted counts"};
  }
  return exponent;
}

double target_limit(size_t n, double total_weight, size_t n_folds, bool squared) {
  // A loss summed over the rows is at most total_weight * (2 |y|)^2 (or * 2 |y|): predictions
  // are means or medians of targets. Its square, times the folds' count twice (their spread)
  // and the row count (a pruning sum over the nodes of a path), must stay below DBL_MAX.
  const double folds = static_cast<double>(std::max<size_t>(n_folds, 2));
  const double rows = static_cast<double>(std::max<size_t>(n, 1));
  const double loss = std::sqrt(DBL_MAX / (4.0 * folds * folds * rows));
  const double weight = std::max(total_weight, 1.0);
  return squared ? std::sqrt(loss / (4.0 * weight)) : loss / (2.0 * weight);
}

std::string target_range_error(std::span<const double> targets, std::span<const double> weights,
                               size_t n_folds, bool squared) {
  // A row of zero weight takes part in no sum: its target is never read.
  double largest = 0.0, total = 0.0;
  for (size_t i = 0; i < targets.size(); ++i) {
    const double w = weights.empty() ? 1.0 : weights[i];
    if (w > 0.0) largest = std::max(largest, std::fabs(targets[i]));
    total += w;
  }
  const double limit = target_limit(targets.size(), total, n_folds, squared);
  if (!(largest > limit)) return {};
  int binary = 0;
  const double mantissa = std::frexp(largest, &binary);
  return "y holds a target of magnitude " + scientific(mantissa, binary) +
         "; this fit handles at most " + scientific(std::frexp(limit, &binary), binary) +
         " (its sums of " + (squared ? "squared" : "absolute") +
         " errors would overflow): divide y by a common factor";
}

}  // namespace zelk
