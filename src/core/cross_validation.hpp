// Dealing a node's samples into cross-validation folds, and per-candidate fold statistics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/data.hpp"

namespace zelk {

struct Fold {
  std::vector<size_t> train;       // the node's samples outside the fold, in list order
  std::vector<size_t> validation;  // the fold's own samples, in list order
};

struct FoldAssignment {
  std::vector<uint32_t> rows;  // sample numbers in dealt order
  std::vector<uint8_t> fold;   // fold number of each entry of rows
  size_t n_folds = 0;          // at most 255
};

// Where each entry of a node's sample list was dealt: its fold and its index in that fold's
// validation list.
struct FoldIndex {
  std::vector<uint32_t> fold;
  std::vector<uint32_t> place;
};

struct KFold {
  size_t k = 5;
  uint64_t seed = 0;
  bool shuffle = true;

  // One Fold per fold, in fold order; `samples` holds at least 2 indices.
  std::vector<Fold> folds(std::span<const size_t> samples) const;
  // The same folds, and in `index` where every entry of `samples` went (fewer than 2^32).
  std::vector<Fold> folds(std::span<const size_t> samples, FoldIndex& index) const;
  // The same dealing as one fold number per sample (at most 255 folds); every index < 2^32.
  FoldAssignment assign(std::span<const size_t> samples) const;
  // The order in which samples are dealt: `samples` itself, or its SplitMix64 permutation.
  std::vector<size_t> dealt_order(std::span<const size_t> samples) const;

  // Deals the list `order` in place: permutes it as dealt_order permutes a list of its length,
  // numbers each entry's fold in `fold` (as long as `order`) and returns the number of folds,
  // at most 255. Dealing depends only on the count and the seed, so dealing positions 0 ..
  // n - 1 deals a node's samples themselves.
  size_t deal(std::span<uint32_t> order, std::span<uint8_t> fold) const;

  // The SplitMix64 shuffle of dealt_order, applied to `order` in place.
  template <class T>
  void shuffle_in_place(std::span<T> order) const;
};

// Split codes of the fold's validation samples: category codes, or bin numbers against
// edges fitted on the fold's training values (kMissingCode for a non-finite value).
std::vector<uint32_t> fold_val_codes(const Column& column, const Fold& fold, size_t n_bins);

struct FoldStats {
  std::vector<double> scores;  // one per fold that produced a score, in fold order
  double mean = 0.0;
  double median = 0.0;
  double std = 0.0;  // population standard deviation
  size_t n_valid = 0;
  size_t n_folds = 0;  // folds tried, including those without a score

  static FoldStats from_scores(std::vector<double> scores, size_t n_folds);
  // Recomputes the summary of `scores` in place, sorting a copy in the caller's reused
  // buffer `sorted`; the same sums in the same order as from_scores.
  void summarise(size_t folds, std::vector<double>& sorted);
};

}  // namespace zelk
