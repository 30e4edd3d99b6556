#include "python/estimator.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/binning.hpp"
#include "core/candidate.hpp"
#include "core/data.hpp"
#include "core/tree/decision_tree.hpp"
#include "core/tree/fast/growth.hpp"
#include "core/tree/prediction.hpp"
#include "core/tree/strict/growth.hpp"
#include "python/boundary.hpp"
#include "python/convert.hpp"
#include "python/numpy_api.hpp"
#include "python/params.hpp"
#include "python/pyref.hpp"
#include "python/tree_state.hpp"

namespace zelk::py {
namespace {

template <class K>
struct EstimatorObject {
  PyObject ob_base;
  // Constructed right after allocation and destroyed in dealloc; engaged for every object
  // that a constructor or from_tree hands out.
  std::optional<EstimatorState<K>> state;
};

template <class K>
inline constexpr bool kIsRegression = std::is_same_v<K, Regression>;

template <class K>
struct ClassInfo;

template <>
struct ClassInfo<Regression> {
  static constexpr const char* kName = "RawRegressor";
  static constexpr const char* kQualifiedName = "zelk._zelk.RawRegressor";
  static constexpr const char* kDoc = "Native regression tree.";
  static constexpr auto& kParams = kRegressorParams;
};

template <>
struct ClassInfo<Classification> {
  static constexpr const char* kName = "RawClassifier";
  static constexpr const char* kQualifiedName = "zelk._zelk.RawClassifier";
  static constexpr const char* kDoc =
      "Native classification tree. Targets are already label-encoded to `0..n`\n"
      "by the Python layer; class recovery happens there via `classes_`.";
  static constexpr auto& kParams = kClassifierParams;
};

template <>
struct ClassInfo<ObjectiveClassification> {
  static constexpr const char* kName = "RawObjectiveClassifier";
  static constexpr const char* kQualifiedName = "zelk._zelk.RawObjectiveClassifier";
  static constexpr const char* kDoc =
      "Native classification tree that selects splits by a metric objective\n"
      "(precision/recall/F1/F\xCE\xB2/accuracy) instead of impurity.";
  static constexpr auto& kParams = kObjectiveClassifierParams;
};

// The created class object of K (a borrowed reference kept for the process), or nullptr.
template <class K>
PyTypeObject*& class_slot() {
  static PyTypeObject* type = nullptr;
  return type;
}

template <class K>
EstimatorState<K>& state_of(PyObject* self) {
  return *reinterpret_cast<EstimatorObject<K>*>(self)->state;
}

// "RawClassifier.fit()" and the like, for call-error messages.
template <class K>
std::string function_name(const char* method) {
  return std::string(ClassInfo<K>::kName) + "." + method + "()";
}

template <class K>
PyObject* wrap_state(PyTypeObject* type, EstimatorState<K>&& state) {
  static_assert(std::is_nothrow_move_constructible_v<EstimatorState<K>>);
  PyRef obj(type->tp_alloc(type, 0));
  if (!obj) return nullptr;
  std::construct_at(&reinterpret_cast<EstimatorObject<K>*>(obj.get())->state, std::move(state));
  return obj.release();
}

template <class K>
std::optional<EstimatorState<K>> state_from_call(PyObject* args, PyObject* kwargs) {
  if constexpr (std::is_same_v<K, Regression>) {
    return regressor_from_call(args, kwargs);
  } else if constexpr (std::is_same_v<K, Classification>) {
    return classifier_from_call(args, kwargs);
  } else {
    return objective_classifier_from_call(args, kwargs);
  }
}

template <class K>
PyObject* estimator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    std::optional<EstimatorState<K>> state = state_from_call<K>(args, kwargs);
    if (!state) return nullptr;
    return wrap_state<K>(type, std::move(*state));
  });
}

template <class K>
void estimator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<EstimatorObject<K>*>(self)->state);
  type->tp_free(self);
  Py_DECREF(type);
}

// Fast growth numbers samples with 32 bits.
constexpr size_t kMaxFastSamples = 4294967295u;

template <class K>
PyObject* estimator_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 2> kNames = {"x", "y"};
    std::array<PyRef, 2> argv;
    if (!match_arguments(function_name<K>("fit"), kNames, args, kwargs, argv)) return nullptr;
    MatrixView x;
    VectorView y;
    if (!as_matrix("x", argv[0].get(), x) ||
        !as_vector("y", argv[1].get(), kIsRegression<K> ? NPY_FLOAT64 : NPY_INT64, y)) {
      return nullptr;
    }
    EstimatorState<K>& est = state_of<K>(self);
    const Params& params = est.model.params;
    // The shape checks need only the shapes, so they run before anything is copied.
    const size_t n = x.rows;
    if (x.cols == 0) return raise_value_error("need at least one feature column");
    if (y.size != n) {
      return raise_value_error("targets length " + std::to_string(y.size) + " does not match " +
                               std::to_string(n) + " samples");
    }
    if (n == 0) return raise_value_error("need at least one sample");
    if (params.mode == SplitMode::Fast) {
      if constexpr (kIsRegression<K>) {
        if (est.model.task.criterion->name() == "mae") {
          return raise_value_error(
              "this task (e.g. MAE) is not supported in SplitMode::Fast; use Strict");
        }
      }
      if (n > kMaxFastSamples) {
        return raise_value_error("fast mode supports at most 4294967295 samples, got " +
                                 std::to_string(n));
      }
    }

    const auto read_targets = [&]() {
      std::vector<typename K::Target> targets(n);
      for (size_t i = 0; i < n; ++i) {
        if constexpr (kIsRegression<K>) {
          targets[i] = y.at<double>(i);
        } else {
          const int64_t label = y.at<int64_t>(i);
          targets[i] = label < 0 ? 0 : static_cast<size_t>(label);
        }
      }
      return targets;
    };

    std::unique_ptr<NodeOf<K>> root;
    if (params.mode == SplitMode::Fast) {
      // Binned straight from the caller's array: no float copy of the columns is ever made.
      BinnedData data;
      if (!take(BinnedData::fit(x, est.categorical, params.n_bins,
                                params.parallel ? params.n_threads : 1),
                data)) {
        return nullptr;
      }
      const std::vector<typename K::Target> targets = read_targets();
      root = build_node_fast_in_place<K>(est.model.task, params, *est.model.aggregator,
                                         std::move(data),
                                         std::span<const typename K::Target>(targets), 0);
    } else {
      const std::vector<Column> columns = build_columns(x, est.categorical);
      if (const std::string error = strict_bins_error(columns, params.n_bins); !error.empty()) {
        return raise_value_error(error);
      }
      const std::vector<typename K::Target> targets = read_targets();
      std::vector<size_t> samples(n);
      std::iota(samples.begin(), samples.end(), size_t{0});
      root = build_node<K>(est.model.task, params, *est.model.aggregator,
                           std::span<const Column>(columns),
                           std::span<const typename K::Target>(targets), std::move(samples), 0);
    }
    // Installed only now: any failure above left the previous tree in place.
    est.model.root = std::move(root);
    est.fitted = true;
    Py_RETURN_NONE;
  });
}

// Matches and converts the one argument `x` of a prediction method. The result keeps `x`
// alive while `view` is read.
template <class K>
PyRef prediction_input(const char* method, PyObject* args, PyObject* kwargs, MatrixView& view) {
  static constexpr std::array<const char*, 1> kNames = {"x"};
  std::array<PyRef, 1> argv;
  if (!match_arguments(function_name<K>(method), kNames, args, kwargs, argv)) return PyRef();
  if (!as_matrix("x", argv[0].get(), view)) return PyRef();
  return std::move(argv[0]);
}

// The root to predict `x` with, or nullptr with ValueError set. Called after the result
// array exists: allocating it may run arbitrary Python code (a collection running __del__,
// which could even refit this estimator), and nothing after this point runs any.
template <class K>
const NodeOf<K>* prediction_root(PyObject* self, const MatrixView& x) {
  const EstimatorState<K>& est = state_of<K>(self);
  if (!est.fitted || !est.model.root) {
    raise_value_error("estimator is not fitted");
    return nullptr;
  }
  const size_t needed = required_columns(*est.model.root);
  if (x.cols < needed) {
    raise_value_error("x has " + std::to_string(x.cols) + " columns but the tree needs at least " +
                      std::to_string(needed));
    return nullptr;
  }
  return est.model.root.get();
}

template <class K>
PyObject* estimator_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    MatrixView x;
    const PyRef x_ref = prediction_input<K>("predict", args, kwargs, x);
    if (!x_ref) return nullptr;
    // Checked before the allocation too, so that an unfitted estimator says so whatever
    // the size of `x`.
    if (prediction_root<K>(self, x) == nullptr) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(x.rows)};
    PyRef result(PyArray_SimpleNew(1, dims, kIsRegression<K> ? NPY_FLOAT64 : NPY_INT64));
    if (!result) return nullptr;
    const NodeOf<K>* root = prediction_root<K>(self, x);
    if (root == nullptr) return nullptr;
    const PredictionTree<typename K::Payload> tree(*root, state_of<K>(self).categorical,
                                                   x.col_stride);
    void* data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get()));
    if constexpr (kIsRegression<K>) {
      auto* out = static_cast<double*>(data);
      tree.predict(x, [out](size_t i, double value) { out[i] = value; });
    } else {
      auto* out = static_cast<int64_t*>(data);
      tree.predict(x, [out](size_t i, const ClassPrediction& leaf) {
        out[i] = static_cast<int64_t>(leaf.predicted_class);
      });
    }
    return result.release();
  });
}

template <class K>
PyObject* estimator_predict_proba(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    MatrixView x;
    const PyRef x_ref = prediction_input<K>("predict_proba", args, kwargs, x);
    if (!x_ref) return nullptr;
    if (prediction_root<K>(self, x) == nullptr) return nullptr;
    const EstimatorState<K>& est = state_of<K>(self);
    const size_t n_columns = std::max<size_t>(est.n_classes, 1);
    // A table of more cells than an array can index cannot exist.
    constexpr auto kMaxCells = static_cast<size_t>(NPY_MAX_INTP) / sizeof(double);
    if (n_columns > kMaxCells || (x.rows != 0 && n_columns > kMaxCells / x.rows)) {
      return PyErr_NoMemory();
    }
    npy_intp dims[2] = {static_cast<npy_intp>(x.rows), static_cast<npy_intp>(n_columns)};
    PyRef result(PyArray_ZEROS(2, dims, NPY_FLOAT64, 0));
    if (!result) return nullptr;
    const NodeOf<K>* root = prediction_root<K>(self, x);
    if (root == nullptr) return nullptr;
    const PredictionTree<ClassPrediction> tree(*root, est.categorical, x.col_stride);
    auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    tree.predict(x, [data, n_columns](size_t i, const ClassPrediction& leaf) {
      const size_t copied = std::min(leaf.proba.size(), n_columns);
      std::copy_n(leaf.proba.begin(), copied, data + i * n_columns);
    });
    return result.release();
  });
}

template <class K>
PyObject* estimator_depth(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    if (!match_arguments(function_name<K>("depth"), {}, args, kwargs, {})) return nullptr;
    const auto& root = state_of<K>(self).model.root;
    return PyLong_FromSize_t(root ? node_depth(*root) : 0);
  });
}

template <class K>
PyObject* estimator_n_leaves(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    if (!match_arguments(function_name<K>("n_leaves"), {}, args, kwargs, {})) return nullptr;
    const auto& root = state_of<K>(self).model.root;
    return PyLong_FromSize_t(root ? node_leaves(*root) : 0);
  });
}

template <class K>
PyObject* estimator_export_tree(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    if (!match_arguments(function_name<K>("export_tree"), {}, args, kwargs, {})) {
      return nullptr;
    }
    const EstimatorState<K>& est = state_of<K>(self);
    if (!est.fitted || !est.model.root) return raise_value_error("estimator is not fitted");
    if constexpr (kIsRegression<K>) {
      return export_tree_state(*est.model.root);
    } else {
      return export_tree_state(*est.model.root, est.n_classes);
    }
  });
}

// Static: receives neither the class nor an instance, and always builds exactly class K.
template <class K>
PyObject* estimator_from_tree(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 2> kRegressorNames = {"tree", "categorical"};
    static constexpr std::array<const char*, 3> kClassifierNames = {"tree", "n_classes",
                                                                    "categorical"};
    constexpr size_t kCount = kIsRegression<K> ? 2 : 3;
    std::array<PyRef, kCount> argv;
    std::span<const char* const> names = kIsRegression<K>
                                             ? std::span<const char* const>(kRegressorNames)
                                             : std::span<const char* const>(kClassifierNames);
    if (!match_arguments(function_name<K>("from_tree"), names, args, kwargs, argv)) {
      return nullptr;
    }
    PyObject* tree = argv[0].get();
    if (!PyDict_Check(tree)) {
      std::string reason = "'";
      reason += Py_TYPE(tree)->tp_name;
      reason += "' object cannot be converted to 'PyDict'";
      raise_argument_error("tree", reason);
      return nullptr;
    }
    size_t n_classes = 0;
    if constexpr (!kIsRegression<K>) {
      if (!to_size("n_classes", argv[1].get(), n_classes)) return nullptr;
    }
    std::vector<size_t> categorical;
    if (!to_index_list("categorical", argv[kCount - 1].get(), categorical)) return nullptr;

    std::unique_ptr<NodeOf<K>> root;
    if constexpr (kIsRegression<K>) {
      root = import_regression_tree(tree);
    } else {
      root = import_class_tree(tree);
    }
    if (!root) return nullptr;

    EstimatorState<K> state = [&] {
      if constexpr (std::is_same_v<K, Regression>) {
        return placeholder_regressor(std::move(categorical));
      } else if constexpr (std::is_same_v<K, Classification>) {
        return placeholder_classifier(n_classes, std::move(categorical));
      } else {
        return placeholder_objective_classifier(n_classes, std::move(categorical));
      }
    }();
    state.model.root = std::move(root);
    state.fitted = true;
    return wrap_state<K>(class_slot<K>(), std::move(state));
  });
}

template <class F>
PyCFunction as_cfunction(F* function) {
  // Every method takes (self, args, kwargs); the table stores them as PyCFunction.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kCallFlags = METH_VARARGS | METH_KEYWORDS;

template <class F>
PyMethodDef method(const char* name, F* function, const char* doc, int flags = kCallFlags) {
  return PyMethodDef{name, as_cfunction(function), flags, doc};
}

// Registered in this order; only the classifiers have predict_proba.
template <class K>
PyMethodDef* method_table() {
  static constexpr PyMethodDef kEnd = {nullptr, nullptr, 0, nullptr};
  if constexpr (kIsRegression<K>) {
    static PyMethodDef table[] = {
        method("fit", &estimator_fit<K>, "fit($self, x, y)\n--\n\n"),
        method("predict", &estimator_predict<K>, "predict($self, x)\n--\n\n"),
        method("depth", &estimator_depth<K>, "depth($self)\n--\n\n"),
        method("n_leaves", &estimator_n_leaves<K>, "n_leaves($self)\n--\n\n"),
        method("export_tree", &estimator_export_tree<K>, "export_tree($self)\n--\n\n"),
        method("from_tree", &estimator_from_tree<K>,
               "from_tree(tree, categorical)\n--\n\n"
               "Rebuild a fitted regressor from an `export_tree` dump (used to unpickle).",
               kCallFlags | METH_STATIC),
        kEnd};
    return table;
  } else {
    static constexpr const char* kFromTreeDoc =
        std::is_same_v<K, Classification>
            ? "from_tree(tree, n_classes, categorical)\n--\n\n"
              "Rebuild a fitted classifier from an `export_tree` dump (used to unpickle)."
            : "from_tree(tree, n_classes, categorical)\n--\n\n"
              "Rebuild a fitted objective classifier from an `export_tree` dump. The\n"
              "objective plays no part in prediction, so a placeholder task is used.";
    static PyMethodDef table[] = {
        method("fit", &estimator_fit<K>, "fit($self, x, y)\n--\n\n"),
        method("predict", &estimator_predict<K>, "predict($self, x)\n--\n\n"),
        method("predict_proba", &estimator_predict_proba<K>, "predict_proba($self, x)\n--\n\n"),
        method("depth", &estimator_depth<K>, "depth($self)\n--\n\n"),
        method("n_leaves", &estimator_n_leaves<K>, "n_leaves($self)\n--\n\n"),
        method("export_tree", &estimator_export_tree<K>, "export_tree($self)\n--\n\n"),
        method("from_tree", &estimator_from_tree<K>, kFromTreeDoc, kCallFlags | METH_STATIC),
        kEnd};
    return table;
  }
}

// "Name(param, param, ...)\n--\n\n<doc>", so that introspection reads the constructor's
// parameters from the class docstring.
template <class K>
const std::string& class_doc() {
  static const std::string doc = [] {
    std::string text = ClassInfo<K>::kName;
    text += '(';
    bool first = true;
    for (const char* name : ClassInfo<K>::kParams) {
      if (!first) text += ", ";
      text += name;
      first = false;
    }
    text += ")\n--\n\n";
    text += ClassInfo<K>::kDoc;
    return text;
  }();
  return doc;
}

template <class K>
PyObject* class_object() {
  return guard([]() -> PyObject* {
    PyTypeObject*& slot = class_slot<K>();
    if (slot == nullptr) {
      PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(&estimator_new<K>)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(&estimator_dealloc<K>)},
                             {Py_tp_methods, method_table<K>()},
                             {Py_tp_doc, const_cast<char*>(class_doc<K>().c_str())},
                             {0, nullptr}};
      PyType_Spec spec = {ClassInfo<K>::kQualifiedName,
                          static_cast<int>(sizeof(EstimatorObject<K>)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
      PyObject* type = PyType_FromSpec(&spec);
      if (type == nullptr) return nullptr;
      slot = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
    }
    Py_INCREF(slot);
    return reinterpret_cast<PyObject*>(slot);
  });
}

}  // namespace

PyObject* regressor_class() {
  return class_object<Regression>();
}
PyObject* classifier_class() {
  return class_object<Classification>();
}
PyObject* objective_classifier_class() {
  return class_object<ObjectiveClassification>();
}

}  // namespace zelk::py
