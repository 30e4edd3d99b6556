// Held-out validation of one feature at a strict node: the node's candidates cut at the node's
// own edges, and every fold's training and validation parts cut at the edges of the fold's
// training values.
#include <algorithm>
#include <cmath>
#include <type_traits>

#include "core/criterion.hpp"
#include "core/encoder.hpp"
#include "core/tree/rules.hpp"
#include "core/tree/strict/feature_codes.hpp"
#include "core/tree/strict/scoring.hpp"

namespace zelk {

namespace {

using detail::bin_slot;
using detail::category_slot;
using detail::cut_slot;
using detail::FeatureCodes;
using detail::key_value;
using detail::kNoFold;
using detail::run_slot;
using detail::SortedValue;

// Calls add(slot, sample) for every node sample, with its slot against the node's own edges
// (kMissingCode for a missing value, visited only `WithMissing`); returns the number of those
// edges (0 for a categorical feature).
template <bool WithMissing, class Target, class Add>
uint64_t visit_node(const StrictNode<Target>& node, const Column& column, const FeatureCodes& codes,
                    bool threshold, Add&& add) {
  if (column.is_categorical()) {
    const bool cuts = node.params.category_subsets;
    for (size_t s : node.samples) {
      const uint32_t code = column.codes()[s];
      const uint32_t slot =
          cuts ? cut_slot(codes, codes.node_rank, code) : category_slot(codes.states, code);
      if (WithMissing || slot != kMissingCode) add(slot, s);
    }
    return 0;
  }
  if (WithMissing) {
    for (size_t s : node.samples) {
      if (!std::isfinite(column.values()[s])) add(kMissingCode, s);
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
      if (std::isfinite(v)) add(run_slot(codes.states, edges, v, threshold), s);
    }
    return edges.size();
  }
  size_t k = 0;
  for (const SortedValue& e : codes.sorted) {
    k = codes.edges.runs_through_from(k, key_value(e.key));
    add(bin_slot(codes.states, static_cast<uint32_t>(codes.edges.code_after(k)), threshold),
        node.folds[e.fold].validation[e.place]);
  }
  return codes.edges.size();
}

// The number of slots of fold f's layer: the codes 0 .. (edges of its training values), or for
// a categorical feature the node's states (under category cuts its categories' ranks) and one
// slot for the codes that match none.
size_t fold_layer_size(const Column& column, const FeatureCodes& codes, size_t f) {
  if (!column.is_categorical()) return codes.fold_edges[f].size() + 1;
  return (codes.categories.empty() ? codes.states.size() : codes.categories.size()) + 1;
}

// Calls add(is_validation, slot, sample) for every node sample, with its slot in fold f's layer:
// a continuous value's code against the edges of the fold's training values, a category's
// node slot (kMissingCode for a missing value, visited only `WithMissing`).
template <bool WithMissing, class Target, class Add>
void visit_fold(const StrictNode<Target>& node, const Column& column, const FeatureCodes& codes,
                size_t f, Add&& add) {
  const Fold& fold = node.folds[f];
  const auto visit_list = [&](const std::vector<size_t>& samples, bool validation) {
    for (size_t s : samples) {
      uint32_t slot = kMissingCode;
      if (column.is_categorical()) {
        slot = codes.categories.empty() ? category_slot(codes.states, column.codes()[s])
                                        : cut_slot(codes, codes.fold_rank[f], column.codes()[s]);
      } else if (std::isfinite(column.values()[s])) {
        if (!codes.general) continue;  // visited in sorted order below
        slot = static_cast<uint32_t>(codes.fold_edges[f].code(column.values()[s]));
      }
      if (WithMissing || slot != kMissingCode) add(validation, slot, s);
    }
  };
  visit_list(fold.train, false);
  visit_list(fold.validation, true);
  if (column.is_categorical() || codes.general) return;
  // Codes only ascend along the sorted values.
  const EdgeRuns& edges = codes.fold_edges[f];
  size_t k = 0;
  for (const SortedValue& e : codes.sorted) {
    k = edges.runs_through_from(k, key_value(e.key));
    add(e.fold == f, static_cast<uint32_t>(edges.code_after(k)),
        node.folds[e.fold].validation[e.place]);
  }
}

// Which slots of fold f's layer its training part may pick: every code below the top one in
// threshold mode (the top one sends every finite value left), every code or state otherwise.
void offer_fold(const Column& column, const FeatureCodes& codes, bool threshold, size_t f,
                SlotTable& table) {
  const size_t slots = table.fold_slots(f);
  for (size_t s = 0; s < slots; ++s) {
    const size_t at = table.fold_begin[f] + s;
    if (column.is_categorical() && !codes.categories.empty()) {
      // A cut of the fold's order that leaves one of its categories on the right, numbered
      // as the node's cuts from the same end.
      table.fold_offered[at] = s + 1 < codes.fold_ranked[f];
      table.fold_state[at] = codes.states[0] + static_cast<uint32_t>(s);
    } else if (column.is_categorical()) {
      table.fold_offered[at] = s < codes.states.size();
      table.fold_state[at] = s < codes.states.size() ? codes.states[s] : kMissingCode;
    } else {
      table.fold_offered[at] = !(threshold && s + 1 == slots);
      table.fold_state[at] = static_cast<uint32_t>(s);
    }
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

// Unweighted class counts are whole numbers, which every order of summing and every difference
// give exactly. A categorical feature's fold layers then come from its per-category counts at
// the node and in each validation part: a training part's are the node's less its validation
// part's, two passes over the node's samples in all instead of one per fold.
void tally_categories_by_difference(const StrictNode<size_t>& node, const Column& column,
                                    const FeatureCodes& codes, size_t n_classes, SlotTable& table) {
  const std::vector<uint32_t>& list = codes.categories.empty() ? codes.states : codes.categories;
  const size_t width = table.width, n_base = list.size() + 1;  // the last: no category listed
  const auto tally = [&](std::span<const size_t> samples, std::vector<double>& counts) {
    counts.assign(n_base * width, 0.0);
    for (size_t s : samples) {
      const uint32_t b = category_slot(list, column.codes()[s]);
      if (b != kMissingCode)
        tally_held_out<false>(&counts[b * width], node.targets[s], 1.0, n_classes);
    }
  };
  // A category's slot in fold f's layer, or the node's (kNoFold): under category cuts its
  // rank in that layer's order, else its own.
  const auto slot_of = [&](size_t f, uint32_t b) {
    if (codes.categories.empty()) return b;
    const std::vector<uint32_t>& rank = f == kNoFold ? codes.node_rank : codes.fold_rank[f];
    const auto none = static_cast<uint32_t>(codes.states.size());
    return b < rank.size() ? std::min(rank[b], none) : none;
  };
  std::vector<double> node_counts, val_counts;
  tally(node.samples, node_counts);
  for (uint32_t b = 0; b < n_base; ++b) {
    double* row = table.node_row(slot_of(kNoFold, b));
    for (size_t w = 0; w < width; ++w)
      row[w] += node_counts[b * width + w];
  }
  for (size_t f = 0; f < node.folds.size(); ++f) {
    tally(node.folds[f].validation, val_counts);
    for (uint32_t b = 0; b < n_base; ++b) {
      const uint32_t slot = slot_of(f, b);
      double* val = table.val_row(f, slot);
      double* train = table.train_row(f, slot);
      for (size_t w = 0; w < width; ++w) {
        val[w] += val_counts[b * width + w];
        train[w] += node_counts[b * width + w] - val_counts[b * width + w];
      }
    }
  }
}

template <bool Weighted, class Target>
void offer_by_sums(const HeldOutTask& task, const StrictNode<Target>& node, const Column& column,
                   const FeatureCodes& codes, bool threshold, size_t feature,
                   HeldOutEvidence& evidence) {
  const size_t n_folds = node.folds.size();
  const size_t k = task.n_classes;
  const auto add = [&](double* row, size_t s) {
    tally_held_out<Weighted>(row, node.targets[s], Weighted ? node.weights[s] : 1.0, k);
  };
  // The node's totals are its folds' in any case; only the folds' layers are left out.
  std::vector<size_t> fold_slots(n_folds, 0);
  if (!task.choice_only) {
    for (size_t f = 0; f < n_folds; ++f)
      fold_slots[f] = fold_layer_size(column, codes, f);
  }
  SlotTable table;
  table.reset(task.width(), threshold, codes.states.size() + 1, fold_slots);
  constexpr bool kCounts = !Weighted && std::is_same_v<Target, size_t>;
  const bool by_difference = kCounts && column.is_categorical() && !task.choice_only;
  for (size_t f = 0; f < n_folds; ++f) {
    double* total = &table.val_total[f * table.width];
    for (size_t s : node.folds[f].validation)
      add(total, s);
    for (size_t w = 0; w < table.width; ++w)
      table.node_total[w] += total[w];
    if (task.choice_only) continue;
    if (!by_difference) {
      visit_fold<false>(node, column, codes, f, [&](bool validation, uint32_t slot, size_t s) {
        add(validation ? table.val_row(f, slot) : table.train_row(f, slot), s);
      });
    }
    offer_fold(column, codes, threshold, f, table);
  }
  uint64_t n_edges = 0;  // a categorical feature has none
  if (!by_difference) {
    n_edges = visit_node<false>(node, column, codes, threshold,
                                [&](uint32_t slot, size_t s) { add(table.node_row(slot), s); });
  } else if constexpr (kCounts) {
    tally_categories_by_difference(node, column, codes, k, table);
  }
  table.finish_totals();
  const std::vector<uint8_t> offered = offered_states(codes, column, threshold, n_edges);
  for (size_t i = 0; i < codes.states.size(); ++i) {
    table.node_state[i] = codes.states[i];
    table.node_offered[i] = offered[i];
  }
  offer_held_out(table, task, node.admission, feature, evidence);
}

// Absolute error needs the sides' medians, which no per-slot sum gives: the node's and every
// fold's samples are listed with their slots, and each candidate's sides are summarised anew.
// Weighted, every median is a weighted median and every deviation counts with its weight.
template <bool Weighted>
class AbsoluteSides {
 public:
  // Without `folds`, the lists of the node's own choice alone.
  AbsoluteSides(const StrictNode<double>& node, const Column& column, const FeatureCodes& codes,
                bool threshold, bool folds)
      : threshold_(threshold),
        train_(folds ? node.folds.size() : 0),
        val_(folds ? node.folds.size() : 0) {
    const auto entry = [&node](uint32_t slot, size_t s) {
      return Entry{slot, node.targets[s], Weighted ? node.weights[s] : 1.0};
    };
    n_edges_ = visit_node<true>(node, column, codes, threshold,
                                [&](uint32_t slot, size_t s) { node_.push_back(entry(slot, s)); });
    std::vector<size_t> fold_slots(train_.size());
    for (size_t f = 0; f < train_.size(); ++f) {
      fold_slots[f] = fold_layer_size(column, codes, f);
      visit_fold<true>(node, column, codes, f, [&](bool validation, uint32_t slot, size_t s) {
        (validation ? val_[f] : train_[f]).push_back(entry(slot, s));
      });
    }
    // Only which fold slots are offered is read from the table.
    layers_.reset(1, threshold, 0, fold_slots);
    for (size_t f = 0; f < train_.size(); ++f)
      offer_fold(column, codes, threshold, f, layers_);
  }

  uint64_t n_edges() const { return n_edges_; }

  void offer(const std::vector<uint32_t>& states, const std::vector<uint8_t>& offered,
             const NodeAdmission& admission, size_t feature, HeldOutEvidence& evidence) {
    const auto admits = [&](const Split& s) {
      return admission.admits(feature, threshold_, s.left.side(), s.right.side());
    };
    const size_t n_folds = train_.size();
    for (size_t f = 0; f < n_folds; ++f) {
      if constexpr (Weighted) {
        double weight = 0.0;
        for (const Entry& e : val_[f])
          weight += e.w;
        evidence.validation_size[f] = weight;
      } else {
        evidence.validation_size[f] = static_cast<double>(val_[f].size());
      }
    }
    for (size_t i = 0; i < states.size(); ++i) {
      if (!offered[i]) continue;
      const Split node = split(node_, static_cast<uint32_t>(i));
      if (!admits(node)) continue;
      const double gain = node.gain();
      if (!std::isfinite(gain) || !evidence.ranks_above(gain, 0.0)) continue;
      evidence.found = true;
      evidence.feature = feature;
      evidence.state = states[i];
      evidence.key = gain;
      evidence.tie_break = 0.0;
      evidence.loss_gain = gain;
    }
    for (size_t f = 0; f < n_folds; ++f) {
      FoldPick& pick = evidence.folds[f];
      for (size_t s = 0; s < layers_.fold_slots(f); ++s) {
        const size_t at = layers_.fold_begin[f] + s;
        if (!layers_.fold_offered[at]) continue;
        const auto slot = static_cast<uint32_t>(s);
        const Split train = split(train_[f], slot);
        if (!admits(train)) continue;
        const double gain = train.gain();
        if (!std::isfinite(gain) || (pick.found && !(gain > pick.pick_gain))) continue;
        double held_out = 0.0;
        for (const Entry& e : val_[f]) {
          const double side = goes_left(e.slot, slot) ? train.left.median : train.right.median;
          const double change = std::fabs(e.y - train.whole.median) - std::fabs(e.y - side);
          held_out += Weighted ? e.w * change : change;
        }
        pick = FoldPick{true, feature, layers_.fold_state[at], gain, held_out, gain};
      }
    }
  }

 private:
  struct Entry {
    uint32_t slot;
    double y;
    double w;
  };
  // A list's median (the mean of the two middle values for an even count; weighted, the
  // weighted median) and its total absolute deviation from it.
  struct Summary {
    double median = 0.0;
    double deviation = 0.0;
    size_t count = 0;
    double weight = 0.0;     // the count's double when unweighted
    double value_sum = 0.0;  // of the values (weighted), in list order

    zelk::Side side() const { return zelk::Side{static_cast<double>(count), weight, value_sum}; }
  };
  struct Split {
    Summary whole, left, right;
    double gain() const { return whole.deviation - left.deviation - right.deviation; }
  };
  struct Side {
    std::vector<double> values;
    std::vector<double> weights;  // weighted only
    void clear() {
      values.clear();
      weights.clear();
    }
    void add(const Entry& e) {
      values.push_back(e.y);
      if (Weighted) weights.push_back(e.w);
    }
  };

  bool goes_left(uint32_t entry_slot, uint32_t slot) const {
    return entry_slot != kMissingCode && (threshold_ ? entry_slot <= slot : entry_slot == slot);
  }

  Summary summarise(Side& side) {
    std::vector<double>& values = side.values;
    Summary s;
    s.count = values.size();
    s.weight = static_cast<double>(s.count);
    if (values.empty()) return s;
    for (size_t i = 0; i < values.size(); ++i)
      s.value_sum += Weighted ? side.weights[i] * values[i] : values[i];
    if constexpr (Weighted) {
      // In ascending order, as the unweighted sum: weights of 1 give its bits.
      s.median = weighted_median(values, side.weights, pairs_);
      s.weight = 0.0;
      for (const auto& [y, w] : pairs_) {
        s.deviation += w * std::fabs(y - s.median);
        s.weight += w;
      }
      return s;
    }
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
      whole_.add(e);
      (goes_left(e.slot, slot) ? left_ : right_).add(e);
    }
    return Split{summarise(whole_), summarise(left_), summarise(right_)};
  }

  bool threshold_;
  uint64_t n_edges_ = 0;
  std::vector<Entry> node_;
  std::vector<std::vector<Entry>> train_;
  std::vector<std::vector<Entry>> val_;
  SlotTable layers_;           // which fold slots are candidates
  Side whole_, left_, right_;  // reused for every list
  std::vector<std::pair<double, double>> pairs_;
};

}  // namespace

template <class Target>
void score_held_out(const HeldOutTask& task, const StrictNode<Target>& node, size_t feature,
                    HeldOutEvidence& evidence) {
  const Column& column = node.columns[feature];
  const bool threshold = threshold_mode(node.params, column);
  FeatureCodes codes;
  if (!detail::code_feature(node, feature, threshold, codes, !task.choice_only)) return;
  const auto offer_codes = [&] {
    if constexpr (std::is_same_v<Target, double>) {
      if (task.criterion == CriterionKind::AbsoluteError) {
        const auto offer = [&](auto&& sides) {
          sides.offer(codes.states, offered_states(codes, column, threshold, sides.n_edges()),
                      node.admission, feature, evidence);
        };
        if (task.weighted) {
          offer(AbsoluteSides<true>(node, column, codes, threshold, !task.choice_only));
        } else {
          offer(AbsoluteSides<false>(node, column, codes, threshold, !task.choice_only));
        }
        return;
      }
    }
    if (task.weighted) {
      offer_by_sums<true>(task, node, column, codes, threshold, feature, evidence);
    } else {
      offer_by_sums<false>(task, node, column, codes, threshold, feature, evidence);
    }
  };
  offer_codes();
  if (codes.categories.empty() || !codes.missing) return;
  // Category cuts from the high end of the order too.
  detail::turn_cuts(node, column, codes);
  offer_codes();
}

template void score_held_out(const HeldOutTask&, const StrictNode<double>&, size_t,
                             HeldOutEvidence&);
template void score_held_out(const HeldOutTask&, const StrictNode<size_t>&, size_t,
                             HeldOutEvidence&);

}  // namespace zelk
