// The three estimator classes of `zelk._engine`, the module the package's estimators drive.
#pragma once

#include <Python.h>

namespace zelk::py::engine {

// The class objects, created on the first call and returned (as a new reference) on every
// later one; nullptr with a Python exception set if creation fails.
PyObject* regressor_class();
PyObject* classifier_class();
PyObject* objective_classifier_class();

}  // namespace zelk::py::engine
