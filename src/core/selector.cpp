#include "core/selector.hpp"

#include <cmath>

namespace zelk {

const ScoredCandidate* best_candidate(std::span<const ScoredCandidate> candidates) {
  const ScoredCandidate* best = nullptr;
  for (const ScoredCandidate& c : candidates) {
    if (!std::isfinite(c.score)) continue;
    if (best == nullptr || ranks_above(c, *best)) best = &c;
  }
  return best;
}

}  // namespace zelk
