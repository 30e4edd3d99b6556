#include "python/common/explain.hpp"

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>

#include "core/explain/tree_shap.hpp"
#include "python/common/estimator_type.hpp"

namespace zelk::py {
namespace {

template <class K>
constexpr const char* kind_name() {
  if constexpr (std::is_same_v<K, Regression>) {
    return "Regressor.shap_values()";
  } else if constexpr (std::is_same_v<K, Classification>) {
    return "Classifier.shap_values()";
  } else {
    return "ObjectiveClassifier.shap_values()";
  }
}

constexpr const char* kShapValuesDoc =
    "shap_values($self, x, n_threads=1)\n--\n\n"
    "Exact path-dependent SHAP values of every row of x (float64, n x m, m at least the\n"
    "columns the tree reads), with each node's training cover (weighted_n_samples) as the\n"
    "weight of its branches. Returns (values, expected_value): values (n, m) for a\n"
    "regressor, (n, m, n_classes) of the class probabilities for a classifier, and\n"
    "expected_value (one entry per output) such that a row's values plus expected_value\n"
    "give its prediction. Rows are spread over n_threads threads; the values are the same\n"
    "at any thread count.";

template <Flavour F, class K>
PyObject* estimator_shap_values(PyObject* self, PyObject* args, PyObject* kwargs) {
  using namespace estimator_detail;
  return guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 2> kNames = {"x", "n_threads"};
    std::array<PyRef, 2> argv;
    if (!match_arguments(Signature{kind_name<K>(), kNames, 2, 1}, args, kwargs, argv)) {
      return nullptr;
    }
    MatrixView x;
    if (!as_matrix("x", argv[0].get(), x)) return nullptr;
    size_t n_threads = 1;
    if (argv[1] && !to_size("n_threads", argv[1].get(), n_threads)) return nullptr;
    if (!predictable<F, K>(self, x)) return nullptr;
    const size_t n_outputs =
        kIsRegression<K> ? 1 : std::max<size_t>(state_of<K>(self).n_classes, 1);
    constexpr auto kMaxCells = static_cast<size_t>(NPY_MAX_INTP) / sizeof(double);
    const size_t per_row = x.cols * n_outputs;
    if (x.cols != 0 && n_outputs > kMaxCells / x.cols) return PyErr_NoMemory();
    if (x.rows != 0 && per_row > kMaxCells / x.rows) return PyErr_NoMemory();
    std::array<npy_intp, 3> dims = {static_cast<npy_intp>(x.rows), static_cast<npy_intp>(x.cols),
                                    static_cast<npy_intp>(n_outputs)};
    PyRef values(PyArray_ZEROS(kIsRegression<K> ? 2 : 3, dims.data(), NPY_FLOAT64, 0));
    if (!values) return nullptr;
    npy_intp outputs_dims[1] = {static_cast<npy_intp>(n_outputs)};
    PyRef expected(PyArray_SimpleNew(1, outputs_dims, NPY_FLOAT64));
    if (!expected) return nullptr;
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get())));
    auto* expected_out =
        static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(expected.get())));
    const bool done =
        walk_tree<F, K>(self, x, [&](const NodeOf<K>& root, const EstimatorState<K>& est) {
          const ShapTree tree(root, n_outputs);
          tree.explain(x, est.categorical, n_threads, out);
          std::memcpy(expected_out, tree.expected_value().data(), n_outputs * sizeof(double));
        });
    if (!done) return nullptr;
    return PyTuple_Pack(2, values.get(), expected.get());
  });
}

}  // namespace

template <Flavour F, class K>
PyMethodDef shap_values_method() {
  return estimator_detail::method("shap_values", &estimator_shap_values<F, K>, kShapValuesDoc);
}

template PyMethodDef shap_values_method<Flavour::Engine, Regression>();
template PyMethodDef shap_values_method<Flavour::Engine, Classification>();
template PyMethodDef shap_values_method<Flavour::Engine, ObjectiveClassification>();

}  // namespace zelk::py
