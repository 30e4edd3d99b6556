// `zelk._engine`'s classes: keyword-only settings with the package's defaults, and the tree
// dictionary with per-node statistics.
#include "python/engine/classes.hpp"

#include <array>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "python/common/estimator_type.hpp"

namespace zelk::py {
namespace {

// The default's value as a new reference, or nullptr with an exception set.
PyObject* default_value(std::string_view literal) {
  if (literal == "None") return Py_NewRef(Py_None);
  if (literal == "True") return Py_NewRef(Py_True);
  if (literal == "False") return Py_NewRef(Py_False);
  if (literal == "()") return PyTuple_New(0);
  if (literal.front() == '\'') {
    const std::string_view text = literal.substr(1, literal.size() - 2);
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  }
  const std::string digits(literal);
  if (literal.find_first_of(".e") != std::string_view::npos) {
    return PyFloat_FromDouble(std::strtod(digits.c_str(), nullptr));
  }
  return PyLong_FromString(digits.c_str(), nullptr, 10);
}

// One class's keyword-only parameters with their defaults.
class Parameters {
 public:
  explicit Parameters(ClassKind kind) : parameters_(engine_parameters(kind)) {
    for (const Parameter& p : parameters_)
      names_.push_back(p.name);
  }

  // "Name(*, a=1, b='x')\n--\n\n<doc>", so that introspection reads the signature.
  std::string signed_doc(const char* name, const char* doc) const {
    std::string text = std::string(name) + "(*";
    for (const Parameter& p : parameters_)
      text += std::string(", ") + p.name + "=" + p.literal;
    return text + ")\n--\n\n" + doc;
  }

  // A constructor call's arguments with every left-out one at its default, in `CallArgs`,
  // or nullopt with an exception set.
  template <class Build>
  auto build(const char* function, PyObject* args, PyObject* kwargs, Build&& build) const
      -> decltype(build(std::declval<const CallArgs&>())) {
    std::vector<PyRef> argv(names_.size());
    if (!match_arguments(Signature{function, names_, 0, 0}, args, kwargs, argv)) {
      return std::nullopt;
    }
    for (size_t i = 0; i < argv.size(); ++i) {
      if (!argv[i]) argv[i] = PyRef(default_value(parameters_[i].literal));
      if (!argv[i]) return std::nullopt;
    }
    return build(CallArgs(names_, argv));
  }

 private:
  const std::vector<Parameter>& parameters_;
  std::vector<const char*> names_;
};

const Parameters& regressor_parameters() {
  static const Parameters params(ClassKind::Regressor);
  return params;
}

const Parameters& classifier_parameters() {
  static const Parameters params(ClassKind::Classifier);
  return params;
}

const Parameters& objective_classifier_parameters() {
  static const Parameters params(ClassKind::ObjectiveClassifier);
  return params;
}

constexpr const char* kGrowthDoc =
    "\n\nEvery split is scored on cv_folds folds of the node's own samples and the fold\n"
    "scores are combined by the aggregator. Settings are keyword-only and are read as\n"
    "zelk._zelk reads them; the same settings grow the same tree. Fitting, predicting and\n"
    "explaining release the interpreter lock; calls on one object take turns.";

// A class's docstring: its text signature, its summary, then what every class shares.
std::string class_doc(const Parameters& parameters, const char* name, const char* summary) {
  return parameters.signed_doc(name, (std::string(summary) + kGrowthDoc).c_str());
}

}  // namespace

template <>
struct ClassInfo<Flavour::Engine, Regression> {
  static constexpr const char* kName = "Regressor";
  static constexpr const char* kQualifiedName = "zelk._engine.Regressor";
  static const std::string& doc() {
    static const std::string text =
        class_doc(regressor_parameters(), kName,
                  "Regression tree with cross-validated splits; y holds finite floats.");
    return text;
  }
  static std::optional<EstimatorState<Regression>> from_call(PyObject* args, PyObject* kwargs) {
    return regressor_parameters().build("Regressor.__new__()", args, kwargs, build_regressor);
  }
};

template <>
struct ClassInfo<Flavour::Engine, Classification> {
  static constexpr const char* kName = "Classifier";
  static constexpr const char* kQualifiedName = "zelk._engine.Classifier";
  static const std::string& doc() {
    static const std::string text =
        class_doc(classifier_parameters(), kName,
                  "Classification tree with splits chosen by a cross-validated impurity "
                  "decrease;\ny holds labels 0 .. n_classes - 1.");
    return text;
  }
  static std::optional<EstimatorState<Classification>> from_call(PyObject* args, PyObject* kwargs) {
    return classifier_parameters().build("Classifier.__new__()", args, kwargs, build_classifier);
  }
};

template <>
struct ClassInfo<Flavour::Engine, ObjectiveClassification> {
  static constexpr const char* kName = "ObjectiveClassifier";
  static constexpr const char* kQualifiedName = "zelk._engine.ObjectiveClassifier";
  static const std::string& doc() {
    static const std::string text =
        class_doc(objective_classifier_parameters(), kName,
                  "Classification tree with splits chosen by the cross-validated gain of a "
                  "metric\n(accuracy, precision, recall, f1, fbeta); y holds labels 0 .. "
                  "n_classes - 1.");
    return text;
  }
  static std::optional<EstimatorState<ObjectiveClassification>> from_call(PyObject* args,
                                                                          PyObject* kwargs) {
    return objective_classifier_parameters().build("ObjectiveClassifier.__new__()", args, kwargs,
                                                   build_objective_classifier);
  }
};

namespace engine {
namespace {

constexpr const char* kStatsDoc =
    "The tree as a dictionary of flat per-node lists (nodes in pre-order, the root first),\n"
    "followed by per-node training statistics: \"impurity\" (of the node's training samples\n"
    "by the task's criterion; Gini for the objective classifier), \"weighted_n_samples\"\n"
    "(the node's total sample weight),\n"
    "\"split_score\" (the chosen split's aggregated score; NaN at a leaf) and \"fold_scores\"\n"
    "(that split's per-fold scores; empty at a leaf).";

// The same for every class; lives as long as the classes.
const char* export_doc() {
  static const std::string text = std::string("export_tree($self)\n--\n\n") + kStatsDoc;
  return text.c_str();
}

MethodDocs docs(const char* fit, const char* from_tree) {
  return MethodDocs{fit,
                    "predict($self, x)\n--\n\n"
                    "The prediction of the leaf each row of x reaches.",
                    "predict_proba($self, x)\n--\n\n"
                    "The class frequencies of the leaf each row of x reaches (n_classes columns).",
                    "depth($self)\n--\n\nDepth of the tree (0 for a single leaf or no tree).",
                    "n_leaves($self)\n--\n\nNumber of leaves (0 before a fit).",
                    export_doc(),
                    from_tree,
                    "apply($self, x)\n--\n\n"
                    "For each row of x the index of the leaf it reaches, in the numbering of\n"
                    "export_tree (int64)."};
}

}  // namespace

PyObject* regressor_class() {
  return class_object<Flavour::Engine, Regression>(
      docs("fit($self, x, y, sample_weight=None)\n--\n\n"
           "Grow the tree from x (float64, n x m, NaN for missing) and y (float64, n finite\n"
           "values), each sample counted with its weight in sample_weight (float64, n finite\n"
           "non-negative values, not all zero; None weighs every sample 1). A fit that fails\n"
           "leaves the previous tree in place.",
           "from_tree(tree, *, categorical=())\n--\n\n"
           "Rebuild a fitted regressor from an export_tree dictionary (with or without its\n"
           "statistics)."));
}

PyObject* classifier_class() {
  static constexpr const char* kFit =
      "fit($self, x, y, sample_weight=None)\n--\n\n"
      "Grow the tree from x (float64, n x m, NaN for missing) and y (int64 labels\n"
      "0 .. n_classes - 1), each sample counted with its weight in sample_weight (float64,\n"
      "n finite non-negative values, not all zero; None weighs every sample 1). A fit that\n"
      "fails leaves the previous tree in place.";
  static constexpr const char* kFromTree =
      "from_tree(tree, *, n_classes=None, categorical=())\n--\n\n"
      "Rebuild a fitted classifier from an export_tree dictionary (with or without its\n"
      "statistics); n_classes None takes the dictionary's \"n_classes\".";
  return class_object<Flavour::Engine, Classification>(docs(kFit, kFromTree));
}

PyObject* objective_classifier_class() {
  static constexpr const char* kFit =
      "fit($self, x, y, sample_weight=None)\n--\n\n"
      "Grow the tree from x (float64, n x m, NaN for missing) and y (int64 labels\n"
      "0 .. n_classes - 1), each sample counted with its weight in sample_weight (float64,\n"
      "n finite non-negative values, not all zero; None weighs every sample 1). A fit that\n"
      "fails leaves the previous tree in place.";
  static constexpr const char* kFromTree =
      "from_tree(tree, *, n_classes=None, categorical=())\n--\n\n"
      "Rebuild a fitted objective classifier from an export_tree dictionary (with or\n"
      "without its statistics); n_classes None takes the dictionary's \"n_classes\".\n"
      "The objective plays no part in prediction, so a placeholder task is used.";
  return class_object<Flavour::Engine, ObjectiveClassification>(docs(kFit, kFromTree));
}

}  // namespace engine
}  // namespace zelk::py
