#include "core/tree/model.hpp"

namespace zelk {

bool SplitRule::route_left_train(std::span<const Column> columns, size_t sample) const {
  if (const auto* cat = std::get_if<Category>(&test)) {
    const Column& column = columns[cat->feature];
    if (!column.is_categorical()) return false;
    const uint32_t code = column.codes()[sample];
    return code != kMissingCode && code == cat->category;
  }
  if (const auto* set = std::get_if<CategorySet>(&test)) {
    const Column& column = columns[set->feature];
    if (!column.is_categorical()) return false;
    const uint32_t code = column.codes()[sample];
    return code != kMissingCode && set->contains(code);
  }
  const auto& interval = std::get<Interval>(test);
  const Column& column = columns[interval.feature];
  return !column.is_categorical() && interval.contains(column.values()[sample]);
}

ClassPrediction class_leaf(size_t n_classes, std::span<const size_t> labels) {
  std::vector<uint64_t> counts(n_classes, 0);
  for (size_t label : labels) {
    if (label < n_classes) ++counts[label];
  }
  uint64_t total = 0;
  for (uint64_t c : counts)
    total += c;
  ClassPrediction out;
  out.proba.assign(n_classes, 0.0);
  if (total > 0) {
    for (size_t k = 0; k < n_classes; ++k) {
      out.proba[k] = static_cast<double>(counts[k]) / static_cast<double>(total);
    }
  }
  for (size_t k = 1; k < n_classes; ++k) {
    if (counts[k] > counts[out.predicted_class]) out.predicted_class = k;
  }
  return out;
}

double regression_leaf(std::span<const double> targets) {
  if (targets.empty()) return 0.0;
  double sum = 0.0;
  for (double t : targets)
    sum += t;
  return sum / static_cast<double>(targets.size());
}

ClassPrediction weighted_class_leaf(size_t n_classes, std::span<const size_t> labels,
                                    std::span<const double> weights) {
  std::vector<double> sums(n_classes, 0.0);
  for (size_t i = 0; i < labels.size(); ++i) {
    if (labels[i] < n_classes) sums[labels[i]] += weights[i];
  }
  double total = 0.0;
  for (double c : sums)
    total += c;
  ClassPrediction out;
  out.proba.assign(n_classes, 0.0);
  if (total > 0.0) {
    for (size_t k = 0; k < n_classes; ++k)
      out.proba[k] = sums[k] / total;
  }
  for (size_t k = 1; k < n_classes; ++k) {
    if (sums[k] > sums[out.predicted_class]) out.predicted_class = k;
  }
  return out;
}

double weighted_regression_leaf(std::span<const double> targets, std::span<const double> weights,
                                double start) {
  double sum = start, weight = 0.0;
  for (size_t i = 0; i < targets.size(); ++i) {
    sum += weights[i] * targets[i];
    weight += weights[i];
  }
  return weight > 0.0 ? sum / weight : 0.0;
}

}  // namespace zelk
