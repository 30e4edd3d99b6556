#include "core/candidate.hpp"

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
  const std::vector<double> edges = quantile_edges(gathered, n_bins);
  // Codes run from 0 to the number of edges, so a presence table replaces the ordered set.
  std::vector<char> present(edges.size() + 1, 0);
  for (double v : gathered) {
    if (std::isfinite(v)) present[bin_code(edges, v)] = 1;
  }
  for (size_t code = 0; code < present.size(); ++code) {
    if (present[code]) states.push_back(static_cast<uint32_t>(code));
  }
  return states;
}

}  // namespace zelk
