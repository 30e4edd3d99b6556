#include "python/common/call.hpp"

#include <string>
#include <vector>

#include "python/common/boundary.hpp"

namespace zelk::py {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own wording.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ',';
      out += (i + 1 == names.size()) ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

void raise_call_error(std::string_view function, const std::string& rest) {
  set_error(PyExc_TypeError, std::string(function) + " " + rest);
}

std::string plural(size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// "takes 2 positional arguments but 3 were given", "takes from 2 to 3 ...".
std::string too_many_positional(const Signature& signature, size_t given) {
  const size_t low = std::min(signature.n_required, signature.max_positional);
  const size_t high = signature.max_positional;
  std::string takes =
      low == high ? plural(high, "positional argument")
                  : "from " + std::to_string(low) + " to " + plural(high, "positional argument");
  return "takes " + takes + " but " + std::to_string(given) + (given == 1 ? " was" : " were") +
         " given";
}

}  // namespace

bool match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<PyRef> out) {
  const std::span<const char* const> names = signature.names;
  const size_t n_params = names.size();
  const size_t n_positional = args == nullptr ? 0 : static_cast<size_t>(PyTuple_GET_SIZE(args));
  for (size_t i = 0; i < n_params; ++i)
    out[i] = PyRef();
  for (size_t i = 0; i < n_positional && i < signature.max_positional; ++i) {
    out[i] = PyRef::borrow(PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)));
  }
  // Keywords first, as the interpreter does: an unknown or repeated keyword is reported even
  // when there are also too many positional arguments.
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        raise_call_error(signature.function, "keywords must be strings");
        return false;
      }
      size_t slot = n_params;
      for (size_t i = 0; i < n_params; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
          slot = i;
          break;
        }
      }
      if (slot == n_params) {
        PyErr_Format(PyExc_TypeError, "%.200s got an unexpected keyword argument '%U'",
                     std::string(signature.function).c_str(), key);
        return false;
      }
      if (out[slot]) {
        raise_call_error(signature.function,
                         std::string("got multiple values for argument '") + names[slot] + "'");
        return false;
      }
      out[slot] = PyRef::borrow(value);
    }
  }
  if (n_positional > signature.max_positional) {
    raise_call_error(signature.function, too_many_positional(signature, n_positional));
    return false;
  }
  std::vector<const char*> missing;
  for (size_t i = 0; i < signature.n_required; ++i) {
    if (!out[i]) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    raise_call_error(signature.function,
                     "missing " + plural(missing.size(), "required positional argument") + ": " +
                         quoted_list(missing));
    return false;
  }
  return true;
}

PyObject* CallArgs::operator[](std::string_view name) const {
  for (size_t i = 0; i < names_.size(); ++i) {
    if (name == names_[i]) return values_[i].get();
  }
  return nullptr;
}

}  // namespace zelk::py
