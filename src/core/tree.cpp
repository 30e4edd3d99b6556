#include "core/tree.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <string>
#include <type_traits>

#include "core/candidate.hpp"
#include "core/encoder.hpp"
#include "core/parallel.hpp"

namespace zelk {

bool SplitRule::route_left_train(std::span<const Column> columns, size_t sample) const {
  if (const auto* cat = std::get_if<Category>(&test)) {
    const Column& column = columns[cat->feature];
    if (!column.is_categorical()) return false;
    const uint32_t code = column.codes()[sample];
    return code != kMissingCode && code == cat->category;
  }
  const auto& interval = std::get<Interval>(test);
  const Column& column = columns[interval.feature];
  return !column.is_categorical() && interval.contains(column.values()[sample]);
}

ClassPrediction class_leaf(size_t n_classes, std::span<const size_t> labels) {
  std::vector<uint64_t> counts(n_classes, 0);
  for (size_t label : labels) {
    if (label < n_classes) ++counts[label];
  }
  uint64_t total = 0;
  for (uint64_t c : counts)
    total += c;
  ClassPrediction out;
  out.proba.assign(n_classes, 0.0);
  if (total > 0) {
    for (size_t k = 0; k < n_classes; ++k) {
      out.proba[k] = static_cast<double>(counts[k]) / static_cast<double>(total);
    }
  }
  for (size_t k = 1; k < n_classes; ++k) {
    if (counts[k] > counts[out.predicted_class]) out.predicted_class = k;
  }
  return out;
}

double regression_leaf(std::span<const double> targets) {
  if (targets.empty()) return 0.0;
  double sum = 0.0;
  for (double t : targets)
    sum += t;
  return sum / static_cast<double>(targets.size());
}

namespace {

// Integers that compare as total_order_less compares the doubles; the map is its own inverse.
int64_t order_key(double v) {
  int64_t i;
  std::memcpy(&i, &v, sizeof i);
  return i ^ static_cast<int64_t>(static_cast<uint64_t>(i >> 63) >> 1);
}

double key_value(int64_t key) {
  const int64_t i = key ^ static_cast<int64_t>(static_cast<uint64_t>(key >> 63) >> 1);
  double v;
  std::memcpy(&v, &i, sizeof v);
  return v;
}

// A finite node value, with the fold whose validation list holds its sample and its place
// there. Values with equal keys are bit-identical, so any sort gives the same value sequence.
struct SortedValue {
  int64_t key;
  uint32_t fold;
  uint32_t place;
};

constexpr uint32_t kNoFold = 0xFFFFFFFFu;
// Sorted values are counted per fold in blocks of this many, so that finding an edge of a fold
// can skip whole blocks.
constexpr size_t kBlock = 64;

// The edges quantile_edges gives for the values of `sorted` outside fold `skip` (kNoFold:
// all of them), of which there are `m`. Filtering a sorted sequence keeps it sorted, so the
// edges are those of sorting the subset again. For a fold, `in_block[b * n_folds + skip]`
// counts its values in block b.
void edges_of_sorted(std::span<const SortedValue> sorted, uint32_t skip, size_t m, size_t n_bins,
                     EdgeRuns& edges, std::span<const uint32_t> in_block = {}, size_t n_folds = 0) {
  edges.clear();
  if (skip == kNoFold) {
    for_each_edge_rank(m, n_bins, [&](uint64_t rank, uint64_t count) {
      edges.append(key_value(sorted[rank].key), count);
    });
    return;
  }
  // A cursor over the values outside the fold: position p holds the one of rank `rank`
  // once it stops; whole blocks without the wanted rank are skipped.
  size_t p = 0;
  uint64_t rank = 0;
  for_each_edge_rank(m, n_bins, [&](uint64_t wanted, uint64_t count) {
    for (;;) {
      if (p % kBlock == 0) {
        const size_t end = std::min(p + kBlock, sorted.size());
        const uint64_t kept = (end - p) - in_block[p / kBlock * n_folds + skip];
        if (rank + kept <= wanted) {
          rank += kept;
          p = end;
          continue;
        }
      }
      if (sorted[p].fold != skip) {
        if (rank == wanted) break;
        ++rank;
      }
      ++p;
    }
    edges.append(key_value(sorted[p].key), count);
  });
}

// Below this many values a comparison sort beats the radix passes.
constexpr size_t kRadixMin = 256;

// Sorts by key. The order among equal keys is irrelevant: their values are bit-identical.
void sort_by_key(std::vector<SortedValue>& values, std::vector<SortedValue>& buffer) {
  const size_t n = values.size();
  // The digit counts are 32-bit.
  if (n < kRadixMin || n > std::numeric_limits<uint32_t>::max()) {
    std::sort(values.begin(), values.end(),
              [](const SortedValue& a, const SortedValue& b) { return a.key < b.key; });
    return;
  }
  // Least significant digit first, a byte a pass; the key's sign bit is flipped so that
  // unsigned digit order is signed key order.
  constexpr int kBits = 8;
  constexpr size_t kDigits = 8;
  constexpr size_t kRadix = size_t{1} << kBits;
  const auto digit = [](const SortedValue& v, size_t d) {
    const uint64_t u = static_cast<uint64_t>(v.key) ^ (uint64_t{1} << 63);
    return static_cast<size_t>((u >> (kBits * d)) & (kRadix - 1));
  };
  std::vector<uint32_t> counts(kDigits * kRadix, 0);
  for (const SortedValue& v : values) {
    for (size_t d = 0; d < kDigits; ++d)
      ++counts[d * kRadix + digit(v, d)];
  }
  buffer.resize(n);
  for (size_t d = 0; d < kDigits; ++d) {
    uint32_t* count = &counts[d * kRadix];
    // A digit shared by every value leaves the order as it is.
    if (count[digit(values[0], d)] == n) continue;
    uint32_t offset = 0;
    for (size_t r = 0; r < kRadix; ++r) {
      const uint32_t c = count[r];
      count[r] = offset;
      offset += c;
    }
    for (const SortedValue& v : values)
      buffer[count[digit(v, d)]++] = v;
    values.swap(buffer);
  }
}

// Finite values of `samples` in `column`, ascending in total order.
void sort_node_values(const Column& column, std::span<const size_t> samples,
                      std::vector<SortedValue>& out) {
  out.clear();
  const std::vector<double>& values = column.values();
  for (size_t s : samples) {
    if (std::isfinite(values[s])) out.push_back({order_key(values[s]), 0, 0});
  }
  std::vector<SortedValue> buffer;
  sort_by_key(out, buffer);
}

}  // namespace

std::optional<SplitRule> make_rule(const Column& column, size_t feature, uint32_t state,
                                   std::span<const size_t> samples, size_t n_bins, bool threshold) {
  if (column.is_categorical()) {
    if (state == kMissingCode) return std::nullopt;
    return SplitRule{Category{feature, state}};
  }
  std::vector<SortedValue> sorted;
  sort_node_values(column, samples, sorted);
  EdgeRuns edges;
  edges_of_sorted(sorted, kNoFold, sorted.size(), n_bins, edges);
  const uint64_t n_edges = edges.size();
  if (state > n_edges) return std::nullopt;
  std::optional<double> lower;
  std::optional<double> upper;
  if (state > 0) lower = edges[state - 1];
  if (state < n_edges) upper = edges[state];
  if (!threshold) return SplitRule{Interval{feature, lower, upper}};
  // The highest bin has no upper edge: "everything finite" is not a threshold.
  if (!upper) return std::nullopt;
  return SplitRule{Interval{feature, std::nullopt, upper}};
}

namespace {

bool threshold_mode(const Params& params, const Column& column) {
  return params.split_style == SplitStyle::Threshold && !column.is_categorical();
}

// One ScoredCandidate per state from the states' fold score lists.
std::vector<ScoredCandidate> finish_candidates(const std::vector<uint32_t>& states,
                                               std::vector<std::vector<double>>& scores,
                                               size_t n_folds, size_t feature,
                                               const Aggregator& aggregator) {
  std::vector<ScoredCandidate> out;
  out.reserve(states.size());
  for (size_t i = 0; i < states.size(); ++i) {
    ScoredCandidate c;
    c.stats = FoldStats::from_scores(std::move(scores[i]), n_folds);
    c.feature = feature;
    c.state = states[i];
    c.score = aggregator.aggregate(c.stats);
    out.push_back(std::move(c));
  }
  return out;
}

std::vector<std::vector<double>> empty_score_lists(size_t n_states, size_t n_folds) {
  std::vector<std::vector<double>> scores(n_states);
  for (auto& list : scores)
    list.reserve(n_folds);
  return scores;
}

// A feature's states at a node and, per fold, the side code of every validation and
// training sample. Codes are slots: a state's index, states.size() for a code that matches
// no state (no state lies at or above it in threshold mode), kMissingCode for a missing
// value. A slot goes left of state i exactly when goes_left(slot, i, threshold) holds, as
// the bin or category code it stands for does against states[i].
struct FeatureCodes {
  std::vector<uint32_t> states;
  std::vector<std::vector<uint32_t>> val;  // per fold, in validation order
  std::vector<SortedValue> sorted;
  std::vector<SortedValue> buffer;  // for sorting `sorted`
  EdgeRuns edges;
  std::vector<EdgeRuns> fold_edges;
  // Per fold, continuous only: the slot of the values that pass k of the fold's edge runs.
  std::vector<std::vector<uint32_t>> slot_of_runs;
  std::vector<uint32_t> in_block;  // per block of `sorted`, per fold
  bool general = false;            // no fold index: nothing derived from `sorted`
};

uint32_t category_slot(const std::vector<uint32_t>& states, uint32_t code) {
  if (code == kMissingCode) return kMissingCode;
  const auto it = std::lower_bound(states.begin(), states.end(), code);
  return it != states.end() && *it == code ? static_cast<uint32_t>(it - states.begin())
                                           : static_cast<uint32_t>(states.size());
}

// Slot of a bin code against the ascending states (see FeatureCodes).
uint32_t bin_slot(const std::vector<uint32_t>& states, uint32_t code, bool threshold) {
  if (code == kMissingCode) return kMissingCode;
  const auto it = std::lower_bound(states.begin(), states.end(), code);
  return threshold || (it != states.end() && *it == code)
             ? static_cast<uint32_t>(it - states.begin())
             : static_cast<uint32_t>(states.size());
}

// Slot of a finite value coded against `edges`.
uint32_t run_slot(const std::vector<uint32_t>& states, const EdgeRuns& edges, double v,
                  bool threshold) {
  return bin_slot(states, static_cast<uint32_t>(edges.code(v)), threshold);
}

// Fills `codes`; false when the feature has no state at the node.
template <class Target>
bool code_feature(const StrictNode<Target>& node, size_t feature, bool threshold,
                  FeatureCodes& codes) {
  const Column& column = node.columns[feature];
  const size_t n_bins = node.params.n_bins;
  const size_t n_folds = node.folds.size();
  codes.val.resize(n_folds);
  codes.general = false;
  if (!column.is_categorical() && node.index == nullptr) {
    // Folds of unknown origin: sort every fold's training values on their own.
    codes.general = true;
    codes.states = present_states(column, node.samples, n_bins);
    if (codes.states.empty()) return false;
    codes.fold_edges.resize(n_folds);
    std::vector<double> train_values;
    for (size_t f = 0; f < n_folds; ++f) {
      const Fold& fold = node.folds[f];
      train_values.clear();
      for (size_t s : fold.train)
        train_values.push_back(column.values()[s]);
      codes.fold_edges[f] = quantile_edge_runs(train_values, n_bins);
      codes.val[f].resize(fold.validation.size());
      for (size_t j = 0; j < fold.validation.size(); ++j) {
        const double v = column.values()[fold.validation[j]];
        codes.val[f][j] = std::isfinite(v)
                              ? run_slot(codes.states, codes.fold_edges[f], v, threshold)
                              : kMissingCode;
      }
    }
    return true;
  }
  if (column.is_categorical()) {
    codes.states = present_states(column, node.samples, n_bins);
    if (codes.states.empty()) return false;
    for (size_t f = 0; f < n_folds; ++f) {
      const std::vector<size_t>& validation = node.folds[f].validation;
      codes.val[f].resize(validation.size());
      for (size_t j = 0; j < validation.size(); ++j)
        codes.val[f][j] = category_slot(codes.states, column.codes()[validation[j]]);
    }
    return true;
  }

  // One sort per feature and node: every fold's training values are the sorted node values
  // less that fold's own.
  std::vector<SortedValue>& sorted = codes.sorted;
  sorted.clear();
  std::vector<size_t> finite_in_fold(n_folds, 0);
  const std::vector<double>& values = column.values();
  const FoldIndex& index = *node.index;
  // In the node's order, which follows the column more closely than the dealt order.
  for (size_t p = 0; p < node.samples.size(); ++p) {
    const double v = values[node.samples[p]];
    if (!std::isfinite(v)) continue;
    const uint32_t f = index.fold[p];
    sorted.push_back({order_key(v), f, index.place[p]});
    ++finite_in_fold[f];
  }
  sort_by_key(sorted, codes.buffer);
  const size_t m = sorted.size();

  // States: the node's bin codes present among its finite values.
  codes.states.clear();
  edges_of_sorted(sorted, kNoFold, m, n_bins, codes.edges);
  {
    const EdgeRuns& edges = codes.edges;
    size_t k = 0;
    bool have = false;
    for (const SortedValue& e : sorted) {
      const double v = key_value(e.key);
      k = edges.runs_through_from(k, v);
      const auto code = static_cast<uint32_t>(edges.code_after(k));
      if (!have || codes.states.back() != code) {
        codes.states.push_back(code);
        have = true;
      }
    }
  }
  if (codes.states.empty()) return false;
  const std::vector<uint32_t>& states = codes.states;

  std::vector<uint32_t>& in_block = codes.in_block;
  in_block.assign((m + kBlock - 1) / kBlock * n_folds, 0);
  for (size_t p = 0; p < m; ++p)
    ++in_block[p / kBlock * n_folds + sorted[p].fold];
  codes.fold_edges.resize(n_folds);
  codes.slot_of_runs.resize(n_folds);
  for (size_t f = 0; f < n_folds; ++f) {
    EdgeRuns& edges = codes.fold_edges[f];
    edges_of_sorted(sorted, static_cast<uint32_t>(f), m - finite_in_fold[f], n_bins, edges,
                    in_block, n_folds);
    std::vector<uint32_t>& table = codes.slot_of_runs[f];
    table.resize(edges.n_runs() + 1);
    for (size_t k = 0; k <= edges.n_runs(); ++k)
      table[k] = bin_slot(states, static_cast<uint32_t>(edges.code_after(k)), threshold);
    codes.val[f].assign(node.folds[f].validation.size(), kMissingCode);
  }
  // Sorted values have ascending codes against any edges, so one pass codes every fold.
  std::vector<size_t> cursor(n_folds, 0);
  for (const SortedValue& e : sorted) {
    const EdgeRuns& edges = codes.fold_edges[e.fold];
    const double v = key_value(e.key);
    const size_t k = cursor[e.fold] = edges.runs_through_from(cursor[e.fold], v);
    codes.val[e.fold][e.place] = codes.slot_of_runs[e.fold][k];
  }
  return true;
}

// Impurity of one side from its per-class counts (classes first, then labels at or above
// n_classes) and its size, as Gini or Entropy computes it from the side's label list.
double class_impurity(bool entropy, std::span<const uint64_t> class_counts, uint64_t total) {
  return entropy ? entropy_from_counts<uint64_t>(class_counts, total)
                 : gini_from_counts<uint64_t>(class_counts, total);
}

// Both sides' sums and sums of squares for every state, from one pass over the validation
// samples. Each state's four sums still take the samples in validation order, adding +0.0
// where a sample is on the other side; a sum that starts at +0.0 is never -0.0, so that
// addition changes nothing. States are independent lanes, two to a vector.
class SideSums {
 public:
  explicit SideSums(size_t n_states)
      : n_blocks_((n_states + 1) / 2),
        index_(n_blocks_),
        sum_left_(n_blocks_),
        sq_left_(n_blocks_),
        sum_right_(n_blocks_),
        sq_right_(n_blocks_) {
    for (size_t b = 0; b < n_blocks_; ++b)
      index_[b] = Lanes{static_cast<double>(2 * b), static_cast<double>(2 * b + 1)};
  }

  void accumulate(std::span<const double> y, std::span<const uint32_t> slots, bool threshold) {
    if (threshold) {
      pass<true>(y, slots);
    } else {
      pass<false>(y, slots);
    }
  }

  double sum_left(size_t i) const { return sum_left_[i / 2][i % 2]; }
  double sq_left(size_t i) const { return sq_left_[i / 2][i % 2]; }
  double sum_right(size_t i) const { return sum_right_[i / 2][i % 2]; }
  double sq_right(size_t i) const { return sq_right_[i / 2][i % 2]; }

 private:
  using Lanes = double __attribute__((vector_size(16)));
  using Mask = int64_t __attribute__((vector_size(16)));

  template <bool Threshold>
  static Mask left_of(Lanes slot, Lanes index) {
    return Threshold ? (slot <= index) : (slot == index);
  }

  // Two blocks (four states) at a time, so that their sums stay in registers.
  template <bool Threshold>
  void pass(std::span<const double> y, std::span<const uint32_t> slots) {
    for (size_t b = 0; b < n_blocks_; b += 2) {
      const bool pair = b + 1 < n_blocks_;
      const Lanes index0 = index_[b];
      const Lanes index1 = pair ? index_[b + 1] : index_[b];
      Lanes sl0{0.0, 0.0}, ql0{0.0, 0.0}, sr0{0.0, 0.0}, qr0{0.0, 0.0};
      Lanes sl1{0.0, 0.0}, ql1{0.0, 0.0}, sr1{0.0, 0.0}, qr1{0.0, 0.0};
      for (size_t j = 0; j < y.size(); ++j) {
        const double t = y[j];
        const Mask value = (Mask)(Lanes{t, t});
        const Mask square = (Mask)(Lanes{t * t, t * t});
        // The missing slot is above every state number, so it is never left.
        const auto code = static_cast<double>(slots[j]);
        const Lanes slot{code, code};
        // All ones on the left: masking yields the value or +0.0, bit-exactly.
        const Mask left0 = left_of<Threshold>(slot, index0);
        const Mask left1 = left_of<Threshold>(slot, index1);
        sl0 += (Lanes)(value & left0);
        ql0 += (Lanes)(square & left0);
        sr0 += (Lanes)(value & ~left0);
        qr0 += (Lanes)(square & ~left0);
        sl1 += (Lanes)(value & left1);
        ql1 += (Lanes)(square & left1);
        sr1 += (Lanes)(value & ~left1);
        qr1 += (Lanes)(square & ~left1);
      }
      sum_left_[b] = sl0;
      sq_left_[b] = ql0;
      sum_right_[b] = sr0;
      sq_right_[b] = qr0;
      if (pair) {
        sum_left_[b + 1] = sl1;
        sq_left_[b + 1] = ql1;
        sum_right_[b + 1] = sr1;
        sq_right_[b + 1] = qr1;
      }
    }
  }

  size_t n_blocks_;
  std::vector<Lanes> index_;
  std::vector<Lanes> sum_left_, sq_left_, sum_right_, sq_right_;
};

// Fold score = validation impurity decrease of the candidate's split.
template <class Target>
std::vector<ScoredCandidate> score_impurity(const Criterion<Target>& criterion,
                                            const StrictNode<Target>& node, size_t feature) {
  const Column& column = node.columns[feature];
  const bool threshold = threshold_mode(node.params, column);
  FeatureCodes codes;
  if (!code_feature(node, feature, threshold, codes)) return {};
  const std::vector<uint32_t>& states = codes.states;
  const size_t n_states = states.size();
  auto scores = empty_score_lists(n_states, node.folds.size());

  // Side statistics without side lists where the arithmetic allows: Mse and Variance need
  // each side's sums in validation order, Gini and Entropy only integer class counts.
  enum class Kind { Sums, Counts, Lists } kind = Kind::Lists;
  bool entropy = false;
  size_t n_classes = 0;
  if constexpr (std::is_same_v<Target, double>) {
    if (dynamic_cast<const Mse*>(&criterion) || dynamic_cast<const Variance*>(&criterion)) {
      kind = Kind::Sums;
    }
  } else {
    if (const auto* gini = dynamic_cast<const Gini*>(&criterion)) {
      kind = Kind::Counts;
      n_classes = gini->n_classes();
    } else if (const auto* ent = dynamic_cast<const Entropy*>(&criterion)) {
      kind = Kind::Counts;
      entropy = true;
      n_classes = ent->n_classes();
    }
  }

  std::vector<Target> y, left, right;
  std::vector<double> scratch;
  const Mae* mae = nullptr;
  if constexpr (std::is_same_v<Target, double>) mae = dynamic_cast<const Mae*>(&criterion);
  const auto list_impurity = [&](const std::vector<Target>& side) {
    if constexpr (std::is_same_v<Target, double>) {
      if (mae != nullptr) return mae->impurity(side, scratch);
    }
    return criterion.impurity(side);
  };
  std::vector<uint64_t> side_count(n_states + 1);
  SideSums sums(n_states);
  // Counts: one row of n_classes + 1 per slot (the last column for labels at or above
  // n_classes), then the fold's totals.
  const size_t row = n_classes + 1;
  std::vector<uint64_t> slot_classes, totals(row), left_classes(row), right_classes(row);
  if (kind == Kind::Counts) slot_classes.resize((n_states + 1) * row);

  for (size_t f = 0; f < node.folds.size(); ++f) {
    const Fold& fold = node.folds[f];
    if (fold.validation.empty()) continue;
    const std::vector<uint32_t>& val = codes.val[f];
    y.clear();
    for (size_t s : fold.validation)
      y.push_back(node.targets[s]);
    const size_t n_val = y.size();
    const double m = static_cast<double>(n_val);
    const double parent = criterion.impurity(y);

    if (kind == Kind::Counts) {
      if constexpr (std::is_same_v<Target, size_t>) {
        std::fill(slot_classes.begin(), slot_classes.end(), 0);
        std::fill(totals.begin(), totals.end(), 0);
        for (size_t j = 0; j < n_val; ++j) {
          const size_t label = std::min(y[j], n_classes);
          ++totals[label];
          if (val[j] != kMissingCode) ++slot_classes[val[j] * row + label];
        }
        std::fill(left_classes.begin(), left_classes.end(), 0);
        for (size_t i = 0; i < n_states; ++i) {
          const uint64_t* here = &slot_classes[i * row];
          if (threshold) {
            for (size_t k = 0; k < row; ++k)
              left_classes[k] += here[k];
          } else {
            std::copy(here, here + row, left_classes.begin());
          }
          uint64_t n_left = 0;
          for (size_t k = 0; k < row; ++k)
            n_left += left_classes[k];
          if (n_left == 0 || n_left == n_val) continue;
          for (size_t k = 0; k < row; ++k)
            right_classes[k] = totals[k] - left_classes[k];
          const uint64_t n_right = n_val - n_left;
          const std::span<const uint64_t> lc(left_classes.data(), n_classes);
          const std::span<const uint64_t> rc(right_classes.data(), n_classes);
          const double children =
              static_cast<double>(n_left) * class_impurity(entropy, lc, n_left) +
              static_cast<double>(n_right) * class_impurity(entropy, rc, n_right);
          scores[i].push_back(parent - children / m);
        }
      }
      continue;
    }

    std::fill(side_count.begin(), side_count.end(), 0);
    for (uint32_t slot : val) {
      if (slot != kMissingCode) ++side_count[slot];
    }
    if constexpr (std::is_same_v<Target, double>) {
      if (kind == Kind::Sums) sums.accumulate(y, val, threshold);
    }
    uint64_t running = 0;
    for (size_t i = 0; i < n_states; ++i) {
      running = threshold ? running + side_count[i] : side_count[i];
      const uint64_t n_left = running;
      if (n_left == 0 || n_left == n_val) continue;
      const auto state = static_cast<uint32_t>(i);
      double children = 0.0;
      if (kind == Kind::Sums) {
        if constexpr (std::is_same_v<Target, double>) {
          const uint64_t n_right = n_val - n_left;
          children = static_cast<double>(n_left) *
                         variance_from_sums(sums.sum_left(i), sums.sq_left(i), n_left) +
                     static_cast<double>(n_right) *
                         variance_from_sums(sums.sum_right(i), sums.sq_right(i), n_right);
        }
      } else {
        left.clear();
        right.clear();
        for (size_t j = 0; j < n_val; ++j) {
          (goes_left(val[j], state, threshold) ? left : right).push_back(y[j]);
        }
        children = static_cast<double>(left.size()) * list_impurity(left) +
                   static_cast<double>(right.size()) * list_impurity(right);
      }
      scores[i].push_back(parent - children / m);
    }
  }
  return finish_candidates(states, scores, node.folds.size(), feature, node.aggregator);
}

// The first class with the largest count; class 0 when every count is 0.
size_t majority_class(std::span<const uint64_t> counts) {
  size_t best = 0;
  for (size_t k = 1; k < counts.size(); ++k) {
    if (counts[k] > counts[best]) best = k;
  }
  return best;
}

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

// Fold score = gain of the objective when each side predicts its training majority, over
// predicting the node's training majority everywhere.
std::vector<ScoredCandidate> score_objective(const ClassObjective& objective, size_t n_classes,
                                             const StrictNode<size_t>& node, size_t feature) {
  const Column& column = node.columns[feature];
  const bool threshold = threshold_mode(node.params, column);
  FeatureCodes codes;
  if (!code_feature(node, feature, threshold, codes)) return {};
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
  const auto count_into = [n_classes](std::vector<uint64_t>& slots, uint32_t slot, size_t label) {
    if (label < n_classes && slot != kMissingCode) ++slots[slot * n_classes + label];
  };
  // Labels in sorted order, looked up once for every fold's pass.
  std::vector<size_t> sorted_labels;
  if (!column.is_categorical() && !codes.general) {
    sorted_labels.reserve(codes.sorted.size());
    for (const SortedValue& e : codes.sorted)
      sorted_labels.push_back(node.targets[sample_of(node, e)]);
  }

  // With an index, one pass in the node's order counts every fold's validation samples, and
  // a fold's training counts are the node's less its own (every sample is in one fold).
  const size_t n_folds = node.folds.size();
  const size_t slot_row = (n_states + 1) * n_classes;
  const bool by_index =
      node.index != nullptr && n_folds * slot_row <= 4 * node.samples.size() + 4096;
  std::vector<uint64_t> fold_val_slots, fold_val_counts, node_slots, node_counts;
  if (by_index) {
    fold_val_slots.assign(n_folds * slot_row, 0);
    fold_val_counts.assign(n_folds * n_classes, 0);
    node_counts.assign(n_classes, 0);
    for (size_t p = 0; p < node.samples.size(); ++p) {
      const size_t label = node.targets[node.samples[p]];
      if (label >= n_classes) continue;
      const uint32_t f = node.index->fold[p];
      ++node_counts[label];
      ++fold_val_counts[f * n_classes + label];
      const uint32_t slot = codes.val[f][node.index->place[p]];
      if (slot != kMissingCode) ++fold_val_slots[f * slot_row + slot * n_classes + label];
    }
    if (column.is_categorical()) {
      node_slots.assign(slot_row, 0);
      for (size_t f = 0; f < n_folds; ++f) {
        for (size_t i = 0; i < slot_row; ++i)
          node_slots[i] += fold_val_slots[f * slot_row + i];
      }
    }
  }

  for (size_t f = 0; f < node.folds.size(); ++f) {
    const Fold& fold = node.folds[f];
    if (fold.train.empty() || fold.validation.empty()) continue;
    std::fill(train_slots.begin(), train_slots.end(), 0);
    std::fill(val_slots.begin(), val_slots.end(), 0);
    std::fill(train_counts.begin(), train_counts.end(), 0);
    std::fill(val_counts.begin(), val_counts.end(), 0);
    if (by_index) {
      for (size_t k = 0; k < n_classes; ++k) {
        val_counts[k] = fold_val_counts[f * n_classes + k];
        train_counts[k] = node_counts[k] - val_counts[k];
      }
      std::copy_n(fold_val_slots.begin() + f * slot_row, slot_row, val_slots.begin());
    } else {
      for (size_t s : fold.train) {
        if (node.targets[s] < n_classes) ++train_counts[node.targets[s]];
      }
      for (size_t j = 0; j < fold.validation.size(); ++j) {
        const size_t label = node.targets[fold.validation[j]];
        if (label < n_classes) ++val_counts[label];
        count_into(val_slots, codes.val[f][j], label);
      }
    }
    if (column.is_categorical() && by_index) {
      for (size_t i = 0; i < slot_row; ++i)
        train_slots[i] = node_slots[i] - val_slots[i];
    } else if (column.is_categorical()) {
      for (size_t s : fold.train)
        count_into(train_slots, category_slot(states, column.codes()[s]), node.targets[s]);
    } else if (codes.general) {
      for (size_t s : fold.train) {
        const double v = column.values()[s];
        if (!std::isfinite(v)) continue;
        count_into(train_slots, run_slot(states, codes.fold_edges[f], v, threshold),
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
        count_into(train_slots, table_of[k], sorted_labels[p]);
      }
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

}  // namespace

std::vector<ScoredCandidate> Regression::score_feature(const StrictNode<double>& node,
                                                       size_t feature) const {
  return score_impurity(*criterion, node, feature);
}

std::vector<ScoredCandidate> Classification::score_feature(const StrictNode<size_t>& node,
                                                           size_t feature) const {
  return score_impurity(*criterion, node, feature);
}

std::vector<ScoredCandidate> ObjectiveClassification::score_feature(const StrictNode<size_t>& node,
                                                                    size_t feature) const {
  return score_objective(*objective, n_classes, node, feature);
}

namespace {

// Every feature's candidates of one node, concatenated in feature order.
template <class K>
std::vector<ScoredCandidate> score_all_features(const K& task,
                                                const StrictNode<typename K::Target>& node) {
  const size_t n_features = node.columns.size();
  std::vector<std::vector<ScoredCandidate>> per_feature;
  if (node.params.parallel && node.params.n_threads >= 2) {
    std::vector<size_t> features(n_features);
    std::iota(features.begin(), features.end(), size_t{0});
    per_feature = par_map(std::span<const size_t>(features), node.params.n_threads,
                          [&task, &node](size_t f) { return task.score_feature(node, f); });
  } else {
    per_feature.reserve(n_features);
    for (size_t f = 0; f < n_features; ++f)
      per_feature.push_back(task.score_feature(node, f));
  }
  size_t total = 0;
  for (const auto& list : per_feature)
    total += list.size();
  std::vector<ScoredCandidate> all;
  all.reserve(total);
  for (auto& list : per_feature) {
    for (ScoredCandidate& c : list)
      all.push_back(std::move(c));
  }
  return all;
}

// The rule a node splits by, or none when it must stay a leaf.
template <class K>
std::optional<SplitRule> choose_rule(const K& task, const Params& params,
                                     const Aggregator& aggregator, std::span<const Column> columns,
                                     std::span<const typename K::Target> targets,
                                     std::span<const typename K::Target> node_targets,
                                     std::span<const size_t> samples, size_t depth) {
  const size_t n = samples.size();
  if (n < std::max<size_t>(params.min_samples_split, 2)) return std::nullopt;
  if (params.max_depth && depth >= *params.max_depth) return std::nullopt;
  // Written so that a not-a-number impurity does not stop growth.
  if (0.0 >= task.node_impurity(node_targets)) return std::nullopt;

  // The index's places are 32-bit; a larger node is scored from its folds alone.
  FoldIndex index;
  const bool indexed = n <= std::numeric_limits<uint32_t>::max();
  const std::vector<Fold> folds =
      indexed ? params.kfold.folds(samples, index) : params.kfold.folds(samples);
  const StrictNode<typename K::Target> node{
      params, columns, targets, samples, folds, aggregator, indexed ? &index : nullptr};
  const std::vector<ScoredCandidate> candidates = score_all_features(task, node);
  const ScoredCandidate* best = best_candidate(candidates);
  if (best == nullptr) return std::nullopt;
  if (params.min_impurity_decrease >= best->score) return std::nullopt;
  const Column& column = columns[best->feature];
  return make_rule(column, best->feature, best->state, samples, params.n_bins,
                   threshold_mode(params, column));
}

}  // namespace

template <class K>
std::unique_ptr<NodeOf<K>> build_node(const K& task, const Params& params,
                                      const Aggregator& aggregator, std::span<const Column> columns,
                                      std::span<const typename K::Target> targets,
                                      std::vector<size_t> samples, size_t depth) {
  using NodeT = NodeOf<K>;
  // A pending node: its samples, its depth and the slot its subtree goes into. Slots are
  // fields of nodes already on the heap, so they stay valid while the stack grows. Growth
  // depth can approach the sample count, hence the explicit stack.
  struct Work {
    std::vector<size_t> samples;
    size_t depth;
    std::unique_ptr<NodeT>* slot;
  };
  std::unique_ptr<NodeT> root;
  std::vector<Work> stack;
  stack.push_back({std::move(samples), depth, &root});
  std::vector<typename K::Target> node_targets;
  while (!stack.empty()) {
    Work work = std::move(stack.back());
    stack.pop_back();
    const size_t n = work.samples.size();

    node_targets.clear();
    node_targets.reserve(n);
    for (size_t s : work.samples)
      node_targets.push_back(targets[s]);
    typename K::Payload payload = task.leaf_value(node_targets);

    std::optional<SplitRule> rule = choose_rule(task, params, aggregator, columns, targets,
                                                node_targets, work.samples, work.depth);
    std::vector<size_t> left, right;
    if (rule) {
      for (size_t s : work.samples) {
        (rule->route_left_train(columns, s) ? left : right).push_back(s);
      }
      const size_t min_leaf = std::max<size_t>(params.min_samples_leaf, 1);
      if (left.size() < min_leaf || right.size() < min_leaf) rule.reset();
    }
    if (!rule) {
      *work.slot = NodeT::make_leaf(std::move(payload), n);
      continue;
    }
    std::vector<size_t>().swap(work.samples);
    *work.slot = NodeT::make_split(std::move(*rule), nullptr, nullptr);
    NodeT& split = **work.slot;
    // Popped last-in first-out: the left subtree is grown completely before the right.
    stack.push_back({std::move(right), work.depth + 1, &split.right});
    stack.push_back({std::move(left), work.depth + 1, &split.left});
  }
  return root;
}

template std::unique_ptr<NodeOf<Regression>> build_node(const Regression&, const Params&,
                                                        const Aggregator&, std::span<const Column>,
                                                        std::span<const double>,
                                                        std::vector<size_t>, size_t);
template std::unique_ptr<NodeOf<Classification>> build_node(const Classification&, const Params&,
                                                            const Aggregator&,
                                                            std::span<const Column>,
                                                            std::span<const size_t>,
                                                            std::vector<size_t>, size_t);
template std::unique_ptr<NodeOf<ObjectiveClassification>> build_node(
    const ObjectiveClassification&, const Params&, const Aggregator&, std::span<const Column>,
    std::span<const size_t>, std::vector<size_t>, size_t);

}  // namespace zelk

// ---------------------------------------------------------------------------------------
// Fast growth: per-task histogram scoring and the driver that grows a tree from binned data
// by partitioning one shared sample array in place.

namespace zelk {

namespace {

bool uses_threshold(const Params& params, const FeatureBins& bins) {
  return params.split_style == SplitStyle::Threshold && bins.continuous;
}

template <PartitionMode Mode>
size_t partition_with(std::span<uint32_t> samples, std::span<const uint16_t> codes, uint16_t k) {
  size_t i = 0;
  const size_t n = samples.size();
  for (size_t j = 0; j < n; ++j) {
    const uint16_t code = codes[samples[j]];
    const bool left = Mode == PartitionMode::AtMost ? (code != kMissingBin && code <= k)
                                                    : (code != kMissingBin && code == k);
    if (left) {
      std::swap(samples[i], samples[j]);
      ++i;
    }
  }
  return i;
}

// The leaf payload of a node. The regression mean starts from -0.0 so that a node whose
// targets are all -0.0 keeps that sign.
double fast_leaf_value(const Regression&, std::span<const double> targets) {
  if (targets.empty()) return 0.0;
  double sum = -0.0;
  for (double y : targets)
    sum += y;
  return sum / static_cast<double>(targets.size());
}

template <class K>
typename K::Payload fast_leaf_value(const K& task, std::span<const typename K::Target> targets) {
  return task.leaf_value(targets);
}

// The rule that sends left exactly the samples whose code passes the partition test, or
// none when the whole-set bins have no edge for it.
struct FastRule {
  SplitRule rule;
  PartitionMode mode;
};

std::optional<FastRule> fast_rule(const Params& params, const FeatureBins& bins, size_t feature,
                                  uint32_t k) {
  if (!bins.continuous) {
    if (k >= bins.categories.size()) return std::nullopt;
    return FastRule{SplitRule{Category{feature, bins.categories[k]}}, PartitionMode::Equal};
  }
  const std::vector<double>& edges = bins.edges;
  if (uses_threshold(params, bins)) {
    if (k >= edges.size()) return std::nullopt;
    return FastRule{SplitRule{Interval{feature, std::nullopt, edges[k]}}, PartitionMode::AtMost};
  }
  if (k > edges.size()) return std::nullopt;
  Interval interval{feature, std::nullopt, std::nullopt};
  if (k > 0) interval.lower = edges[k - 1];
  if (k < edges.size()) interval.upper = edges[k];
  return FastRule{SplitRule{interval}, PartitionMode::Equal};
}

// Sample numbers index the targets and every code list; checked once for the root so that
// a caller's mistake ends in a Panic instead of a read out of bounds.
template <class Target>
void check_inputs(const BinnedData& data, std::span<const Target> targets,
                  std::span<const uint32_t> samples) {
  if (data.bins.size() != data.codes.size()) {
    throw Panic("fast growth: " + std::to_string(data.codes.size()) + " code lists but " +
                std::to_string(data.bins.size()) + " feature bins");
  }
  if (samples.empty()) return;
  const size_t limit = static_cast<size_t>(*std::max_element(samples.begin(), samples.end()));
  bool valid = limit < targets.size();
  for (const auto& codes : data.codes)
    valid = valid && limit < codes.size();
  if (!valid) {
    throw Panic("fast growth: sample number " + std::to_string(limit) + " out of range");
  }
}

// Puts list[order[i]] at i for every i; `buffer` is scratch.
template <class T>
void reorder(std::span<T> list, std::span<const uint32_t> order, std::vector<T>& buffer) {
  const size_t n = list.size();
  buffer.resize(n);
  for (size_t i = 0; i < n; ++i)
    buffer[i] = list[order[i]];
  std::copy(buffer.begin(), buffer.begin() + n, list.begin());
}

// Offers features [begin, end) of a node to `best` in ascending order, so the winner is the
// one best_candidate would pick from all their candidates. `codes_of(f)` is feature f's code
// list as `rows.rows` indexes it, and so is `labels`.
template <class K, class CodesOf>
void score_features(const K& task, const Params& params, const BinnedData& data,
                    const Aggregator& aggregator, const RowsView& rows,
                    std::span<const typename K::Target> labels, const CodesOf& codes_of,
                    size_t begin, size_t end, FastScratch& scratch, BestSplit& best) {
  for (size_t f = begin; f < end; ++f) {
    const FeatureBins& bins = data.bins[f];
    const bool threshold = uses_threshold(params, bins);
    const std::span<const uint16_t> codes = codes_of(f);
    if constexpr (std::is_same_v<K, Regression>) {
      best_regression_fast(rows, codes, bins.n_bins, f, aggregator, scratch, threshold, best);
    } else if constexpr (std::is_same_v<K, Classification>) {
      best_classification_fast(rows, task.entropy, codes, bins.n_bins, f, aggregator, scratch,
                               threshold, best);
    } else {
      for (const ScoredCandidate& c :
           score_objective_fast(*task.objective, task.n_classes, codes, labels, rows, bins.n_bins,
                                f, aggregator, threshold)) {
        if (std::isfinite(c.score) && (!best.found || c.score > best.score)) {
          best.found = true;
          best.feature = c.feature;
          best.state = c.state;
          best.score = c.score;
        }
      }
    }
  }
}

// The one driver behind both entry points. With `owned`, the code lists are `owned`'s and
// are kept in the order of `samples`, so a node's codes are the stretch of its samples and
// the folds deal positions in that stretch; without, they are indexed by sample number.
template <class K>
std::unique_ptr<NodeOf<K>> grow_fast(const K& task, const Params& params,
                                     const Aggregator& aggregator, const BinnedData& data,
                                     BinnedData* owned, std::span<const typename K::Target> targets,
                                     std::span<uint32_t> samples, size_t depth) {
  using Target = typename K::Target;
  using NodeT = NodeOf<K>;
  check_inputs(data, targets, samples);

  const size_t n_features = data.codes.size();
  const size_t min_split = std::max<size_t>(params.min_samples_split, 2);
  const size_t min_leaf = std::max<size_t>(params.min_samples_leaf, 1);

  // What a node's own pass would compute before scoring, computed instead by the pass that
  // made the node, while the other workers move the code lists. A node to split has its
  // dealing and gathered targets in the stretch of the stash arrays that its samples hold.
  struct Prepared {
    typename K::Payload payload;
    bool split = false;  // passed the stop rules and the purity test
    size_t n_folds = 0;
    std::vector<double> fold_sums;     // regression
    std::vector<double> fold_sq_sums;  // regression
  };
  // Pending nodes: a sub-range of `samples` and the slot its subtree goes into. Popping the
  // left child first grows the same tree, in the same order, as depth-first recursion.
  struct Pending {
    size_t begin;
    size_t end;
    size_t depth;
    std::unique_ptr<NodeT>* slot;
    std::optional<Prepared> prepared;
  };
  std::unique_ptr<NodeT> root;
  std::vector<Pending> stack;
  stack.push_back({0, samples.size(), depth, &root, std::nullopt});

  // With `owned`, the targets too are kept in the order of the samples.
  std::vector<Target> ordered_targets;
  if (owned) ordered_targets.assign(targets.begin(), targets.begin() + samples.size());
  // With `owned`: the prepared nodes' dealt positions, fold numbers and gathered targets,
  // each node in its own stretch.
  std::vector<uint32_t> stash_rows;
  std::vector<uint8_t> stash_fold;
  std::vector<double> stash_y;        // regression
  std::vector<uint32_t> stash_label;  // classification
  if (owned) {
    stash_rows.resize(samples.size());
    stash_fold.resize(samples.size());
    if constexpr (std::is_same_v<K, Regression>) stash_y.resize(samples.size());
    if constexpr (std::is_same_v<K, Classification>) stash_label.resize(samples.size());
  }
  // The buffers of one thread that grows nodes, kept across its nodes.
  struct Worker {
    std::vector<Target> node_targets;
    NodeRows rows;
    std::vector<size_t> blocks;
    std::vector<FastScratch> scratches;  // one per block
    std::vector<uint32_t> order;         // reordering the owned code lists after a split
    std::vector<std::vector<uint16_t>> moved_codes;  // one buffer per block
  };

  const auto stopped = [&](size_t n, size_t node_depth) {
    return n < min_split || (params.max_depth && node_depth >= *params.max_depth);
  };
  // The node of `n` ordered targets from `begin`, prepared as its own pass would begin.
  const auto prepare = [&](size_t begin, size_t n, size_t node_depth) {
    const std::span<const Target> t = std::span<const Target>(ordered_targets).subspan(begin, n);
    Prepared prepared;
    prepared.payload = fast_leaf_value(task, t);
    if (stopped(n, node_depth) || 0.0 >= task.node_impurity(t)) return prepared;
    prepared.split = true;
    const std::span<uint32_t> dealt = std::span<uint32_t>(stash_rows).subspan(begin, n);
    const std::span<uint8_t> fold = std::span<uint8_t>(stash_fold).subspan(begin, n);
    prepared.n_folds = deal_positions(params.kfold, dealt, fold);
    if constexpr (std::is_same_v<K, Regression>) {
      gather_regression(t, dealt, fold, prepared.n_folds,
                        std::span<double>(stash_y).subspan(begin, n), prepared.fold_sums,
                        prepared.fold_sq_sums);
    } else if constexpr (std::is_same_v<K, Classification>) {
      gather_labels(t, task.n_classes, dealt, std::span<uint32_t>(stash_label).subspan(begin, n));
    }
    return prepared;
  };

  // Grows the nodes of `stack` and their subtrees with `w`'s buffers; with `shared`, splits
  // a large node's work over the pool. With `frontier`, nodes below `frontier_below` samples
  // are set aside there instead: a node's subtree depends only on its own stretch of the
  // shared arrays, so subtrees can grow in any order, at once.
  const auto grow_nodes = [&](std::vector<Pending>& stack, Worker& w, bool shared,
                              std::vector<Pending>* frontier, size_t frontier_below) {
    NodeRows& rows = w.rows;
    std::vector<Target>& node_targets = w.node_targets;
    std::vector<size_t>& blocks = w.blocks;
    std::vector<FastScratch>& scratches = w.scratches;
    std::vector<uint32_t>& order = w.order;
    std::vector<std::vector<uint16_t>>& moved_codes = w.moved_codes;
    while (!stack.empty()) {
      Pending p = std::move(stack.back());
      stack.pop_back();
      if (frontier && p.end - p.begin < frontier_below) {
        frontier->push_back(std::move(p));
        continue;
      }
      const std::span<uint32_t> s = samples.subspan(p.begin, p.end - p.begin);
      const size_t n = s.size();

      std::span<const Target> t;
      if (owned) {
        t = std::span<const Target>(ordered_targets).subspan(p.begin, n);
      } else {
        node_targets.resize(n);
        for (size_t i = 0; i < n; ++i)
          node_targets[i] = targets[s[i]];
        t = node_targets;
      }
      std::optional<typename K::Payload> payload;
      auto make_leaf = [&]() { *p.slot = NodeT::make_leaf(std::move(*payload), n); };

      RowsView view;
      if (p.prepared) {
        payload = std::move(p.prepared->payload);
        if (!p.prepared->split) {
          make_leaf();
          continue;
        }
        const Prepared& prepared = *p.prepared;
        view.rows = std::span<const uint32_t>(stash_rows).subspan(p.begin, n);
        view.fold = std::span<const uint8_t>(stash_fold).subspan(p.begin, n);
        view.n_folds = prepared.n_folds;
        if constexpr (std::is_same_v<K, Regression>) {
          view.y = std::span<const double>(stash_y).subspan(p.begin, n);
          view.fold_sums = prepared.fold_sums;
          view.fold_sq_sums = prepared.fold_sq_sums;
        } else if constexpr (std::is_same_v<K, Classification>) {
          view.label = std::span<const uint32_t>(stash_label).subspan(p.begin, n);
          view.n_classes = task.n_classes;
        }
      } else {
        payload = fast_leaf_value(task, t);
        if (stopped(n, p.depth) || 0.0 >= task.node_impurity(t)) {
          make_leaf();
          continue;
        }
        // The dealing depends only on the list's length and the seed, so dealing positions
        // gives the same folds as dealing the samples themselves.
        if (owned) {
          deal_positions(params.kfold, n, rows.folds);
        } else {
          deal_folds(params.kfold, s, rows.folds);
        }
        const std::span<const Target> gather_from = owned ? t : targets;
        if constexpr (std::is_same_v<K, Regression>) {
          rows.gather_regression(gather_from);
        } else if constexpr (std::is_same_v<K, Classification>) {
          rows.gather_labels(gather_from, task.n_classes);
        }
        view = rows.view();
      }
      const std::span<const Target> indexed_targets = owned ? t : targets;
      const auto codes_of = [&](size_t f) {
        const std::span<const uint16_t> all(data.codes[f]);
        return owned ? all.subspan(p.begin, n) : all;
      };

      BestSplit best;
      if (shared && params.parallel && params.n_threads >= 2 && n >= params.parallel_min_samples &&
          n_features >= 2) {
        const size_t n_blocks = std::min(params.n_threads, n_features);
        if (blocks.size() != n_blocks) {
          blocks.resize(n_blocks);
          std::iota(blocks.begin(), blocks.end(), size_t{0});
          scratches.resize(n_blocks);
        }
        const auto results =
            par_map(std::span<const size_t>(blocks), params.n_threads, [&](size_t b) {
              BestSplit block_best;
              score_features(task, params, data, aggregator, view, indexed_targets, codes_of,
                             b * n_features / n_blocks, (b + 1) * n_features / n_blocks,
                             scratches[b], block_best);
              return block_best;
            });
        for (const BestSplit& r : results)
          best.merge(r);
      } else {
        if (scratches.empty()) scratches.resize(1);
        score_features(task, params, data, aggregator, view, indexed_targets, codes_of, 0,
                       n_features, scratches[0], best);
      }

      if (!best.found || params.min_impurity_decrease >= best.score) {
        make_leaf();
        continue;
      }
      const size_t f = best.feature;
      const uint32_t k = best.state;
      std::optional<FastRule> rule = fast_rule(params, data.bins[f], f, k);
      if (!rule) {
        make_leaf();
        continue;
      }
      size_t n_left = 0;
      std::optional<Prepared> left, right;  // the children, when `owned`
      if (owned) {
        // Partition positions, then move the samples and every code list the same way.
        order.resize(n);
        std::iota(order.begin(), order.end(), uint32_t{0});
        n_left = partition_in_place(order, codes_of(f), static_cast<uint16_t>(k), rule->mode);
        if (n_left >= min_leaf && n - n_left >= min_leaf) {
          // The sample numbers themselves are not needed any more: every list that is read
          // later moves instead. Whoever moves the targets then prepares both children from
          // them; the two weigh as much as this many code lists and share the split of the work.
          constexpr size_t kTargetUnits = 16;
          std::exception_ptr prepare_error;
          const auto move_codes = [&](size_t b, size_t n_blocks, std::vector<uint16_t>& buffer) {
            const size_t units = n_features + kTargetUnits;
            const size_t first = b * units / n_blocks, last = (b + 1) * units / n_blocks;
            if (first == 0) {
              reorder(std::span<Target>(ordered_targets).subspan(p.begin, n), order, node_targets);
              // Preparing is the children's own work: a failure in it surfaces as it would
              // there, on the calling thread, not as a failed worker.
              try {
                left = prepare(p.begin, n_left, p.depth + 1);
                right = prepare(p.begin + n_left, n - n_left, p.depth + 1);
              } catch (...) {
                prepare_error = std::current_exception();
              }
            }
            for (size_t g = std::max(first, kTargetUnits) - kTargetUnits;
                 g < std::max(last, kTargetUnits) - kTargetUnits; ++g)
              reorder(std::span<uint16_t>(owned->codes[g]).subspan(p.begin, n), order, buffer);
            return 0;
          };
          if (shared && params.parallel && params.n_threads >= 2 &&
              n >= params.parallel_min_samples && n_features >= 2 && !blocks.empty()) {
            moved_codes.resize(blocks.size());
            par_map(std::span<const size_t>(blocks), params.n_threads,
                    [&](size_t b) { return move_codes(b, blocks.size(), moved_codes[b]); });
          } else {
            if (moved_codes.empty()) moved_codes.resize(1);
            move_codes(0, 1, moved_codes[0]);
          }
          if (prepare_error) std::rethrow_exception(prepare_error);
        }
      } else {
        n_left = partition_in_place(s, data.codes[f], static_cast<uint16_t>(k), rule->mode);
      }
      if (n_left < min_leaf || n - n_left < min_leaf) {
        make_leaf();
        continue;
      }

      *p.slot = NodeT::make_split(std::move(rule->rule), nullptr, nullptr);
      NodeT& split = **p.slot;
      stack.push_back({p.begin + n_left, p.end, p.depth + 1, &split.right, std::move(right)});
      stack.push_back({p.begin, p.begin + n_left, p.depth + 1, &split.left, std::move(left)});
    }
  };

  // The root too keeps its dealing in the stash, so no node's rows need a buffer of their own.
  if (owned) stack.back().prepared = prepare(0, samples.size(), depth);
  Worker first;
  const bool subtrees =
      params.parallel && params.n_threads >= 2 && samples.size() >= params.parallel_min_samples;
  if (!subtrees) {
    grow_nodes(stack, first, true, nullptr, 0);
    return root;
  }
  // The large nodes near the root split their work over the pool; the subtrees below them
  // are grown whole, each by one thread, the largest first.
  const size_t below =
      std::max(params.parallel_min_samples, samples.size() / (8 * params.n_threads));
  std::vector<Pending> frontier;
  grow_nodes(stack, first, true, &frontier, below);
  std::stable_sort(frontier.begin(), frontier.end(), [](const Pending& a, const Pending& b) {
    return a.end - a.begin > b.end - b.begin;
  });
  std::vector<size_t> threads(std::min(params.n_threads, frontier.size()));
  std::iota(threads.begin(), threads.end(), size_t{0});
  std::vector<Worker> workers(threads.size());
  // A subtree's failure surfaces as it would have on the calling thread; the others stop
  // taking subtrees.
  std::vector<std::exception_ptr> errors(threads.size());
  std::atomic<size_t> next{0};
  par_map(std::span<const size_t>(threads), params.n_threads, [&](size_t t) {
    std::vector<Pending> own;
    try {
      for (size_t i = next.fetch_add(1); i < frontier.size(); i = next.fetch_add(1)) {
        own.push_back(std::move(frontier[i]));
        grow_nodes(own, workers[t], false, nullptr, 0);
      }
    } catch (...) {
      errors[t] = std::current_exception();
      next.store(frontier.size());
    }
    return 0;
  });
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
  return root;
}

}  // namespace

size_t partition_in_place(std::span<uint32_t> samples, std::span<const uint16_t> codes, uint16_t k,
                          PartitionMode mode) {
  return mode == PartitionMode::AtMost ? partition_with<PartitionMode::AtMost>(samples, codes, k)
                                       : partition_with<PartitionMode::Equal>(samples, codes, k);
}

std::vector<ScoredCandidate> Regression::score_feature_fast(const FastNode<double>& node,
                                                            size_t feature,
                                                            FastScratch* scratch) const {
  FastScratch local;
  const FeatureBins& bins = node.data.bins[feature];
  return score_regression_fast(node.data.codes[feature], node.targets, node.folds, bins.n_bins,
                               feature, node.aggregator, scratch ? *scratch : local,
                               uses_threshold(node.params, bins));
}

std::vector<ScoredCandidate> Classification::score_feature_fast(const FastNode<size_t>& node,
                                                                size_t feature,
                                                                FastScratch* scratch) const {
  FastScratch local;
  const FeatureBins& bins = node.data.bins[feature];
  return score_classification_fast(n_classes, entropy, node.data.codes[feature], node.targets,
                                   node.folds, bins.n_bins, feature, node.aggregator,
                                   scratch ? *scratch : local, uses_threshold(node.params, bins));
}

std::vector<ScoredCandidate> ObjectiveClassification::score_feature_fast(
    const FastNode<size_t>& node, size_t feature, FastScratch* /*scratch*/) const {
  const FeatureBins& bins = node.data.bins[feature];
  return score_objective_fast(*objective, n_classes, node.data.codes[feature], node.targets,
                              node.folds, bins.n_bins, feature, node.aggregator,
                              uses_threshold(node.params, bins));
}

template <class K>
std::unique_ptr<NodeOf<K>> build_node_fast(const K& task, const Params& params,
                                           const Aggregator& aggregator, const BinnedData& data,
                                           std::span<const typename K::Target> targets,
                                           std::span<uint32_t> samples, size_t depth) {
  return grow_fast(task, params, aggregator, data, nullptr, targets, samples, depth);
}

template <class K>
std::unique_ptr<NodeOf<K>> build_node_fast_in_place(const K& task, const Params& params,
                                                    const Aggregator& aggregator, BinnedData&& data,
                                                    std::span<const typename K::Target> targets,
                                                    size_t depth) {
  BinnedData owned = std::move(data);
  if (owned.n_samples > std::numeric_limits<uint32_t>::max()) {
    throw Panic("fast growth: " + std::to_string(owned.n_samples) + " samples exceed 32 bits");
  }
  std::vector<uint32_t> samples(owned.n_samples);
  std::iota(samples.begin(), samples.end(), uint32_t{0});
  for (const auto& codes : owned.codes) {
    if (codes.size() != samples.size()) {
      throw Panic("fast growth: a code list of " + std::to_string(codes.size()) + " entries for " +
                  std::to_string(samples.size()) + " samples");
    }
  }
  return grow_fast(task, params, aggregator, owned, &owned, targets, std::span<uint32_t>(samples),
                   depth);
}

template std::unique_ptr<NodeOf<Regression>> build_node_fast<Regression>(
    const Regression&, const Params&, const Aggregator&, const BinnedData&, std::span<const double>,
    std::span<uint32_t>, size_t);
template std::unique_ptr<NodeOf<Classification>> build_node_fast<Classification>(
    const Classification&, const Params&, const Aggregator&, const BinnedData&,
    std::span<const size_t>, std::span<uint32_t>, size_t);
template std::unique_ptr<NodeOf<ObjectiveClassification>> build_node_fast<ObjectiveClassification>(
    const ObjectiveClassification&, const Params&, const Aggregator&, const BinnedData&,
    std::span<const size_t>, std::span<uint32_t>, size_t);

template std::unique_ptr<NodeOf<Regression>> build_node_fast_in_place<Regression>(
    const Regression&, const Params&, const Aggregator&, BinnedData&&, std::span<const double>,
    size_t);
template std::unique_ptr<NodeOf<Classification>> build_node_fast_in_place<Classification>(
    const Classification&, const Params&, const Aggregator&, BinnedData&&, std::span<const size_t>,
    size_t);
template std::unique_ptr<NodeOf<ObjectiveClassification>>
build_node_fast_in_place<ObjectiveClassification>(const ObjectiveClassification&, const Params&,
                                                  const Aggregator&, BinnedData&&,
                                                  std::span<const size_t>, size_t);

}  // namespace zelk
