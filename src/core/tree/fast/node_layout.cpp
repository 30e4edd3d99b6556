#include "core/tree/fast/node_layout.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

namespace zelk {

namespace {

constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ull;
constexpr size_t kMaxAssignFolds = 255;

size_t block_start(size_t fold, size_t n, size_t m) {
  const size_t q = n / m, r = n % m;
  return fold * q + std::min(fold, r);
}

// Shuffles the n entries of `order`, which hold the list to deal, numbers their folds in
// `fold` and returns the number of folds.
size_t deal_in_place(const KFold& kfold, uint32_t* order, uint8_t* fold, size_t n) {
  if (kfold.shuffle) {
    uint64_t state = kfold.seed ^ (static_cast<uint64_t>(n) * kGolden);
    for (uint64_t i = n; i >= 2; --i) {
      state += kGolden;
      uint64_t z = state;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
      z = z ^ (z >> 31);
      std::swap(order[i - 1], order[z % i]);
    }
  }
  const size_t m = std::min(std::min(n, std::max<size_t>(kfold.k, 2)), kMaxAssignFolds);
  for (size_t f = 0; f < m; ++f) {
    const size_t begin = block_start(f, n, m), end = block_start(f + 1, n, m);
    std::fill(fold + begin, fold + end, static_cast<uint8_t>(f));
  }
  return m;
}

}  // namespace

size_t deal_positions(const KFold& kfold, std::span<uint32_t> rows, std::span<uint8_t> fold) {
  std::iota(rows.begin(), rows.end(), uint32_t{0});
  return deal_in_place(kfold, rows.data(), fold.data(), rows.size());
}

void gather_regression(std::span<const double> targets, std::span<const uint32_t> rows,
                       std::span<const uint8_t> fold, size_t n_folds, std::span<double> y,
                       std::vector<double>& fold_sums, std::vector<double>& fold_sq_sums) {
  const size_t n = rows.size();
  fold_sums.assign(n_folds, 0.0);
  fold_sq_sums.assign(n_folds, 0.0);
  const uint32_t* const r = rows.data();
  const uint8_t* const fd = fold.data();
  double* const out = y.data();
  for (size_t j = 0; j < n; ++j) {
    const double v = targets[r[j]];
    out[j] = v;
    fold_sums[fd[j]] += v;
    fold_sq_sums[fd[j]] += v * v;
  }
}

void gather_weighted_regression(std::span<const double> targets, std::span<const double> weights,
                                std::span<const uint32_t> rows, std::span<const uint8_t> fold,
                                size_t n_folds, std::span<double> y, std::span<double> w,
                                std::vector<double>& fold_sums, std::vector<double>& fold_sq_sums,
                                std::vector<double>& fold_weights) {
  const size_t n = rows.size();
  fold_sums.assign(n_folds, 0.0);
  fold_sq_sums.assign(n_folds, 0.0);
  fold_weights.assign(n_folds, 0.0);
  for (size_t j = 0; j < n; ++j) {
    const double v = targets[rows[j]];
    const double weight = weights[rows[j]];
    const double wv = weight * v;
    y[j] = v;
    w[j] = weight;
    fold_sums[fold[j]] += wv;
    fold_sq_sums[fold[j]] += wv * v;
    fold_weights[fold[j]] += weight;
  }
}

size_t keep_positive(std::span<const double> weights, std::span<uint32_t> rows,
                     std::span<uint8_t> fold) {
  size_t kept = 0;
  for (size_t j = 0; j < rows.size(); ++j) {
    if (!(weights[rows[j]] > 0.0)) continue;
    rows[kept] = rows[j];
    fold[kept] = fold[j];
    ++kept;
  }
  return kept;
}

void gather_labels(std::span<const size_t> labels, size_t n_classes, std::span<const uint32_t> rows,
                   std::span<uint32_t> label) {
  const size_t n = rows.size();
  const uint32_t* const r = rows.data();
  for (size_t j = 0; j < n; ++j) {
    const size_t c = labels[r[j]];
    label[j] = c < n_classes ? static_cast<uint32_t>(c) : static_cast<uint32_t>(n_classes);
  }
}

}  // namespace zelk
