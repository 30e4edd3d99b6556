// Module initialisation: creates zelk._zelk and registers the three estimator classes.
#define ZELK_IMPORT_NUMPY
#include "python/numpy_api.hpp"

#include "python/estimator.hpp"
#include "python/pyref.hpp"

#ifdef ZELK_FAULT_INJECTION
#include <cstring>

#include "core/parallel.hpp"
#endif

namespace {

#ifdef ZELK_FAULT_INJECTION
// _inject_fault(kind, after, own_threads=False): arms a one-shot failure in the parallel map
// for the tests. kind is "spawn", "worker", "worker_oom" or "off".
PyObject* inject_fault(PyObject*, PyObject* args, PyObject* kwargs) {
  using zelk::fault::Kind;
  static const char* keywords[] = {"kind", "after", "own_threads", nullptr};
  const char* name = nullptr;
  Py_ssize_t after = 0;
  int own_threads = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sn|p:_inject_fault", const_cast<char**>(keywords),
                                   &name, &after, &own_threads)) {
    return nullptr;
  }
  struct Named {
    const char* name;
    Kind kind;
  };
  const Named kinds[] = {{"off", Kind::kOff},
                         {"spawn", Kind::kSpawn},
                         {"worker", Kind::kWorker},
                         {"worker_oom", Kind::kWorkerOutOfMemory}};
  const Named* found = nullptr;
  for (const Named& k : kinds) {
    if (std::strcmp(k.name, name) == 0) found = &k;
  }
  if (found == nullptr) {
    PyErr_Format(PyExc_ValueError, "unknown fault kind '%s'", name);
    return nullptr;
  }
  if (after < 0) {
    PyErr_SetString(PyExc_ValueError, "after must be non-negative");
    return nullptr;
  }
  zelk::fault::arm(found->kind, static_cast<uint64_t>(after), own_threads != 0);
  Py_RETURN_NONE;
}

PyMethodDef module_functions[] = {
    {"_inject_fault", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(inject_fault)),
     METH_VARARGS | METH_KEYWORDS,
     "_inject_fault($module, /, kind, after, own_threads=False)\n--\n\n"
     "Test builds only: make the after-th next thread start (kind 'spawn') or worker job "
     "('worker', 'worker_oom') of the parallel map fail once; 'off' disarms."},
    {nullptr, nullptr, 0, nullptr},
};
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
  const Entry classes[] = {{"RawClassifier", zelk::py::classifier_class},
                           {"RawObjectiveClassifier", zelk::py::objective_classifier_class},
                           {"RawRegressor", zelk::py::regressor_class}};
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
