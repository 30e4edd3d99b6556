#include "core/candidate/category_order.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace zelk {

namespace {

// Power iterations for the principal component: plenty for the few classes a tree has.
constexpr int kPowerIterations = 64;

}  // namespace

CategoryTally::CategoryTally(size_t n_slots, size_t n_classes)
    : n_classes_(n_classes),
      width_(n_classes > 2 ? n_classes : 1),
      rows_(n_slots, 0),
      weight_(n_slots, 0.0),
      sums_(n_slots * width_, 0.0) {}

void CategoryTally::clear() {
  std::fill(rows_.begin(), rows_.end(), 0);
  std::fill(weight_.begin(), weight_.end(), 0.0);
  std::fill(sums_.begin(), sums_.end(), 0.0);
}

void CategoryTally::add(size_t slot, double target, double weight) {
  ++rows_[slot];
  weight_[slot] += weight;
  sums_[slot] += weight * target;
}

void CategoryTally::add(size_t slot, size_t label, double weight) {
  ++rows_[slot];
  weight_[slot] += weight;
  if (n_classes_ > 2) {
    if (label < n_classes_) sums_[slot * width_ + label] += weight;
  } else if (label == 1) {
    sums_[slot] += weight;
  }
}

void CategoryTally::add_totals(size_t slot, uint64_t rows, double weight,
                               std::span<const double> sums) {
  rows_[slot] += rows;
  weight_[slot] += weight;
  for (size_t c = 0; c < width_; ++c)
    sums_[slot * width_ + c] += sums[c];
}

void CategoryTally::subtract(const CategoryTally& other) {
  for (size_t s = 0; s < weight_.size(); ++s) {
    rows_[s] -= other.rows_[s];
    weight_[s] -= other.weight_[s];
  }
  for (size_t i = 0; i < sums_.size(); ++i)
    sums_[i] -= other.sums_[i];
}

std::vector<double> CategoryTally::principal_keys() const {
  const size_t k = width_, n = weight_.size();
  std::vector<double> mean(k, 0.0), centred(n * k, 0.0), keys(n, 0.0);
  double total = 0.0;
  for (size_t s = 0; s < n; ++s) {
    if (rows_[s] == 0 || !(weight_[s] > 0.0)) continue;
    total += weight_[s];
    for (size_t c = 0; c < k; ++c)
      mean[c] += sums_[s * k + c];
  }
  for (size_t c = 0; c < k; ++c)
    mean[c] /= total;
  // The weighted covariance of the slots' class frequencies.
  std::vector<double> cov(k * k, 0.0);
  for (size_t s = 0; s < n; ++s) {
    if (rows_[s] == 0 || !(weight_[s] > 0.0)) continue;
    double* d = &centred[s * k];
    for (size_t c = 0; c < k; ++c)
      d[c] = sums_[s * k + c] / weight_[s] - mean[c];
    for (size_t a = 0; a < k; ++a) {
      for (size_t b = 0; b < k; ++b)
        cov[a * k + b] += weight_[s] * d[a] * d[b];
    }
  }
  // Power iteration from the covariance's longest column, which no eigenvector of a nonzero
  // eigenvalue is orthogonal to.
  std::vector<double> v(k, 0.0), next(k, 0.0);
  double longest = 0.0;
  for (size_t b = 0; b < k; ++b) {
    double norm = 0.0;
    for (size_t a = 0; a < k; ++a)
      norm += cov[a * k + b] * cov[a * k + b];
    if (norm > longest) {
      longest = norm;
      for (size_t a = 0; a < k; ++a)
        v[a] = cov[a * k + b];
    }
  }
  if (!(longest > 0.0)) return keys;  // every slot has the same frequencies
  for (int it = 0; it < kPowerIterations; ++it) {
    double norm = 0.0;
    for (size_t a = 0; a < k; ++a) {
      next[a] = 0.0;
      for (size_t b = 0; b < k; ++b)
        next[a] += cov[a * k + b] * v[b];
      norm += next[a] * next[a];
    }
    norm = std::sqrt(norm);
    if (!(norm > 0.0)) return keys;
    for (size_t a = 0; a < k; ++a)
      v[a] = next[a] / norm;
  }
  // The sign that makes the largest entry positive, so that the order does not flip.
  size_t largest = 0;
  for (size_t a = 1; a < k; ++a) {
    if (std::fabs(v[a]) > std::fabs(v[largest])) largest = a;
  }
  const double sign = v[largest] < 0.0 ? -1.0 : 1.0;
  for (size_t s = 0; s < n; ++s) {
    for (size_t c = 0; c < k; ++c)
      keys[s] += centred[s * k + c] * v[c] * sign;
  }
  return keys;
}

size_t CategoryTally::order(std::vector<uint32_t>& rank) const {
  const size_t n = weight_.size();
  std::vector<double> keys;
  if (width_ > 1) {
    keys = principal_keys();
  } else {
    keys.resize(n, 0.0);
    for (size_t s = 0; s < n; ++s) {
      if (rows_[s] > 0 && weight_[s] > 0.0) keys[s] = sums_[s] / weight_[s];
    }
  }
  std::vector<uint32_t> slots(n);
  std::iota(slots.begin(), slots.end(), uint32_t{0});
  const auto seen = [this](uint32_t s) { return rows_[s] > 0; };
  const auto ranked_end = std::stable_partition(slots.begin(), slots.end(), seen);
  std::stable_sort(slots.begin(), ranked_end,
                   [&keys](uint32_t a, uint32_t b) { return keys[a] < keys[b]; });
  rank.resize(n);
  for (size_t i = 0; i < n; ++i)
    rank[slots[i]] = static_cast<uint32_t>(i);
  return static_cast<size_t>(ranked_end - slots.begin());
}

}  // namespace zelk
