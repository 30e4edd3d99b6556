// Held-out validation of one feature at a strict node: the node's candidates cut at the node's
// own edges, and every fold's training and validation parts cut at the edges of the fold's
// training values.
#include <algorithm>
#include <cmath>
#include <type_traits>

#include "core/encoder.hpp"
#include "core/tree/rules.hpp"
#include "core/tree/strict/feature_codes.hpp"
#include "core/tree/strict/scoring.hpp"

namespace zelk {

namespace {

using detail::bin_slot;
using detail::category_slot;
using detail::FeatureCodes;
using detail::key_value;
using detail::run_slot;
using detail::SortedValue;

// Calls add(slot, target) for every node sample, with its slot against the node's own edges
// (kMissingCode for a missing value, visited only `WithMissing`); returns the number of those
// edges (0 for a categorical feature).
template <bool WithMissing, class Target, class Add>
uint64_t visit_node(const StrictNode<Target>& node, const Column& column, const FeatureCodes& codes,
                    bool threshold, Add&& add) {
  if (column.is_categorical()) {
    for (size_t s : node.samples) {
      const uint32_t slot = category_slot(codes.states, column.codes()[s]);
      if (WithMissing || slot != kMissingCode) add(slot, node.targets[s]);
    }
    return 0;
  }
  if (WithMissing) {
    for (size_t s : node.samples) {
      if (!std::isfinite(column.values()[s])) add(kMissingCode, node.targets[s]);
    }
  }
  if (codes.general) {
    std::vector<double> values;
    values.reserve(node.samples.size());
    for (size_t s : node.samples)
      values.push_back(column.values()[s]);
    const EdgeRuns edges = quantile_edge_runs(values, node.params.n_bins);
    for (size_t s : node.samples) {
      const double v = column.values()[s];
      if (std::isfinite(v)) add(run_slot(codes.states, edges, v, threshold), node.targets[s]);
    }
    return edges.size();
  }
  size_t k = 0;
  for (const SortedValue& e : codes.sorted) {
    k = codes.edges.runs_through_from(k, key_value(e.key));
    add(bin_slot(codes.states, static_cast<uint32_t>(codes.edges.code_after(k)), threshold),
        node.targets[node.folds[e.fold].validation[e.place]]);
  }
  return codes.edges.size();
}

// Calls add(slot, target) for every training sample of fold f, with its slot against the
// fold's edges (kMissingCode for a missing value, visited only `WithMissing`).
template <bool WithMissing, class Target, class Add>
void visit_training(const StrictNode<Target>& node, const Column& column, const FeatureCodes& codes,
                    bool threshold, size_t f, Add&& add) {
  const std::vector<size_t>& train = node.folds[f].train;
  if (column.is_categorical()) {
    for (size_t s : train) {
      const uint32_t slot = category_slot(codes.states, column.codes()[s]);
      if (WithMissing || slot != kMissingCode) add(slot, node.targets[s]);
    }
    return;
  }
  if (WithMissing) {
    for (size_t s : train) {
      if (!std::isfinite(column.values()[s])) add(kMissingCode, node.targets[s]);
    }
  }
  if (codes.general) {
    for (size_t s : train) {
      const double v = column.values()[s];
      if (std::isfinite(v)) {
        add(run_slot(codes.states, codes.fold_edges[f], v, threshold), node.targets[s]);
      }
    }
    return;
  }
  // The training values are the sorted node values outside the fold, so codes only ascend.
  const EdgeRuns& edges = codes.fold_edges[f];
  size_t k = 0;
  for (const SortedValue& e : codes.sorted) {
    if (e.fold == f) continue;
    k = edges.runs_through_from(k, key_value(e.key));
    add(codes.slot_of_runs[f][k], node.targets[node.folds[e.fold].validation[e.place]]);
  }
}

// Adds one sample's target to a row of the table: its count, then its sums (regression) or its
// class (a label at or above n_classes is counted in no class).
template <class Target>
void tally(double* row, Target y, size_t n_classes) {
  row[0] += 1.0;
  if constexpr (std::is_same_v<Target, double>) {
    row[1] += y;
    row[2] += y * y;
  } else {
    if (y < n_classes) row[1 + y] += 1.0;
  }
}

// The candidates the node can split by: in threshold mode the state above the node's last
// edge sends every finite value left, which no rule expresses.
std::vector<uint8_t> offered_states(const FeatureCodes& codes, const Column& column, bool threshold,
                                    uint64_t n_edges) {
  std::vector<uint8_t> offered(codes.states.size());
  for (size_t i = 0; i < offered.size(); ++i)
    offered[i] = !(threshold && !column.is_categorical() && codes.states[i] >= n_edges);
  return offered;
}

template <class Target>
void offer_by_sums(const HeldOutTask& task, const StrictNode<Target>& node, const Column& column,
                   const FeatureCodes& codes, bool threshold, size_t feature,
                   HeldOutEvidence& evidence) {
  const size_t n_folds = node.folds.size();
  const size_t k = task.n_classes;
  SlotTable table;
  table.reset(codes.states.size(), n_folds, task.width(), threshold);
  for (size_t f = 0; f < n_folds; ++f) {
    const std::vector<size_t>& validation = node.folds[f].validation;
    double* total = &table.val_total[f * table.width];
    for (size_t j = 0; j < validation.size(); ++j) {
      const Target y = node.targets[validation[j]];
      tally(total, y, k);
      const uint32_t slot = codes.val[f][j];
      if (slot != kMissingCode) tally(table.val_row(f, slot), y, k);
    }
    for (size_t w = 0; w < table.width; ++w)
      table.node_total[w] += total[w];
  }
  const uint64_t n_edges =
      visit_node<false>(node, column, codes, threshold,
                        [&](uint32_t slot, Target y) { tally(table.node_row(slot), y, k); });
  for (size_t f = 0; f < n_folds; ++f) {
    visit_training<false>(node, column, codes, threshold, f,
                          [&](uint32_t slot, Target y) { tally(table.train_row(f, slot), y, k); });
  }
  table.finish_totals();
  const std::vector<uint8_t> offered = offered_states(codes, column, threshold, n_edges);
  for (size_t i = 0; i < codes.states.size(); ++i) {
    table.state[i] = codes.states[i];
    table.offered[i] = offered[i];
  }
  offer_held_out(table, task, feature, evidence);
}

// Absolute error needs the sides' medians, which no per-slot sum gives: the node's and every
// fold's samples are listed with their slots, and each candidate's sides are summarised anew.
class AbsoluteSides {
 public:
  AbsoluteSides(const StrictNode<double>& node, const Column& column, const FeatureCodes& codes,
                bool threshold)
      : threshold_(threshold), train_(node.folds.size()), val_(node.folds.size()) {
    const size_t n_folds = node.folds.size();
    for (size_t f = 0; f < n_folds; ++f) {
      const std::vector<size_t>& validation = node.folds[f].validation;
      for (size_t j = 0; j < validation.size(); ++j)
        val_[f].push_back({codes.val[f][j], node.targets[validation[j]]});
    }
    n_edges_ = visit_node<true>(node, column, codes, threshold,
                                [this](uint32_t slot, double y) { node_.push_back({slot, y}); });
    for (size_t f = 0; f < n_folds; ++f) {
      visit_training<true>(node, column, codes, threshold, f,
                           [&](uint32_t slot, double y) { train_[f].push_back({slot, y}); });
    }
  }

  uint64_t n_edges() const { return n_edges_; }

  void offer(const std::vector<uint32_t>& states, const std::vector<uint8_t>& offered,
             size_t min_samples_leaf, size_t feature, HeldOutEvidence& evidence) {
    const size_t minimum = std::max<size_t>(min_samples_leaf, 1);
    const size_t n_folds = train_.size();
    for (size_t f = 0; f < n_folds; ++f)
      evidence.validation_size[f] = static_cast<double>(val_[f].size());
    for (size_t i = 0; i < states.size(); ++i) {
      if (!offered[i]) continue;
      const auto slot = static_cast<uint32_t>(i);
      const Split node = split(node_, slot);
      if (node.left.count >= minimum && node.right.count >= minimum) {
        const double gain = node.gain();
        if (std::isfinite(gain) && evidence.ranks_above(gain, 0.0)) {
          evidence.found = true;
          evidence.feature = feature;
          evidence.state = states[i];
          evidence.key = gain;
          evidence.tie_break = 0.0;
          evidence.loss_gain = gain;
        }
      }
      for (size_t f = 0; f < n_folds; ++f) {
        const Split train = split(train_[f], slot);
        if (train.left.count < minimum || train.right.count < minimum) continue;
        const double gain = train.gain();
        FoldPick& pick = evidence.folds[f];
        if (!std::isfinite(gain) || (pick.found && !(gain > pick.pick_gain))) continue;
        double held_out = 0.0;
        for (const Entry& e : val_[f]) {
          const double side = goes_left(e.slot, slot) ? train.left.median : train.right.median;
          held_out += std::fabs(e.y - train.whole.median) - std::fabs(e.y - side);
        }
        pick = FoldPick{true, feature, states[i], gain, held_out, gain};
      }
    }
  }

 private:
  struct Entry {
    uint32_t slot;
    double y;
  };
  // A list's median (the mean of the two middle values for an even count) and its total
  // absolute deviation from it.
  struct Summary {
    double median = 0.0;
    double deviation = 0.0;
    size_t count = 0;
  };
  struct Split {
    Summary whole, left, right;
    double gain() const { return whole.deviation - left.deviation - right.deviation; }
  };

  bool goes_left(uint32_t entry_slot, uint32_t slot) const {
    return entry_slot != kMissingCode && (threshold_ ? entry_slot <= slot : entry_slot == slot);
  }

  static Summary summarise(std::vector<double>& values) {
    Summary s;
    s.count = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    const size_t h = values.size() / 2;
    s.median = values.size() % 2 == 1 ? values[h] : (values[h - 1] + values[h]) * 0.5;
    for (double y : values)
      s.deviation += std::fabs(y - s.median);
    return s;
  }

  Split split(const std::vector<Entry>& entries, uint32_t slot) {
    whole_.clear();
    left_.clear();
    right_.clear();
    for (const Entry& e : entries) {
      whole_.push_back(e.y);
      (goes_left(e.slot, slot) ? left_ : right_).push_back(e.y);
    }
    return Split{summarise(whole_), summarise(left_), summarise(right_)};
  }

  bool threshold_;
  uint64_t n_edges_ = 0;
  std::vector<Entry> node_;
  std::vector<std::vector<Entry>> train_;
  std::vector<std::vector<Entry>> val_;
  std::vector<double> whole_, left_, right_;  // reused for every list
};

}  // namespace

template <class Target>
void score_held_out(const HeldOutTask& task, const StrictNode<Target>& node, size_t feature,
                    HeldOutEvidence& evidence) {
  const Column& column = node.columns[feature];
  const bool threshold = threshold_mode(node.params, column);
  FeatureCodes codes;
  if (!detail::code_feature(node, feature, threshold, codes)) return;
  if constexpr (std::is_same_v<Target, double>) {
    if (task.kind == HeldOutTask::Kind::Absolute) {
      AbsoluteSides sides(node, column, codes, threshold);
      sides.offer(codes.states, offered_states(codes, column, threshold, sides.n_edges()),
                  task.min_samples_leaf, feature, evidence);
      return;
    }
  }
  offer_by_sums(task, node, column, codes, threshold, feature, evidence);
}

template void score_held_out(const HeldOutTask&, const StrictNode<double>&, size_t,
                             HeldOutEvidence&);
template void score_held_out(const HeldOutTask&, const StrictNode<size_t>&, size_t,
                             HeldOutEvidence&);

}  // namespace zelk
