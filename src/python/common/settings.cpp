#include "python/common/settings.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "python/common/boundary.hpp"
#include "python/common/convert.hpp"

namespace zelk::py {
namespace {

// The settings after `criterion`, shared by all three classes, as converted from the call.
struct CommonArgs {
  Params params;
  std::u32string mode;
  std::u32string split_style;
  std::u32string aggregator;
  double agg_frac = 0.0;
  double agg_eps = 0.0;
  double agg_lambda = 0.0;
  std::vector<size_t> categorical;
  std::optional<std::u32string> validation;  // classes without the setting validate candidates
};

// The engine's fraction of the training weight that each side of a split keeps, in [0, 0.5];
// the contract's classes have no such setting.
bool convert_min_weight_fraction(const CallArgs& args, Params& p) {
  PyObject* given = args["min_weight_fraction_leaf"];
  if (given == nullptr) return true;
  if (!to_double("min_weight_fraction_leaf", given, p.min_weight_fraction_leaf)) return false;
  if (!(p.min_weight_fraction_leaf >= 0.0 && p.min_weight_fraction_leaf <= 0.5)) {
    raise_value_error("min_weight_fraction_leaf must be in [0, 0.5], got " +
                      std::to_string(p.min_weight_fraction_leaf));
    return false;
  }
  return true;
}

// Converts the 18 shared arguments `max_depth` .. `categorical`, in parameter order.
bool convert_common(const CallArgs& args, CommonArgs& out) {
  Params& p = out.params;
  return to_optional_size("max_depth", args["max_depth"], p.max_depth) &&
         to_size("min_samples_split", args["min_samples_split"], p.min_samples_split) &&
         to_size("min_samples_leaf", args["min_samples_leaf"], p.min_samples_leaf) &&
         to_double("min_impurity_decrease", args["min_impurity_decrease"],
                   p.min_impurity_decrease) &&
         to_size("n_bins", args["n_bins"], p.n_bins) &&
         to_size("cv_folds", args["cv_folds"], p.kfold.k) &&
         to_unsigned("cv_seed", args["cv_seed"], p.kfold.seed) &&
         to_bool("cv_shuffle", args["cv_shuffle"], p.kfold.shuffle) &&
         to_text("mode", args["mode"], out.mode) &&
         to_text("split_style", args["split_style"], out.split_style) &&
         to_text("aggregator", args["aggregator"], out.aggregator) &&
         to_double("agg_frac", args["agg_frac"], out.agg_frac) &&
         to_double("agg_eps", args["agg_eps"], out.agg_eps) &&
         to_double("agg_lambda", args["agg_lambda"], out.agg_lambda) &&
         to_bool("parallel", args["parallel"], p.parallel) &&
         to_size("n_threads", args["n_threads"], p.n_threads) &&
         to_size("parallel_min_samples", args["parallel_min_samples"], p.parallel_min_samples) &&
         to_index_list("categorical", args["categorical"], out.categorical) &&
         (args["validation"] == nullptr ||
          to_text("validation", args["validation"], out.validation.emplace())) &&
         convert_min_weight_fraction(args, p);
}

bool set_mode(const std::u32string& name, Params& params) {
  if (name == U"strict") {
    params.mode = SplitMode::Strict;
  } else if (name == U"fast") {
    params.mode = SplitMode::Fast;
  } else {
    raise_value_error("unknown mode " + quote_literal(name) + " (expected \"strict\" or \"fast\")");
    return false;
  }
  return true;
}

bool set_split_style(const std::u32string& name, Params& params) {
  if (name == U"threshold") {
    params.split_style = SplitStyle::Threshold;
  } else if (name == U"bin" || name == U"bin_membership") {
    params.split_style = SplitStyle::Bin;
  } else {
    raise_value_error("unknown split_style " + quote_literal(name) +
                      " (expected \"threshold\" or \"bin\")");
    return false;
  }
  return true;
}

std::unique_ptr<Aggregator> make_aggregator(const CommonArgs& args) {
  const std::u32string& name = args.aggregator;
  if (name == U"mean") return std::make_unique<Mean>();
  if (name == U"median") return std::make_unique<Median>();
  if (name == U"trimmed_mean") return std::make_unique<TrimmedMean>(args.agg_frac);
  if (name == U"signal_to_noise") return std::make_unique<SignalToNoise>(args.agg_eps);
  if (name == U"mean_minus_lambda_std") {
    return std::make_unique<MeanMinusLambdaStd>(args.agg_lambda);
  }
  raise_value_error("unknown aggregator " + quote_literal(name));
  return nullptr;
}

bool set_validation(const std::u32string& name, Params& params) {
  if (name == U"candidates") {
    params.validation = Validation::Candidates;
  } else if (name == U"prune") {
    params.validation = Validation::Prune;
  } else {
    raise_value_error("unknown validation " + quote_literal(name) +
                      " (expected \"candidates\" or \"prune\")");
    return false;
  }
  return true;
}

// mode, split_style, aggregator, then the settings only some classes take: the validations
// every class ends with.
std::unique_ptr<Aggregator> finish_common(CommonArgs& args) {
  if (!set_mode(args.mode, args.params) || !set_split_style(args.split_style, args.params)) {
    return nullptr;
  }
  std::unique_ptr<Aggregator> aggregator = make_aggregator(args);
  if (aggregator && args.validation && !set_validation(*args.validation, args.params)) {
    return nullptr;
  }
  return aggregator;
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
  return p;
}

}  // namespace

std::optional<EstimatorState<Regression>> build_regressor(const CallArgs& args) {
  std::u32string criterion;
  CommonArgs common;
  if (!to_text("criterion", args["criterion"], criterion) || !convert_common(args, common)) {
    return std::nullopt;
  }
  Regression task;
  if (criterion == U"mse") {
    task.criterion = std::make_unique<Mse>();
  } else if (criterion == U"variance") {
    task.criterion = std::make_unique<Variance>();
  } else if (criterion == U"mae") {
    task.criterion = std::make_unique<Mae>();
  } else {
    raise_value_error("unknown regression criterion " + quote_literal(criterion) +
                      " (expected \"mse\", \"variance\" or \"mae\")");
    return std::nullopt;
  }
  std::unique_ptr<Aggregator> aggregator = finish_common(common);
  if (!aggregator) return std::nullopt;
  return EstimatorState<Regression>{
      DecisionTree<Regression>{common.params, nullptr, std::move(task), std::move(aggregator)},
      std::move(common.categorical), 0, false};
}

std::optional<EstimatorState<Classification>> build_classifier(const CallArgs& args) {
  size_t n_classes = 0;
  std::u32string criterion;
  CommonArgs common;
  if (!to_size("n_classes", args["n_classes"], n_classes) ||
      !to_text("criterion", args["criterion"], criterion) || !convert_common(args, common)) {
    return std::nullopt;
  }
  Classification task;
  task.n_classes = n_classes;
  if (criterion == U"gini") {
    task.criterion = std::make_unique<Gini>(n_classes);
  } else if (criterion == U"entropy") {
    task.criterion = std::make_unique<Entropy>(n_classes);
  } else {
    raise_value_error("unknown classification criterion " + quote_literal(criterion) +
                      " (expected \"gini\" or \"entropy\")");
    return std::nullopt;
  }
  std::unique_ptr<Aggregator> aggregator = finish_common(common);
  if (!aggregator) return std::nullopt;
  return EstimatorState<Classification>{
      DecisionTree<Classification>{common.params, nullptr, std::move(task), std::move(aggregator)},
      std::move(common.categorical), n_classes, false};
}

std::optional<EstimatorState<ObjectiveClassification>> build_objective_classifier(
    const CallArgs& args) {
  size_t n_classes = 0;
  std::u32string objective_name;
  std::u32string average_name;
  size_t pos_label = 0;
  double beta = 0.0;
  CommonArgs common;
  if (!to_size("n_classes", args["n_classes"], n_classes) ||
      !to_text("objective", args["objective"], objective_name) ||
      !to_text("average", args["average"], average_name) ||
      !to_size("pos_label", args["pos_label"], pos_label) ||
      !to_double("beta", args["beta"], beta) || !convert_common(args, common)) {
    return std::nullopt;
  }
  Average average = Average::Binary;
  if (average_name == U"binary") {
    average = Average::Binary;
  } else if (average_name == U"micro") {
    average = Average::Micro;
  } else if (average_name == U"macro") {
    average = Average::Macro;
  } else if (average_name == U"weighted") {
    average = Average::Weighted;
  } else {
    raise_value_error("unknown average " + quote_literal(average_name) +
                      " (expected binary/micro/macro/weighted)");
    return std::nullopt;
  }
  std::unique_ptr<ClassObjective> objective;
  if (objective_name == U"precision") {
    objective = std::make_unique<Precision>(average, pos_label);
  } else if (objective_name == U"recall") {
    objective = std::make_unique<Recall>(average, pos_label);
  } else if (objective_name == U"f1") {
    objective = std::make_unique<F1>(average, pos_label);
  } else if (objective_name == U"fbeta") {
    objective = std::make_unique<FBeta>(average, pos_label, beta);
  } else if (objective_name == U"accuracy") {
    objective = std::make_unique<Accuracy>();
  } else {
    raise_value_error("unknown objective " + quote_literal(objective_name) +
                      " (expected precision/recall/f1/fbeta/accuracy)");
    return std::nullopt;
  }
  std::unique_ptr<Aggregator> aggregator = finish_common(common);
  if (!aggregator) return std::nullopt;
  return EstimatorState<ObjectiveClassification>{
      DecisionTree<ObjectiveClassification>{
          common.params, nullptr, ObjectiveClassification(std::move(objective), n_classes),
          std::move(aggregator)},
      std::move(common.categorical), n_classes, false};
}

EstimatorState<Regression> placeholder_regressor(std::vector<size_t> categorical) {
  Regression task;
  task.criterion = std::make_unique<Mse>();
  return EstimatorState<Regression>{
      DecisionTree<Regression>{placeholder_params(), nullptr, std::move(task),
                               std::make_unique<Mean>()},
      std::move(categorical), 0, false};
}

EstimatorState<Classification> placeholder_classifier(size_t n_classes,
                                                      std::vector<size_t> categorical) {
  Classification task;
  task.criterion = std::make_unique<Gini>(n_classes);
  task.n_classes = n_classes;
  return EstimatorState<Classification>{
      DecisionTree<Classification>{placeholder_params(), nullptr, std::move(task),
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
