// Matching a call's arguments to a native function's parameters, with the interpreter's own
// wording for call errors.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "python/common/pyref.hpp"

namespace zelk::py {

// The parameters of a native function as a Python `def` would declare them: the first
// `max_positional` may be passed by position, the rest by keyword only; the first
// `n_required` must be passed, the others may be left out.
struct Signature {
  std::string_view function;  // for messages, e.g. "RawRegressor.__new__()"
  std::span<const char* const> names;
  size_t max_positional;
  size_t n_required;
};

// Every parameter positional-or-keyword and required: the plain form.
inline Signature all_required(std::string_view function, std::span<const char* const> names) {
  return Signature{function, names, names.size(), names.size()};
}

// On success out[i] holds a new reference to the argument for names[i], or nothing when an
// optional parameter was left out; false with TypeError set otherwise.
bool match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<PyRef> out);

// The arguments of one call by parameter name, for code that reads them by name.
class CallArgs {
 public:
  CallArgs(std::span<const char* const> names, std::span<const PyRef> values)
      : names_(names), values_(values) {}
  // A borrowed reference, or nullptr when the function has no such parameter or it was
  // left out.
  PyObject* operator[](std::string_view name) const;

 private:
  std::span<const char* const> names_;
  std::span<const PyRef> values_;
};

}  // namespace zelk::py
