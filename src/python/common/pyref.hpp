// A move-only owning handle for one strong reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace zelk::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new (strong) reference; `nullptr` is allowed and means "no object".
  explicit PyRef(PyObject* owned) : obj_(owned) {}
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace zelk::py
