#include "core/tree/strict/scoring.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <span>
#include <vector>

#include "core/tree/rules.hpp"
#include "core/tree/strict/feature_codes.hpp"
#include "core/tree/strict/sorted_values.hpp"

namespace zelk {

using detail::category_slot;
using detail::code_feature;
using detail::empty_score_lists;
using detail::FeatureCodes;
using detail::finish_candidates;
using detail::key_value;
using detail::run_slot;
using detail::SortedValue;

namespace {

void clear_table(Confusion& table) {
  std::fill(table.true_pos.begin(), table.true_pos.end(), 0);
  std::fill(table.false_pos.begin(), table.false_pos.end(), 0);
  std::fill(table.false_neg.begin(), table.false_neg.end(), 0);
  std::fill(table.support.begin(), table.support.end(), 0);
  table.total = 0;
}

template <class Target>
size_t sample_of(const StrictNode<Target>& node, const SortedValue& e) {
  return node.folds[e.fold].validation[e.place];
}

// Counts one labelled sample into its slot's row, when the label is below n_classes and the
// value is not missing.
inline void count_slot(std::vector<uint64_t>& slots, size_t n_classes, uint32_t slot,
                       size_t label) {
  if (label < n_classes && slot != kMissingCode) ++slots[slot * n_classes + label];
}

// Every fold's validation counts from one pass over the node in its own order (labels below
// n_classes only): per (fold, slot, class), per (fold, class), per class over the node, and
// for a categorical feature per (slot, class) over the node.
struct NodeCounts {
  std::vector<uint64_t> fold_val_slots, fold_val_counts, node_slots, node_counts;
};

NodeCounts count_by_index(const StrictNode<size_t>& node, const FeatureCodes& codes,
                          size_t n_classes, size_t slot_row, bool categorical) {
  const size_t n_folds = node.folds.size();
  NodeCounts counts;
  counts.fold_val_slots.assign(n_folds * slot_row, 0);
  counts.fold_val_counts.assign(n_folds * n_classes, 0);
  counts.node_counts.assign(n_classes, 0);
  for (size_t p = 0; p < node.samples.size(); ++p) {
    const size_t label = node.targets[node.samples[p]];
    if (label >= n_classes) continue;
    const uint32_t f = node.index->fold[p];
    ++counts.node_counts[label];
    ++counts.fold_val_counts[f * n_classes + label];
    const uint32_t slot = codes.val[f][node.index->place[p]];
    if (slot != kMissingCode) ++counts.fold_val_slots[f * slot_row + slot * n_classes + label];
  }
  if (categorical) {
    counts.node_slots.assign(slot_row, 0);
    for (size_t f = 0; f < n_folds; ++f) {
      for (size_t i = 0; i < slot_row; ++i)
        counts.node_slots[i] += counts.fold_val_slots[f * slot_row + i];
    }
  }
  return counts;
}

// Fold f's training samples counted per (slot, class) into `train_slots`, coded against the
// fold's own edges.
void count_training_slots(const StrictNode<size_t>& node, const Column& column,
                          const FeatureCodes& codes, size_t f, bool threshold, size_t n_classes,
                          const std::vector<size_t>& sorted_labels,
                          std::vector<uint64_t>& train_slots) {
  const Fold& fold = node.folds[f];
  const std::vector<uint32_t>& states = codes.states;
  if (column.is_categorical()) {
    for (size_t s : fold.train)
      count_slot(train_slots, n_classes, category_slot(states, column.codes()[s]), node.targets[s]);
  } else if (codes.general) {
    for (size_t s : fold.train) {
      const double v = column.values()[s];
      if (!std::isfinite(v)) continue;
      count_slot(train_slots, n_classes, run_slot(states, codes.fold_edges[f], v, threshold),
                 node.targets[s]);
    }
  } else {
    // Training values are the sorted node values outside the fold, so codes only ascend.
    const EdgeRuns& edges = codes.fold_edges[f];
    const std::vector<uint32_t>& table_of = codes.slot_of_runs[f];
    size_t k = 0;
    for (size_t p = 0; p < codes.sorted.size(); ++p) {
      const SortedValue& e = codes.sorted[p];
      if (e.fold == f) continue;
      const double v = key_value(e.key);
      k = edges.runs_through_from(k, v);
      count_slot(train_slots, n_classes, table_of[k], sorted_labels[p]);
    }
  }
}

}  // namespace

namespace {

// Weighted: class weights per slot for each fold's training and validation parts, the rows
// per slot beside them (whether a side is empty is a matter of rows, not of a rounded
// weight), and the same gain of the objective on weighted confusion tables.
class WeightedSlots {
 public:
  WeightedSlots(size_t n_states, size_t n_classes)
      : n_classes_(n_classes),
        classes_((n_states + 1) * n_classes),
        rows_(n_states + 1),
        totals_(n_classes) {}

  void clear() {
    std::fill(classes_.begin(), classes_.end(), 0.0);
    std::fill(rows_.begin(), rows_.end(), 0);
    std::fill(totals_.begin(), totals_.end(), 0.0);
    total_rows_ = 0;
  }
  // A sample of class `label` (counted only below n_classes) and weight w in slot `slot`.
  void add(uint32_t slot, size_t label, double w) {
    if (label >= n_classes_) return;
    totals_[label] += w;
    ++total_rows_;
    if (slot == kMissingCode) return;
    classes_[slot * n_classes_ + label] += w;
    ++rows_[slot];
  }
  const double* classes(size_t slot) const { return &classes_[slot * n_classes_]; }
  uint64_t rows(size_t slot) const { return rows_[slot]; }
  const std::vector<double>& totals() const { return totals_; }
  uint64_t total_rows() const { return total_rows_; }

 private:
  size_t n_classes_;
  std::vector<double> classes_;
  std::vector<uint64_t> rows_;
  std::vector<double> totals_;
  uint64_t total_rows_ = 0;
};

std::vector<ScoredCandidate> score_objective_weighted(const ClassObjective& objective,
                                                      size_t n_classes,
                                                      const StrictNode<size_t>& node,
                                                      size_t feature, const Column& column,
                                                      bool threshold, const FeatureCodes& codes) {
  const std::vector<uint32_t>& states = codes.states;
  const size_t n_states = states.size();
  auto scores = empty_score_lists(n_states, node.folds.size());
  WeightedSlots train(n_states, n_classes), val(n_states, n_classes);
  std::vector<double> train_left(n_classes), val_left(n_classes);
  std::vector<double> train_right(n_classes), val_right(n_classes);
  WeightedConfusion table = WeightedConfusion::zero(n_classes);
  const auto clear = [&table] {
    std::fill(table.true_pos.begin(), table.true_pos.end(), 0.0);
    std::fill(table.false_pos.begin(), table.false_pos.end(), 0.0);
    std::fill(table.false_neg.begin(), table.false_neg.end(), 0.0);
    std::fill(table.support.begin(), table.support.end(), 0.0);
    table.total = 0.0;
  };
  const auto train_slot = [&](size_t f, size_t s) -> uint32_t {
    if (column.is_categorical()) return category_slot(states, column.codes()[s]);
    const double v = column.values()[s];
    return std::isfinite(v) ? run_slot(states, codes.fold_edges[f], v, threshold) : kMissingCode;
  };
  for (size_t f = 0; f < node.folds.size(); ++f) {
    const Fold& fold = node.folds[f];
    if (fold.train.empty() || fold.validation.empty()) continue;
    train.clear();
    val.clear();
    // Training samples coded against the fold's own edges, like the validation ones.
    for (size_t s : fold.train)
      train.add(train_slot(f, s), node.targets[s], node.weights[s]);
    for (size_t j = 0; j < fold.validation.size(); ++j) {
      const size_t s = fold.validation[j];
      val.add(codes.val[f][j], node.targets[s], node.weights[s]);
    }
    const std::span<const double> train_all(train.totals()), val_all(val.totals());
    clear();
    table.add_group(majority_class(train_all), val_all);
    const double base = objective.score(table);

    std::fill(train_left.begin(), train_left.end(), 0.0);
    std::fill(val_left.begin(), val_left.end(), 0.0);
    uint64_t rows_train_left = 0, rows_val_left = 0;
    for (size_t i = 0; i < n_states; ++i) {
      const double* train_here = train.classes(i);
      const double* val_here = val.classes(i);
      if (threshold) {
        for (size_t k = 0; k < n_classes; ++k) {
          train_left[k] += train_here[k];
          val_left[k] += val_here[k];
        }
        rows_train_left += train.rows(i);
        rows_val_left += val.rows(i);
      } else {
        std::copy(train_here, train_here + n_classes, train_left.begin());
        std::copy(val_here, val_here + n_classes, val_left.begin());
        rows_train_left = train.rows(i);
        rows_val_left = val.rows(i);
      }
      // Both the training and the validation part must be split for the fold to judge it.
      if (rows_val_left == 0 || rows_val_left == val.total_rows() || rows_train_left == 0 ||
          rows_train_left == train.total_rows()) {
        continue;
      }
      // Weights summed in another order can leave a rounding below zero where none is left.
      for (size_t k = 0; k < n_classes; ++k) {
        train_right[k] = std::max(train_all[k] - train_left[k], 0.0);
        val_right[k] = std::max(val_all[k] - val_left[k], 0.0);
      }
      clear();
      table.add_group(majority_class(std::span<const double>(train_left)), val_left);
      table.add_group(majority_class(std::span<const double>(train_right)), val_right);
      scores[i].push_back(objective.score(table) - base);
    }
  }
  return finish_candidates(states, scores, node.folds.size(), feature, node.aggregator);
}

}  // namespace

std::vector<ScoredCandidate> score_objective(const ClassObjective& objective, size_t n_classes,
                                             const StrictNode<size_t>& node, size_t feature) {
  const Column& column = node.columns[feature];
  const bool threshold = threshold_mode(node.params, column);
  FeatureCodes codes;
  if (!code_feature(node, feature, threshold, codes)) return {};
  if (!node.weights.empty()) {
    return score_objective_weighted(objective, n_classes, node, feature, column, threshold, codes);
  }
  const std::vector<uint32_t>& states = codes.states;
  const size_t n_states = states.size();
  auto scores = empty_score_lists(n_states, node.folds.size());

  // Per slot and class, for the fold's training and validation samples (labels below
  // n_classes only).
  std::vector<uint64_t> train_slots((n_states + 1) * n_classes);
  std::vector<uint64_t> val_slots((n_states + 1) * n_classes);
  std::vector<uint64_t> train_counts(n_classes), val_counts(n_classes);
  std::vector<uint64_t> train_left(n_classes), val_left(n_classes);
  std::vector<uint64_t> train_right(n_classes), val_right(n_classes);
  Confusion table = Confusion::zero(n_classes);
  // Labels in sorted order, looked up once for every fold's pass.
  std::vector<size_t> sorted_labels;
  if (!column.is_categorical() && !codes.general) {
    sorted_labels.reserve(codes.sorted.size());
    for (const SortedValue& e : codes.sorted)
      sorted_labels.push_back(node.targets[sample_of(node, e)]);
  }

  // With an index, one pass in the node's order counts every fold's validation samples, and
  // a fold's training counts are the node's less its own (every sample is in one fold).
  const size_t slot_row = (n_states + 1) * n_classes;
  const bool by_index =
      node.index != nullptr && node.folds.size() * slot_row <= 4 * node.samples.size() + 4096;
  NodeCounts counts;
  if (by_index) counts = count_by_index(node, codes, n_classes, slot_row, column.is_categorical());

  for (size_t f = 0; f < node.folds.size(); ++f) {
    const Fold& fold = node.folds[f];
    if (fold.train.empty() || fold.validation.empty()) continue;
    std::fill(train_slots.begin(), train_slots.end(), 0);
    std::fill(val_slots.begin(), val_slots.end(), 0);
    std::fill(train_counts.begin(), train_counts.end(), 0);
    std::fill(val_counts.begin(), val_counts.end(), 0);
    if (by_index) {
      for (size_t k = 0; k < n_classes; ++k) {
        val_counts[k] = counts.fold_val_counts[f * n_classes + k];
        train_counts[k] = counts.node_counts[k] - val_counts[k];
      }
      std::copy_n(counts.fold_val_slots.begin() + f * slot_row, slot_row, val_slots.begin());
    } else {
      for (size_t s : fold.train) {
        if (node.targets[s] < n_classes) ++train_counts[node.targets[s]];
      }
      for (size_t j = 0; j < fold.validation.size(); ++j) {
        const size_t label = node.targets[fold.validation[j]];
        if (label < n_classes) ++val_counts[label];
        count_slot(val_slots, n_classes, codes.val[f][j], label);
      }
    }
    if (column.is_categorical() && by_index) {
      for (size_t i = 0; i < slot_row; ++i)
        train_slots[i] = counts.node_slots[i] - val_slots[i];
    } else {
      count_training_slots(node, column, codes, f, threshold, n_classes, sorted_labels,
                           train_slots);
    }
    const uint64_t n_train = std::accumulate(train_counts.begin(), train_counts.end(), 0ULL);
    const uint64_t n_val = std::accumulate(val_counts.begin(), val_counts.end(), 0ULL);

    clear_table(table);
    table.add_group(majority_class(train_counts), val_counts);
    const double base = objective.score(table);

    std::fill(train_left.begin(), train_left.end(), 0);
    std::fill(val_left.begin(), val_left.end(), 0);
    for (size_t i = 0; i < n_states; ++i) {
      const uint64_t* train_here = &train_slots[i * n_classes];
      const uint64_t* val_here = &val_slots[i * n_classes];
      if (threshold) {
        for (size_t k = 0; k < n_classes; ++k) {
          train_left[k] += train_here[k];
          val_left[k] += val_here[k];
        }
      } else {
        std::copy(train_here, train_here + n_classes, train_left.begin());
        std::copy(val_here, val_here + n_classes, val_left.begin());
      }
      const uint64_t n_train_left = std::accumulate(train_left.begin(), train_left.end(), 0ULL);
      const uint64_t n_val_left = std::accumulate(val_left.begin(), val_left.end(), 0ULL);
      // Both the training and the validation part must be split for the fold to judge it.
      if (n_val_left == 0 || n_val_left == n_val || n_train_left == 0 || n_train_left == n_train) {
        continue;
      }
      for (size_t k = 0; k < n_classes; ++k) {
        train_right[k] = train_counts[k] - train_left[k];
        val_right[k] = val_counts[k] - val_left[k];
      }
      clear_table(table);
      table.add_group(majority_class(train_left), val_left);
      table.add_group(majority_class(train_right), val_right);
      scores[i].push_back(objective.score(table) - base);
    }
  }
  return finish_candidates(states, scores, node.folds.size(), feature, node.aggregator);
}

}  // namespace zelk
