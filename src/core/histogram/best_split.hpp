// A node's running winner while its features are scored, and the value that carries the
// node's decision from scoring to the split.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelk {

// The best candidate seen so far; ranks like best_candidate, so offering features in
// ascending order and states in ascending order picks the same winner.
struct BestSplit {
  bool found = false;
  size_t feature = 0;
  uint32_t state = 0;
  double score = 0.0;
  std::vector<double> fold_scores;  // the winner's per-fold scores

  // Keeps `other` if it ranks above; `other` must come from later features only.
  void merge(const BestSplit& other) {
    if (other.found && (!found || other.score > score)) *this = other;
  }
  // Keeps the candidate if its finite score ranks above; candidates must come in ascending
  // (feature, state) order. Copies the fold scores only for a new winner.
  void offer(size_t candidate_feature, uint32_t candidate_state, double candidate_score,
             std::span<const double> candidate_fold_scores) {
    if (!std::isfinite(candidate_score)) return;
    if (!found || candidate_score > score) {
      found = true;
      feature = candidate_feature;
      state = candidate_state;
      score = candidate_score;
      fold_scores.assign(candidate_fold_scores.begin(), candidate_fold_scores.end());
    }
  }
};

}  // namespace zelk
