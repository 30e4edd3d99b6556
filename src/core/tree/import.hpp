// Rebuilding a tree from its flat per-node lists (the exported form read back): the inverse of
// walk_export. Malformed structure - bad indices, cycles, shared subtrees, short lists - is
// refused with a message, never followed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/result.hpp"
#include "core/tree/model.hpp"

namespace zelk {

// The lists every task shares, one entry per node in the exported numbering.
struct FlatTree {
  std::vector<bool> is_leaf;
  std::vector<int64_t> children_left;
  std::vector<int64_t> children_right;
  std::vector<int64_t> feature;
  std::vector<bool> is_categorical;
  std::vector<double> lower;
  std::vector<double> upper;
  std::vector<int64_t> category;
  std::vector<uint64_t> n_samples;
};

// The per-node statistics lists, and the categorical splits' category sets; each one may be
// absent (a split without its set tests its one "category").
struct FlatStats {
  std::optional<std::vector<double>> impurity;
  std::optional<std::vector<double>> weighted_n_samples;
  std::optional<std::vector<double>> split_score;
  std::optional<std::vector<std::vector<double>>> fold_scores;
  std::optional<std::vector<std::vector<int64_t>>> categories;
};

// The leaves' payloads: a regression tree's values, or a classification tree's predicted
// classes and class frequencies.
struct FlatValues {
  std::vector<double> value;
};
struct FlatClasses {
  std::vector<int64_t> predicted_class;
  std::vector<std::vector<double>> proba;
};

// The tree under node 0, with the statistics that `stats` holds (none when null).
Expected<std::unique_ptr<Node<double>>> import_tree(const FlatTree& flat, const FlatStats* stats,
                                                    const FlatValues& leaves);
Expected<std::unique_ptr<Node<ClassPrediction>>> import_tree(const FlatTree& flat,
                                                             const FlatStats* stats,
                                                             const FlatClasses& leaves);

}  // namespace zelk
