#include "core/binning.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "core/encoder.hpp"

namespace zelk {

namespace {

// Codes are 16-bit and 65535 is the missing code.
constexpr size_t kMaxEdges = 65534;
constexpr size_t kMaxCategories = 65535;

bool any_finite(const std::vector<double>& values) {
  return std::any_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

Error limit_error(size_t feature, size_t count, const char* what) {
  return Error{"feature " + std::to_string(feature) + ": " + std::to_string(count) + " " + what +
               " exceed fast-mode limit"};
}

}  // namespace

Expected<BinnedData> BinnedData::fit(const std::vector<Column>& columns, size_t n_bins) {
  BinnedData data;
  data.n_samples = columns.empty() ? 0 : columns.front().size();
  data.codes.reserve(columns.size());
  data.bins.reserve(columns.size());

  for (size_t feature = 0; feature < columns.size(); ++feature) {
    const Column& column = columns[feature];
    FeatureBins bins;
    std::vector<uint16_t> codes(column.size());

    if (!column.is_categorical()) {
      const std::vector<double>& values = column.values();
      // Checked before the edges exist: n_bins may be far too large to materialise, and the
      // edge list would have n_bins - 1 entries, so n_bins is the count to report.
      if (n_bins > kMaxEdges + 1 && any_finite(values)) {
        return limit_error(feature, n_bins, "continuous bins");
      }
      bins.edges = quantile_edges(values, n_bins);
      for (size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        codes[i] = std::isfinite(v) ? static_cast<uint16_t>(bin_code(bins.edges, v)) : kMissingBin;
      }
      bins.n_bins = bins.edges.size() + 1;
      bins.continuous = true;
    } else {
      const std::vector<uint32_t>& values = column.codes();
      std::vector<uint32_t> categories;
      categories.reserve(values.size());
      for (uint32_t c : values) {
        if (c != kMissingCode) categories.push_back(c);
      }
      std::sort(categories.begin(), categories.end());
      categories.erase(std::unique(categories.begin(), categories.end()), categories.end());
      if (categories.size() > kMaxCategories) {
        return limit_error(feature, categories.size(), "categories");
      }
      for (size_t i = 0; i < values.size(); ++i) {
        const uint32_t c = values[i];
        if (c == kMissingCode) {
          codes[i] = kMissingBin;
        } else {
          const auto it = std::lower_bound(categories.begin(), categories.end(), c);
          codes[i] = static_cast<uint16_t>(it - categories.begin());
        }
      }
      categories.shrink_to_fit();
      bins.n_bins = categories.size();
      bins.categories = std::move(categories);
      bins.continuous = false;
    }

    data.codes.push_back(std::move(codes));
    data.bins.push_back(std::move(bins));
  }
  return data;
}

}  // namespace zelk
