#include "core/tree/fit.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/binning.hpp"
#include "core/candidate/states.hpp"
#include "core/tree/fast/growth.hpp"
#include "core/tree/sizing.hpp"
#include "core/tree/strict/growth.hpp"
#include "core/weights.hpp"

namespace zelk {

namespace {

// Fast growth numbers samples with 32 bits.
constexpr size_t kMaxFastSamples = 4294967295u;

template <class K>
Expected<std::vector<typename K::Target>> read_targets(const VectorView& y, size_t n_classes,
                                                       InputChecks checks) {
  const bool checked = checks == InputChecks::Checked;
  std::vector<typename K::Target> targets(y.size);
  for (size_t i = 0; i < y.size; ++i) {
    if constexpr (std::is_same_v<K, Regression>) {
      const double value = y.at<double>(i);
      if (checked && !std::isfinite(value)) {
        return Error{"y holds the non-finite value " + std::to_string(value) + " at row " +
                     std::to_string(i)};
      }
      targets[i] = value;
    } else {
      const int64_t label = y.at<int64_t>(i);
      if (checked && (label < 0 || static_cast<uint64_t>(label) >= n_classes)) {
        return Error{"y holds the label " + std::to_string(label) + " at row " + std::to_string(i) +
                     ", outside 0 .. n_classes - 1 (n_classes is " + std::to_string(n_classes) +
                     ")"};
      }
      targets[i] = label < 0 ? 0 : static_cast<size_t>(label);
    }
  }
  return targets;
}

// The targets as read_targets reads them; checked regression targets must also stay within
// what the sums of their losses can hold, with the weights as growth sees them.
template <class K>
Expected<std::vector<typename K::Target>> targets_of(const DecisionTree<K>& model,
                                                     const VectorView& y, InputChecks checks,
                                                     std::span<const double> weights) {
  auto targets = read_targets<K>(y, class_count(model.task), checks);
  if constexpr (std::is_same_v<K, Regression>) {
    if (targets && checks == InputChecks::Checked) {
      const bool squared = model.task.criterion->kind() != CriterionKind::AbsoluteError;
      const std::string error =
          target_range_error(targets.value(), weights, model.params.kfold.k, squared);
      if (!error.empty()) return Error{error};
    }
  }
  return targets;
}

// The settings a tree of the sizing grows by: the same, on `threads` threads, its splits
// unscored.
Params for_sizing(const Params& params, size_t threads) {
  Params p = params;
  p.parallel = params.parallel && threads >= 2;
  p.n_threads = threads;
  p.scores_splits = false;
  return p;
}

// Whether some of `rows` weigh anything: a tree needs one that does.
bool weighs(std::span<const size_t> rows, std::span<const double> weights) {
  if (weights.empty()) return !rows.empty();
  return std::any_of(rows.begin(), rows.end(), [&](size_t r) { return weights[r] > 0.0; });
}

template <class K>
std::unique_ptr<NodeOf<K>> grow_strict_rows(const DecisionTree<K>& model, const Params& params,
                                            std::span<const Column> columns,
                                            std::span<const typename K::Target> targets,
                                            std::span<const double> weights,
                                            std::span<const size_t> rows, size_t threads) {
  if (!weighs(rows, weights)) return nullptr;
  return build_node<K>(model.task, for_sizing(params, threads), *model.aggregator, columns, targets,
                       std::vector<size_t>(rows.begin(), rows.end()), 0, weights);
}

// Fast growth of some rows reads the whole set's bins at those rows.
template <class K>
std::unique_ptr<NodeOf<K>> grow_fast_rows(const DecisionTree<K>& model, const Params& params,
                                          const BinnedData& data,
                                          std::span<const typename K::Target> targets,
                                          std::span<const double> weights,
                                          std::span<const size_t> rows, size_t threads) {
  if (!weighs(rows, weights)) return nullptr;
  BinnedData part;
  part.bins = data.bins;
  part.n_samples = rows.size();
  part.codes.resize(data.codes.size());
  for (size_t f = 0; f < data.codes.size(); ++f) {
    part.codes[f].resize(rows.size());
    for (size_t i = 0; i < rows.size(); ++i)
      part.codes[f][i] = data.codes[f][rows[i]];
  }
  std::vector<typename K::Target> part_targets(rows.size());
  std::vector<double> part_weights(weights.empty() ? 0 : rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    part_targets[i] = targets[rows[i]];
    if (!weights.empty()) part_weights[i] = weights[rows[i]];
  }
  return build_node_fast_in_place<K>(
      model.task, for_sizing(params, threads), *model.aggregator, std::move(part),
      std::span<const typename K::Target>(part_targets), 0, part_weights);
}

// `grow()`, with an out-of-memory failure of strict growth named after n_bins when it exceeds
// the rows: its slot tables grow with n_bins, and bins beyond the rows add no candidate.
template <class Grow>
auto naming_n_bins(const Params& params, size_t n, InputChecks checks, Grow&& grow) {
  if (checks == InputChecks::Lenient || params.n_bins <= n + 1) return grow();
  try {
    return grow();
  } catch (const std::bad_alloc&) {
    throw OutOfMemory("strict growth ran out of memory: its tables grow with n_bins, and n_bins=" +
                      std::to_string(params.n_bins) + " is above the " + std::to_string(n) +
                      " rows, beyond which more bins add no candidate split; lower n_bins");
  }
}

// n finite, non-negative weights, not all zero.
Expected<std::vector<double>> read_weights(const VectorView& w, size_t n) {
  if (w.size != n) {
    return Error{"sample_weight has " + std::to_string(w.size) + " entries for " +
                 std::to_string(n) + " samples"};
  }
  std::vector<double> weights(n);
  bool positive = false;
  for (size_t i = 0; i < n; ++i) {
    const double value = w.at<double>(i);
    if (!std::isfinite(value) || value < 0.0) {
      return Error{"sample_weight holds " + std::to_string(value) + " at row " + std::to_string(i) +
                   "; weights must be finite and non-negative"};
    }
    weights[i] = value;
    positive = positive || value > 0.0;
  }
  if (!positive) return Error{"sample_weight sums to zero: no sample has a positive weight"};
  return weights;
}

// Whether fast mode can grow the task: it has no absolute error.
template <class K>
bool fast_supported(const DecisionTree<K>& model) {
  if constexpr (std::is_same_v<K, Regression>) {
    return model.task.criterion->kind() != CriterionKind::AbsoluteError;
  }
  return true;
}

// Whether fast mode can grow this fit at all: the task, the number of bins its codes hold, the
// number of samples they index. Mode "auto" grows anything else in strict mode.
template <class K>
bool fast_can_grow(const DecisionTree<K>& model, const TrainingSet& data) {
  return fast_supported(model) && n_bins_error(SplitMode::Fast, model.params.n_bins).empty() &&
         data.x.rows <= kMaxFastSamples;
}

// The message that refuses the input's shape or the limits of the mode it grows in, or empty.
template <class K>
std::string shape_error(const DecisionTree<K>& model, SplitMode mode, const TrainingSet& data) {
  const size_t n = data.x.rows;
  if (data.x.cols == 0) return "need at least one feature column";
  if (data.y.size != n) {
    return "targets length " + std::to_string(data.y.size) + " does not match " +
           std::to_string(n) + " samples";
  }
  if (n == 0) return "need at least one sample";
  if (mode != SplitMode::Fast) return {};
  if (!fast_supported(model)) {
    return "this task (e.g. MAE) is not supported in SplitMode::Fast; use Strict";
  }
  if (n > kMaxFastSamples) {
    return "fast mode supports at most 4294967295 samples, got " + std::to_string(n);
  }
  return {};
}

}  // namespace

template <class K>
Expected<std::unique_ptr<NodeOf<K>>> fit_tree(const DecisionTree<K>& model, const TrainingSet& data,
                                              InputChecks checks) {
  using Target = typename K::Target;
  Params params = model.params;
  params.mode = resolved_mode(params.mode, data.x.rows, data.x.cols, fast_can_grow(model, data));
  // The shape checks need only the shapes, so they run before anything is copied.
  if (std::string error = shape_error(model, params.mode, data); !error.empty()) {
    return Error{error};
  }
  if (checks == InputChecks::Checked) {
    if (std::string error = n_bins_error(params.mode, params.n_bins); !error.empty()) {
      return Error{error};
    }
  }
  const size_t n = data.x.rows;
  std::vector<double> weights;
  int weight_exponent = 0;  // growth sees the weights divided by 2^weight_exponent
  if (data.weights != nullptr) {
    Expected<std::vector<double>> read = read_weights(*data.weights, n);
    if (!read) return Error{read.error()};
    weights = std::move(read).value();
    Expected<int> scaled = scale_weights(weights);
    if (!scaled) return Error{scaled.error()};
    weight_exponent = scaled.value();
  }
  std::unique_ptr<NodeOf<K>> root;
  std::vector<Target> targets;
  // Grows the tree of `rows` (on `threads` threads), for the sizing of validation "tree".
  std::function<std::unique_ptr<NodeOf<K>>(std::span<const size_t>, size_t)> grow_rows;
  BinnedData kept;  // fast mode's bins, which the sizing's trees read again
  std::vector<Column> columns;
  if (params.mode == SplitMode::Fast) {
    // Binned straight from the caller's array: no float copy of the columns is ever made.
    Expected<BinnedData> binned = BinnedData::fit(data.x, data.categorical, params.n_bins,
                                                  params.parallel ? params.n_threads : 1, weights);
    if (!binned) return Error{binned.error()};
    auto read = targets_of(model, data.y, checks, weights);
    if (!read) return Error{read.error()};
    targets = std::move(read).value();
    if (params.validation == Validation::Tree) {
      kept = binned.value();
      grow_rows = [&](std::span<const size_t> rows, size_t threads) {
        return grow_fast_rows(model, params, kept, targets, weights, rows, threads);
      };
    }
    root = build_node_fast_in_place<K>(model.task, params, *model.aggregator,
                                       std::move(binned).value(), std::span<const Target>(targets),
                                       0, weights);
  } else {
    columns = build_columns(data.x, data.categorical);
    if (std::string error = strict_bins_error(columns, params.n_bins); !error.empty()) {
      return Error{error};
    }
    auto read = targets_of(model, data.y, checks, weights);
    if (!read) return Error{read.error()};
    targets = std::move(read).value();
    std::vector<size_t> samples(n);
    std::iota(samples.begin(), samples.end(), size_t{0});
    root = naming_n_bins(params, n, checks, [&] {
      return build_node<K>(model.task, params, *model.aggregator, std::span<const Column>(columns),
                           std::span<const Target>(targets), std::move(samples), 0, weights);
    });
    grow_rows = [&](std::span<const size_t> rows, size_t threads) {
      return grow_strict_rows(model, params, columns, targets, weights, rows, threads);
    };
  }
  if (params.validation == Validation::Tree) {
    size_by_tree_cv(root, data.x, data.categorical, std::span<const Target>(targets),
                    std::span<const double>(weights), params.kfold,
                    params.parallel ? params.n_threads : 1, grow_rows);
  }
  restore_weighted_counts(*root, weight_exponent);
  return root;
}

template Expected<std::unique_ptr<NodeOf<Regression>>> fit_tree(const DecisionTree<Regression>&,
                                                                const TrainingSet&, InputChecks);
template Expected<std::unique_ptr<NodeOf<Classification>>> fit_tree(
    const DecisionTree<Classification>&, const TrainingSet&, InputChecks);
template Expected<std::unique_ptr<NodeOf<ObjectiveClassification>>> fit_tree(
    const DecisionTree<ObjectiveClassification>&, const TrainingSet&, InputChecks);

}  // namespace zelk
