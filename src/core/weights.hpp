// Sample weights as growth uses them. Growth forms sums of weights, of weights times targets and
// of squares of such sums (the spread of the folds' held-out gains), so finite weights near the
// top of the double range would overflow them. Scaling every weight by the same power of two
// changes no ratio and rounds nothing, so growth runs on weights whose largest lies in [1, 2)
// and only the weighted counts it records are scaled back.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "core/result.hpp"

namespace zelk {

// Scales finite, non-negative `weights` in place so that the largest lies in [1, 2) and returns
// the exponent e with original = scaled * 2^e. A weight below 2^-1074 times the largest
// becomes 0. An Error naming sample_weight when the weights' total exceeds the largest double:
// the weighted counts of the tree could not be given in the caller's units.
Expected<int> scale_weights(std::span<double> weights);

// The largest target magnitude a regression fit of `n` rows of total weight `total_weight`
// (after scale_weights; n unweighted) with `n_folds` folds handles: the sums of its losses over
// the rows (squared, or absolute for `squared` false) and the squares of those sums, which the
// folds' spread and the pruning test form, stay finite.
double target_limit(size_t n, double total_weight, size_t n_folds, bool squared);

// The message naming y when a target of positive weight exceeds target_limit (`weights` from
// scale_weights, or empty); empty when all are within it.
std::string target_range_error(std::span<const double> targets, std::span<const double> weights,
                               size_t n_folds, bool squared);

}  // namespace zelk
