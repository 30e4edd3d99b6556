#include "core/tree/params.hpp"

#include "core/candidate/states.hpp"

namespace zelk {

std::string n_bins_error(SplitMode mode, size_t n_bins) {
  const bool fast = mode == SplitMode::Fast;
  const size_t limit = fast ? size_t{65535} : kMaxStrictBins;
  if (n_bins <= limit) return {};
  return "n_bins=" + std::to_string(n_bins) + " is more than " + (fast ? "fast" : "strict") +
         " mode can code: at most " + std::to_string(limit) + " bins per feature";
}

}  // namespace zelk
