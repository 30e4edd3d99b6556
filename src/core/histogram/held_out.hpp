// Held-out validation of one feature at a fast node, from one histogram pass over its dealt
// entries: every fold's validation part per bin, the node as their sum, each fold's training
// part as the node less the fold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/histogram/scratch.hpp"
#include "core/validation/held_out.hpp"

namespace zelk {

// `targets` and `codes` are indexed as `rows.rows` indexes them; the scratch's held-out table
// and histogram arrays are reused. With `cuts` (a categorical feature, `threshold` set) the
// candidates are cuts of the categories' order: the node's for its choice, each fold's
// training part's for its pick.
template <class Target>
void score_held_out_fast(const HeldOutTask& task, const RowsView& rows,
                         std::span<const Target> targets, std::span<const uint16_t> codes,
                         size_t n_bins, bool threshold, bool cuts, size_t feature,
                         const NodeAdmission& admission, FastScratch& scratch,
                         HeldOutEvidence& evidence);

}  // namespace zelk
