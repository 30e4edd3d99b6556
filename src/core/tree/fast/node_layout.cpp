#include "core/tree/fast/node_layout.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

namespace zelk {

size_t deal_positions(const KFold& kfold, std::span<uint32_t> rows, std::span<uint8_t> fold) {
  std::iota(rows.begin(), rows.end(), uint32_t{0});
  return kfold.deal(rows, fold);
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
