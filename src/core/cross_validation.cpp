#include "core/cross_validation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/encoder.hpp"

namespace zelk {

namespace {

constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ull;
// Fold numbers are 8-bit in fast mode.
constexpr size_t kMaxAssignFolds = 255;

size_t fold_count(size_t k, size_t n) {
  return std::min(n, std::max<size_t>(k, 2));
}

// Start of block `fold` when n entries are dealt into m consecutive blocks, the first n % m
// of them one entry longer.
size_t block_start(size_t fold, size_t n, size_t m) {
  const size_t q = n / m, r = n % m;
  return fold * q + std::min(fold, r);
}

}  // namespace

template <class T>
void KFold::shuffle_in_place(std::span<T> order) const {
  if (!shuffle) return;
  const uint64_t n = order.size();
  uint64_t state = seed ^ (n * kGolden);
  for (uint64_t i = n; i >= 2; --i) {
    state += kGolden;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z = z ^ (z >> 31);
    std::swap(order[i - 1], order[z % i]);
  }
}

template void KFold::shuffle_in_place(std::span<size_t>) const;
template void KFold::shuffle_in_place(std::span<uint32_t>) const;

std::vector<size_t> KFold::dealt_order(std::span<const size_t> samples) const {
  std::vector<size_t> order(samples.begin(), samples.end());
  shuffle_in_place(std::span<size_t>(order));
  return order;
}

size_t KFold::deal(std::span<uint32_t> order, std::span<uint8_t> fold) const {
  shuffle_in_place(order);
  const size_t n = order.size();
  const size_t m = std::min(fold_count(k, n), kMaxAssignFolds);
  for (size_t f = 0; f < m; ++f)
    std::fill(fold.begin() + block_start(f, n, m), fold.begin() + block_start(f + 1, n, m),
              static_cast<uint8_t>(f));
  return m;
}

std::vector<Fold> KFold::folds(std::span<const size_t> samples) const {
  const std::vector<size_t> order = dealt_order(samples);
  const size_t n = order.size();
  const size_t m = fold_count(k, n);
  std::vector<Fold> result(m);
  for (size_t f = 0; f < m; ++f) {
    const size_t begin = block_start(f, n, m), end = block_start(f + 1, n, m);
    Fold& fold = result[f];
    fold.validation.assign(order.begin() + begin, order.begin() + end);
    fold.train.reserve(n - (end - begin));
    fold.train.insert(fold.train.end(), order.begin(), order.begin() + begin);
    fold.train.insert(fold.train.end(), order.begin() + end, order.end());
  }
  return result;
}

std::vector<Fold> KFold::folds(std::span<const size_t> samples, FoldIndex& index) const {
  // Dealing permutes by the count and the seed alone, so dealing positions and reading the
  // samples at them gives the same folds as dealing the samples.
  const size_t n = samples.size();
  std::vector<size_t> positions(n);
  for (size_t p = 0; p < n; ++p)
    positions[p] = p;
  const std::vector<size_t> order = dealt_order(positions);
  const size_t m = fold_count(k, n);
  index.fold.resize(n);
  index.place.resize(n);
  std::vector<Fold> result(m);
  for (size_t f = 0; f < m; ++f) {
    const size_t begin = block_start(f, n, m), end = block_start(f + 1, n, m);
    Fold& fold = result[f];
    fold.validation.reserve(end - begin);
    for (size_t j = begin; j < end; ++j) {
      const size_t p = order[j];
      fold.validation.push_back(samples[p]);
      index.fold[p] = static_cast<uint32_t>(f);
      index.place[p] = static_cast<uint32_t>(j - begin);
    }
    fold.train.reserve(n - (end - begin));
    for (size_t j = 0; j < begin; ++j)
      fold.train.push_back(samples[order[j]]);
    for (size_t j = end; j < n; ++j)
      fold.train.push_back(samples[order[j]]);
  }
  return result;
}

FoldAssignment KFold::assign(std::span<const size_t> samples) const {
  FoldAssignment result;
  result.rows.resize(samples.size());
  for (size_t j = 0; j < samples.size(); ++j)
    result.rows[j] = static_cast<uint32_t>(samples[j]);
  result.fold.resize(samples.size());
  result.n_folds = deal(result.rows, result.fold);
  return result;
}

std::vector<uint32_t> fold_val_codes(const Column& column, const Fold& fold, size_t n_bins) {
  std::vector<uint32_t> codes(fold.validation.size());
  if (column.is_categorical()) {
    const std::vector<uint32_t>& stored = column.codes();
    for (size_t i = 0; i < codes.size(); ++i)
      codes[i] = stored[fold.validation[i]];
    return codes;
  }
  const std::vector<double>& values = column.values();
  std::vector<double> train_values(fold.train.size());
  for (size_t i = 0; i < train_values.size(); ++i)
    train_values[i] = values[fold.train[i]];
  const EdgeRuns edges = quantile_edge_runs(train_values, n_bins);
  for (size_t i = 0; i < codes.size(); ++i) {
    const double v = values[fold.validation[i]];
    codes[i] = std::isfinite(v) ? static_cast<uint32_t>(edges.code(v)) : kMissingCode;
  }
  return codes;
}

FoldStats FoldStats::from_scores(std::vector<double> scores, size_t n_folds) {
  FoldStats stats;
  stats.scores = std::move(scores);
  std::vector<double> sorted;
  stats.summarise(n_folds, sorted);
  return stats;
}

void FoldStats::summarise(size_t folds, std::vector<double>& sorted) {
  n_folds = folds;
  const size_t m = scores.size();
  if (m == 0) {
    mean = -std::numeric_limits<double>::infinity();
    median = -std::numeric_limits<double>::infinity();
    std = 0.0;
    n_valid = 0;
    return;
  }
  const double count = static_cast<double>(m);
  double sum = 0.0;
  for (double s : scores)
    sum += s;
  mean = sum / count;
  double squares = 0.0;
  for (double s : scores)
    squares += (s - mean) * (s - mean);
  // The total order has no ties between distinct bit patterns, so any correct sort gives
  // the same list.
  sorted.assign(scores.begin(), scores.end());
  std::sort(sorted.begin(), sorted.end(), total_order_less);
  median = m % 2 == 1 ? sorted[m / 2] : (sorted[m / 2 - 1] + sorted[m / 2]) * 0.5;
  std = std::sqrt(squares / count);
  n_valid = m;
}

}  // namespace zelk
