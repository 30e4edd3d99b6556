#include "core/candidate/states.hpp"

#include <algorithm>
#include <cmath>

#include "core/encoder.hpp"

namespace zelk {

std::vector<uint32_t> present_states(const Column& column, std::span<const size_t> samples,
                                     size_t n_bins) {
  std::vector<uint32_t> states;
  if (column.is_categorical()) {
    const std::vector<uint32_t>& codes = column.codes();
    states.reserve(samples.size());
    for (size_t s : samples) {
      if (codes[s] != kMissingCode) states.push_back(codes[s]);
    }
    std::sort(states.begin(), states.end());
    states.erase(std::unique(states.begin(), states.end()), states.end());
    return states;
  }
  const std::vector<double>& values = column.values();
  std::vector<double> gathered;
  gathered.reserve(samples.size());
  for (size_t s : samples)
    gathered.push_back(values[s]);
  const EdgeRuns edges = quantile_edge_runs(gathered, n_bins);
  // Values passing the same number of runs share a code, so a presence table replaces the
  // ordered set.
  std::vector<char> present(edges.n_runs() + 1, 0);
  for (double v : gathered) {
    if (std::isfinite(v)) present[edges.runs_through(v)] = 1;
  }
  for (size_t k = 0; k < present.size(); ++k) {
    if (present[k]) states.push_back(static_cast<uint32_t>(edges.code_after(k)));
  }
  return states;
}

std::string strict_bins_error(std::span<const Column> columns, size_t n_bins) {
  if (n_bins <= kMaxStrictBins) return {};
  for (size_t f = 0; f < columns.size(); ++f) {
    if (columns[f].is_categorical()) continue;
    const std::vector<double>& values = columns[f].values();
    if (std::any_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); })) {
      return "feature " + std::to_string(f) + ": " + std::to_string(n_bins) +
             " continuous bins exceed strict-mode limit";
    }
  }
  return {};
}

}  // namespace zelk
