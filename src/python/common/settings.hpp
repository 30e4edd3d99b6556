// Constructor arguments: converting and validating each setting, and building the
// estimator's settings, task and aggregator. Both modules' classes take these settings under
// these names.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/tree/decision_tree.hpp"
#include "python/common/call.hpp"
#include "python/common/pyref.hpp"

namespace zelk::py {

// Everything an estimator object holds besides its Python header.
template <class K>
struct EstimatorState {
  DecisionTree<K> model;
  std::vector<size_t> categorical;  // ascending, without duplicates
  size_t n_classes = 0;             // classifiers only
  bool fitted = false;              // true exactly when model.root is set
};

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

// A new, unfitted estimator's state from a constructor's arguments (every parameter of the
// class's list present), or nullopt with the Python exception set: TypeError / OverflowError
// for a conversion, ValueError for a bad name. Arguments are converted in the order of the
// lists above, then the names are validated.
std::optional<EstimatorState<Regression>> build_regressor(const CallArgs& args);
std::optional<EstimatorState<Classification>> build_classifier(const CallArgs& args);
std::optional<EstimatorState<ObjectiveClassification>> build_objective_classifier(
    const CallArgs& args);

// The fixed settings of an estimator rebuilt from an exported tree; they only matter if it
// is fitted again.
EstimatorState<Regression> placeholder_regressor(std::vector<size_t> categorical);
EstimatorState<Classification> placeholder_classifier(size_t n_classes,
                                                      std::vector<size_t> categorical);
EstimatorState<ObjectiveClassification> placeholder_objective_classifier(
    size_t n_classes, std::vector<size_t> categorical);

}  // namespace zelk::py
