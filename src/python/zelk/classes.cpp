// `zelk._zelk`'s classes: every constructor parameter required, the plain tree dictionary.
#include "python/zelk/classes.hpp"

#include <array>
#include <optional>
#include <string>

#include "python/common/estimator_type.hpp"

namespace zelk::py {
namespace {

// "Name(param, param, ...)\n--\n\n<doc>", so that introspection reads the constructor's
// parameters from the class docstring.
std::string signed_doc(const char* name, ClassKind kind, const char* doc) {
  const std::vector<const char*>& params = contract_parameters(kind);
  std::string text = name;
  text += '(';
  for (size_t i = 0; i < params.size(); ++i) {
    if (i > 0) text += ", ";
    text += params[i];
  }
  text += ")\n--\n\n";
  text += doc;
  return text;
}

// Matches a constructor call, every parameter required, and builds the state with `build`.
template <class Build>
auto state_from_call(const char* function, ClassKind kind, PyObject* args, PyObject* kwargs,
                     Build&& build) -> decltype(build(std::declval<const CallArgs&>())) {
  const std::vector<const char*>& params = contract_parameters(kind);
  std::vector<PyRef> argv(params.size());
  if (!match_arguments(all_required(function, params), args, kwargs, argv)) return std::nullopt;
  return build(CallArgs(params, argv));
}

}  // namespace

template <>
struct ClassInfo<Flavour::Contract, Regression> {
  static constexpr const char* kName = "RawRegressor";
  static constexpr const char* kQualifiedName = "zelk._zelk.RawRegressor";
  static const std::string& doc() {
    static const std::string text =
        signed_doc(kName, ClassKind::Regressor, "Native regression tree.");
    return text;
  }
  static std::optional<EstimatorState<Regression>> from_call(PyObject* args, PyObject* kwargs) {
    return state_from_call("RawRegressor.__new__()", ClassKind::Regressor, args, kwargs,
                           build_regressor);
  }
};

template <>
struct ClassInfo<Flavour::Contract, Classification> {
  static constexpr const char* kName = "RawClassifier";
  static constexpr const char* kQualifiedName = "zelk._zelk.RawClassifier";
  static const std::string& doc() {
    static const std::string text =
        signed_doc(kName, ClassKind::Classifier,
                   "Native classification tree. Targets are already label-encoded to `0..n`\n"
                   "by the Python layer; class recovery happens there via `classes_`.");
    return text;
  }
  static std::optional<EstimatorState<Classification>> from_call(PyObject* args, PyObject* kwargs) {
    return state_from_call("RawClassifier.__new__()", ClassKind::Classifier, args, kwargs,
                           build_classifier);
  }
};

template <>
struct ClassInfo<Flavour::Contract, ObjectiveClassification> {
  static constexpr const char* kName = "RawObjectiveClassifier";
  static constexpr const char* kQualifiedName = "zelk._zelk.RawObjectiveClassifier";
  static const std::string& doc() {
    static const std::string text =
        signed_doc(kName, ClassKind::ObjectiveClassifier,
                   "Native classification tree that selects splits by a metric objective\n"
                   "(precision/recall/F1/F\xCE\xB2/accuracy) instead of impurity.");
    return text;
  }
  static std::optional<EstimatorState<ObjectiveClassification>> from_call(PyObject* args,
                                                                          PyObject* kwargs) {
    return state_from_call("RawObjectiveClassifier.__new__()", ClassKind::ObjectiveClassifier, args,
                           kwargs, build_objective_classifier);
  }
};

namespace contract {
namespace {

constexpr const char* kClassifierFromTree =
    "from_tree(tree, n_classes, categorical)\n--\n\n"
    "Rebuild a fitted classifier from an `export_tree` dump (used to unpickle).";

MethodDocs docs(const char* from_tree) {
  return MethodDocs{"fit($self, x, y)\n--\n\n",
                    "predict($self, x)\n--\n\n",
                    "predict_proba($self, x)\n--\n\n",
                    "depth($self)\n--\n\n",
                    "n_leaves($self)\n--\n\n",
                    "export_tree($self)\n--\n\n",
                    from_tree,
                    nullptr};
}

}  // namespace

PyObject* regressor_class() {
  return class_object<Flavour::Contract, Regression>(
      docs("from_tree(tree, categorical)\n--\n\n"
           "Rebuild a fitted regressor from an `export_tree` dump (used to unpickle)."));
}

PyObject* classifier_class() {
  return class_object<Flavour::Contract, Classification>(docs(kClassifierFromTree));
}

PyObject* objective_classifier_class() {
  return class_object<Flavour::Contract, ObjectiveClassification>(
      docs("from_tree(tree, n_classes, categorical)\n--\n\n"
           "Rebuild a fitted objective classifier from an `export_tree` dump. The\n"
           "objective plays no part in prediction, so a placeholder task is used."));
}

}  // namespace contract
}  // namespace zelk::py
