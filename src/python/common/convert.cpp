#include "python/common/convert.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "python/common/boundary.hpp"
#include "python/common/numpy_api.hpp"

namespace zelk::py {
namespace {

// "'float' object", for messages. Built by appending: g++ 12 warns falsely on
// `"'" + std::string(...)`.
std::string object_of_type(PyObject* obj) {
  std::string text = "'";
  text += Py_TYPE(obj)->tp_name;
  text += "' object";
  return text;
}

// Re-raises a pending TypeError with the argument prefix; any other error passes unchanged
// (an OverflowError, or whatever a user's __index__ raised).
void prefix_pending_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  PyRef type(raw_type);
  PyRef value(raw_value);
  PyRef traceback(raw_traceback);
  PyRef reason(value ? PyObject_Str(value.get()) : PyUnicode_FromString(""));
  if (!reason) return;  // str() failed and set its own error
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, reason.get());
}

void set_type_error(const std::string& message) {
  PyRef text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Whether `arr` holds elements equivalent to `type_num` in native byte order.
bool has_element_type(PyArrayObject* arr, int type_num) {
  PyArray_Descr* wanted = PyArray_DescrFromType(type_num);
  if (wanted == nullptr) {
    PyErr_Clear();
    return false;
  }
  PyRef wanted_ref(reinterpret_cast<PyObject*>(wanted));
  return PyArray_EquivTypes(PyArray_DESCR(arr), wanted) != 0;
}

std::string describe_dtype(PyArrayObject* arr) {
  PyRef text(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "another element type";
  }
  return utf8;
}

// The checks shared by matrices and vectors; returns the array or nullptr with TypeError set.
PyArrayObject* as_array(const char* name, PyObject* obj, int ndim, int type_num,
                        const char* type_text) {
  if (!PyArray_Check(obj)) {
    raise_argument_error(name, object_of_type(obj) + " is not a NumPy array");
    return nullptr;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(arr) != ndim) {
    raise_argument_error(name, "expected a " + std::to_string(ndim) + "-dimensional array, got " +
                                   std::to_string(PyArray_NDIM(arr)) + " dimension(s)");
    return nullptr;
  }
  if (!has_element_type(arr, type_num)) {
    raise_argument_error(name, std::string("expected elements of type ") + type_text +
                                   " in native byte order, got " + describe_dtype(arr));
    return nullptr;
  }
  return arr;
}

}  // namespace

void raise_argument_error(const char* name, std::string_view reason) {
  PyRef text(
      PyUnicode_DecodeUTF8(reason.data(), static_cast<Py_ssize_t>(reason.size()), "replace"));
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

bool to_unsigned(const char* name, PyObject* obj, uint64_t& out) {
  PyRef index(PyNumber_Index(obj));
  if (!index) {
    prefix_pending_type_error(name);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_size(const char* name, PyObject* obj, size_t& out) {
  static_assert(sizeof(size_t) == sizeof(uint64_t));
  uint64_t value = 0;
  if (!to_unsigned(name, obj, value)) return false;
  out = static_cast<size_t>(value);
  return true;
}

bool to_optional_size(const char* name, PyObject* obj, std::optional<size_t>& out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  size_t value = 0;
  if (!to_size(name, obj, value)) return false;
  out = value;
  return true;
}

bool to_double(const char* name, PyObject* obj, double& out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    prefix_pending_type_error(name);
    return false;
  }
  out = value;
  return true;
}

bool to_bool(const char* name, PyObject* obj, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  if (PyArray_IsScalar(obj, Bool)) {
    out = PyArrayScalar_VAL(obj, Bool) != 0;
    return true;
  }
  raise_argument_error(name, object_of_type(obj) + " is not a bool");
  return false;
}

bool to_text(const char* name, PyObject* obj, std::u32string& out) {
  if (!PyUnicode_Check(obj)) {
    raise_argument_error(name, object_of_type(obj) + " is not a str");
    return false;
  }
#if PY_VERSION_HEX < 0x030C0000
  // Strings made through the legacy wide-character API need this before KIND / DATA.
  if (PyUnicode_READY(obj) < 0) return false;
#endif
  const Py_ssize_t length = PyUnicode_GetLength(obj);
  if (length < 0) return false;
  const int kind = PyUnicode_KIND(obj);
  const void* data = PyUnicode_DATA(obj);
  out.clear();
  out.reserve(static_cast<size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    out.push_back(static_cast<char32_t>(PyUnicode_READ(kind, data, i)));
  }
  return true;
}

PyRef sequence_items(PyObject* obj, const char* name) {
  const auto refuse = [name](const std::string& reason) {
    if (name != nullptr) {
      raise_argument_error(name, reason);
    } else {
      set_type_error(reason);
    }
    return PyRef();
  };
  if (PyUnicode_Check(obj)) return refuse("Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj))
    return refuse(object_of_type(obj) + " cannot be converted to 'Sequence'");
  return PyRef(PySequence_List(obj));
}

// The items of a sequence, each converted by `one(item, position, value)`; out is left as it
// was when any item fails.
template <class T, class Convert>
bool convert_items(const char* name, PyObject* obj, std::vector<T>& out, Convert one) {
  const PyRef items = sequence_items(obj, name);
  if (!items) return false;
  const Py_ssize_t length = PyList_GET_SIZE(items.get());
  std::vector<T> values;
  values.reserve(static_cast<size_t>(length));
  // Nobody else holds the private list, so it keeps its items while they convert.
  for (Py_ssize_t i = 0; i < length; ++i) {
    T value{};
    if (!one(PyList_GET_ITEM(items.get(), i), i, value)) return false;
    values.push_back(value);
  }
  out = std::move(values);
  return true;
}

bool to_index_list(const char* name, PyObject* obj, std::vector<size_t>& out) {
  std::vector<size_t> indices;
  const bool ok = convert_items(
      name, obj, indices,
      [name](PyObject* item, Py_ssize_t, size_t& index) { return to_size(name, item, index); });
  if (!ok) return false;
  std::sort(indices.begin(), indices.end());
  indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
  out = std::move(indices);
  return true;
}

bool to_constraint_list(const char* name, PyObject* obj, std::vector<int8_t>& out) {
  if (obj == Py_None) {
    out.clear();
    return true;
  }
  return convert_items(name, obj, out, [name](PyObject* item, Py_ssize_t i, int8_t& constraint) {
    PyRef index(PyNumber_Index(item));
    if (!index) {
      prefix_pending_type_error(name);
      return false;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < -1 || value > 1) {
      PyRef shown(PyObject_Str(index.get()));
      const char* text = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
      if (text == nullptr) return false;
      raise_value_error(std::string(name) + " must hold -1, 0 or 1 per feature, got " + text +
                        " at index " + std::to_string(i));
      return false;
    }
    constraint = static_cast<int8_t>(value);
    return true;
  });
}

std::string quote_literal(std::u32string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char32_t c : text) {
    switch (c) {
      case U'"':
        out += "\\\"";
        continue;
      case U'\\':
        out += "\\\\";
        continue;
      case U'\0':
        out += "\\0";
        continue;
      case U'\t':
        out += "\\t";
        continue;
      case U'\r':
        out += "\\r";
        continue;
      case U'\n':
        out += "\\n";
        continue;
      default:
        break;
    }
    if (c > 0x10FFFF || !Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(c))) {
      std::string hex;
      for (char32_t v = c; v != 0 || hex.empty(); v >>= 4)
        hex.insert(hex.begin(), kHex[v & 0xF]);
      out += "\\u{" + hex + "}";
      continue;
    }
    append_utf8(out, c);
  }
  out += '"';
  return out;
}

bool as_matrix(const char* name, PyObject* obj, MatrixView& out) {
  PyArrayObject* arr = as_array(name, obj, 2, NPY_FLOAT64, "float64");
  if (arr == nullptr) return false;
  const npy_intp* shape = PyArray_DIMS(arr);
  const npy_intp* strides = PyArray_STRIDES(arr);
  out.data = PyArray_BYTES(arr);
  out.rows = static_cast<size_t>(shape[0]);
  out.cols = static_cast<size_t>(shape[1]);
  out.row_stride = strides[0];
  out.col_stride = strides[1];
  return true;
}

bool as_vector(const char* name, PyObject* obj, int type_num, VectorView& out) {
  PyArrayObject* arr =
      as_array(name, obj, 1, type_num, type_num == NPY_FLOAT64 ? "float64" : "int64");
  if (arr == nullptr) return false;
  out.data = PyArray_BYTES(arr);
  out.size = static_cast<size_t>(PyArray_DIMS(arr)[0]);
  out.stride = PyArray_STRIDES(arr)[0];
  return true;
}

}  // namespace zelk::py
