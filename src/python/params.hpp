// Constructor arguments: matching a call to its parameter list, converting and validating
// each setting, and building the estimator's settings, task and aggregator.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/tree/decision_tree.hpp"
#include "python/pyref.hpp"

namespace zelk::py {

// Everything an estimator object holds besides its Python header.
template <class K>
struct EstimatorState {
  DecisionTree<K> model;
  std::vector<size_t> categorical;  // ascending, without duplicates
  size_t n_classes = 0;             // classifiers only
  bool fitted = false;              // true exactly when model.root is set
};

// Matches a call's positional and keyword arguments to `names` (every one required) the way
// Python matches a plain function's, with its wording for call errors naming `function`
// (e.g. "RawRegressor.__new__()"). On success out[i] holds a new reference to the argument
// for names[i].
bool match_arguments(std::string_view function, std::span<const char* const> names, PyObject* args,
                     PyObject* kwargs, std::span<PyRef> out);

inline constexpr std::array<const char*, 19> kRegressorParams = {"criterion",
                                                                 "max_depth",
                                                                 "min_samples_split",
                                                                 "min_samples_leaf",
                                                                 "min_impurity_decrease",
                                                                 "n_bins",
                                                                 "cv_folds",
                                                                 "cv_seed",
                                                                 "cv_shuffle",
                                                                 "mode",
                                                                 "split_style",
                                                                 "aggregator",
                                                                 "agg_frac",
                                                                 "agg_eps",
                                                                 "agg_lambda",
                                                                 "parallel",
                                                                 "n_threads",
                                                                 "parallel_min_samples",
                                                                 "categorical"};

inline constexpr std::array<const char*, 20> kClassifierParams = {"n_classes",
                                                                  "criterion",
                                                                  "max_depth",
                                                                  "min_samples_split",
                                                                  "min_samples_leaf",
                                                                  "min_impurity_decrease",
                                                                  "n_bins",
                                                                  "cv_folds",
                                                                  "cv_seed",
                                                                  "cv_shuffle",
                                                                  "mode",
                                                                  "split_style",
                                                                  "aggregator",
                                                                  "agg_frac",
                                                                  "agg_eps",
                                                                  "agg_lambda",
                                                                  "parallel",
                                                                  "n_threads",
                                                                  "parallel_min_samples",
                                                                  "categorical"};

inline constexpr std::array<const char*, 23> kObjectiveClassifierParams = {"n_classes",
                                                                           "objective",
                                                                           "average",
                                                                           "pos_label",
                                                                           "beta",
                                                                           "max_depth",
                                                                           "min_samples_split",
                                                                           "min_samples_leaf",
                                                                           "min_impurity_decrease",
                                                                           "n_bins",
                                                                           "cv_folds",
                                                                           "cv_seed",
                                                                           "cv_shuffle",
                                                                           "mode",
                                                                           "split_style",
                                                                           "aggregator",
                                                                           "agg_frac",
                                                                           "agg_eps",
                                                                           "agg_lambda",
                                                                           "parallel",
                                                                           "n_threads",
                                                                           "parallel_min_samples",
                                                                           "categorical"};

// A new, unfitted estimator's state from a constructor call, or nullopt with the Python
// exception set (TypeError / OverflowError for a conversion, ValueError for a bad name).
std::optional<EstimatorState<Regression>> regressor_from_call(PyObject* args, PyObject* kwargs);
std::optional<EstimatorState<Classification>> classifier_from_call(PyObject* args,
                                                                   PyObject* kwargs);
std::optional<EstimatorState<ObjectiveClassification>> objective_classifier_from_call(
    PyObject* args, PyObject* kwargs);

// The fixed settings of an estimator rebuilt from an exported tree; they only matter if it
// is fitted again.
EstimatorState<Regression> placeholder_regressor(std::vector<size_t> categorical);
EstimatorState<Classification> placeholder_classifier(size_t n_classes,
                                                      std::vector<size_t> categorical);
EstimatorState<ObjectiveClassification> placeholder_objective_classifier(
    size_t n_classes, std::vector<size_t> categorical);

}  // namespace zelk::py
