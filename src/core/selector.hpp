// The scored-candidate record and the rule by which growth picks the winner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/cross_validation.hpp"

namespace zelk {

struct ScoredCandidate {
  FoldStats stats;     // the candidate's per-fold scores and their summary
  size_t feature = 0;  // feature column index
  uint32_t state = 0;  // bin number or category code
  double score = 0.0;  // aggregated cross-validated score; higher is better
};

// Whether `a` beats `b`: a higher score, then the lower feature, then the lower state.
inline bool ranks_above(const ScoredCandidate& a, const ScoredCandidate& b) {
  if (a.score != b.score) return a.score > b.score;
  if (a.feature != b.feature) return a.feature < b.feature;
  return a.state < b.state;
}

// The best candidate with a finite score, or nullptr when none has one. The result does not
// depend on the order of `candidates`.
const ScoredCandidate* best_candidate(std::span<const ScoredCandidate> candidates);

}  // namespace zelk
