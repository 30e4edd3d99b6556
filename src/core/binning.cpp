#include "core/binning.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "core/encoder.hpp"
#include "core/parallel.hpp"

namespace zelk {

namespace {

// Codes are 16-bit and 65535 is the missing code.
constexpr size_t kMaxEdges = 65534;
constexpr size_t kMaxCategories = 65535;
// Columns whose edges are found together from one pass over the rows; bounds the transient
// key buffers to a few per row. Eight would save passes over a row-major input but raise the
// fit's peak memory past its bound once growth's buffers come on top.
constexpr size_t kEdgeGroup = 4;

Error limit_error(size_t feature, size_t count, const char* what) {
  return Error{"feature " + std::to_string(feature) + ": " + std::to_string(count) + " " + what +
               " exceed fast-mode limit"};
}

// The bins of a continuous feature from the keys of its finite values (consumed).
Expected<FeatureBins> continuous_bins(std::vector<uint64_t>& keys, size_t n_bins, size_t feature,
                                      std::vector<uint64_t>& buffer) {
  // Checked before the edges exist: n_bins may be far too large to materialise, and the
  // edge list would have n_bins - 1 entries, so n_bins is the count to report.
  if (n_bins > kMaxEdges + 1 && !keys.empty()) {
    return limit_error(feature, n_bins, "continuous bins");
  }
  FeatureBins bins;
  bins.edges = quantile_edges_of_keys(keys, n_bins, buffer);
  bins.n_bins = bins.edges.size() + 1;
  bins.continuous = true;
  return bins;
}

// The bins of a categorical feature from its non-missing codes (consumed).
Expected<FeatureBins> categorical_bins(std::vector<uint32_t>& categories, size_t feature) {
  std::sort(categories.begin(), categories.end());
  categories.erase(std::unique(categories.begin(), categories.end()), categories.end());
  if (categories.size() > kMaxCategories) {
    return limit_error(feature, categories.size(), "categories");
  }
  categories.shrink_to_fit();
  FeatureBins bins;
  bins.n_bins = categories.size();
  bins.categories = std::move(categories);
  bins.continuous = false;
  return bins;
}

// bin_code with a fixed number of steps and no branch on the comparisons, which random
// values would mispredict.
uint16_t continuous_code(const std::vector<double>& edges, double v) {
  if (!std::isfinite(v)) return kMissingBin;
  if (edges.empty()) return 0;
  const double* base = edges.data();
  size_t len = edges.size();
  while (len > 1) {
    const size_t half = len / 2;
    base += static_cast<size_t>(base[half] <= v) * half;
    len -= half;
  }
  return static_cast<uint16_t>((base - edges.data()) + static_cast<size_t>(*base <= v));
}

// Codes rows [begin, end) of continuous column j into out[begin..end): four searches run
// side by side, all of the same fixed length, so their loads overlap.
void code_continuous(const MatrixView& x, size_t j, const std::vector<double>& edges, size_t begin,
                     size_t end, uint16_t* out) {
  const size_t n_edges = edges.size();
  const double* const e = edges.data();
  const auto finish = [&](size_t i, double v, const double* base) {
    out[i] = !std::isfinite(v)
                 ? kMissingBin
                 : static_cast<uint16_t>((base - e) + static_cast<size_t>(*base <= v));
  };
  size_t i = begin;
  if (n_edges == 0) {
    for (; i < end; ++i)
      out[i] = std::isfinite(x.at(i, j)) ? 0 : kMissingBin;
    return;
  }
  for (; i + 4 <= end; i += 4) {
    const double v0 = x.at(i, j), v1 = x.at(i + 1, j), v2 = x.at(i + 2, j), v3 = x.at(i + 3, j);
    const double *b0 = e, *b1 = e, *b2 = e, *b3 = e;
    for (size_t len = n_edges; len > 1;) {
      const size_t half = len / 2;
      b0 += static_cast<size_t>(b0[half] <= v0) * half;
      b1 += static_cast<size_t>(b1[half] <= v1) * half;
      b2 += static_cast<size_t>(b2[half] <= v2) * half;
      b3 += static_cast<size_t>(b3[half] <= v3) * half;
      len -= half;
    }
    finish(i, v0, b0);
    finish(i + 1, v1, b1);
    finish(i + 2, v2, b2);
    finish(i + 3, v3, b3);
  }
  for (; i < end; ++i)
    out[i] = continuous_code(edges, x.at(i, j));
}

uint16_t category_bin(const std::vector<uint32_t>& categories, uint32_t c) {
  if (c == kMissingCode) return kMissingBin;
  const auto it = std::lower_bound(categories.begin(), categories.end(), c);
  return static_cast<uint16_t>(it - categories.begin());
}

// Row blocks 0, 1, ...: up to one per thread, none shorter than a few thousand rows.
std::vector<size_t> row_blocks(size_t n, size_t n_threads) {
  std::vector<size_t> blocks(std::max<size_t>(1, std::min(n_threads, n / 4096)));
  for (size_t b = 0; b < blocks.size(); ++b)
    blocks[b] = b;
  return blocks;
}

// The bins of a matrix's columns, found kEdgeGroup columns at a time: each group's keys
// gathered in one pass over the rows, then sorted in parallel. The buffers are kept across
// groups so that their pages are touched only once.
class MatrixEdges {
 public:
  MatrixEdges(const MatrixView& x, const std::vector<bool>& is_categorical, size_t n_bins,
              size_t n_threads, std::span<const double> weights)
      : x_(x),
        weights_(weights),
        is_categorical_(is_categorical),
        n_bins_(n_bins),
        n_threads_(n_threads),
        n_workers_(std::max<size_t>(1, std::min(n_threads, kEdgeGroup))),
        keys_(kEdgeGroup),
        cats_(kEdgeGroup),
        buffers_(n_workers_),
        workers_(n_workers_),
        results_(kEdgeGroup),
        row_blocks_(row_blocks(x.rows, n_threads)) {
    for (size_t w = 0; w < n_workers_; ++w)
      workers_[w] = w;
  }

  // Fits the bins of columns g .. g + kEdgeGroup - 1 (those that exist) into `bins`; the
  // error of the first column that exceeds the limits, if any.
  std::optional<Error> fit_group(size_t g, std::vector<FeatureBins>& bins) {
    const size_t group_end = std::min(g + kEdgeGroup, x_.cols);
    gather_values(g, group_end);
    bin_values(g, group_end);
    for (size_t j = g; j < group_end; ++j) {
      if (!*results_[j - g]) return Error{results_[j - g]->error()};
      bins[j] = std::move(results_[j - g]->value());
    }
    return std::nullopt;
  }

 private:
  // Every value's key or code at its row, on several threads over stretches of rows; the
  // missing ones are dropped afterwards, so no thread needs to know where another's start.
  void gather_values(size_t g, size_t group_end) {
    const size_t n = x_.rows;
    for (size_t j = g; j < group_end; ++j) {
      if (is_categorical_[j]) {
        cats_[j - g].resize(n);
      } else {
        keys_[j - g].resize(n);
      }
    }
    par_map(std::span<const size_t>(row_blocks_), n_threads_, [&](size_t r) {
      const size_t n_blocks = row_blocks_.size();
      const size_t begin = r * n / n_blocks, end = (r + 1) * n / n_blocks;
      // Column by column over short stretches of rows: tight loops, and the stretch's rows
      // stay in cache for the group's other columns.
      constexpr size_t kStretch = 512;
      for (size_t first = begin; first < end; first += kStretch) {
        const size_t last = std::min(first + kStretch, end);
        for (size_t j = g; j < group_end; ++j) {
          if (is_categorical_[j]) {
            uint32_t* const out = cats_[j - g].data();
            for (size_t i = first; i < last; ++i)
              out[i] = category_code(x_.at(i, j));
          } else if (weights_.empty()) {
            uint64_t* const out = keys_[j - g].data();
            for (size_t i = first; i < last; ++i)
              out[i] = total_order_key(x_.at(i, j));
          } else {
            // A row of zero weight takes no part in the edges: its key is dropped like a
            // missing value's.
            uint64_t* const out = keys_[j - g].data();
            for (size_t i = first; i < last; ++i)
              out[i] = total_order_key(weights_[i] > 0.0 ? x_.at(i, j) : kNaN);
          }
        }
      }
      return 0;
    });
  }

  // Each column's bins from its gathered values, the group's columns shared over the workers.
  void bin_values(size_t g, size_t group_end) {
    par_map(std::span<const size_t>(workers_), n_threads_, [&](size_t w) {
      for (size_t j = g + w; j < group_end; j += n_workers_) {
        if (is_categorical_[j]) {
          std::vector<uint32_t>& c = cats_[j - g];
          c.erase(std::remove(c.begin(), c.end(), kMissingCode), c.end());
          results_[j - g].emplace(categorical_bins(c, j));
        } else {
          std::vector<uint64_t>& k = keys_[j - g];
          k.erase(std::remove_if(
                      k.begin(), k.end(),
                      [](uint64_t key) { return !std::isfinite(from_total_order_key(key)); }),
                  k.end());
          results_[j - g].emplace(continuous_bins(k, n_bins_, j, buffers_[w]));
        }
      }
      return 0;
    });
  }

  static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

  const MatrixView& x_;
  std::span<const double> weights_;
  const std::vector<bool>& is_categorical_;
  size_t n_bins_;
  size_t n_threads_;
  size_t n_workers_;
  std::vector<std::vector<uint64_t>> keys_;
  std::vector<std::vector<uint32_t>> cats_;
  std::vector<std::vector<uint64_t>> buffers_;
  std::vector<size_t> workers_;
  std::vector<std::optional<Expected<FeatureBins>>> results_;
  std::vector<size_t> row_blocks_;
};

// Codes every column of the matrix against its bins: one pass over the rows, in blocks of
// rows per thread.
void code_matrix(const MatrixView& x, const std::vector<bool>& is_categorical, size_t n_threads,
                 BinnedData& data) {
  const size_t n = x.rows;
  const size_t n_features = x.cols;
  data.codes.resize(n_features);
  for (auto& codes : data.codes)
    codes.resize(n);
  const std::vector<size_t> blocks = row_blocks(n, n_threads);
  const size_t n_blocks = blocks.size();
  par_map(std::span<const size_t>(blocks), n_threads, [&](size_t b) {
    const size_t begin = b * n / n_blocks, end = (b + 1) * n / n_blocks;
    // Small stretches of rows, column by column, so that the stretch stays in cache.
    constexpr size_t kStretch = 512;
    for (size_t first = begin; first < end; first += kStretch) {
      const size_t last = std::min(first + kStretch, end);
      for (size_t j = 0; j < n_features; ++j) {
        const FeatureBins& bins = data.bins[j];
        uint16_t* const out = data.codes[j].data();
        if (is_categorical[j]) {
          for (size_t i = first; i < last; ++i)
            out[i] = category_bin(bins.categories, category_code(x.at(i, j)));
        } else {
          code_continuous(x, j, bins.edges, first, last, out);
        }
      }
    }
    return 0;
  });
}

}  // namespace

Expected<BinnedData> BinnedData::fit(const std::vector<Column>& columns, size_t n_bins) {
  BinnedData data;
  data.n_samples = columns.empty() ? 0 : columns.front().size();
  data.codes.reserve(columns.size());
  data.bins.reserve(columns.size());

  for (size_t feature = 0; feature < columns.size(); ++feature) {
    const Column& column = columns[feature];
    std::vector<uint16_t> codes(column.size());
    std::optional<Expected<FeatureBins>> bins;
    if (!column.is_categorical()) {
      const std::vector<double>& values = column.values();
      std::vector<uint64_t> keys;
      keys.reserve(values.size());
      for (double v : values) {
        if (std::isfinite(v)) keys.push_back(total_order_key(v));
      }
      std::vector<uint64_t> buffer;
      bins.emplace(continuous_bins(keys, n_bins, feature, buffer));
      if (!*bins) return Error{bins->error()};
      const std::vector<double>& edges = bins->value().edges;
      for (size_t i = 0; i < values.size(); ++i)
        codes[i] = continuous_code(edges, values[i]);
    } else {
      const std::vector<uint32_t>& values = column.codes();
      std::vector<uint32_t> categories;
      categories.reserve(values.size());
      for (uint32_t c : values) {
        if (c != kMissingCode) categories.push_back(c);
      }
      bins.emplace(categorical_bins(categories, feature));
      if (!*bins) return Error{bins->error()};
      const std::vector<uint32_t>& cats = bins->value().categories;
      for (size_t i = 0; i < values.size(); ++i)
        codes[i] = category_bin(cats, values[i]);
    }
    data.codes.push_back(std::move(codes));
    data.bins.push_back(std::move(bins->value()));
  }
  return data;
}

Expected<BinnedData> BinnedData::fit(const MatrixView& x, std::span<const size_t> categorical,
                                     size_t n_bins, size_t n_threads,
                                     std::span<const double> weights) {
  const size_t n_features = x.cols;
  std::vector<bool> is_categorical(n_features);
  for (size_t j = 0; j < n_features; ++j)
    is_categorical[j] = contains_sorted(categorical, j);

  BinnedData data;
  data.n_samples = x.rows;
  data.bins.resize(n_features);
  {
    MatrixEdges edges(x, is_categorical, n_bins, n_threads, weights);
    for (size_t g = 0; g < n_features; g += kEdgeGroup) {
      if (std::optional<Error> error = edges.fit_group(g, data.bins)) return std::move(*error);
    }
  }
  code_matrix(x, is_categorical, n_threads, data);
  return data;
}

}  // namespace zelk
