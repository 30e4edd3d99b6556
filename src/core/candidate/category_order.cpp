#include "core/candidate/category_order.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace zelk {

namespace {

// Power iterations for the principal component: at most this many, fewer once the direction
// settles.
constexpr int kPowerIterations = 64;
constexpr double kSettled = 1e-13;

// The leading eigenvector (unit length) of `a` (dim x dim, similar to a symmetric positive
// semi-definite matrix) into `v`, by power iteration from its longest column, which no
// eigenvector of a nonzero eigenvalue is orthogonal to; false when `a` is zero. `next` is
// working space.
bool leading_eigenvector(const std::vector<double>& a, size_t dim, std::vector<double>& v,
                         std::vector<double>& next) {
  v.assign(dim, 0.0);
  next.assign(dim, 0.0);
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
  if (!(longest > 0.0)) return false;
  for (int it = 0; it < kPowerIterations; ++it) {
    double norm = 0.0;
    for (size_t x = 0; x < dim; ++x) {
      next[x] = 0.0;
      for (size_t y = 0; y < dim; ++y)
        next[x] += a[x * dim + y] * v[y];
      norm += next[x] * next[x];
    }
    norm = std::sqrt(norm);
    if (!(norm > 0.0)) return false;
    double change = 0.0;
    for (size_t x = 0; x < dim; ++x) {
      const double unit = next[x] / norm;
      change = std::max(change, std::fabs(unit - v[x]));
      v[x] = unit;
    }
    if (it > 0 && change <= kSettled) break;
  }
  return true;
}

}  // namespace

CategoryTally::CategoryTally(size_t n_slots, size_t n_classes)
    : n_classes_(n_classes),
      width_(n_classes > 2 ? n_classes : 1),
      rows_(n_slots, 0),
      weight_(n_slots, 0.0),
      sums_(n_slots * width_, 0.0) {}

void CategoryTally::reset(size_t n_slots, size_t n_classes) {
  n_classes_ = n_classes;
  width_ = n_classes > 2 ? n_classes : 1;
  rows_.assign(n_slots, 0);
  weight_.assign(n_slots, 0.0);
  sums_.assign(n_slots * width_, 0.0);
}

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

void CategoryTally::principal_keys() const {
  const size_t k = width_, n = weight_.size();
  std::vector<size_t>& live = live_;  // the slots with rows of positive weight
  live.clear();
  for (size_t s = 0; s < n; ++s) {
    if (rows_[s] > 0 && weight_[s] > 0.0) live.push_back(s);
  }
  std::vector<double>& keys = keys_;
  keys.assign(n, 0.0);
  const size_t m = live.size();
  if (m < 2) return;
  std::vector<double>& mean = mean_;
  std::vector<double>& centred = centred_;
  mean.assign(k, 0.0);
  centred.assign(m * k, 0.0);
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
  std::vector<double>& a = matrix_;
  a.assign(dim * dim, 0.0);
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
  // Every slot has the same frequencies when `a` is zero.
  if (!leading_eigenvector(a, dim, vector_, next_)) return;
  // The component v is z itself, or (by slots) D'Wz, built in the iteration's spare array.
  const std::vector<double>& z = vector_;
  std::vector<double>& v = by_slots ? next_ : vector_;
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
}

size_t CategoryTally::order(std::vector<uint32_t>& rank) const {
  const size_t n = weight_.size();
  std::vector<double>& keys = keys_;
  if (width_ > 1) {
    principal_keys();
  } else {
    keys.assign(n, 0.0);
    for (size_t s = 0; s < n; ++s) {
      if (rows_[s] > 0 && weight_[s] > 0.0) keys[s] = sums_[s] / weight_[s];
    }
  }
  // The slots with rows, in slot order, then the others.
  std::vector<uint32_t>& slots = slots_;
  slots.clear();
  for (uint32_t s = 0; s < n; ++s) {
    if (rows_[s] > 0) slots.push_back(s);
  }
  const size_t ranked = slots.size();
  for (uint32_t s = 0; s < n; ++s) {
    if (rows_[s] == 0) slots.push_back(s);
  }
  // By key, ties in slot order; a key that is not a number (sums that overflowed) goes last.
  const auto before = [&keys](uint32_t a, uint32_t b) {
    const double ka = keys[a], kb = keys[b];
    if (ka < kb) return true;
    if (kb < ka) return false;
    const bool na = std::isnan(ka), nb = std::isnan(kb);
    return na != nb ? nb : a < b;
  };
  std::sort(slots.begin(), slots.begin() + static_cast<ptrdiff_t>(ranked), before);
  rank.resize(n);
  for (size_t i = 0; i < n; ++i)
    rank[slots[i]] = static_cast<uint32_t>(i);
  return ranked;
}

}  // namespace zelk
