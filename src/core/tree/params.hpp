// The growth settings an estimator is built with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/cross_validation.hpp"

namespace zelk {

// Auto is strict for small training sets and fast for large ones (see resolved_mode).
enum class SplitMode { Strict, Fast, Auto };
enum class SplitStyle { Threshold, Bin };
// How a split is validated. Candidates: every candidate is scored on the node's folds and the
// best aggregate splits the node while it beats min_impurity_decrease. Prune: the node splits
// by its best in-sample candidate, its folds estimate whether splitting it generalises, and
// after growth every subtree without an estimated gain is pruned. Tree: grown as for Prune,
// every split whose gain its folds measured kept, then the whole tree sized by
// cross-validation over its weakest-link pruning sequence.
enum class Validation { Candidates, Prune, Tree };

// Every growth setting, validated once at construction and read-only afterwards. The defaults
// are the estimators' own (the engine's constructors show them).
struct Params {
  std::optional<size_t> max_depth;  // absent: no depth limit
  size_t min_samples_split = 2;
  size_t min_samples_leaf = 1;
  // Each side of a split keeps at least this fraction of the training set's total weight (its
  // sample count when unweighted); 0 sets no floor.
  double min_weight_fraction_leaf = 0.0;
  double min_impurity_decrease = 0.0;
  size_t n_bins = 16;
  KFold kfold;
  SplitMode mode = SplitMode::Auto;
  SplitStyle split_style = SplitStyle::Threshold;
  bool parallel = false;
  size_t n_threads = 1;
  size_t parallel_min_samples = 512;
  Validation validation = Validation::Tree;
  // A categorical split sends a subset of the node's categories left (a cut of their order by
  // the node's statistic); else one category against the rest.
  bool category_subsets = true;
  // Strict growth: a threshold (or a bin's bound) lies halfway between the values on either
  // side of it, not at the value above, so that a new value inside the gap goes to the side it
  // is nearer. The values it is read from, the node's or a fold's training part, fall on the
  // same sides either way; a fold's held-out values are judged as new ones would be.
  bool midpoint_thresholds = false;
  // Per feature: +1 the prediction must not fall as the feature grows, -1 must not rise, 0
  // free; empty for none.
  std::vector<int8_t> monotonic;
  // Whether splits carry their held-out scores. The trees that only size another (validation
  // "tree") need their shape alone, and skip the folds' picks wherever the shape allows.
  bool scores_splits = true;
};

// The message naming n_bins when `mode` cannot code that many bins per feature, whatever the
// data: fast mode's codes are 16-bit, strict mode's states 32-bit, each with one code for
// missing values. Empty otherwise.
std::string n_bins_error(SplitMode mode, size_t n_bins);

// The largest training set (samples times features) that mode Auto grows in strict mode: on
// larger sets a node's own quantiles differ little from the global bins, and strict mode's cost
// grows faster with size.
inline constexpr size_t kAutoStrictValues = 500000;

// The mode a fit of an n_rows x n_cols set grows in: `mode` itself, or what Auto picks for that
// size. A fit that fast mode cannot grow (`fast_supported` false: absolute error, more bins
// than its codes hold) is strict.
SplitMode resolved_mode(SplitMode mode, size_t n_rows, size_t n_cols, bool fast_supported);

}  // namespace zelk
