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

SplitMode resolved_mode(SplitMode mode, size_t n_rows, size_t n_cols, bool fast_supported) {
  if (mode != SplitMode::Auto) return mode;
  if (!fast_supported) return SplitMode::Strict;
  // Compared by division: the product of a view's dimensions need not fit in size_t.
  const bool small = n_cols == 0 || n_rows <= kAutoStrictValues / n_cols;
  return small ? SplitMode::Strict : SplitMode::Fast;
}

}  // namespace zelk
