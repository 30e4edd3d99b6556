// Conversion between a fitted tree and its dictionary of flat per-node lists (the form that
// export_tree returns and from_tree reads; the package pickles estimators through it).
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>

#include "core/tree/decision_tree.hpp"

namespace zelk::py {

// A new dictionary describing the tree under `root`, or nullptr with a Python exception set.
PyObject* export_tree_state(const Node<double>& root);
PyObject* export_tree_state(const Node<ClassPrediction>& root, size_t n_classes);

// The tree rebuilt from the dictionary `tree` (already checked to be a dict), or nullptr
// with a Python exception set. Malformed structure (bad indices, cycles, shared subtrees,
// short lists) is rejected with an exception, never followed.
std::unique_ptr<Node<double>> import_regression_tree(PyObject* tree);
std::unique_ptr<Node<ClassPrediction>> import_class_tree(PyObject* tree);

}  // namespace zelk::py
