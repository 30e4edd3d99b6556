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

// The per-node training statistics that follow the tree in the extended form.
bool put_stats(const PyRef& dict, const std::vector<ExportedNode>& nodes) {
  return put(dict, "impurity", stat_list(nodes, &NodeStats::impurity)) &&
         put(dict, "weighted_n_samples", stat_list(nodes, &NodeStats::weighted_n_samples)) &&
         put(dict, "split_score", stat_list(nodes, &NodeStats::split_score)) &&
         put(dict, "fold_scores", make_list(nodes.size(), [&](size_t i) {
               return float_list_of(nodes[i].stats.fold_scores).release();
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
// Import: structure

// Entry `node` of `list`, or nullopt with ValueError when the list is too short for it.
template <class T>
std::optional<T> entry(const std::vector<T>& list, const char* key, size_t node) {
  if (node >= list.size()) {
    PyErr_Format(PyExc_ValueError, "tree state list \"%s\" has no entry for node %zu", key, node);
    return std::nullopt;
  }
  return static_cast<T>(list[node]);
}

// The nine per-node lists every task shares, as read from the dictionary.
struct FlatTree {
  std::vector<bool> is_leaf;
  std::vector<int64_t> children_left;
  std::vector<int64_t> children_right;
  std::vector<int64_t> feature;
  std::vector<bool> is_categorical;
  std::vector<double> lower;
  std::vector<double> upper;
  std::vector<int64_t> category;
  std::vector<uint64_t> n_samples;

  static std::optional<FlatTree> from_dict(PyObject* tree) {
    FlatTree flat;
    auto read = [tree](const char* key, auto& field) {
      using T = typename std::decay_t<decltype(field)>::value_type;
      auto values = get_vec<T>(tree, key);
      if (!values) return false;
      field = std::move(*values);
      return true;
    };
    if (!read("is_leaf", flat.is_leaf) || !read("children_left", flat.children_left) ||
        !read("children_right", flat.children_right) || !read("feature", flat.feature) ||
        !read("is_categorical", flat.is_categorical) || !read("lower", flat.lower) ||
        !read("upper", flat.upper) || !read("category", flat.category) ||
        !read("n_samples", flat.n_samples)) {
      return std::nullopt;
    }
    return flat;
  }

  size_t node_count() const { return is_leaf.size(); }

  // The rule of split node `i`; nullopt with ValueError for a short list or a negative
  // feature index.
  std::optional<SplitRule> rule_at(size_t i) const {
    const auto f = entry(feature, "feature", i);
    if (!f) return std::nullopt;
    if (*f < 0) {
      PyErr_Format(PyExc_ValueError, "tree state node %zu has a negative feature index %lld", i,
                   static_cast<long long>(*f));
      return std::nullopt;
    }
    const auto column = static_cast<size_t>(*f);
    const auto categorical = entry(is_categorical, "is_categorical", i);
    if (!categorical) return std::nullopt;
    if (*categorical) {
      const auto code = entry(category, "category", i);
      if (!code) return std::nullopt;
      return SplitRule{Category{column, static_cast<uint32_t>(static_cast<uint64_t>(*code))}};
    }
    const auto lo = entry(lower, "lower", i);
    if (!lo) return std::nullopt;
    const auto hi = entry(upper, "upper", i);
    if (!hi) return std::nullopt;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    Interval interval{column, std::nullopt, std::nullopt};
    // Only the exact infinities mean "no bound"; a NaN bound is kept (it sends every value
    // right).
    if (*lo != -kInf) interval.lower = *lo;
    if (*hi != kInf) interval.upper = *hi;
    return SplitRule{interval};
  }

  // Child `key` of split node `i` as a node index, or nullopt with ValueError.
  std::optional<size_t> child_at(const std::vector<int64_t>& children, const char* key,
                                 size_t i) const {
    const auto child = entry(children, key, i);
    if (!child) return std::nullopt;
    if (*child < 0 || static_cast<uint64_t>(*child) >= node_count()) {
      PyErr_Format(PyExc_ValueError, "tree state node %zu has %s index %lld outside 0 .. %zu", i,
                   key, static_cast<long long>(*child), node_count() - 1);
      return std::nullopt;
    }
    return static_cast<size_t>(*child);
  }
};

// The statistics lists of an extended dictionary; each one may be absent.
struct FlatStats {
  std::optional<std::vector<double>> impurity;
  std::optional<std::vector<double>> weighted_n_samples;
  std::optional<std::vector<double>> split_score;
  std::optional<std::vector<std::vector<double>>> fold_scores;

  // The lists that are present, read in the order of the format; nullopt with an exception
  // set when one does not convert.
  static std::optional<FlatStats> from_dict(PyObject* tree) {
    FlatStats stats;
    bool ok = true;
    stats.impurity = get_optional_vec<double>(tree, "impurity", ok);
    if (ok) stats.weighted_n_samples = get_optional_vec<double>(tree, "weighted_n_samples", ok);
    if (ok) stats.split_score = get_optional_vec<double>(tree, "split_score", ok);
    if (ok) stats.fold_scores = get_optional_vec<std::vector<double>>(tree, "fold_scores", ok);
    if (!ok) return std::nullopt;
    return stats;
  }

  // Node i's statistics into `out`; false with ValueError when a present list is too short.
  bool apply(size_t i, NodeStats& out) const {
    const auto take = [i](const auto& list, const char* key, auto& field) {
      if (!list) return true;
      auto value = entry(*list, key, i);
      if (!value) return false;
      field = std::move(*value);
      return true;
    };
    return take(impurity, "impurity", out.impurity) &&
           take(weighted_n_samples, "weighted_n_samples", out.weighted_n_samples) &&
           take(split_score, "split_score", out.split_score) &&
           take(fold_scores, "fold_scores", out.fold_scores);
  }
};

// Rebuilds the subtree of node `top`, left subtree first, with an explicit stack so that the
// tree's depth never reaches the C stack. `make_leaf(i)` builds leaf i (nullptr with an
// exception set on failure). Every node may be reached once only, which rules out cycles
// and shared subtrees.
template <class T, class MakeLeaf>
std::unique_ptr<Node<T>> build_subtree(const FlatTree& flat, const FlatStats* stats, size_t top,
                                       MakeLeaf&& make_leaf) {
  std::unique_ptr<Node<T>> root;
  std::vector<bool> visited(flat.node_count(), false);
  struct Pending {
    size_t index;
    std::unique_ptr<Node<T>>* slot;  // where the rebuilt node goes
  };
  std::vector<Pending> stack{{top, &root}};
  while (!stack.empty()) {
    const Pending p = stack.back();
    stack.pop_back();
    if (visited[p.index]) {
      PyErr_Format(PyExc_ValueError,
                   "tree state node %zu is reached more than once (a cycle or a shared "
                   "subtree)",
                   p.index);
      return nullptr;  // the partial tree is released with `root`
    }
    visited[p.index] = true;
    if (flat.is_leaf[p.index]) {
      *p.slot = make_leaf(p.index);
      if (!*p.slot) return nullptr;
      if (stats != nullptr && !stats->apply(p.index, (*p.slot)->stats)) return nullptr;
      continue;
    }
    auto rule = flat.rule_at(p.index);
    if (!rule) return nullptr;
    const auto left = flat.child_at(flat.children_left, "children_left", p.index);
    if (!left) return nullptr;
    const auto right = flat.child_at(flat.children_right, "children_right", p.index);
    if (!right) return nullptr;
    *p.slot = Node<T>::make_split(std::move(*rule), nullptr, nullptr);
    Node<T>& split = **p.slot;
    if (stats != nullptr && !stats->apply(p.index, split.stats)) return nullptr;
    stack.push_back({*right, &split.right});
    stack.push_back({*left, &split.left});
  }
  return root;
}

std::unique_ptr<Node<double>> build_regr_node(const FlatTree& flat, const FlatStats* stats,
                                              const std::vector<double>& values, size_t top) {
  return build_subtree<double>(flat, stats, top, [&](size_t i) -> std::unique_ptr<Node<double>> {
    const auto value = entry(values, "value", i);
    if (!value) return nullptr;
    const auto n = entry(flat.n_samples, "n_samples", i);
    if (!n) return nullptr;
    return Node<double>::make_leaf(*value, static_cast<size_t>(*n));
  });
}

std::unique_ptr<Node<ClassPrediction>> build_class_node(
    const FlatTree& flat, const FlatStats* stats, const std::vector<int64_t>& predicted_class,
    const std::vector<std::vector<double>>& proba, size_t top) {
  return build_subtree<ClassPrediction>(
      flat, stats, top, [&](size_t i) -> std::unique_ptr<Node<ClassPrediction>> {
        const auto cls = entry(predicted_class, "predicted_class", i);
        if (!cls) return nullptr;
        auto frequencies = entry(proba, "proba", i);
        if (!frequencies) return nullptr;
        const auto n = entry(flat.n_samples, "n_samples", i);
        if (!n) return nullptr;
        ClassPrediction payload;
        payload.proba = std::move(*frequencies);
        payload.predicted_class = *cls < 0 ? 0 : static_cast<size_t>(*cls);
        return Node<ClassPrediction>::make_leaf(std::move(payload), static_cast<size_t>(*n));
      });
}

// The shared lists of `tree`, checked to describe at least one node.
std::optional<FlatTree> read_flat(PyObject* tree) {
  auto flat = FlatTree::from_dict(tree);
  if (!flat) return std::nullopt;
  if (flat->node_count() == 0) {
    PyErr_SetString(PyExc_ValueError, "tree state has no nodes");
    return std::nullopt;
  }
  return flat;
}

}  // namespace

PyObject* export_tree_state(const Node<double>& root, bool with_stats) {
  return guard([&]() -> PyObject* {
    std::vector<ExportedNode> nodes;
    walk_export(root, nodes);
    PyRef dict = shared_dict(nodes);
    if (!dict || !put(dict, "value", float_list(nodes, &ExportedNode::value))) return nullptr;
    if (with_stats && !put_stats(dict, nodes)) return nullptr;
    return dict.release();
  });
}

PyObject* export_tree_state(const Node<ClassPrediction>& root, size_t n_classes, bool with_stats) {
  return guard([&]() -> PyObject* {
    std::vector<ExportedNode> nodes;
    walk_export(root, nodes);
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
  return guard([&]() -> std::unique_ptr<Node<double>> {
    const auto flat = read_flat(tree);
    if (!flat) return nullptr;
    const auto values = get_vec<double>(tree, "value");
    if (!values) return nullptr;
    std::optional<FlatStats> stats;
    if (with_stats && !(stats = FlatStats::from_dict(tree))) return nullptr;
    return build_regr_node(*flat, stats ? &*stats : nullptr, *values, 0);
  });
}

std::unique_ptr<Node<ClassPrediction>> import_class_tree(PyObject* tree, bool with_stats) {
  return guard([&]() -> std::unique_ptr<Node<ClassPrediction>> {
    const auto flat = read_flat(tree);
    if (!flat) return nullptr;
    const auto predicted_class = get_vec<int64_t>(tree, "predicted_class");
    if (!predicted_class) return nullptr;
    const auto proba = get_vec<std::vector<double>>(tree, "proba");
    if (!proba) return nullptr;
    std::optional<FlatStats> stats;
    if (with_stats && !(stats = FlatStats::from_dict(tree))) return nullptr;
    return build_class_node(*flat, stats ? &*stats : nullptr, *predicted_class, *proba, 0);
  });
}

}  // namespace zelk::py
