// Fast-mode binning: every feature coded once into 16-bit bins of the whole training set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/data.hpp"
#include "core/result.hpp"

namespace zelk {

// Marks a missing value in binned data; no real bin has this code.
inline constexpr uint16_t kMissingBin = 0xFFFF;

struct FeatureBins {
  std::vector<double> edges;         // ascending, possibly repeated; continuous only
  std::vector<uint32_t> categories;  // strictly ascending category codes; categorical only
  size_t n_bins = 0;                 // edges + 1 (continuous) or number of categories
  bool continuous = true;
};

struct BinnedData {
  std::vector<std::vector<uint16_t>> codes;  // one code list per feature, in sample order
  std::vector<FeatureBins> bins;             // one per feature
  size_t n_samples = 0;

  // Bins every column; fails with the first feature that exceeds the 16-bit limits.
  static Expected<BinnedData> fit(const std::vector<Column>& columns, size_t n_bins);
  // The same binning read straight from the matrix, whose column j is categorical exactly
  // when j is in `categorical` (ascending): a few columns at a time for the edges, then one
  // pass over the rows for the codes, never a float copy of every column. Uses up to
  // `n_threads` threads; the result does not depend on it. With `weights` (one per row), the
  // quantile edges are those of the rows of positive weight, each counted once; categories
  // and codes are those of every row.
  static Expected<BinnedData> fit(const MatrixView& x, std::span<const size_t> categorical,
                                  size_t n_bins, size_t n_threads,
                                  std::span<const double> weights = {});
};

}  // namespace zelk
