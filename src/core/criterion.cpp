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

double weighted_population_variance(std::span<const double> targets,
                                    std::span<const double> weights) {
  double sum = 0.0, sum_sq = 0.0, weight = 0.0;
  for (size_t i = 0; i < targets.size(); ++i) {
    const double wy = weights[i] * targets[i];
    sum += wy;
    sum_sq += wy * targets[i];
    weight += weights[i];
  }
  return variance_from_weighted_sums(sum, sum_sq, weight);
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

// Class weights of `labels`, labels at or above n_classes left out, and the total weight of
// every label.
std::vector<double> weigh_labels(std::span<const size_t> labels, std::span<const double> weights,
                                 size_t n_classes, double& total) {
  std::vector<double> sums(n_classes, 0.0);
  total = 0.0;
  for (size_t i = 0; i < labels.size(); ++i) {
    if (labels[i] < n_classes) sums[labels[i]] += weights[i];
    total += weights[i];
  }
  return sums;
}

template <class Count, class Total>
double gini_of(std::span<const Count> counts, Total total) {
  if (total == 0) return 0.0;
  const double n = static_cast<double>(total);
  double sum_sq = 0.0;
  for (Count c : counts) {
    const double p = static_cast<double>(c) / n;
    sum_sq += p * p;
  }
  return 1.0 - sum_sq;
}

template <class Count, class Total>
double entropy_of(std::span<const Count> counts, Total total) {
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

}  // namespace

double variance_from_weighted_sums(double sum, double sum_sq, double weight) {
  if (weight == 0.0) return 0.0;
  const double mean = sum / weight;
  const double mean_sq = sum_sq / weight;
  const double variance = mean_sq - mean * mean;
  return variance > 0.0 ? variance : 0.0;
}

double weighted_median(std::span<const double> values, std::span<const double> weights,
                       std::vector<std::pair<double, double>>& scratch) {
  scratch.clear();
  for (size_t i = 0; i < values.size(); ++i) {
    if (weights[i] > 0.0) scratch.emplace_back(values[i], weights[i]);
  }
  if (scratch.empty()) return 0.0;
  // Stable, so that equal values keep their order and their weights add up in it.
  std::stable_sort(scratch.begin(), scratch.end(),
                   [](const auto& a, const auto& b) { return total_order_less(a.first, b.first); });
  double total = 0.0;
  for (const auto& e : scratch)
    total += e.second;
  const double half = total * 0.5;
  double running = 0.0;
  for (size_t i = 0; i < scratch.size(); ++i) {
    running += scratch[i].second;
    if (running < half) continue;
    if (running == half && i + 1 < scratch.size()) {
      return (scratch[i].first + scratch[i + 1].first) * 0.5;
    }
    return scratch[i].first;
  }
  return scratch.back().first;
}

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

double Mse::weighted_impurity(std::span<const double> targets,
                              std::span<const double> weights) const {
  return weighted_population_variance(targets, weights);
}

double Variance::weighted_impurity(std::span<const double> targets,
                                   std::span<const double> weights) const {
  return weighted_population_variance(targets, weights);
}

double Mae::weighted_impurity(std::span<const double> targets,
                              std::span<const double> weights) const {
  std::vector<std::pair<double, double>> scratch;
  return weighted_absolute_deviation(targets, weights, scratch);
}

double weighted_absolute_deviation(std::span<const double> targets, std::span<const double> weights,
                                   std::vector<std::pair<double, double>>& scratch) {
  if (targets.empty()) return 0.0;
  const double median = weighted_median(targets, weights, scratch);
  double deviation = 0.0, weight = 0.0;
  for (size_t i = 0; i < targets.size(); ++i) {
    deviation += weights[i] * std::fabs(targets[i] - median);
    weight += weights[i];
  }
  return weight > 0.0 ? deviation / weight : 0.0;
}

double Mae::impurity(std::span<const double> targets) const {
  std::vector<double> scratch;
  return absolute_deviation(targets, scratch);
}

double absolute_deviation(std::span<const double> targets, std::vector<double>& scratch) {
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

double Gini::weighted_impurity(std::span<const size_t> labels,
                               std::span<const double> weights) const {
  if (labels.empty()) return 0.0;
  double total = 0.0;
  const std::vector<double> sums = weigh_labels(labels, weights, n_classes_, total);
  return gini_from_weights(sums, total);
}

double Entropy::weighted_impurity(std::span<const size_t> labels,
                                  std::span<const double> weights) const {
  if (labels.empty() || n_classes_ == 0) return 0.0;
  double total = 0.0;
  const std::vector<double> sums = weigh_labels(labels, weights, n_classes_, total);
  return entropy_from_weights(sums, total);
}

template <class Count>
double gini_from_counts(std::span<const Count> counts, uint64_t total) {
  return gini_of(counts, total);
}

template <class Count>
double entropy_from_counts(std::span<const Count> counts, uint64_t total) {
  return entropy_of(counts, total);
}

double gini_from_weights(std::span<const double> weights, double total) {
  return gini_of(weights, total);
}

double entropy_from_weights(std::span<const double> weights, double total) {
  return entropy_of(weights, total);
}

template double gini_from_counts<uint32_t>(std::span<const uint32_t>, uint64_t);
template double gini_from_counts<uint64_t>(std::span<const uint64_t>, uint64_t);
template double entropy_from_counts<uint32_t>(std::span<const uint32_t>, uint64_t);
template double entropy_from_counts<uint64_t>(std::span<const uint64_t>, uint64_t);

}  // namespace zelk
