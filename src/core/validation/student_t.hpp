// The few facts about Student's t distribution that held-out pruning needs: a node's validated
// gain is judged against the spread of a handful of fold gains, so its standardised value
// follows a t distribution with (folds - 1) degrees of freedom rather than a normal one.
#pragma once

#include <cstddef>

namespace zelk {

// P(T <= t) for T with `nu` >= 1 degrees of freedom.
double student_t_cdf(double t, size_t nu);

// The t with P(T <= t) = p, for 0.5 <= p < 1.
double student_t_quantile(double p, size_t nu);

}  // namespace zelk
