// Conversion of Python arguments to native values. Each function returns false (or nullptr)
// with a Python exception set when the argument cannot be converted; a wrong Python type is a
// TypeError whose message begins "argument '{name}': ".
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/data.hpp"
#include "python/common/pyref.hpp"

namespace zelk::py {

// Raises TypeError "argument '{name}': {reason}".
void raise_argument_error(const char* name, std::string_view reason);

// An int or any object with __index__, in 0 .. 2^64 - 1. Out of range raises the
// interpreter's OverflowError unchanged.
bool to_unsigned(const char* name, PyObject* obj, uint64_t& out);
bool to_size(const char* name, PyObject* obj, size_t& out);
// None gives an absent value.
bool to_optional_size(const char* name, PyObject* obj, std::optional<size_t>& out);
// Whatever Python converts to a float.
bool to_double(const char* name, PyObject* obj, double& out);
// A Python bool or a NumPy boolean scalar; an int is refused.
bool to_bool(const char* name, PyObject* obj, bool& out);
// A str, as its code points (kept as code points so that lone surrogates can still be shown
// in a rejection message).
bool to_text(const char* name, PyObject* obj, std::u32string& out);
// A sequence of non-negative ints (never a str), sorted ascending without duplicates.
bool to_index_list(const char* name, PyObject* obj, std::vector<size_t>& out);
// None (no constraints, an empty list) or a sequence of ints (never a str), one per feature,
// each -1, 0 or 1; another int raises ValueError naming the argument and the position.
bool to_constraint_list(const char* name, PyObject* obj, std::vector<int8_t>& out);

// A private list of the items of sequence `obj`, read as list(obj) reads it, so that items
// whose conversion changes `obj` cannot change what is read. A str is refused with TypeError
// "Can't extract `str` to `Vec`", any other non-sequence with "'T' object cannot be
// converted to 'Sequence'" (prefixed by "argument '{name}': " when `name` is given); an
// exception raised while iterating passes unchanged. Empty with the exception set on failure.
PyRef sequence_items(PyObject* obj, const char* name = nullptr);

// `text` as a double-quoted literal: backslash before " and \, \0 \t \r \n, other control or
// non-printable characters as \u{hex}; everything else unchanged (UTF-8).
std::string quote_literal(std::u32string_view text);

// A 2-D float64 array in native byte order, any layout; the view borrows the array's memory,
// so it is valid while `obj` is alive.
bool as_matrix(const char* name, PyObject* obj, MatrixView& out);
// A 1-D array of `type_num` (NPY_FLOAT64 or NPY_INT64) in native byte order, any stride.
bool as_vector(const char* name, PyObject* obj, int type_num, VectorView& out);

}  // namespace zelk::py
