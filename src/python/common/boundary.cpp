#include "python/common/boundary.hpp"

namespace zelk::py {

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;  // guarded by the interpreter lock
  if (type == nullptr) {
    type = PyErr_NewException(kPanicExceptionName, PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace zelk::py
