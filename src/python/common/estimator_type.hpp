// The estimator classes of both extension modules: object layout, methods and the creation of
// their class objects, as templates over the module (`Flavour`) and the task kind. A module
// specialises ClassInfo for each of its classes and calls class_object.
//
// `zelk._zelk` (Flavour::Contract) keeps a fixed surface: every parameter required, labels
// below 0 read as class 0, the plain tree dictionary. `zelk._engine` (Flavour::Engine) is what
// the package drives: keyword arguments with defaults, input checked for the values growth
// would silently misread, the tree dictionary followed by per-node statistics, and `apply`;
// its calls grow, predict and explain with the interpreter lock released (see `exclusive`).
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/data.hpp"
#include "core/tree/decision_tree.hpp"
#include "core/tree/fit.hpp"
#include "core/tree/prediction.hpp"
#include "python/common/boundary.hpp"
#include "python/common/call.hpp"
#include "python/common/convert.hpp"
#include "python/common/explain.hpp"
#include "python/common/numpy_api.hpp"
#include "python/common/pyref.hpp"
#include "python/common/settings.hpp"
#include "python/common/tree_state.hpp"

namespace zelk::py {

enum class Flavour { Contract, Engine };

// Per class: kName, kQualifiedName, `doc()` (the class docstring, starting with the
// constructor's signature block) and `from_call(args, kwargs)` (the new estimator's state, or
// nullopt with an exception set). Specialised by the module that owns the class.
template <Flavour F, class K>
struct ClassInfo;

namespace estimator_detail {

template <class K>
struct EstimatorObject {
  PyObject ob_base;
  // Constructed right after allocation and destroyed in dealloc; engaged for every object
  // that a constructor or from_tree hands out.
  std::optional<EstimatorState<K>> state;
  // Held by every engine call that reads or replaces the tree (see `exclusive`).
  std::mutex busy;
};

template <class K>
inline constexpr bool kIsRegression = std::is_same_v<K, Regression>;

// The created class object (a borrowed reference kept for the process), or nullptr.
template <Flavour F, class K>
PyTypeObject*& class_slot() {
  static PyTypeObject* type = nullptr;
  return type;
}

template <class K>
EstimatorState<K>& state_of(PyObject* self) {
  return *reinterpret_cast<EstimatorObject<K>*>(self)->state;
}

// Runs `work` alone on the estimator's tree and returns what it returns. The engine runs it
// with the interpreter lock released and the estimator's mutex held, so that other Python
// threads go on while one grows or walks a tree, and two calls on one estimator take turns.
// The interpreter lock is let go before the mutex is waited for and taken back after the
// mutex is let go: a thread never waits for one while holding the other, so no two threads
// wait for each other. `work` must not touch any Python object (whatever it reads of one was
// read before) nor call back into the interpreter; a C++ exception leaving it passes on to
// `guard` once the lock is back. The fixed module keeps the lock and needs no mutex.
template <Flavour F, class K, class Work>
auto exclusive(PyObject* self, Work&& work) -> std::invoke_result_t<Work&> {
  if constexpr (F == Flavour::Contract) {
    return work();
  } else {
    struct Reacquire {
      PyThreadState* thread;
      ~Reacquire() { PyEval_RestoreThread(thread); }
    };
    const Reacquire reacquire{PyEval_SaveThread()};
    const std::lock_guard<std::mutex> lock(reinterpret_cast<EstimatorObject<K>*>(self)->busy);
    return work();
  }
}

// "RawClassifier.fit()" and the like, for call-error messages.
template <Flavour F, class K>
std::string function_name(const char* method) {
  return std::string(ClassInfo<F, K>::kName) + "." + method + "()";
}

template <class K>
PyObject* wrap_state(PyTypeObject* type, EstimatorState<K>&& state) {
  static_assert(std::is_nothrow_move_constructible_v<EstimatorState<K>>);
  PyRef obj(type->tp_alloc(type, 0));
  if (!obj) return nullptr;
  auto* object = reinterpret_cast<EstimatorObject<K>*>(obj.get());
  std::construct_at(&object->state, std::move(state));
  std::construct_at(&object->busy);
  return obj.release();
}

template <Flavour F, class K>
PyObject* estimator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    std::optional<EstimatorState<K>> state = ClassInfo<F, K>::from_call(args, kwargs);
    if (!state) return nullptr;
    return wrap_state<K>(type, std::move(*state));
  });
}

template <class K>
void estimator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // No call can be running: each holds a reference to the object.
  std::destroy_at(&reinterpret_cast<EstimatorObject<K>*>(self)->busy);
  std::destroy_at(&reinterpret_cast<EstimatorObject<K>*>(self)->state);
  type->tp_free(self);
  Py_DECREF(type);
}

template <Flavour F, class K>
PyObject* estimator_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    // The engine also takes sample weights; the contract module keeps its two arguments.
    static constexpr std::array<const char*, 3> kNames = {"x", "y", "sample_weight"};
    constexpr size_t kCount = F == Flavour::Engine ? 3 : 2;
    const std::span<const char* const> names(kNames.data(), kCount);
    const std::string function = function_name<F, K>("fit");
    const Signature signature =
        F == Flavour::Engine ? Signature{function, names, 3, 2} : all_required(function, names);
    std::array<PyRef, 3> argv;
    if (!match_arguments(signature, args, kwargs, std::span<PyRef>(argv.data(), kCount))) {
      return nullptr;
    }
    MatrixView x;
    VectorView y;
    if (!as_matrix("x", argv[0].get(), x) ||
        !as_vector("y", argv[1].get(), kIsRegression<K> ? NPY_FLOAT64 : NPY_INT64, y)) {
      return nullptr;
    }
    VectorView w;
    const bool weighted = argv[2] && argv[2].get() != Py_None;
    if (weighted && !as_vector("sample_weight", argv[2].get(), NPY_FLOAT64, w)) return nullptr;
    EstimatorState<K>& est = state_of<K>(self);
    // The settings and the categorical columns are fixed at construction: only the tree
    // changes, and only under `exclusive`.
    if constexpr (F == Flavour::Engine) {
      const std::vector<int8_t>& constraints = est.model.params.monotonic;
      if (!constraints.empty() && constraints.size() != x.cols) {
        return raise_value_error("monotonic_cst has " + std::to_string(constraints.size()) +
                                 " entries but x has " + std::to_string(x.cols) + " columns");
      }
    }
    const TrainingSet data{x, y, weighted ? &w : nullptr, est.categorical};
    // `argv` keeps the arrays alive, and the fit reads them only through the views.
    std::optional<std::string> error = exclusive<F, K>(self, [&]() -> std::optional<std::string> {
      auto grown = fit_tree(est.model, data,
                            F == Flavour::Engine ? InputChecks::Checked : InputChecks::Lenient);
      if (!grown) return grown.error();
      // Installed only now: any failure above left the previous tree in place.
      est.model.root = std::move(grown).value();
      est.fitted = true;
      return std::nullopt;
    });
    if (error) return raise_value_error(*error);
    Py_RETURN_NONE;
  });
}

// Matches and converts the one argument `x` of a prediction method. The result keeps `x`
// alive while `view` is read.
template <Flavour F, class K>
PyRef prediction_input(const char* method, PyObject* args, PyObject* kwargs, MatrixView& view) {
  static constexpr std::array<const char*, 1> kNames = {"x"};
  std::array<PyRef, 1> argv;
  if (!match_arguments(all_required(function_name<F, K>(method), kNames), args, kwargs, argv)) {
    return PyRef();
  }
  if (!as_matrix("x", argv[0].get(), view)) return PyRef();
  return std::move(argv[0]);
}

// Why `x` cannot be predicted by the estimator's tree, or nothing. Read under `exclusive`.
template <class K>
std::optional<std::string> prediction_error(const EstimatorState<K>& est, const MatrixView& x) {
  if (!est.fitted || !est.model.root) return "estimator is not fitted";
  const size_t needed = required_columns(*est.model.root);
  if (x.cols < needed) {
    return "x has " + std::to_string(x.cols) + " columns but the tree needs at least " +
           std::to_string(needed);
  }
  return std::nullopt;
}

// Whether `x` can be predicted now, else false with ValueError set. Asked before the result
// array is allocated, so that an unfitted estimator says so whatever the size of `x`; asked
// again with the walk itself, since allocating may run arbitrary Python code (a collection
// running __del__, which could even refit this estimator) and another thread may refit it.
template <Flavour F, class K>
bool predictable(PyObject* self, const MatrixView& x) {
  const std::optional<std::string> error =
      exclusive<F, K>(self, [&] { return prediction_error(state_of<K>(self), x); });
  if (error) raise_value_error(*error);
  return !error;
}

// Runs `walk(root, est)` on the fitted tree under `exclusive` once `x` passes
// prediction_error; false with ValueError set otherwise.
template <Flavour F, class K, class Walk>
bool walk_tree(PyObject* self, const MatrixView& x, Walk&& walk) {
  const std::optional<std::string> error =
      exclusive<F, K>(self, [&]() -> std::optional<std::string> {
        const EstimatorState<K>& est = state_of<K>(self);
        if (std::optional<std::string> refused = prediction_error(est, x)) return refused;
        walk(*est.model.root, est);
        return std::nullopt;
      });
  if (error) raise_value_error(*error);
  return !error;
}

// One value per row of `x`, of NumPy type `type_num`: `fill(tree, out)` walks the rows.
template <Flavour F, class K, class Out, class Fill>
PyObject* per_row(PyObject* self, PyObject* args, PyObject* kwargs, const char* method,
                  int type_num, Fill&& fill) {
  MatrixView x;
  const PyRef x_ref = prediction_input<F, K>(method, args, kwargs, x);
  if (!x_ref) return nullptr;
  if (!predictable<F, K>(self, x)) return nullptr;
  npy_intp dims[1] = {static_cast<npy_intp>(x.rows)};
  PyRef result(PyArray_SimpleNew(1, dims, type_num));
  if (!result) return nullptr;
  Out* out = static_cast<Out*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
  const bool done =
      walk_tree<F, K>(self, x, [&](const NodeOf<K>& root, const EstimatorState<K>& est) {
        const PredictionTree<typename K::Payload> tree(root, est.categorical, x.col_stride);
        fill(tree, x, out);
      });
  return done ? result.release() : nullptr;
}

template <Flavour F, class K>
PyObject* estimator_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    if constexpr (kIsRegression<K>) {
      return per_row<F, K, double>(self, args, kwargs, "predict", NPY_FLOAT64,
                                   [](const auto& tree, const MatrixView& x, double* out) {
                                     tree.predict(
                                         x, [out](size_t i, double value) { out[i] = value; });
                                   });
    } else {
      return per_row<F, K, int64_t>(self, args, kwargs, "predict", NPY_INT64,
                                    [](const auto& tree, const MatrixView& x, int64_t* out) {
                                      tree.predict(x, [out](size_t i, const ClassPrediction& leaf) {
                                        out[i] = static_cast<int64_t>(leaf.predicted_class);
                                      });
                                    });
    }
  });
}

template <Flavour F, class K>
PyObject* estimator_apply(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    return per_row<F, K, int64_t>(
        self, args, kwargs, "apply", NPY_INT64,
        [](const auto& tree, const MatrixView& x, int64_t* out) {
          tree.apply(x, [out](size_t i, uint32_t leaf) { out[i] = static_cast<int64_t>(leaf); });
        });
  });
}

template <Flavour F, class K>
PyObject* estimator_predict_proba(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    MatrixView x;
    const PyRef x_ref = prediction_input<F, K>("predict_proba", args, kwargs, x);
    if (!x_ref) return nullptr;
    if (!predictable<F, K>(self, x)) return nullptr;
    // Fixed at construction, as are the categorical columns.
    const size_t n_columns = std::max<size_t>(state_of<K>(self).n_classes, 1);
    // A table of more cells than an array can index cannot exist.
    constexpr auto kMaxCells = static_cast<size_t>(NPY_MAX_INTP) / sizeof(double);
    if (n_columns > kMaxCells || (x.rows != 0 && n_columns > kMaxCells / x.rows)) {
      return PyErr_NoMemory();
    }
    npy_intp dims[2] = {static_cast<npy_intp>(x.rows), static_cast<npy_intp>(n_columns)};
    PyRef result(PyArray_ZEROS(2, dims, NPY_FLOAT64, 0));
    if (!result) return nullptr;
    auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    const bool done =
        walk_tree<F, K>(self, x, [&](const NodeOf<K>& root, const EstimatorState<K>& est) {
          const PredictionTree<ClassPrediction> tree(root, est.categorical, x.col_stride);
          tree.predict(x, [data, n_columns](size_t i, const ClassPrediction& leaf) {
            const size_t copied = std::min(leaf.proba.size(), n_columns);
            std::copy_n(leaf.proba.begin(), copied, data + i * n_columns);
          });
        });
    return done ? result.release() : nullptr;
  });
}

template <Flavour F, class K>
PyObject* estimator_depth(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    if (!match_arguments(all_required(function_name<F, K>("depth"), {}), args, kwargs, {})) {
      return nullptr;
    }
    const size_t depth = exclusive<F, K>(self, [&] {
      const auto& root = state_of<K>(self).model.root;
      return root ? node_depth(*root) : size_t{0};
    });
    return PyLong_FromSize_t(depth);
  });
}

template <Flavour F, class K>
PyObject* estimator_n_leaves(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    if (!match_arguments(all_required(function_name<F, K>("n_leaves"), {}), args, kwargs, {})) {
      return nullptr;
    }
    const size_t leaves = exclusive<F, K>(self, [&] {
      const auto& root = state_of<K>(self).model.root;
      return root ? node_leaves(*root) : size_t{0};
    });
    return PyLong_FromSize_t(leaves);
  });
}

template <Flavour F, class K>
PyObject* estimator_export_tree(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    if (!match_arguments(all_required(function_name<F, K>("export_tree"), {}), args, kwargs, {})) {
      return nullptr;
    }
    // The nodes are copied out under `exclusive`; the dictionary is made from the copy.
    std::optional<std::vector<ExportedNode>> nodes =
        exclusive<F, K>(self, [&]() -> std::optional<std::vector<ExportedNode>> {
          const EstimatorState<K>& est = state_of<K>(self);
          if (!est.fitted || !est.model.root) return std::nullopt;
          std::vector<ExportedNode> out;
          walk_export(*est.model.root, out);
          return out;
        });
    if (!nodes) return raise_value_error("estimator is not fitted");
    constexpr bool kWithStats = F == Flavour::Engine;
    if constexpr (kIsRegression<K>) {
      return export_tree_state(*nodes, kWithStats);
    } else {
      return export_tree_state(*nodes, state_of<K>(self).n_classes, kWithStats);
    }
  });
}

// The class count of an engine from_tree call: the argument, or when it is None the
// dictionary's "n_classes".
inline bool engine_n_classes(PyObject* tree, PyObject* given, size_t& out) {
  if (given != nullptr && given != Py_None) return to_size("n_classes", given, out);
  PyObject* stored = PyDict_GetItemString(tree, "n_classes");  // borrowed
  if (stored == nullptr) {
    raise_value_error("tree state missing key \"n_classes\"");
    return false;
  }
  return to_size("n_classes", stored, out);
}

// Static: receives neither the class nor an instance, and always builds exactly class K.
template <Flavour F, class K>
PyObject* estimator_from_tree(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 2> kRegressorNames = {"tree", "categorical"};
    static constexpr std::array<const char*, 3> kClassifierNames = {"tree", "n_classes",
                                                                    "categorical"};
    constexpr size_t kCount = kIsRegression<K> ? 2 : 3;
    std::array<PyRef, kCount> argv;
    const std::span<const char* const> names = kIsRegression<K>
                                                   ? std::span<const char* const>(kRegressorNames)
                                                   : std::span<const char* const>(kClassifierNames);
    // The engine takes the tree by position and the rest by keyword, all but the tree
    // optional.
    const std::string function = function_name<F, K>("from_tree");
    const Signature signature =
        F == Flavour::Contract ? all_required(function, names) : Signature{function, names, 1, 1};
    if (!match_arguments(signature, args, kwargs, argv)) return nullptr;
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
      const bool ok = F == Flavour::Contract ? to_size("n_classes", argv[1].get(), n_classes)
                                             : engine_n_classes(tree, argv[1].get(), n_classes);
      if (!ok) return nullptr;
    }
    std::vector<size_t> categorical;
    if (argv[kCount - 1] && !to_index_list("categorical", argv[kCount - 1].get(), categorical)) {
      return nullptr;
    }

    constexpr bool kWithStats = F == Flavour::Engine;
    std::unique_ptr<NodeOf<K>> root;
    if constexpr (kIsRegression<K>) {
      root = import_regression_tree(tree, kWithStats);
    } else {
      root = import_class_tree(tree, kWithStats);
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
    return wrap_state<K>(class_slot<F, K>(), std::move(state));
  });
}

template <class Function>
PyCFunction as_cfunction(Function* function) {
  // Every method takes (self, args, kwargs); the table stores them as PyCFunction.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kCallFlags = METH_VARARGS | METH_KEYWORDS;

template <class Function>
PyMethodDef method(const char* name, Function* function, const char* doc, int flags = kCallFlags) {
  return PyMethodDef{name, as_cfunction(function), flags, doc};
}

}  // namespace estimator_detail

// The methods every class has, in registration order, for a module's method table:
// fit, predict, [predict_proba,] then `extra`, then depth, n_leaves, export_tree, from_tree.
// Docstrings come from `Docs`: fit, predict, predict_proba, depth, n_leaves, export_tree,
// from_tree (each starting with its signature block).
struct MethodDocs {
  const char* fit;
  const char* predict;
  const char* predict_proba;
  const char* depth;
  const char* n_leaves;
  const char* export_tree;
  const char* from_tree;
  const char* apply;  // nullptr: the class has no apply
};

template <Flavour F, class K>
PyMethodDef* method_table(const MethodDocs& docs) {
  using namespace estimator_detail;
  static std::vector<PyMethodDef> table = [&docs] {
    std::vector<PyMethodDef> t;
    t.push_back(method("fit", &estimator_fit<F, K>, docs.fit));
    t.push_back(method("predict", &estimator_predict<F, K>, docs.predict));
    if constexpr (!kIsRegression<K>) {
      t.push_back(method("predict_proba", &estimator_predict_proba<F, K>, docs.predict_proba));
    }
    if (docs.apply != nullptr) t.push_back(method("apply", &estimator_apply<F, K>, docs.apply));
    if constexpr (F == Flavour::Engine) t.push_back(shap_values_method<F, K>());
    t.push_back(method("depth", &estimator_depth<F, K>, docs.depth));
    t.push_back(method("n_leaves", &estimator_n_leaves<F, K>, docs.n_leaves));
    t.push_back(method("export_tree", &estimator_export_tree<F, K>, docs.export_tree));
    t.push_back(
        method("from_tree", &estimator_from_tree<F, K>, docs.from_tree, kCallFlags | METH_STATIC));
    t.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return t;
  }();
  return table.data();
}

// The class object of ClassInfo<F, K>, created on the first call and returned (as a new
// reference) on every later one; nullptr with a Python exception set if creation fails.
template <Flavour F, class K>
PyObject* class_object(const MethodDocs& docs) {
  using namespace estimator_detail;
  return guard([&docs]() -> PyObject* {
    PyTypeObject*& slot = class_slot<F, K>();
    if (slot == nullptr) {
      PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(&estimator_new<F, K>)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(&estimator_dealloc<K>)},
                             {Py_tp_methods, method_table<F, K>(docs)},
                             {Py_tp_doc, const_cast<char*>(ClassInfo<F, K>::doc().c_str())},
                             {0, nullptr}};
      PyType_Spec spec = {ClassInfo<F, K>::kQualifiedName,
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

}  // namespace zelk::py
