#include "core/candidate/category_order.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace zelk {

namespace {

// Power iterations for the principal component: at most this many, fewer once the direction
// settles.
constexpr int kPowerIterations = 64;
constexpr double kSettled = 1e-13;

// The leading eigenvector (unit length) of `a` (dim x dim, similar to a symmetric positive
// semi-definite matrix), by power iteration from its longest column, which no eigenvector of a
// nonzero eigenvalue is orthogonal to; empty when `a` is zero.
std::vector<double> leading_eigenvector(const std::vector<double>& a, size_t dim) {
  std::vector<double> v(dim, 0.0), next(dim, 0.0);
  double longest = 0.0;
  for (size_t y = 0; y < dim; ++y) {
    double norm = 0.0;
    for (size_t x = 0; x < dim; ++x)
      norm += a[x * dim + y] * a[x * dim + y];
    if (norm > longest) {
      longest = norm;
      for (size_t x = 0; x < dim; ++x)
        v[x] = a[x * dim + y];
    }
  }
  if (!(longest > 0.0)) return {};
  for (int it = 0; it < kPowerIterations; ++it) {
    double norm = 0.0;
    for (size_t x = 0; x < dim; ++x) {
      next[x] = 0.0;
      for (size_t y = 0; y < dim; ++y)
        next[x] += a[x * dim + y] * v[y];
      norm += next[x] * next[x];
    }
    norm = std::sqrt(norm);
    if (!(norm > 0.0)) return {};
    double change = 0.0;
    for (size_t x = 0; x < dim; ++x) {
      const double unit = next[x] / norm;
      change = std::max(change, std::fabs(unit - v[x]));
      v[x] = unit;
    }
    if (it > 0 && change <= kSettled) break;
  }
  return v;
}

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
  std::vector<size_t> live;  // the slots with rows of positive weight
  for (size_t s = 0; s < n; ++s) {
    if (rows_[s] > 0 && weight_[s] > 0.0) live.push_back(s);
  }
  std::vector<double> keys(n, 0.0);
  const size_t m = live.size();
  if (m < 2) return keys;
  std::vector<double> mean(k, 0.0), centred(m * k, 0.0);
  double total = 0.0;
  for (size_t s : live) {
    total += weight_[s];
    for (size_t c = 0; c < k; ++c)
      mean[c] += sums_[s * k + c];
  }
  for (size_t c = 0; c < k; ++c)
    mean[c] /= total;
  for (size_t i = 0; i < m; ++i) {
    const size_t s = live[i];
    for (size_t c = 0; c < k; ++c)
      centred[i * k + c] = sums_[s * k + c] / weight_[s] - mean[c];
  }
  // The principal component is the leading eigenvector of the weighted covariance D'WD of
  // the centred frequencies D. DD'W has the same nonzero eigenvalues (it is similar to a
  // symmetric matrix), its leading eigenvector z giving D'Wz along the component: whichever is
  // smaller is iterated. Scaling every weight by a power of two scales either exactly.
  const bool by_slots = m < k;
  const size_t dim = by_slots ? m : k;
  std::vector<double> a(dim * dim, 0.0);
  if (by_slots) {
    for (size_t x = 0; x < m; ++x) {
      for (size_t y = 0; y < m; ++y) {
        double dot = 0.0;
        for (size_t c = 0; c < k; ++c)
          dot += centred[x * k + c] * centred[y * k + c];
        a[x * m + y] = dot * weight_[live[y]];
      }
    }
  } else {
    for (size_t i = 0; i < m; ++i) {
      const double w = weight_[live[i]];
      const double* d = &centred[i * k];
      for (size_t x = 0; x < k; ++x) {
        for (size_t y = 0; y < k; ++y)
          a[x * k + y] += w * d[x] * d[y];
      }
    }
  }
  const std::vector<double> z = leading_eigenvector(a, dim);
  if (z.empty()) return keys;  // every slot has the same frequencies
  std::vector<double> v = z;
  if (by_slots) {
    v.assign(k, 0.0);
    for (size_t i = 0; i < m; ++i) {
      for (size_t c = 0; c < k; ++c)
        v[c] += centred[i * k + c] * weight_[live[i]] * z[i];
    }
  }
  // The sign that makes the largest entry positive, so that the order does not flip.
  size_t largest = 0;
  for (size_t c = 1; c < k; ++c) {
    if (std::fabs(v[c]) > std::fabs(v[largest])) largest = c;
  }
  const double sign = v[largest] < 0.0 ? -1.0 : 1.0;
  for (size_t i = 0; i < m; ++i) {
    for (size_t c = 0; c < k; ++c)
      keys[live[i]] += centred[i * k + c] * v[c] * sign;
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
