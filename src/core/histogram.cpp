#include "core/histogram.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include "core/binning.hpp"
#include "core/criterion.hpp"
#include "core/encoder.hpp"

namespace zelk {

namespace {

// Makes the first `n` entries usable and zero; capacity is kept for the next feature.
template <class T>
void grow_and_zero(std::vector<T>& v, size_t n) {
  if (v.size() < n) v.resize(n);
  std::fill_n(v.begin(), n, T{});
}

// Population variance from a count and two sums; rounding can push it below zero and an
// infinite target makes it not a number, both read as no spread.
double variance_from_sums(double sum, double sq_sum, double n) {
  const double mean = sum / n;
  const double v = sq_sum / n - mean * mean;
  return v >= 0.0 ? v : 0.0;
}

// The class with the largest count, ties to the lowest class (class 0 for all zeros).
size_t majority_class(std::span<const uint64_t> counts) {
  size_t best = 0;
  for (size_t c = 1; c < counts.size(); ++c) {
    if (counts[c] > counts[best]) best = c;
  }
  return best;
}

uint64_t sum_counts(std::span<const uint64_t> counts) {
  uint64_t total = 0;
  for (uint64_t x : counts)
    total += x;
  return total;
}

void emit(std::vector<ScoredCandidate>& out, std::vector<double> fold_scores, size_t n_folds,
          size_t feature, size_t k, const Aggregator& aggregator) {
  FoldStats stats = FoldStats::from_scores(std::move(fold_scores), n_folds);
  const double score = aggregator.aggregate(stats);
  out.push_back(ScoredCandidate{std::move(stats), feature, static_cast<uint32_t>(k), score});
}

// One feature's per-(fold, bin) regression histogram and its per-fold totals.
struct RegressionHistogram {
  const uint32_t* counts;
  const double* sums;
  const double* sq_sums;
  const uint64_t* fold_size;
  const double* fold_sums;
  const double* fold_sq_sums;
  size_t n_folds;
  size_t n_bins;
  bool threshold;
};

// Enumerates the candidates of the threshold or membership rule in increasing bin order and,
// for each, fills `fold_scores` with the variance-reduction score of every fold that has
// samples on both sides, then calls `on_candidate(k)`. The left_* arrays hold n_folds
// entries, zeroed.
template <class OnCandidate>
void enumerate_regression(const RegressionHistogram& h, uint64_t* left_count, double* left_sum,
                          double* left_sq_sum, std::vector<double>& fold_scores,
                          OnCandidate&& on_candidate) {
  const size_t n_folds = h.n_folds, n_bins = h.n_bins;
  fold_scores.reserve(n_folds);
  for (size_t k = 0; k < n_bins; ++k) {
    uint64_t bin_total = 0;
    for (size_t m = 0; m < n_folds; ++m) {
      const size_t cell = m * n_bins + k;
      bin_total += h.counts[cell];
      if (h.threshold) {
        left_count[m] += h.counts[cell];
        left_sum[m] += h.sums[cell];
        left_sq_sum[m] += h.sq_sums[cell];
      }
    }
    if (h.threshold && k + 1 == n_bins) break;  // nothing would remain on the right
    if (bin_total == 0) continue;

    fold_scores.clear();
    for (size_t m = 0; m < n_folds; ++m) {
      const size_t cell = m * n_bins + k;
      const uint64_t n_total = h.fold_size[m];
      const uint64_t n_left = h.threshold ? left_count[m] : h.counts[cell];
      if (n_total == 0 || n_left == 0 || n_left == n_total) continue;
      const double s_left = h.threshold ? left_sum[m] : h.sums[cell];
      const double q_left = h.threshold ? left_sq_sum[m] : h.sq_sums[cell];
      const double n = static_cast<double>(n_total);
      const double nl = static_cast<double>(n_left);
      const double nr = static_cast<double>(n_total - n_left);
      const double s = h.fold_sums[m];
      const double q = h.fold_sq_sums[m];
      const double v = variance_from_sums(s, q, n);
      const double v_left = variance_from_sums(s_left, q_left, nl);
      const double v_right = variance_from_sums(s - s_left, q - q_left, nr);
      fold_scores.push_back(v - (nr * v_right + nl * v_left) / n);
    }
    on_candidate(k);
  }
}

// One feature's per-(fold, bin, class) counts and its per-(fold, class) totals.
template <class FoldCount>
struct ClassHistogram {
  const uint32_t* class_counts;
  const FoldCount* fold_class;
  size_t n_folds;
  size_t n_bins;
  size_t n_classes;
  bool threshold;
  bool entropy;
};

// Enumerates the candidates like enumerate_regression, scoring each fold by the decrease of
// gini or entropy. `work` holds n_folds * n_classes zeroed running left counts followed by
// room for one fold's parent, left and right counts (3 * n_classes).
template <class FoldCount, class OnCandidate>
void enumerate_classification(const ClassHistogram<FoldCount>& h, uint64_t* work,
                              std::vector<double>& fold_scores, OnCandidate&& on_candidate) {
  const size_t n_folds = h.n_folds, n_bins = h.n_bins, n_classes = h.n_classes;
  uint64_t* const running_left = work;
  uint64_t* const parent = running_left + n_folds * n_classes;
  uint64_t* const left = parent + n_classes;
  uint64_t* const right = left + n_classes;
  const auto impurity = [&h, n_classes](const uint64_t* counts, uint64_t total) {
    const std::span<const uint64_t> c(counts, n_classes);
    return h.entropy ? entropy_from_counts<uint64_t>(c, total)
                     : gini_from_counts<uint64_t>(c, total);
  };
  fold_scores.reserve(n_folds);
  for (size_t k = 0; k < n_bins; ++k) {
    uint64_t bin_total = 0;
    for (size_t m = 0; m < n_folds; ++m) {
      const size_t cell = m * n_bins + k;
      for (size_t c = 0; c < n_classes; ++c) {
        const uint32_t x = h.class_counts[cell * n_classes + c];
        bin_total += x;
        if (h.threshold) running_left[m * n_classes + c] += x;
      }
    }
    if (h.threshold && k + 1 == n_bins) break;  // nothing would remain on the right
    if (bin_total == 0) continue;

    fold_scores.clear();
    for (size_t m = 0; m < n_folds; ++m) {
      const size_t cell = m * n_bins + k;
      uint64_t n_total = 0;
      uint64_t n_left = 0;
      for (size_t c = 0; c < n_classes; ++c) {
        parent[c] = h.fold_class[m * n_classes + c];
        left[c] =
            h.threshold ? running_left[m * n_classes + c] : h.class_counts[cell * n_classes + c];
        right[c] = parent[c] - left[c];
        n_total += parent[c];
        n_left += left[c];
      }
      if (n_total == 0 || n_left == 0 || n_left == n_total) continue;
      const uint64_t n_right = n_total - n_left;
      const double i_parent = impurity(parent, n_total);
      const double i_left = impurity(left, n_left);
      const double i_right = impurity(right, n_right);
      const double n = static_cast<double>(n_total);
      const double nl = static_cast<double>(n_left);
      const double nr = static_cast<double>(n_right);
      fold_scores.push_back(i_parent - (nr * i_right + nl * i_left) / n);
    }
    on_candidate(k);
  }
}

}  // namespace

std::vector<ScoredCandidate> score_regression_fast(std::span<const uint16_t> codes,
                                                   std::span<const double> targets,
                                                   const FoldAssignment& folds, size_t n_bins,
                                                   size_t feature, const Aggregator& aggregator,
                                                   FastScratch& scratch, bool threshold) {
  std::vector<ScoredCandidate> out;
  const size_t n_folds = folds.n_folds;
  if (n_folds == 0 || n_bins == 0) return out;

  const size_t cells = n_folds * n_bins;
  grow_and_zero(scratch.bin_counts, cells);
  grow_and_zero(scratch.bin_sums, cells);
  grow_and_zero(scratch.bin_sq_sums, cells);
  grow_and_zero(scratch.fold_sums, n_folds);
  grow_and_zero(scratch.fold_sq_sums, n_folds);
  uint32_t* const counts = scratch.bin_counts.data();
  double* const sums = scratch.bin_sums.data();
  double* const sq_sums = scratch.bin_sq_sums.data();
  double* const fold_sums = scratch.fold_sums.data();
  double* const fold_sq_sums = scratch.fold_sq_sums.data();

  const size_t n_rows = folds.rows.size();
  for (size_t j = 0; j < n_rows; ++j) {
    const uint32_t s = folds.rows[j];
    const uint16_t b = codes[s];
    if (b == kMissingBin || b >= n_bins) continue;
    const size_t m = folds.fold[j];
    const double y = targets[s];
    const size_t cell = m * n_bins + b;
    counts[cell] += 1;
    sums[cell] += y;
    sq_sums[cell] += y * y;
    fold_sums[m] += y;
    fold_sq_sums[m] += y * y;
  }

  std::vector<uint64_t> fold_size(n_folds, 0);
  for (size_t m = 0; m < n_folds; ++m) {
    for (size_t b = 0; b < n_bins; ++b)
      fold_size[m] += counts[m * n_bins + b];
  }

  // Running left side per fold; only the threshold rule accumulates over bins.
  std::vector<uint64_t> left_count(n_folds, 0);
  std::vector<double> left_sum(n_folds, 0.0);
  std::vector<double> left_sq_sum(n_folds, 0.0);
  std::vector<double> fold_scores;
  enumerate_regression({counts, sums, sq_sums, fold_size.data(), fold_sums, fold_sq_sums, n_folds,
                        n_bins, threshold},
                       left_count.data(), left_sum.data(), left_sq_sum.data(), fold_scores,
                       [&](size_t k) { emit(out, fold_scores, n_folds, feature, k, aggregator); });
  return out;
}

std::vector<ScoredCandidate> score_classification_fast(size_t n_classes, bool entropy,
                                                       std::span<const uint16_t> codes,
                                                       std::span<const size_t> labels,
                                                       const FoldAssignment& folds, size_t n_bins,
                                                       size_t feature, const Aggregator& aggregator,
                                                       FastScratch& scratch, bool threshold) {
  std::vector<ScoredCandidate> out;
  const size_t n_folds = folds.n_folds;
  if (n_folds == 0 || n_bins == 0 || n_classes == 0) return out;

  const size_t cells = n_folds * n_bins;
  grow_and_zero(scratch.class_counts, cells * n_classes);
  grow_and_zero(scratch.fold_class_counts, n_folds * n_classes);
  grow_and_zero(scratch.bin_counts, cells);
  uint32_t* const class_counts = scratch.class_counts.data();
  uint32_t* const fold_class_counts = scratch.fold_class_counts.data();
  uint32_t* const bin_counts = scratch.bin_counts.data();

  const size_t n_rows = folds.rows.size();
  for (size_t j = 0; j < n_rows; ++j) {
    const uint32_t s = folds.rows[j];
    const uint16_t b = codes[s];
    const size_t c = labels[s];
    if (b == kMissingBin || b >= n_bins || c >= n_classes) continue;
    const size_t m = folds.fold[j];
    const size_t cell = m * n_bins + b;
    class_counts[cell * n_classes + c] += 1;
    fold_class_counts[m * n_classes + c] += 1;
    bin_counts[cell] += 1;
  }

  std::vector<uint64_t> sides(n_folds * n_classes + 3 * n_classes, 0);
  std::vector<double> fold_scores;
  enumerate_classification(ClassHistogram<uint32_t>{class_counts, fold_class_counts, n_folds,
                                                    n_bins, n_classes, threshold, entropy},
                           sides.data(), fold_scores, [&](size_t k) {
                             emit(out, fold_scores, n_folds, feature, k, aggregator);
                           });
  return out;
}

std::vector<ScoredCandidate> score_objective_fast(const ClassObjective& objective, size_t n_classes,
                                                  std::span<const uint16_t> codes,
                                                  std::span<const size_t> labels,
                                                  const FoldAssignment& folds, size_t n_bins,
                                                  size_t feature, const Aggregator& aggregator,
                                                  bool threshold) {
  RowsView rows;
  rows.rows = folds.rows;
  rows.fold = folds.fold;
  rows.n_folds = folds.n_folds;
  return score_objective_fast(objective, n_classes, codes, labels, rows, n_bins, feature,
                              aggregator, threshold);
}

std::vector<ScoredCandidate> score_objective_fast(const ClassObjective& objective, size_t n_classes,
                                                  std::span<const uint16_t> codes,
                                                  std::span<const size_t> labels,
                                                  const RowsView& folds, size_t n_bins,
                                                  size_t feature, const Aggregator& aggregator,
                                                  bool threshold) {
  std::vector<ScoredCandidate> out;
  const size_t n_folds = folds.n_folds;
  if (n_folds == 0 || n_bins == 0 || n_classes == 0) return out;

  // h: (fold, bin, class), f: (fold, class), b: (bin, class) over folds, a: class over all.
  std::vector<uint64_t> h(n_folds * n_bins * n_classes, 0);
  std::vector<uint64_t> f(n_folds * n_classes, 0);
  const size_t n_rows = folds.rows.size();
  for (size_t j = 0; j < n_rows; ++j) {
    const uint32_t s = folds.rows[j];
    const uint16_t bin = codes[s];
    const size_t c = labels[s];
    if (bin == kMissingBin || bin >= n_bins || c >= n_classes) continue;
    const size_t m = folds.fold[j];
    h[(m * n_bins + bin) * n_classes + c] += 1;
    f[m * n_classes + c] += 1;
  }
  std::vector<uint64_t> b(n_bins * n_classes, 0);
  std::vector<uint64_t> a(n_classes, 0);
  for (size_t m = 0; m < n_folds; ++m) {
    for (size_t bin = 0; bin < n_bins; ++bin) {
      for (size_t c = 0; c < n_classes; ++c) {
        const uint64_t x = h[(m * n_bins + bin) * n_classes + c];
        b[bin * n_classes + c] += x;
        a[c] += x;
      }
    }
  }

  // Running left counts over bins 0 .. k: per fold (cl) and over all folds (ca).
  std::vector<uint64_t> cl(threshold ? n_folds * n_classes : 0, 0);
  std::vector<uint64_t> ca(threshold ? n_classes : 0, 0);
  std::vector<uint64_t> val(n_classes), left_val(n_classes), right_val(n_classes);
  std::vector<uint64_t> train(n_classes), left_train(n_classes), right_train(n_classes);

  for (size_t k = 0; k < n_bins; ++k) {
    uint64_t bin_total = 0;
    for (size_t c = 0; c < n_classes; ++c)
      bin_total += b[k * n_classes + c];
    if (threshold) {
      for (size_t m = 0; m < n_folds; ++m) {
        for (size_t c = 0; c < n_classes; ++c) {
          cl[m * n_classes + c] += h[(m * n_bins + k) * n_classes + c];
        }
      }
      for (size_t c = 0; c < n_classes; ++c)
        ca[c] += b[k * n_classes + c];
    }
    if (threshold && k + 1 == n_bins) break;
    if (bin_total == 0) continue;

    std::vector<double> fold_scores;
    fold_scores.reserve(n_folds);
    for (size_t m = 0; m < n_folds; ++m) {
      for (size_t c = 0; c < n_classes; ++c) {
        const size_t mc = m * n_classes + c;
        const uint64_t in_bin = h[(m * n_bins + k) * n_classes + c];
        val[c] = f[mc];
        left_val[c] = threshold ? cl[mc] : in_bin;
        right_val[c] = val[c] - left_val[c];
        train[c] = a[c] - val[c];
        left_train[c] = threshold ? ca[c] - cl[mc] : b[k * n_classes + c] - in_bin;
        right_train[c] = train[c] - left_train[c];
      }
      // Both sides must be seen in the validation fold and learned from the training folds.
      if (sum_counts(val) == 0 || sum_counts(left_val) == 0 || sum_counts(right_val) == 0 ||
          sum_counts(left_train) == 0 || sum_counts(right_train) == 0) {
        continue;
      }
      Confusion split = Confusion::zero(n_classes);
      split.add_group(majority_class(left_train), left_val);
      split.add_group(majority_class(right_train), right_val);
      Confusion baseline = Confusion::zero(n_classes);
      baseline.add_group(majority_class(train), val);
      fold_scores.push_back(objective.score(split) - objective.score(baseline));
    }
    emit(out, std::move(fold_scores), n_folds, feature, k, aggregator);
  }
  return out;
}

}  // namespace zelk

namespace zelk {

namespace {

constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ull;
constexpr size_t kMaxAssignFolds = 255;

size_t block_start(size_t fold, size_t n, size_t m) {
  const size_t q = n / m, r = n % m;
  return fold * q + std::min(fold, r);
}

// FoldStats::from_scores into a reused record, without allocating once the buffers grew.
void summarise(FastScratch& scratch, size_t n_folds) {
  scratch.stats.scores.assign(scratch.fold_scores.begin(), scratch.fold_scores.end());
  scratch.stats.summarise(n_folds, scratch.sorted_scores);
}

void offer(BestSplit& best, FastScratch& scratch, size_t n_folds, size_t feature, size_t k,
           const Aggregator& aggregator) {
  summarise(scratch, n_folds);
  const double score = aggregator.aggregate(scratch.stats);
  if (!std::isfinite(score)) return;
  if (!best.found || score > best.score) {
    best.found = true;
    best.feature = feature;
    best.state = static_cast<uint32_t>(k);
    best.score = score;
  }
}

}  // namespace

namespace {

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

// Shuffles out.rows, which holds the list to deal, and numbers the folds.
void deal_rows(const KFold& kfold, FoldAssignment& out) {
  const size_t n = out.rows.size();
  out.fold.resize(n);
  out.n_folds = deal_in_place(kfold, out.rows.data(), out.fold.data(), n);
}

// The codes of the dealt entries, gathered in a loop of independent loads before the
// histogram loop's read-modify-writes, so that the random reads overlap.
const uint16_t* gather_codes(std::span<const uint16_t> codes, std::span<const uint32_t> rows,
                             FastScratch& scratch) {
  const size_t n = rows.size();
  if (scratch.gathered.size() < n) scratch.gathered.resize(n);
  uint16_t* const out = scratch.gathered.data();
  const uint32_t* const r = rows.data();
  const uint16_t* const code = codes.data();
  for (size_t j = 0; j < n; ++j)
    out[j] = code[r[j]];
  return out;
}

}  // namespace

void deal_folds(const KFold& kfold, std::span<const uint32_t> samples, FoldAssignment& out) {
  out.rows.assign(samples.begin(), samples.end());
  deal_rows(kfold, out);
}

void deal_positions(const KFold& kfold, size_t n, FoldAssignment& out) {
  out.rows.resize(n);
  std::iota(out.rows.begin(), out.rows.end(), uint32_t{0});
  deal_rows(kfold, out);
}

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

void gather_labels(std::span<const size_t> labels, size_t n_classes, std::span<const uint32_t> rows,
                   std::span<uint32_t> label) {
  const size_t n = rows.size();
  const uint32_t* const r = rows.data();
  for (size_t j = 0; j < n; ++j) {
    const size_t c = labels[r[j]];
    label[j] = c < n_classes ? static_cast<uint32_t>(c) : static_cast<uint32_t>(n_classes);
  }
}

void NodeRows::gather_regression(std::span<const double> targets) {
  y.resize(folds.rows.size());
  zelk::gather_regression(targets, folds.rows, folds.fold, folds.n_folds, y, fold_sums,
                          fold_sq_sums);
}

RowsView NodeRows::view() const {
  return RowsView{folds.rows, folds.fold,   folds.n_folds, y,
                  fold_sums,  fold_sq_sums, label,         n_classes};
}

void NodeRows::gather_labels(std::span<const size_t> labels, size_t classes) {
  n_classes = classes;
  label.resize(folds.rows.size());
  zelk::gather_labels(labels, classes, folds.rows, label);
}

void best_regression_fast(const RowsView& rows, std::span<const uint16_t> codes, size_t n_bins,
                          size_t feature, const Aggregator& aggregator, FastScratch& scratch,
                          bool threshold, BestSplit& best) {
  const size_t n_folds = rows.n_folds;
  if (n_folds == 0 || n_bins == 0) return;

  const size_t cells = n_folds * n_bins;
  grow_and_zero(scratch.bin_counts, cells);
  grow_and_zero(scratch.bin_sums, cells);
  grow_and_zero(scratch.bin_sq_sums, cells);
  uint32_t* const counts = scratch.bin_counts.data();
  double* const sums = scratch.bin_sums.data();
  double* const sq_sums = scratch.bin_sq_sums.data();

  const size_t n_rows = rows.rows.size();
  const uint8_t* const fd = rows.fold.data();
  const double* const y = rows.y.data();
  const uint16_t* const code = gather_codes(codes, rows.rows, scratch);
  for (size_t j = 0; j < n_rows; ++j) {
    const size_t b = code[j];
    if (b >= n_bins) continue;  // also the missing code, which is at least every n_bins
    const size_t cell = fd[j] * n_bins + b;
    const double v = y[j];
    counts[cell] += 1;
    sums[cell] += v;
    sq_sums[cell] += v * v;
  }

  std::array<uint64_t, kMaxAssignFolds> fold_size{};
  uint64_t seen = 0;
  for (size_t m = 0; m < n_folds; ++m) {
    for (size_t b = 0; b < n_bins; ++b)
      fold_size[m] += counts[m * n_bins + b];
    seen += fold_size[m];
  }
  // The node's fold sums cover every entry; a feature with missing codes sums its own.
  const double* fold_sums = rows.fold_sums.data();
  const double* fold_sq_sums = rows.fold_sq_sums.data();
  if (seen != n_rows) {
    grow_and_zero(scratch.fold_sums, n_folds);
    grow_and_zero(scratch.fold_sq_sums, n_folds);
    double* const own_sums = scratch.fold_sums.data();
    double* const own_sq_sums = scratch.fold_sq_sums.data();
    for (size_t j = 0; j < n_rows; ++j) {
      if (code[j] >= n_bins) continue;
      const double v = y[j];
      own_sums[fd[j]] += v;
      own_sq_sums[fd[j]] += v * v;
    }
    fold_sums = own_sums;
    fold_sq_sums = own_sq_sums;
  }

  std::array<uint64_t, kMaxAssignFolds> left_count{};
  std::array<double, kMaxAssignFolds> left_sum{};
  std::array<double, kMaxAssignFolds> left_sq_sum{};
  enumerate_regression({counts, sums, sq_sums, fold_size.data(), fold_sums, fold_sq_sums, n_folds,
                        n_bins, threshold},
                       left_count.data(), left_sum.data(), left_sq_sum.data(), scratch.fold_scores,
                       [&](size_t k) { offer(best, scratch, n_folds, feature, k, aggregator); });
}

void best_classification_fast(const RowsView& rows, bool entropy, std::span<const uint16_t> codes,
                              size_t n_bins, size_t feature, const Aggregator& aggregator,
                              FastScratch& scratch, bool threshold, BestSplit& best) {
  const size_t n_folds = rows.n_folds;
  const size_t n_classes = rows.n_classes;
  if (n_folds == 0 || n_bins == 0 || n_classes == 0) return;

  const size_t cells = n_folds * n_bins;
  grow_and_zero(scratch.class_counts, cells * n_classes);
  uint32_t* const class_counts = scratch.class_counts.data();

  const size_t n_rows = rows.rows.size();
  const uint8_t* const fd = rows.fold.data();
  const uint32_t* const label = rows.label.data();
  const uint16_t* const code = gather_codes(codes, rows.rows, scratch);
  for (size_t j = 0; j < n_rows; ++j) {
    const size_t b = code[j];
    const size_t c = label[j];
    if (b >= n_bins || c >= n_classes) continue;
    class_counts[(fd[j] * n_bins + b) * n_classes + c] += 1;
  }

  // Per-fold class totals, the running left side and one fold's three sides, all counts.
  const size_t fc = n_folds * n_classes;
  grow_and_zero(scratch.wide, 2 * fc + 3 * n_classes);
  uint64_t* const fold_class = scratch.wide.data();
  uint64_t* const running_left = fold_class + fc;  // then room for one fold's three sides
  for (size_t m = 0; m < n_folds; ++m) {
    for (size_t b = 0; b < n_bins; ++b) {
      for (size_t c = 0; c < n_classes; ++c)
        fold_class[m * n_classes + c] += class_counts[(m * n_bins + b) * n_classes + c];
    }
  }

  enumerate_classification(ClassHistogram<uint64_t>{class_counts, fold_class, n_folds, n_bins,
                                                    n_classes, threshold, entropy},
                           running_left, scratch.fold_scores, [&](size_t k) {
                             offer(best, scratch, n_folds, feature, k, aggregator);
                           });
}

}  // namespace zelk
