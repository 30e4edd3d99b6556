// Module initialisation: creates zelk._zelk and registers the three estimator classes.
#define ZELK_IMPORT_NUMPY
#include "python/common/numpy_api.hpp"

#include "python/common/boundary.hpp"
#include "python/common/pyref.hpp"
#include "python/zelk/classes.hpp"

#ifdef ZELK_FAULT_INJECTION
#include "python/common/fault_hook.hpp"
#endif

namespace zelk::py {
const char kPanicExceptionName[] = "zelk._zelk.PanicException";
}  // namespace zelk::py

namespace {

#ifdef ZELK_FAULT_INJECTION
PyMethodDef module_functions[] = {zelk::py::inject_fault_method(), {nullptr, nullptr, 0, nullptr}};
#endif

PyModuleDef zelk_module = {
    PyModuleDef_HEAD_INIT,
    "_zelk",
    "The native extension module `zelk._zelk`.",
    0,  // no per-module state; 0 (not -1) so a re-import calls PyInit__zelk again
#ifdef ZELK_FAULT_INJECTION
    module_functions,
#else
    nullptr,  // no functions of its own
#endif
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr const char* kModuleDoc =
    "The native core of the zelk package; use zelk.ZELKClassifier or zelk.ZELKRegressor "
    "rather than these classes.";

// The one module of this process: a second initialisation is refused.
PyObject* the_module = nullptr;

PyObject* create_module() {
  using zelk::py::PyRef;
  if (the_module != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "zelk._zelk is already initialised in this process and cannot be "
                    "initialised again");
    return nullptr;
  }
  if (_import_array() < 0) return nullptr;
  PyRef module(PyModule_Create(&zelk_module));
  if (!module) return nullptr;
  struct Entry {
    const char* name;
    PyObject* (*create)();
  };
  const Entry classes[] = {
      {"RawClassifier", zelk::py::contract::classifier_class},
      {"RawObjectiveClassifier", zelk::py::contract::objective_classifier_class},
      {"RawRegressor", zelk::py::contract::regressor_class}};
  for (const Entry& entry : classes) {
    PyRef type(entry.create());
    if (!type) return nullptr;
    if (PyModule_AddObjectRef(module.get(), entry.name, type.get()) < 0) return nullptr;
  }
  PyRef doc(PyUnicode_FromString(kModuleDoc));
  if (!doc || PyObject_SetAttrString(module.get(), "__doc__", doc.get()) < 0) return nullptr;
  the_module = module.get();
  Py_INCREF(the_module);  // lives for the rest of the process
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__zelk() {
  return create_module();
}
