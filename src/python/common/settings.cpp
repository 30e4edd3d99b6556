#include "python/common/settings.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "python/common/boundary.hpp"
#include "python/common/convert.hpp"

namespace zelk::py {
namespace {

// A name a text setting may take, and what it stands for.
template <class T>
struct Choice {
  std::u32string_view name;
  T value;
};

constexpr Choice<SplitMode> kModes[] = {{U"strict", SplitMode::Strict}, {U"fast", SplitMode::Fast}};
// The engine's classes also let the training set's size choose.
constexpr Choice<SplitMode> kEngineModes[] = {
    {U"auto", SplitMode::Auto}, {U"strict", SplitMode::Strict}, {U"fast", SplitMode::Fast}};
constexpr Choice<SplitStyle> kSplitStyles[] = {{U"threshold", SplitStyle::Threshold},
                                               {U"bin", SplitStyle::Bin},
                                               {U"bin_membership", SplitStyle::Bin}};
constexpr Choice<Validation> kValidations[] = {{U"candidates", Validation::Candidates},
                                               {U"prune", Validation::Prune},
                                               {U"tree", Validation::Tree}};
constexpr Choice<bool> kCategoricalSplits[] = {{U"one_vs_rest", false}, {U"subset", true}};
constexpr Choice<bool> kThresholds[] = {{U"value", false}, {U"midpoint", true}};

template <class T, size_t N>
std::u32string name_of(const Choice<T> (&choices)[N], T value) {
  for (const Choice<T>& c : choices) {
    if (c.value == value) return std::u32string(c.name);
  }
  return {};
}

// The value `name` stands for among `choices`, or nullopt with ValueError "unknown {what}
// {name}{expected}".
template <class T, size_t N>
std::optional<T> choose(const Choice<T> (&choices)[N], std::u32string_view name, const char* what,
                        const char* expected) {
  for (const Choice<T>& c : choices) {
    if (c.name == name) return c.value;
  }
  raise_value_error(std::string("unknown ") + what + " " + quote_literal(name) + expected);
  return std::nullopt;
}

// A measure made by name, as its base.
template <class Base, class T, class... Args>
std::unique_ptr<Base> make(Args... args) {
  return std::make_unique<T>(args...);
}

// A metric from the objective classifier's settings, as many of them as it takes.
template <class T>
std::unique_ptr<ClassObjective> make_metric(Average average, size_t pos_label, double beta) {
  if constexpr (std::is_same_v<T, Accuracy>) {
    return std::make_unique<T>();
  } else if constexpr (std::is_same_v<T, FBeta>) {
    return std::make_unique<T>(average, pos_label, beta);
  } else {
    return std::make_unique<T>(average, pos_label);
  }
}

// The settings every class takes after its own leading ones, as converted from a call; a
// default-constructed one holds the defaults.
struct GrowthSettings {
  Params params;
  bool engine = false;  // built by one of the engine's classes
  std::u32string mode = name_of(kEngineModes, params.mode);
  std::u32string split_style = name_of(kSplitStyles, params.split_style);
  std::u32string aggregator = U"mean";
  double agg_frac = 0.1;
  double agg_eps = 1e-9;
  double agg_lambda = 1.0;
  std::vector<size_t> categorical;
  std::u32string validation = name_of(kValidations, params.validation);
  std::u32string categorical_split = name_of(kCategoricalSplits, params.category_subsets);
  // The engine's default; the core's own, like the fixed module's, cuts at the value above.
  std::u32string thresholds = U"midpoint";
};

// Where a setting's value goes; its type decides how the argument is converted.
template <class T>
using Slot = T& (*)(GrowthSettings&);
using AnySlot =
    std::variant<Slot<std::optional<size_t>>, Slot<size_t>, Slot<bool>, Slot<double>,
                 Slot<std::u32string>, Slot<std::vector<size_t>>, Slot<std::vector<int8_t>>>;

struct Setting {
  const char* name;
  AnySlot slot;
  bool contract;  // whether the fixed module's classes take it
  // The message refusing a converted value out of the setting's range, or empty.
  std::string (*check)(const GrowthSettings&) = nullptr;
};

std::string check_weight_fraction(const GrowthSettings& s) {
  const double f = s.params.min_weight_fraction_leaf;
  if (f >= 0.0 && f <= 0.5) return {};
  return "min_weight_fraction_leaf must be in [0, 0.5], got " + std::to_string(f);
}

// The slot at a path of members from the settings, e.g. field<&GrowthSettings::params,
// &Params::kfold, &KFold::k>.
template <auto... Path>
auto& field(GrowthSettings& s) {
  return (s.*....*Path);
}

using G = GrowthSettings;

// The growth settings, in the fixed module's positional order; the engine's own come last.
const std::array<Setting, 23> kSettings = {{
    {"max_depth", field<&G::params, &Params::max_depth>, true},
    {"min_samples_split", field<&G::params, &Params::min_samples_split>, true},
    {"min_samples_leaf", field<&G::params, &Params::min_samples_leaf>, true},
    {"min_impurity_decrease", field<&G::params, &Params::min_impurity_decrease>, true},
    {"n_bins", field<&G::params, &Params::n_bins>, true},
    {"cv_folds", field<&G::params, &Params::kfold, &KFold::k>, true},
    {"cv_seed", field<&G::params, &Params::kfold, &KFold::seed>, true},
    {"cv_shuffle", field<&G::params, &Params::kfold, &KFold::shuffle>, true},
    {"mode", field<&G::mode>, true},
    {"split_style", field<&G::split_style>, true},
    {"aggregator", field<&G::aggregator>, true},
    {"agg_frac", field<&G::agg_frac>, true},
    {"agg_eps", field<&G::agg_eps>, true},
    {"agg_lambda", field<&G::agg_lambda>, true},
    {"parallel", field<&G::params, &Params::parallel>, true},
    {"n_threads", field<&G::params, &Params::n_threads>, true},
    {"parallel_min_samples", field<&G::params, &Params::parallel_min_samples>, true},
    {"categorical", field<&G::categorical>, true},
    {"validation", field<&G::validation>, false},
    {"min_weight_fraction_leaf", field<&G::params, &Params::min_weight_fraction_leaf>, false,
     check_weight_fraction},
    {"categorical_split", field<&G::categorical_split>, false},
    {"monotonic_cst", field<&G::params, &Params::monotonic>, false},
    {"thresholds", field<&G::thresholds>, false},
}};

// The argument into its slot; false with the exception set.
bool convert(const char* name, PyObject* value, const AnySlot& slot, GrowthSettings& s) {
  return std::visit(
      [&](auto get) {
        auto& out = get(s);
        using T = std::decay_t<decltype(out)>;
        if constexpr (std::is_same_v<T, std::optional<size_t>>) {
          return to_optional_size(name, value, out);
        } else if constexpr (std::is_same_v<T, size_t>) {
          return to_size(name, value, out);
        } else if constexpr (std::is_same_v<T, bool>) {
          return to_bool(name, value, out);
        } else if constexpr (std::is_same_v<T, double>) {
          return to_double(name, value, out);
        } else if constexpr (std::is_same_v<T, std::u32string>) {
          return to_text(name, value, out);
        } else if constexpr (std::is_same_v<T, std::vector<size_t>>) {
          return to_index_list(name, value, out);
        } else {
          return to_constraint_list(name, value, out);
        }
      },
      slot);
}

// A value as the Python literal of its default.
std::string literal(const AnySlot& slot, GrowthSettings& defaults) {
  return std::visit(
      [&](auto get) -> std::string {
        const auto& value = get(defaults);
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::optional<size_t>>) {
          return value ? std::to_string(*value) : "None";
        } else if constexpr (std::is_same_v<T, size_t>) {
          return std::to_string(value);
        } else if constexpr (std::is_same_v<T, bool>) {
          return value ? "True" : "False";
        } else if constexpr (std::is_same_v<T, double>) {
          // The shortest text that reads back as the value, as repr writes it.
          std::array<char, 32> text{};
          const auto end = std::to_chars(text.data(), text.data() + text.size(), value).ptr;
          std::string out(text.data(), end);
          return out.find_first_of(".e") == std::string::npos ? out + ".0" : out;
        } else if constexpr (std::is_same_v<T, std::u32string>) {
          std::string out(1, '\'');
          for (char32_t c : value)
            out.push_back(static_cast<char>(c));  // the names are ASCII
          out.push_back('\'');
          return out;
        } else if constexpr (std::is_same_v<T, std::vector<size_t>>) {
          return "()";  // no default holds indices
        } else {
          return "None";  // no constraints
        }
      },
      slot);
}

// Converts the growth settings that `args` holds, in table order; a setting the class does not
// take keeps the value the fixed module's classes always had: validated candidates, no weight
// floor, one category against the rest, thresholds at values.
bool convert_growth(const CallArgs& args, GrowthSettings& s) {
  s.validation = U"candidates";
  s.categorical_split = U"one_vs_rest";
  s.thresholds = U"value";
  // The engine's classes take every setting, the fixed module's none beyond its own.
  s.engine = std::any_of(kSettings.begin(), kSettings.end(), [&](const Setting& setting) {
    return !setting.contract && args[setting.name] != nullptr;
  });
  for (const Setting& setting : kSettings) {
    PyObject* value = args[setting.name];
    if (value == nullptr) continue;
    if (!convert(setting.name, value, setting.slot, s)) return false;
    if (setting.check != nullptr) {
      if (const std::string error = setting.check(s); !error.empty()) {
        raise_value_error(error);
        return false;
      }
    }
  }
  return true;
}

std::unique_ptr<Aggregator> make_aggregator(const GrowthSettings& s) {
  const std::u32string& name = s.aggregator;
  if (name == U"mean") return std::make_unique<Mean>();
  if (name == U"median") return std::make_unique<Median>();
  if (name == U"trimmed_mean") return std::make_unique<TrimmedMean>(s.agg_frac);
  if (name == U"signal_to_noise") return std::make_unique<SignalToNoise>(s.agg_eps);
  if (name == U"mean_minus_lambda_std") return std::make_unique<MeanMinusLambdaStd>(s.agg_lambda);
  raise_value_error("unknown aggregator " + quote_literal(name));
  return nullptr;
}

// mode, split_style, aggregator, then validation: the name checks every class ends with.
std::unique_ptr<Aggregator> finish_growth(GrowthSettings& s) {
  const auto mode = s.engine ? choose(kEngineModes, s.mode, "mode",
                                      " (expected \"auto\", \"strict\" or \"fast\")")
                             : choose(kModes, s.mode, "mode", " (expected \"strict\" or \"fast\")");
  if (!mode) return nullptr;
  s.params.mode = *mode;
  const auto style =
      choose(kSplitStyles, s.split_style, "split_style", " (expected \"threshold\" or \"bin\")");
  if (!style) return nullptr;
  s.params.split_style = *style;
  std::unique_ptr<Aggregator> aggregator = make_aggregator(s);
  if (!aggregator) return nullptr;
  const auto validation = choose(kValidations, s.validation, "validation",
                                 " (expected \"tree\", \"prune\" or \"candidates\")");
  if (!validation) return nullptr;
  s.params.validation = *validation;
  const auto subsets = choose(kCategoricalSplits, s.categorical_split, "categorical_split",
                              " (expected \"subset\" or \"one_vs_rest\")");
  if (!subsets) return nullptr;
  s.params.category_subsets = *subsets;
  const auto midpoints =
      choose(kThresholds, s.thresholds, "thresholds", " (expected \"midpoint\" or \"value\")");
  if (!midpoints) return nullptr;
  s.params.midpoint_thresholds = *midpoints;
  return aggregator;
}

// The message refusing monotonic constraints the task cannot keep, or empty. The core bounds
// one value per node: the mean target, or the frequency of class 1 of two classes; a metric's
// splits and a category's place in an order have no such value to keep in order.
template <class K>
std::string constraint_error(const GrowthSettings& s, size_t n_classes) {
  const std::vector<int8_t>& constraints = s.params.monotonic;
  if (constraints.empty()) return {};
  if constexpr (std::is_same_v<K, ObjectiveClassification>) {
    return "monotonic_cst is not supported by the objective classifier; use an impurity "
           "criterion";
  } else if constexpr (std::is_same_v<K, Classification>) {
    if (n_classes > 2) {
      return "monotonic_cst is supported for at most two classes, got n_classes=" +
             std::to_string(n_classes);
    }
  }
  for (size_t feature : s.categorical) {
    if (feature < constraints.size() && constraints[feature] != 0) {
      return "monotonic_cst constrains feature " + std::to_string(feature) +
             ", which is categorical; a categorical feature takes 0";
    }
  }
  return {};
}

template <class K>
std::optional<EstimatorState<K>> finish_state(GrowthSettings& s, K task, size_t n_classes) {
  std::unique_ptr<Aggregator> aggregator = finish_growth(s);
  if (!aggregator) return std::nullopt;
  if (const std::string error = constraint_error<K>(s, n_classes); !error.empty()) {
    raise_value_error(error);
    return std::nullopt;
  }
  return EstimatorState<K>{
      DecisionTree<K>{s.params, nullptr, std::move(task), std::move(aggregator)},
      std::move(s.categorical), n_classes, false};
}

// Each class's own leading parameters with the engine's defaults, and the engine's default of
// min_samples_leaf where it differs from the one the growth settings hold.
struct ClassParameters {
  std::vector<Parameter> leading;
  const char* min_samples_leaf = nullptr;
};

const ClassParameters& class_parameters(ClassKind kind) {
  static const ClassParameters regressor{{{"criterion", "'mse'"}}, "5"};
  static const ClassParameters classifier{{{"n_classes", "2"}, {"criterion", "'entropy'"}}};
  static const ClassParameters objective{{{"n_classes", "2"},
                                          {"objective", "'accuracy'"},
                                          {"average", "'binary'"},
                                          {"pos_label", "1"},
                                          {"beta", "1.0"}}};
  return kind == ClassKind::Regressor    ? regressor
         : kind == ClassKind::Classifier ? classifier
                                         : objective;
}

std::vector<Parameter> make_engine_parameters(ClassKind kind) {
  const ClassParameters& own = class_parameters(kind);
  std::vector<Parameter> out = own.leading;
  GrowthSettings defaults;
  for (const Setting& setting : kSettings) {
    const bool leaf = std::string_view(setting.name) == "min_samples_leaf";
    out.push_back({setting.name, leaf && own.min_samples_leaf != nullptr
                                     ? std::string(own.min_samples_leaf)
                                     : literal(setting.slot, defaults)});
  }
  return out;
}

std::vector<const char*> make_contract_parameters(ClassKind kind) {
  std::vector<const char*> out;
  for (const Parameter& p : class_parameters(kind).leading)
    out.push_back(p.name);
  for (const Setting& setting : kSettings) {
    if (setting.contract) out.push_back(setting.name);
  }
  return out;
}

Params placeholder_params() {
  Params p;
  p.max_depth = 8;
  p.min_samples_split = 2;
  p.min_samples_leaf = 1;
  p.min_impurity_decrease = 0.0;
  p.n_bins = 8;
  p.kfold = KFold{5, 42, true};
  p.mode = SplitMode::Strict;
  p.split_style = SplitStyle::Threshold;
  p.parallel = false;
  p.n_threads = 1;
  p.parallel_min_samples = 512;
  p.validation = Validation::Candidates;
  p.category_subsets = false;
  return p;
}

}  // namespace

const std::vector<const char*>& contract_parameters(ClassKind kind) {
  static const std::array<std::vector<const char*>, 3> lists = {
      make_contract_parameters(ClassKind::Regressor),
      make_contract_parameters(ClassKind::Classifier),
      make_contract_parameters(ClassKind::ObjectiveClassifier)};
  return lists[static_cast<size_t>(kind)];
}

const std::vector<Parameter>& engine_parameters(ClassKind kind) {
  static const std::array<std::vector<Parameter>, 3> lists = {
      make_engine_parameters(ClassKind::Regressor), make_engine_parameters(ClassKind::Classifier),
      make_engine_parameters(ClassKind::ObjectiveClassifier)};
  return lists[static_cast<size_t>(kind)];
}

std::optional<EstimatorState<Regression>> build_regressor(const CallArgs& args) {
  std::u32string criterion;
  GrowthSettings s;
  if (!to_text("criterion", args["criterion"], criterion) || !convert_growth(args, s)) {
    return std::nullopt;
  }
  using Make = std::unique_ptr<RegressionCriterion> (*)();
  static constexpr Choice<Make> kCriteria[] = {{U"mse", make<RegressionCriterion, Mse>},
                                               {U"variance", make<RegressionCriterion, Variance>},
                                               {U"mae", make<RegressionCriterion, Mae>}};
  const auto make = choose(kCriteria, criterion, "regression criterion",
                           " (expected \"mse\", \"variance\" or \"mae\")");
  if (!make) return std::nullopt;
  return finish_state(s, Regression{(*make)()}, 0);
}

std::optional<EstimatorState<Classification>> build_classifier(const CallArgs& args) {
  size_t n_classes = 0;
  std::u32string criterion;
  GrowthSettings s;
  if (!to_size("n_classes", args["n_classes"], n_classes) ||
      !to_text("criterion", args["criterion"], criterion) || !convert_growth(args, s)) {
    return std::nullopt;
  }
  using Make = std::unique_ptr<ClassCriterion> (*)(size_t);
  static constexpr Choice<Make> kCriteria[] = {{U"gini", make<ClassCriterion, Gini, size_t>},
                                               {U"entropy", make<ClassCriterion, Entropy, size_t>}};
  const auto make = choose(kCriteria, criterion, "classification criterion",
                           " (expected \"gini\" or \"entropy\")");
  if (!make) return std::nullopt;
  return finish_state(s, Classification{(*make)(n_classes), n_classes}, n_classes);
}

std::optional<EstimatorState<ObjectiveClassification>> build_objective_classifier(
    const CallArgs& args) {
  size_t n_classes = 0;
  std::u32string objective_name;
  std::u32string average_name;
  size_t pos_label = 0;
  double beta = 0.0;
  GrowthSettings s;
  if (!to_size("n_classes", args["n_classes"], n_classes) ||
      !to_text("objective", args["objective"], objective_name) ||
      !to_text("average", args["average"], average_name) ||
      !to_size("pos_label", args["pos_label"], pos_label) ||
      !to_double("beta", args["beta"], beta) || !convert_growth(args, s)) {
    return std::nullopt;
  }
  static constexpr Choice<Average> kAverages[] = {{U"binary", Average::Binary},
                                                  {U"micro", Average::Micro},
                                                  {U"macro", Average::Macro},
                                                  {U"weighted", Average::Weighted}};
  const auto average =
      choose(kAverages, average_name, "average", " (expected binary/micro/macro/weighted)");
  if (!average) return std::nullopt;
  using Make = std::unique_ptr<ClassObjective> (*)(Average, size_t, double);
  static constexpr Choice<Make> kObjectives[] = {{U"precision", make_metric<Precision>},
                                                 {U"recall", make_metric<Recall>},
                                                 {U"f1", make_metric<F1>},
                                                 {U"fbeta", make_metric<FBeta>},
                                                 {U"accuracy", make_metric<Accuracy>}};
  const auto make = choose(kObjectives, objective_name, "objective",
                           " (expected precision/recall/f1/fbeta/accuracy)");
  if (!make) return std::nullopt;
  return finish_state(s, ObjectiveClassification((*make)(*average, pos_label, beta), n_classes),
                      n_classes);
}

EstimatorState<Regression> placeholder_regressor(std::vector<size_t> categorical) {
  return EstimatorState<Regression>{
      DecisionTree<Regression>{placeholder_params(), nullptr, Regression{std::make_unique<Mse>()},
                               std::make_unique<Mean>()},
      std::move(categorical), 0, false};
}

EstimatorState<Classification> placeholder_classifier(size_t n_classes,
                                                      std::vector<size_t> categorical) {
  return EstimatorState<Classification>{
      DecisionTree<Classification>{placeholder_params(), nullptr,
                                   Classification{std::make_unique<Gini>(n_classes), n_classes},
                                   std::make_unique<Mean>()},
      std::move(categorical), n_classes, false};
}

EstimatorState<ObjectiveClassification> placeholder_objective_classifier(
    size_t n_classes, std::vector<size_t> categorical) {
  return EstimatorState<ObjectiveClassification>{
      DecisionTree<ObjectiveClassification>{
          placeholder_params(), nullptr,
          ObjectiveClassification(std::make_unique<Accuracy>(), n_classes),
          std::make_unique<Mean>()},
      std::move(categorical), n_classes, false};
}

}  // namespace zelk::py
