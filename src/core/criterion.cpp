#include "core/criterion.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/encoder.hpp"

namespace zelk {

namespace {

// Slices up to this length are sorted by insertion, which beats the merge sort's buffer.
constexpr size_t kInsertionSortMax = 20;

double population_variance(std::span<const double> targets) {
  double sum = 0.0, sum_sq = 0.0;
  for (double t : targets) {
    sum += t;
    sum_sq += t * t;
  }
  return variance_from_sums(sum, sum_sq, targets.size());
}

void sort_total_order(std::vector<double>& values) {
  if (values.size() <= kInsertionSortMax) {
    for (size_t i = 1; i < values.size(); ++i) {
      const double v = values[i];
      size_t j = i;
      for (; j > 0 && total_order_less(v, values[j - 1]); --j)
        values[j] = values[j - 1];
      values[j] = v;
    }
  } else {
    std::stable_sort(values.begin(), values.end(), total_order_less);
  }
}

// Class counts of `labels`; labels at or above n_classes are left out.
std::vector<uint64_t> count_labels(std::span<const size_t> labels, size_t n_classes) {
  std::vector<uint64_t> counts(n_classes, 0);
  for (size_t label : labels) {
    if (label < n_classes) ++counts[label];
  }
  return counts;
}

}  // namespace

double variance_from_sums(double sum, double sum_sq, size_t n) {
  if (n == 0) return 0.0;
  const double count = static_cast<double>(n);
  const double mean = sum / count;
  const double mean_sq = sum_sq / count;
  const double variance = mean_sq - mean * mean;
  // Rounding can push a constant slice below zero; an infinite target gives NaN.
  return variance > 0.0 ? variance : 0.0;
}

double Mse::impurity(std::span<const double> targets) const {
  return population_variance(targets);
}

double Variance::impurity(std::span<const double> targets) const {
  return population_variance(targets);
}

double Mae::impurity(std::span<const double> targets) const {
  std::vector<double> scratch;
  return impurity(targets, scratch);
}

double Mae::impurity(std::span<const double> targets, std::vector<double>& scratch) const {
  if (targets.empty()) return 0.0;
  std::vector<double>& sorted = scratch;
  sorted.assign(targets.begin(), targets.end());
  sort_total_order(sorted);
  const size_t len = sorted.size();
  const double median =
      len % 2 == 1 ? sorted[len / 2] : (sorted[len / 2 - 1] + sorted[len / 2]) * 0.5;
  double deviation = 0.0;
  for (double t : targets)
    deviation += std::fabs(t - median);
  return deviation / static_cast<double>(len);
}

double Gini::impurity(std::span<const size_t> labels) const {
  if (labels.empty()) return 0.0;
  const std::vector<uint64_t> counts = count_labels(labels, n_classes_);
  return gini_from_counts<uint64_t>(counts, labels.size());
}

double Entropy::impurity(std::span<const size_t> labels) const {
  if (labels.empty() || n_classes_ == 0) return 0.0;
  const std::vector<uint64_t> counts = count_labels(labels, n_classes_);
  return entropy_from_counts<uint64_t>(counts, labels.size());
}

template <class Count>
double gini_from_counts(std::span<const Count> counts, uint64_t total) {
  if (total == 0) return 0.0;
  const double n = static_cast<double>(total);
  double sum_sq = 0.0;
  for (Count c : counts) {
    const double p = static_cast<double>(c) / n;
    sum_sq += p * p;
  }
  return 1.0 - sum_sq;
}

template <class Count>
double entropy_from_counts(std::span<const Count> counts, uint64_t total) {
  if (total == 0) return 0.0;
  const double n = static_cast<double>(total);
  // Subtracting from +0.0 keeps a pure set at +0.0 rather than -0.0.
  double entropy = 0.0;
  for (Count c : counts) {
    if (c == 0) continue;
    const double p = static_cast<double>(c) / n;
    entropy -= p * std::log2(p);
  }
  return entropy;
}

template double gini_from_counts<uint32_t>(std::span<const uint32_t>, uint64_t);
template double gini_from_counts<uint64_t>(std::span<const uint64_t>, uint64_t);
template double entropy_from_counts<uint32_t>(std::span<const uint32_t>, uint64_t);
template double entropy_from_counts<uint64_t>(std::span<const uint64_t>, uint64_t);

}  // namespace zelk
