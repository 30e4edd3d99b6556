#include "core/validation/student_t.hpp"

#include <cmath>
#include <numbers>

namespace zelk {

double student_t_cdf(double t, size_t nu) {
  // P(|T| <= |t|) by the closed forms for integer degrees of freedom (a finite series in
  // cos(theta), theta = atan(|t| / sqrt(nu))).
  const double theta = std::atan(std::fabs(t) / std::sqrt(static_cast<double>(nu)));
  const double c2 = std::cos(theta) * std::cos(theta);
  double inside;
  if (nu % 2 == 1) {
    double term = std::cos(theta);  // cos^1, then (2 / 3) cos^3, (2 4 / 3 5) cos^5, ...
    double series = nu > 1 ? term : 0.0;
    for (size_t k = 3; k + 2 <= nu; k += 2) {
      term *= c2 * static_cast<double>(k - 1) / static_cast<double>(k);
      series += term;
    }
    inside = 2.0 / std::numbers::pi * (theta + std::sin(theta) * series);
  } else {
    double term = 1.0;  // 1, then (1 / 2) cos^2, (1 3 / 2 4) cos^4, ...
    double series = 1.0;
    for (size_t k = 2; k + 2 <= nu; k += 2) {
      term *= c2 * static_cast<double>(k - 1) / static_cast<double>(k);
      series += term;
    }
    inside = std::sin(theta) * series;
  }
  return t >= 0.0 ? 0.5 + 0.5 * inside : 0.5 - 0.5 * inside;
}

double student_t_quantile(double p, size_t nu) {
  double low = 0.0, high = 1.0;
  while (student_t_cdf(high, nu) < p && high < 1e12)
    high *= 2.0;
  for (int i = 0; i < 200 && high - low > 1e-12 * high; ++i) {
    const double mid = 0.5 * (low + high);
    (student_t_cdf(mid, nu) < p ? low : high) = mid;
  }
  return 0.5 * (low + high);
}

}  // namespace zelk
