// The one place where C++ failures become Python exceptions. Every entry point from the
// interpreter runs its body through `guard`, so no C++ exception ever unwinds into CPython.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/parallel.hpp"
#include "core/result.hpp"

namespace zelk::py {

// The qualified name of this extension module's PanicException; each module defines it.
extern const char kPanicExceptionName[];

// The exception type for abnormal ends inside the core. Derived from BaseException so that
// `except Exception` lets it pass. Created on first use and kept for the life of the process;
// nullptr (with a Python error set) only if it could not be created.
PyObject* panic_exception_type();

// Sets `type` with a UTF-8 message; undecodable bytes are replaced rather than turning the
// report into a UnicodeDecodeError.
inline void set_error(PyObject* type, std::string_view message) {
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return;  // the decode failure is the error now
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

// A core error value, raised as ValueError with its text unchanged. Returns nullptr so
// callers can write `return raise_value_error(...)`.
inline PyObject* raise_value_error(std::string_view message) {
  set_error(PyExc_ValueError, message);
  return nullptr;
}

inline void raise_panic(std::string_view message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // creating the type failed and set its own error
  set_error(type, message);
}

// Runs `body` and returns what it returns; a C++ exception leaving it becomes the matching
// Python exception and the result is a value-initialised R (nullptr for PyObject*, or false).
// `body` itself reports Python errors the usual way (exception set, failure value returned).
template <class F>
auto guard(F&& body) noexcept -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  try {
    return body();
  } catch (const OutOfMemory& error) {
    set_error(PyExc_MemoryError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more elements than it can address: a size no memory can hold.
    PyErr_NoMemory();
  } catch (const Panic& panic) {
    raise_panic(panic.what());
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic("unknown C++ exception in the native core");
  }
  return R{};
}

// Unwraps a core result into `out`, or raises its message as ValueError.
template <class T>
bool take(Expected<T>&& result, T& out) {
  if (!result.ok()) {
    raise_value_error(result.error());
    return false;
  }
  out = std::move(result).value();
  return true;
}

}  // namespace zelk::py
