// Module initialisation: creates zelk._engine, the native module the package's estimators
// drive, and registers its three estimator classes and its PanicException.
#define ZELK_IMPORT_NUMPY
#include "python/common/numpy_api.hpp"

#include "python/common/boundary.hpp"
#include "python/common/pyref.hpp"
#include "python/engine/classes.hpp"

#ifdef ZELK_FAULT_INJECTION
#include "python/common/fault_hook.hpp"
#endif

namespace zelk::py {
const char kPanicExceptionName[] = "zelk._engine.PanicException";
}  // namespace zelk::py

namespace {

#ifdef ZELK_FAULT_INJECTION
PyMethodDef module_functions[] = {zelk::py::inject_fault_method(), {nullptr, nullptr, 0, nullptr}};
#endif

PyModuleDef engine_module = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "The native trees that zelk.ZELKClassifier and zelk.ZELKRegressor drive: Regressor,\n"
    "Classifier (impurity splits) and ObjectiveClassifier (metric splits).",
    -1,  // the classes are process-wide; the module cannot be initialised twice
#ifdef ZELK_FAULT_INJECTION
    module_functions,
#else
    nullptr,
#endif
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* create_module() {
  using zelk::py::PyRef;
  if (_import_array() < 0) return nullptr;
  PyRef module(PyModule_Create(&engine_module));
  if (!module) return nullptr;
  struct Entry {
    const char* name;
    PyObject* (*create)();
  };
  const Entry classes[] = {{"Classifier", zelk::py::engine::classifier_class},
                           {"ObjectiveClassifier", zelk::py::engine::objective_classifier_class},
                           {"Regressor", zelk::py::engine::regressor_class}};
  for (const Entry& entry : classes) {
    PyRef type(entry.create());
    if (!type) return nullptr;
    if (PyModule_AddObjectRef(module.get(), entry.name, type.get()) < 0) return nullptr;
  }
  PyObject* panic = zelk::py::panic_exception_type();  // kept for the process
  if (panic == nullptr || PyModule_AddObjectRef(module.get(), "PanicException", panic) < 0) {
    return nullptr;
  }
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__engine() {
  return create_module();
}
