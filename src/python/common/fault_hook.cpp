#include "python/common/fault_hook.hpp"

#ifdef ZELK_FAULT_INJECTION
#include <cstring>

#include "core/parallel.hpp"

namespace zelk::py {
namespace {

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

}  // namespace

PyMethodDef inject_fault_method() {
  return {"_inject_fault",
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(inject_fault)),
          METH_VARARGS | METH_KEYWORDS,
          "_inject_fault($module, /, kind, after, own_threads=False)\n--\n\n"
          "Test builds only: make the after-th next thread start (kind 'spawn') or worker job "
          "('worker', 'worker_oom') of the parallel map fail once; 'off' disarms."};
}

}  // namespace zelk::py
#endif
