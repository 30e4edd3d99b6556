// Conversion between a fitted tree and its dictionary of flat per-node lists (the form that
// export_tree returns and from_tree reads; the package pickles estimators through it).
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "core/tree/decision_tree.hpp"

namespace zelk::py {

// A new dictionary describing the tree under `root`, or nullptr with a Python exception set.
// `with_stats` appends the per-node training statistics ("impurity", "weighted_n_samples",
// "split_score", "fold_scores") after the tree's own keys.
PyObject* export_tree_state(const Node<double>& root, bool with_stats);
PyObject* export_tree_state(const Node<ClassPrediction>& root, size_t n_classes, bool with_stats);
// The same from the tree's nodes as walk_export lists them (a regressor's, a classifier's).
PyObject* export_tree_state(const std::vector<ExportedNode>& nodes, bool with_stats);
PyObject* export_tree_state(const std::vector<ExportedNode>& nodes, size_t n_classes,
                            bool with_stats);

// The tree rebuilt from the dictionary `tree` (already checked to be a dict), or nullptr
// with a Python exception set. Malformed structure (bad indices, cycles, shared subtrees,
// short lists) is rejected with an exception, never followed. `with_stats` also reads the
// statistics lists that are present; a dictionary without them is accepted.
std::unique_ptr<Node<double>> import_regression_tree(PyObject* tree, bool with_stats);
std::unique_ptr<Node<ClassPrediction>> import_class_tree(PyObject* tree, bool with_stats);

}  // namespace zelk::py
