#include "core/tree/strict/scoring.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <optional>
#include <span>
#include <type_traits>
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

template <class Count>
void clear_table(BasicConfusion<Count>& table) {
  std::fill(table.true_pos.begin(), table.true_pos.end(), Count{0});
  std::fill(table.false_pos.begin(), table.false_pos.end(), Count{0});
  std::fill(table.false_neg.begin(), table.false_neg.end(), Count{0});
  std::fill(table.support.begin(), table.support.end(), Count{0});
  table.total = Count{0};
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

// One fold part's tallies per slot and class (labels below n_classes only): counts, or
// weighted class weights with the rows per slot beside them (whether a side is empty is a
// matter of rows, not of a rounded weight), and the part's totals.
template <bool Weighted>
struct SlotTallies {
  using Count = std::conditional_t<Weighted, double, uint64_t>;

  SlotTallies(size_t n_states, size_t n_classes)
      : n_classes(n_classes),
        slots((n_states + 1) * n_classes),
        rows(Weighted ? n_states + 1 : 0),
        totals(n_classes) {}

  void clear() {
    std::fill(slots.begin(), slots.end(), Count{0});
    std::fill(rows.begin(), rows.end(), 0);
    std::fill(totals.begin(), totals.end(), Count{0});
    total_rows = 0;
  }
  // A sample of class `label` (counted only below n_classes) and weight w in slot `slot`.
  void add(uint32_t slot, size_t label, double w) {
    if (label >= n_classes) return;
    totals[label] += w;
    ++total_rows;
    if (slot == kMissingCode) return;
    slots[slot * n_classes + label] += w;
    ++rows[slot];
  }
  const Count* classes(size_t slot) const { return &slots[slot * n_classes]; }
  // The rows of a slot and of the part: weighted, as tallied; else the counts' sums.
  uint64_t rows_of(size_t slot) const {
    if constexpr (Weighted) {
      return rows[slot];
    } else {
      return std::accumulate(classes(slot), classes(slot) + n_classes, uint64_t{0});
    }
  }
  uint64_t all_rows() const {
    if constexpr (Weighted) {
      return total_rows;
    } else {
      return std::accumulate(totals.begin(), totals.end(), uint64_t{0});
    }
  }

  size_t n_classes;
  std::vector<Count> slots;
  std::vector<uint64_t> rows;
  std::vector<Count> totals;
  uint64_t total_rows = 0;
};

// Appends one fold's score to scores[i] for every state i that splits both of the fold's parts:
// the gain of the objective when each side predicts its training majority on the validation
// part, over the training majority everywhere.
template <bool Weighted>
void score_states(const ClassObjective& objective, bool threshold, size_t n_states,
                  const SlotTallies<Weighted>& train, const SlotTallies<Weighted>& val,
                  std::vector<std::vector<double>>& scores) {
  using Count = typename SlotTallies<Weighted>::Count;
  const size_t n_classes = train.n_classes;
  // Weights summed in another order can leave a rounding below zero where none is left.
  const auto difference = [](Count x, Count y) -> Count {
    if constexpr (Weighted) {
      return std::max(x - y, 0.0);
    } else {
      return x - y;
    }
  };
  auto table = BasicConfusion<Count>::zero(n_classes);
  table.add_group(majority_class(std::span<const Count>(train.totals)), val.totals);
  const double base = objective.score(table);
  const uint64_t n_train = train.all_rows(), n_val = val.all_rows();
  std::vector<Count> train_left(n_classes, 0), val_left(n_classes, 0);
  std::vector<Count> train_right(n_classes), val_right(n_classes);
  uint64_t rows_train_left = 0, rows_val_left = 0;
  for (size_t i = 0; i < n_states; ++i) {
    const Count* train_here = train.classes(i);
    const Count* val_here = val.classes(i);
    if (threshold) {
      for (size_t k = 0; k < n_classes; ++k) {
        train_left[k] += train_here[k];
        val_left[k] += val_here[k];
      }
      rows_train_left += train.rows_of(i);
      rows_val_left += val.rows_of(i);
    } else {
      std::copy(train_here, train_here + n_classes, train_left.begin());
      std::copy(val_here, val_here + n_classes, val_left.begin());
      rows_train_left = train.rows_of(i);
      rows_val_left = val.rows_of(i);
    }
    // Both the training and the validation part must be split for the fold to judge it.
    if (rows_val_left == 0 || rows_val_left == n_val || rows_train_left == 0 ||
        rows_train_left == n_train) {
      continue;
    }
    for (size_t k = 0; k < n_classes; ++k) {
      train_right[k] = difference(train.totals[k], train_left[k]);
      val_right[k] = difference(val.totals[k], val_left[k]);
    }
    clear_table(table);
    table.add_group(majority_class(std::span<const Count>(train_left)), val_left);
    table.add_group(majority_class(std::span<const Count>(train_right)), val_right);
    scores[i].push_back(objective.score(table) - base);
  }
}

// Fold f's weighted tallies: training samples coded against the fold's own edges, like the
// validation ones.
void tally_weighted(const StrictNode<size_t>& node, const Column& column, const FeatureCodes& codes,
                    bool threshold, size_t f, SlotTallies<true>& train, SlotTallies<true>& val) {
  const Fold& fold = node.folds[f];
  for (size_t s : fold.train) {
    uint32_t slot = kMissingCode;
    if (column.is_categorical()) {
      slot = category_slot(codes.states, column.codes()[s]);
    } else if (std::isfinite(column.values()[s])) {
      slot = run_slot(codes.states, codes.fold_edges[f], column.values()[s], threshold);
    }
    train.add(slot, node.targets[s], node.weights[s]);
  }
  for (size_t j = 0; j < fold.validation.size(); ++j) {
    const size_t s = fold.validation[j];
    val.add(codes.val[f][j], node.targets[s], node.weights[s]);
  }
}

// The counts of the unweighted scorer for every fold, from one pass over the node when it has
// an index (a fold's training counts are then the node's less its own).
class CountTallies {
 public:
  CountTallies(const StrictNode<size_t>& node, const Column& column, const FeatureCodes& codes,
               bool threshold, size_t n_classes)
      : node_(node), column_(column), codes_(codes), threshold_(threshold), n_classes_(n_classes) {
    const size_t n_states = codes.states.size();
    slot_row_ = (n_states + 1) * n_classes;
    by_index_ =
        node.index != nullptr && node.folds.size() * slot_row_ <= 4 * node.samples.size() + 4096;
    if (by_index_) {
      counts_ = count_by_index(node, codes, n_classes, slot_row_, column.is_categorical());
    }
    // Labels in sorted order, looked up once for every fold's pass.
    if (!column.is_categorical() && !codes.general) {
      sorted_labels_.reserve(codes.sorted.size());
      for (const SortedValue& e : codes.sorted)
        sorted_labels_.push_back(node.targets[sample_of(node, e)]);
    }
  }

  void tally(size_t f, SlotTallies<false>& train, SlotTallies<false>& val) const {
    const Fold& fold = node_.folds[f];
    train.clear();
    val.clear();
    if (by_index_) {
      for (size_t k = 0; k < n_classes_; ++k) {
        val.totals[k] = counts_.fold_val_counts[f * n_classes_ + k];
        train.totals[k] = counts_.node_counts[k] - val.totals[k];
      }
      std::copy_n(counts_.fold_val_slots.begin() + f * slot_row_, slot_row_, val.slots.begin());
    } else {
      for (size_t s : fold.train) {
        if (node_.targets[s] < n_classes_) ++train.totals[node_.targets[s]];
      }
      for (size_t j = 0; j < fold.validation.size(); ++j) {
        const size_t label = node_.targets[fold.validation[j]];
        if (label < n_classes_) ++val.totals[label];
        count_slot(val.slots, n_classes_, codes_.val[f][j], label);
      }
    }
    if (column_.is_categorical() && by_index_) {
      for (size_t i = 0; i < slot_row_; ++i)
        train.slots[i] = counts_.node_slots[i] - val.slots[i];
    } else {
      count_training_slots(node_, column_, codes_, f, threshold_, n_classes_, sorted_labels_,
                           train.slots);
    }
  }

 private:
  const StrictNode<size_t>& node_;
  const Column& column_;
  const FeatureCodes& codes_;
  bool threshold_;
  size_t n_classes_;
  size_t slot_row_ = 0;
  bool by_index_ = false;
  NodeCounts counts_;
  std::vector<size_t> sorted_labels_;
};

template <bool Weighted>
std::vector<ScoredCandidate> score_objective_with(const ClassObjective& objective, size_t n_classes,
                                                  const StrictNode<size_t>& node, size_t feature,
                                                  const Column& column, bool threshold,
                                                  const FeatureCodes& codes) {
  const size_t n_states = codes.states.size();
  auto scores = empty_score_lists(n_states, node.folds.size());
  SlotTallies<Weighted> train(n_states, n_classes), val(n_states, n_classes);
  std::optional<CountTallies> counts;
  if constexpr (!Weighted) counts.emplace(node, column, codes, threshold, n_classes);
  for (size_t f = 0; f < node.folds.size(); ++f) {
    const Fold& fold = node.folds[f];
    if (fold.train.empty() || fold.validation.empty()) continue;
    if constexpr (Weighted) {
      train.clear();
      val.clear();
      tally_weighted(node, column, codes, threshold, f, train, val);
    } else {
      counts->tally(f, train, val);
    }
    score_states(objective, threshold, n_states, train, val, scores);
  }
  return finish_candidates(codes.states, scores, node.folds.size(), feature, node.aggregator);
}

}  // namespace

std::vector<ScoredCandidate> score_objective(const ClassObjective& objective, size_t n_classes,
                                             const StrictNode<size_t>& node, size_t feature) {
  const Column& column = node.columns[feature];
  const bool threshold = threshold_mode(node.params, column);
  FeatureCodes codes;
  if (!code_feature(node, feature, threshold, codes)) return {};
  if (!node.weights.empty()) {
    return score_objective_with<true>(objective, n_classes, node, feature, column, threshold,
                                      codes);
  }
  return score_objective_with<false>(objective, n_classes, node, feature, column, threshold, codes);
}

}  // namespace zelk
