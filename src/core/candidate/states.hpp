// Candidate states of a feature at a node and the side a coded sample falls on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/data.hpp"

namespace zelk {

// Distinct states of `column` over the node's `samples`, ascending: bin numbers against the
// node's quantile edges (finite values only) or category codes (missing excluded).
std::vector<uint32_t> present_states(const Column& column, std::span<const size_t> samples,
                                     size_t n_bins);

// States are 32-bit and the all-ones one is the missing code, so a continuous feature with a
// finite value takes at most 4294967295 bins: the highest code is n_bins - 1.
constexpr size_t kMaxStrictBins = 4294967295;

// The message "feature {}: {} continuous bins exceed strict-mode limit" for the first
// continuous column holding a finite value when n_bins is above the limit; empty otherwise.
std::string strict_bins_error(std::span<const Column> columns, size_t n_bins);

// Left-side test of a split code against a state: at most the state (threshold mode, the
// missing code excluded) or equal to it (membership mode).
inline bool goes_left(uint32_t code, uint32_t state, bool threshold) {
  return threshold ? (code != kMissingCode && code <= state) : code == state;
}

}  // namespace zelk
