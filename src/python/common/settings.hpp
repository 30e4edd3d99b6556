// Constructor arguments: the table of the growth settings every class takes, converting and
// validating each setting, and building the estimator's settings, task and aggregator. Both
// modules' classes take these settings under these names.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/tree/decision_tree.hpp"
#include "python/common/call.hpp"

namespace zelk::py {

// Everything an estimator object holds besides its Python header.
template <class K>
struct EstimatorState {
  DecisionTree<K> model;
  std::vector<size_t> categorical;  // ascending, without duplicates
  size_t n_classes = 0;             // classifiers only
  bool fitted = false;              // true exactly when model.root is set
};

enum class ClassKind { Regressor, Classifier, ObjectiveClassifier };

// A constructor parameter with its default as a Python literal: 'text', None, True, False, (),
// an int or a float.
struct Parameter {
  const char* name;
  std::string literal;
};

// A class's parameters in constructor order: its own leading ones, then the growth settings.
// The fixed module's classes take them all by position and without defaults, but not the
// engine's own settings; the engine's take every one by keyword, with its default.
const std::vector<const char*>& contract_parameters(ClassKind kind);
const std::vector<Parameter>& engine_parameters(ClassKind kind);

// A new, unfitted estimator's state from a constructor's arguments (every parameter of the
// class's list present), or nullopt with the Python exception set: TypeError / OverflowError
// for a conversion, ValueError for a bad name or value. Arguments are converted in the order
// of the class's parameters, then the names are validated.
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
