// The shap_values method of zelk._engine's classes.
#pragma once

#include <Python.h>

namespace zelk::py {

enum class Flavour;  // estimator_type.hpp

// The method's entry of the class's method table; defined for Flavour::Engine and every task
// kind.
template <Flavour F, class K>
PyMethodDef shap_values_method();

}  // namespace zelk::py
