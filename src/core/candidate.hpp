// Candidate states of a feature at a node and the side a coded sample falls on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/data.hpp"

namespace zelk {

// Distinct states of `column` over the node's `samples`, ascending: bin numbers against the
// node's quantile edges (finite values only) or category codes (missing excluded).
std::vector<uint32_t> present_states(const Column& column, std::span<const size_t> samples,
                                     size_t n_bins);

// Left-side test of a split code against a state: at most the state (threshold mode, the
// missing code excluded) or equal to it (membership mode).
inline bool goes_left(uint32_t code, uint32_t state, bool threshold) {
  return threshold ? (code != kMissingCode && code <= state) : code == state;
}

}  // namespace zelk
