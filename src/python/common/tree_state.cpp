// Conversion between a fitted tree and its dictionary of flat per-node lists.
#include "python/common/tree_state.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/tree/export.hpp"
#include "core/tree/import.hpp"
#include "python/common/boundary.hpp"
#include "python/common/convert.hpp"
#include "python/common/numpy_api.hpp"
#include "python/common/pyref.hpp"

// NumPy boolean scalars; needs the API table above.
#include <numpy/arrayscalars.h>

namespace zelk::py {
namespace {

// ---------------------------------------------------------------------------------------
// Export

// A new list of `n` items made by `make(i)` (each a new reference, or nullptr with an
// exception set).
template <class Make>
PyRef make_list(size_t n, Make&& make) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return {};
  for (size_t i = 0; i < n; ++i) {
    PyObject* item = make(i);
    // The list releases the slots filled so far; unfilled slots are NULL, which it skips.
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

bool put(const PyRef& dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict.get(), key, value.get()) == 0;
}

PyRef bool_list(const std::vector<ExportedNode>& nodes, bool ExportedNode::* field) {
  return make_list(nodes.size(), [&](size_t i) { return PyBool_FromLong(nodes[i].*field); });
}

PyRef int_list(const std::vector<ExportedNode>& nodes, int64_t ExportedNode::* field) {
  return make_list(nodes.size(), [&](size_t i) { return PyLong_FromLongLong(nodes[i].*field); });
}

PyRef float_list(const std::vector<ExportedNode>& nodes, double ExportedNode::* field) {
  return make_list(nodes.size(), [&](size_t i) { return PyFloat_FromDouble(nodes[i].*field); });
}

// The dictionary with "node_count" and the lists every task shares, in the format's order.
PyRef shared_dict(const std::vector<ExportedNode>& nodes) {
  PyRef dict(PyDict_New());
  if (!dict) return {};
  const bool ok =
      put(dict, "node_count", PyRef(PyLong_FromSize_t(nodes.size()))) &&
      put(dict, "is_leaf", bool_list(nodes, &ExportedNode::is_leaf)) &&
      put(dict, "children_left", int_list(nodes, &ExportedNode::children_left)) &&
      put(dict, "children_right", int_list(nodes, &ExportedNode::children_right)) &&
      put(dict, "feature", int_list(nodes, &ExportedNode::feature)) &&
      put(dict, "is_categorical", bool_list(nodes, &ExportedNode::is_categorical)) &&
      put(dict, "lower", float_list(nodes, &ExportedNode::lower)) &&
      put(dict, "upper", float_list(nodes, &ExportedNode::upper)) &&
      put(dict, "category", int_list(nodes, &ExportedNode::category)) &&
      put(dict, "n_samples",
          make_list(nodes.size(), [&](size_t i) { return PyLong_FromSize_t(nodes[i].n_samples); }));
  return ok ? std::move(dict) : PyRef();
}

PyRef float_list_of(const std::vector<double>& values) {
  return make_list(values.size(), [&](size_t i) { return PyFloat_FromDouble(values[i]); });
}

PyRef stat_list(const std::vector<ExportedNode>& nodes, double NodeStats::* field) {
  return make_list(nodes.size(),
                   [&](size_t i) { return PyFloat_FromDouble(nodes[i].stats.*field); });
}

PyRef int_list_of(const std::vector<int64_t>& values) {
  return make_list(values.size(), [&](size_t i) { return PyLong_FromLongLong(values[i]); });
}

// The per-node training statistics and the categorical splits' category sets that follow the
// tree in the extended form.
bool put_stats(const PyRef& dict, const std::vector<ExportedNode>& nodes) {
  return put(dict, "impurity", stat_list(nodes, &NodeStats::impurity)) &&
         put(dict, "weighted_n_samples", stat_list(nodes, &NodeStats::weighted_n_samples)) &&
         put(dict, "split_score", stat_list(nodes, &NodeStats::split_score)) &&
         put(dict, "fold_scores",
             make_list(
                 nodes.size(),
                 [&](size_t i) { return float_list_of(nodes[i].stats.fold_scores).release(); })) &&
         put(dict, "categories", make_list(nodes.size(), [&](size_t i) {
               return int_list_of(nodes[i].categories).release();
             }));
}

// ---------------------------------------------------------------------------------------
// Import: element conversion

// One element of a list, one overload per element type; false with the interpreter's
// exception set when it does not convert.
bool convert_element(PyObject* item, int64_t& out) {
  PyRef index(PyNumber_Index(item));
  if (!index) return false;
  const long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool convert_element(PyObject* item, uint64_t& out) {
  PyRef index(PyNumber_Index(item));
  if (!index) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool convert_element(PyObject* item, double& out) {
  const double v = PyFloat_AsDouble(item);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool convert_element(PyObject* item, bool& out) {
  if (PyBool_Check(item)) {
    out = item == Py_True;
    return true;
  }
  if (PyArray_IsScalar(item, Bool)) {
    out = PyArrayScalar_VAL(item, Bool) != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "'%.200s' object is not a bool", Py_TYPE(item)->tp_name);
  return false;
}

template <class T>
bool read_sequence(PyObject* value, std::vector<T>& out);

bool convert_element(PyObject* item, std::vector<double>& out) {
  return read_sequence(item, out);
}

bool convert_element(PyObject* item, std::vector<int64_t>& out) {
  return read_sequence(item, out);
}

// Reads `value` as a sequence of T into `out`, as list(value) would read it; false with an
// exception set on failure.
template <class T>
bool read_sequence(PyObject* value, std::vector<T>& out) {
  const PyRef items = sequence_items(value);
  if (!items) return false;
  const Py_ssize_t length = PyList_GET_SIZE(items.get());
  out.clear();
  out.reserve(static_cast<size_t>(length));
  // Nobody else holds the private list, so it keeps its items while they convert.
  for (Py_ssize_t i = 0; i < length; ++i) {
    T element{};
    if (!convert_element(PyList_GET_ITEM(items.get(), i), element)) return false;
    out.push_back(std::move(element));
  }
  return true;
}

// The list under `key` of `tree`, converted element by element; nullopt with an exception
// set when the key is missing or the value does not convert.
template <class T>
std::optional<std::vector<T>> get_vec(PyObject* tree, const char* key) {
  PyRef name(PyUnicode_FromString(key));
  if (!name) return std::nullopt;
  PyRef value = PyRef::borrow(PyDict_GetItemWithError(tree, name.get()));
  if (!value) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "tree state missing key \"%s\"", key);
    return std::nullopt;
  }
  std::vector<T> out;
  if (!read_sequence(value.get(), out)) return std::nullopt;
  return out;
}

// Like get_vec, but an absent key gives an empty optional without an exception; `ok` is
// false with an exception set when the key is there and does not convert.
template <class T>
std::optional<std::vector<T>> get_optional_vec(PyObject* tree, const char* key, bool& ok) {
  ok = true;
  PyRef name(PyUnicode_FromString(key));
  if (!name) {
    ok = false;
    return std::nullopt;
  }
  const int present = PyDict_Contains(tree, name.get());
  if (present <= 0) {
    ok = present == 0;
    return std::nullopt;
  }
  auto values = get_vec<T>(tree, key);
  ok = values.has_value();
  return values;
}

// ---------------------------------------------------------------------------------------
// Import: the lists, for the core to rebuild the tree from

// The nine lists every task shares, read in the format's order; false with an exception set.
bool read_flat(PyObject* tree, FlatTree& flat) {
  const auto read = [tree](const char* key, auto& field) {
    using T = typename std::decay_t<decltype(field)>::value_type;
    auto values = get_vec<T>(tree, key);
    if (!values) return false;
    field = std::move(*values);
    return true;
  };
  return read("is_leaf", flat.is_leaf) && read("children_left", flat.children_left) &&
         read("children_right", flat.children_right) && read("feature", flat.feature) &&
         read("is_categorical", flat.is_categorical) && read("lower", flat.lower) &&
         read("upper", flat.upper) && read("category", flat.category) &&
         read("n_samples", flat.n_samples);
}

// The statistics lists that are present, in the format's order; false with an exception set
// when one does not convert.
bool read_stats(PyObject* tree, FlatStats& stats) {
  bool ok = true;
  stats.impurity = get_optional_vec<double>(tree, "impurity", ok);
  if (ok) stats.weighted_n_samples = get_optional_vec<double>(tree, "weighted_n_samples", ok);
  if (ok) stats.split_score = get_optional_vec<double>(tree, "split_score", ok);
  if (ok) stats.fold_scores = get_optional_vec<std::vector<double>>(tree, "fold_scores", ok);
  if (ok) stats.categories = get_optional_vec<std::vector<int64_t>>(tree, "categories", ok);
  return ok;
}

// Reads the shared lists, the leaves' lists (`read_leaves`) and, `with_stats`, the statistics,
// then rebuilds the tree in the core; nullptr with an exception set.
template <class T, class Leaves, class ReadLeaves>
std::unique_ptr<Node<T>> import_from(PyObject* tree, bool with_stats, ReadLeaves&& read_leaves) {
  return guard([&]() -> std::unique_ptr<Node<T>> {
    FlatTree flat;
    if (!read_flat(tree, flat)) return nullptr;
    if (flat.is_leaf.empty()) {
      PyErr_SetString(PyExc_ValueError, "tree state has no nodes");
      return nullptr;
    }
    Leaves leaves;
    if (!read_leaves(leaves)) return nullptr;
    FlatStats stats;
    if (with_stats && !read_stats(tree, stats)) return nullptr;
    auto root = import_tree(flat, with_stats ? &stats : nullptr, leaves);
    if (!root) {
      raise_value_error(root.error());
      return nullptr;
    }
    return std::move(root).value();
  });
}

}  // namespace

PyObject* export_tree_state(const Node<double>& root, bool with_stats) {
  return guard([&]() -> PyObject* {
    std::vector<ExportedNode> nodes;
    walk_export(root, nodes);
    return export_tree_state(nodes, with_stats);
  });
}

PyObject* export_tree_state(const Node<ClassPrediction>& root, size_t n_classes, bool with_stats) {
  return guard([&]() -> PyObject* {
    std::vector<ExportedNode> nodes;
    walk_export(root, nodes);
    return export_tree_state(nodes, n_classes, with_stats);
  });
}

PyObject* export_tree_state(const std::vector<ExportedNode>& nodes, bool with_stats) {
  return guard([&]() -> PyObject* {
    PyRef dict = shared_dict(nodes);
    if (!dict || !put(dict, "value", float_list(nodes, &ExportedNode::value))) return nullptr;
    if (with_stats && !put_stats(dict, nodes)) return nullptr;
    return dict.release();
  });
}

PyObject* export_tree_state(const std::vector<ExportedNode>& nodes, size_t n_classes,
                            bool with_stats) {
  return guard([&]() -> PyObject* {
    PyRef dict = shared_dict(nodes);
    if (!dict) return nullptr;
    const bool ok =
        put(dict, "predicted_class", int_list(nodes, &ExportedNode::predicted_class)) &&
        put(dict, "proba",
            make_list(nodes.size(),
                      [&](size_t i) { return float_list_of(nodes[i].proba).release(); })) &&
        put(dict, "n_classes", PyRef(PyLong_FromSize_t(n_classes)));
    if (!ok || (with_stats && !put_stats(dict, nodes))) return nullptr;
    return dict.release();
  });
}

std::unique_ptr<Node<double>> import_regression_tree(PyObject* tree, bool with_stats) {
  return import_from<double, FlatValues>(tree, with_stats, [tree](FlatValues& leaves) {
    auto values = get_vec<double>(tree, "value");
    if (!values) return false;
    leaves.value = std::move(*values);
    return true;
  });
}

std::unique_ptr<Node<ClassPrediction>> import_class_tree(PyObject* tree, bool with_stats) {
  return import_from<ClassPrediction, FlatClasses>(tree, with_stats, [tree](FlatClasses& leaves) {
    auto predicted_class = get_vec<int64_t>(tree, "predicted_class");
    if (!predicted_class) return false;
    auto proba = get_vec<std::vector<double>>(tree, "proba");
    if (!proba) return false;
    leaves.predicted_class = std::move(*predicted_class);
    leaves.proba = std::move(*proba);
    return true;
  });
}

}  // namespace zelk::py
