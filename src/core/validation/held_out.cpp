#include "core/validation/held_out.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace zelk {

void HeldOutEvidence::merge(const HeldOutEvidence& later) {
  if (later.found && ranks_above(later.key, later.tie_break)) {
    found = true;
    feature = later.feature;
    state = later.state;
    key = later.key;
    tie_break = later.tie_break;
    loss_gain = later.loss_gain;
  }
  for (size_t f = 0; f < folds.size() && f < later.folds.size(); ++f) {
    const FoldPick& pick = later.folds[f];
    if (pick.found && (!folds[f].found || pick.pick_gain > folds[f].pick_gain)) folds[f] = pick;
    if (later.validation_size[f] > 0.0) validation_size[f] = later.validation_size[f];
  }
}

void SlotTable::reset(size_t row_width, bool threshold_rule, size_t node_slot_count,
                      std::span<const size_t> fold_slot_counts) {
  width = row_width;
  threshold = threshold_rule;
  n_folds = fold_slot_counts.size();
  node_slots = node_slot_count;
  node.assign(node_slots * width, 0.0);
  node_total.assign(width, 0.0);
  node_offered.assign(node_slots, 0);
  node_state.assign(node_slots, 0);
  fold_begin.assign(n_folds + 1, 0);
  for (size_t f = 0; f < n_folds; ++f)
    fold_begin[f + 1] = fold_begin[f] + fold_slot_counts[f];
  const size_t rows = fold_begin[n_folds];
  train.assign(rows * width, 0.0);
  val.assign(rows * width, 0.0);
  train_total.assign(n_folds * width, 0.0);
  val_total.assign(n_folds * width, 0.0);
  fold_offered.assign(rows, 0);
  fold_state.assign(rows, 0);
}

void SlotTable::finish_totals() {
  for (size_t f = 0; f < n_folds; ++f) {
    for (size_t w = 0; w < width; ++w)
      train_total[f * width + w] = node_total[w] - val_total[f * width + w];
  }
}

namespace {

// The column layout of a table's rows: unweighted [count, sums...], weighted [count, weight,
// sums...]. Every loss reads a row's weight and sums through it, so that the unweighted
// instantiation is the plain count arithmetic.
template <bool Weighted>
struct Columns {
  static constexpr size_t kWeight = Weighted ? 1 : 0;
  static constexpr size_t kSums = Weighted ? 2 : 1;
};

// Squared error: rows are [count, (weight,) sum, sum of squares].
template <bool Weighted>
class SquaredLoss : Columns<Weighted> {
 public:
  using Columns<Weighted>::kWeight;
  using Columns<Weighted>::kSums;

  static double sse(const double* r) {
    if (!(r[kWeight] > 0.0)) return 0.0;
    const double mean = r[kSums] / r[kWeight];
    const double v = r[kSums + 1] / r[kWeight] - mean * mean;
    // rounding below zero, or an infinite target: no spread
    return v >= 0.0 ? r[kWeight] * v : 0.0;
  }
  double gain(const double* total, const double* left, const double* right) const {
    // A layer's candidates share its total: its spread is computed once. The cache is keyed by
    // address, which holds because a loss lives for one enumeration of one table, whose totals
    // do not change during it (and is used by one thread).
    if (total != cached_total_) {
      cached_total_ = total;
      cached_sse_ = sse(total);
    }
    return cached_sse_ - sse(left) - sse(right);
  }
  static double weight(const double* r) { return r[kWeight]; }
  static Side side(const double* r) { return Side{r[0], r[kWeight], r[kSums]}; }

  std::pair<double, double> choice(const double* total, const double* left,
                                   const double* right) const {
    return {gain(total, left, right), 0.0};
  }
  double pick(const double* total, const double* left, const double* right) const {
    return gain(total, left, right);
  }
  double loss_gain(const double* total, const double* left, const double* right) const {
    return gain(total, left, right);
  }
  // Sum over the validation rows of w ((y - mean0)^2 - (y - mean_side)^2), with the means of
  // the training part: (mean_side - mean0) (2 sum_side - weight_side (mean0 + mean_side)).
  double held_out(const double* train_total, const double* train_left, const double* train_right,
                  const double* val_left, const double* val_right) const {
    const double mean0 = train_total[kSums] / train_total[kWeight];
    const double mean_left = train_left[kSums] / train_left[kWeight];
    const double mean_right = train_right[kSums] / train_right[kWeight];
    return (mean_left - mean0) * (2.0 * val_left[kSums] - val_left[kWeight] * (mean0 + mean_left)) +
           (mean_right - mean0) *
               (2.0 * val_right[kSums] - val_right[kWeight] * (mean0 + mean_right));
  }

 private:
  mutable const double* cached_total_ = nullptr;
  mutable double cached_sse_ = 0.0;
};

// i log2 i for the whole counts below 2^16, built when the library loads: the lookup in the
// enumeration's inner loop then pays no guard of a local static.
constexpr size_t kXLog2XSize = size_t{1} << 16;
const std::array<double, kXLog2XSize> kXLog2X = [] {
  std::array<double, kXLog2XSize> t{};
  for (size_t i = 1; i < t.size(); ++i)
    t[i] = static_cast<double>(i) * std::log2(static_cast<double>(i));
  return t;
}();

// Class counts: rows are [count, (weight,) count (weight) of class 0, ..., of class K - 1].
template <bool Weighted>
class ClassLoss : Columns<Weighted> {
  using Columns<Weighted>::kSums;
  using Count = std::conditional_t<Weighted, double, uint64_t>;

 public:
  // `probabilities` has room for three rows of n_classes.
  ClassLoss(const HeldOutTask& task, double* probabilities)
      : task_(task),
        k_(task.n_classes),
        p0_(probabilities),
        p_left_(p0_ + k_),
        p_right_(p_left_ + k_) {}

  double weight(const double* r) const { return classified(r); }
  // The value of a side of two classes is the weight of class 1.
  Side side(const double* r) const {
    return Side{r[0], classified(r), k_ == 2 ? r[kSums + 1] : 0.0};
  }

  std::pair<double, double> choice(const double* total, const double* left,
                                   const double* right) const {
    if (task_.objective == nullptr) return {pick(total, left, right), 0.0};
    return {metric_gain(total, left, right), impurity_gain(false, total, left, right)};
  }
  // The training part picks by the task's impurity (Gini for a metric objective).
  double pick(const double* total, const double* left, const double* right) const {
    return impurity_gain(task_.criterion == CriterionKind::Entropy, total, left, right);
  }
  double loss_gain(const double* total, const double* left, const double* right) const {
    smooth(total, p0_);
    smooth(left, p_left_);
    smooth(right, p_right_);
    return brier(total, p0_) - brier(left, p_left_) - brier(right, p_right_);
  }
  double held_out(const double* train_total, const double* train_left, const double* train_right,
                  const double* val_left, const double* val_right) const {
    smooth(train_total, p0_);
    smooth(train_left, p_left_);
    smooth(train_right, p_right_);
    return brier(val_left, p0_) + brier(val_right, p0_) - brier(val_left, p_left_) -
           brier(val_right, p_right_);
  }

 private:
  double classified(const double* r) const {
    double n = 0.0;
    for (size_t c = 0; c < k_; ++c)
      n += r[kSums + c];
    return n;
  }
  // n times the impurity of the counts: n - sum c^2 / n (Gini) or n log2 n - sum c log2 c
  // (entropy).
  double weighted_impurity(bool entropy, const double* r) const {
    const double n = classified(r);
    if (!(n > 0.0)) return 0.0;
    double acc = 0.0;
    for (size_t c = 0; c < k_; ++c) {
      const double count = r[kSums + c];
      acc += entropy ? x_log2_x(count) : count * count;
    }
    return entropy ? x_log2_x(n) - acc : n - acc / n;
  }
  // c log2 c, 0 for 0; looked up for the small whole counts that most nodes hold.
  static double x_log2_x(double c) {
    if (c >= 0.0 && c < static_cast<double>(kXLog2XSize)) {
      const auto whole = static_cast<size_t>(c);
      if (static_cast<double>(whole) == c) return kXLog2X[whole];
    }
    return c > 0.0 ? c * std::log2(c) : 0.0;
  }
  double impurity_gain(bool entropy, const double* total, const double* left,
                       const double* right) const {
    // A layer's candidates share its total: its impurity is computed once.
    if (total != cached_total_ || entropy != cached_entropy_) {
      cached_total_ = total;
      cached_entropy_ = entropy;
      cached_impurity_ = weighted_impurity(entropy, total);
    }
    return cached_impurity_ - weighted_impurity(entropy, left) - weighted_impurity(entropy, right);
  }
  // Class frequencies with one pseudo-sample per class.
  void smooth(const double* r, double* p) const {
    const double pseudo = task_.pseudo_count;
    const double denominator = classified(r) + pseudo * static_cast<double>(k_);
    for (size_t c = 0; c < k_; ++c)
      p[c] = (r[kSums + c] + pseudo) / denominator;
  }
  // Total Brier loss of the counts `r` predicted by `p`: sum_c r_c (1 + sum p^2 - 2 p_c).
  double brier(const double* r, const double* p) const {
    double sum_sq = 0.0;
    for (size_t c = 0; c < k_; ++c)
      sum_sq += p[c] * p[c];
    double loss = 0.0;
    for (size_t c = 0; c < k_; ++c)
      loss += r[kSums + c] * (1.0 + sum_sq - 2.0 * p[c]);
    return loss;
  }
  // The metric's gain when each side predicts its majority over predicting the node's.
  double metric_gain(const double* total, const double* left, const double* right) const {
    std::vector<Count>& counts = counts_;
    const auto as_counts = [&](const double* r) {
      counts.resize(k_);
      for (size_t c = 0; c < k_; ++c)
        counts[c] = static_cast<Count>(r[kSums + c]);
      return std::span<const Count>(counts);
    };
    auto split = BasicConfusion<Count>::zero(k_);
    split.add_group(majority_class(as_counts(left)), as_counts(left));
    split.add_group(majority_class(as_counts(right)), as_counts(right));
    auto base = BasicConfusion<Count>::zero(k_);
    base.add_group(majority_class(as_counts(total)), as_counts(total));
    return task_.objective->score(split) - task_.objective->score(base);
  }

  const HeldOutTask& task_;
  size_t k_;
  double* p0_;
  double* p_left_;
  double* p_right_;
  mutable std::vector<Count> counts_;
  mutable const double* cached_total_ = nullptr;
  mutable bool cached_entropy_ = false;
  mutable double cached_impurity_ = 0.0;
};

// Running left side of a layer: the slot's own row (membership) or every row up to it.
class LeftSide {
 public:
  LeftSide(double* row, size_t width, bool threshold)
      : row_(row), width_(width), threshold_(threshold) {
    std::fill(row_, row_ + width_, 0.0);
  }
  const double* take(const double* slot_row) {
    for (size_t i = 0; i < width_; ++i)
      row_[i] = threshold_ ? row_[i] + slot_row[i] : slot_row[i];
    return row_;
  }

 private:
  double* row_;
  size_t width_;
  bool threshold_;
};

// The node's choice: the candidate with the largest in-sample gain on the whole node.
template <class Loss>
void offer_choice(SlotTable& t, const Loss& loss, const NodeAdmission& admission, size_t feature,
                  HeldOutEvidence& evidence, double* work) {
  const size_t w = t.width;
  LeftSide left(work, w, t.threshold);
  double* right = work + w;
  for (size_t s = 0; s < t.node_slots; ++s) {
    const double* l = left.take(t.node_row(s));
    if (!t.node_offered[s]) continue;
    for (size_t j = 0; j < w; ++j)
      right[j] = t.node_total[j] - l[j];
    if (!admission.admits(feature, t.threshold, loss.side(l), loss.side(right))) continue;
    const auto [key, tie_break] = loss.choice(t.node_total.data(), l, right);
    if (!std::isfinite(key) || !evidence.ranks_above(key, tie_break)) continue;
    evidence.found = true;
    evidence.feature = feature;
    evidence.state = t.node_state[s];
    evidence.key = key;
    evidence.tie_break = tie_break;
    evidence.loss_gain = loss.loss_gain(t.node_total.data(), l, right);
  }
}

// Fold f's pick: the candidate its training part likes best, measured on its validation part.
template <class Loss>
void offer_fold_picks(SlotTable& t, const Loss& loss, const NodeAdmission& admission,
                      size_t feature, size_t f, HeldOutEvidence& evidence, double* work) {
  const size_t w = t.width;
  LeftSide train_left(work, w, t.threshold);
  LeftSide val_left(work + w, w, t.threshold);
  double* train_right = work + 2 * w;
  double* val_right = work + 3 * w;
  const double* total = &t.train_total[f * w];
  const double* v_total = &t.val_total[f * w];
  FoldPick& pick = evidence.folds[f];
  const size_t first = t.fold_begin[f];
  for (size_t s = 0; s < t.fold_slots(f); ++s) {
    const double* row = t.train_row(f, s);
    const double* l = train_left.take(row);
    const double* vl = val_left.take(t.val_row(f, s));
    // A slot without training rows leaves the training part's sides as the slot before it
    // did: its gain cannot rank above theirs.
    if (!t.fold_offered[first + s] || row[0] == 0.0) continue;
    for (size_t j = 0; j < w; ++j)
      train_right[j] = total[j] - l[j];
    if (!admission.admits(feature, t.threshold, loss.side(l), loss.side(train_right))) continue;
    const double gain = loss.pick(total, l, train_right);
    if (!std::isfinite(gain) || (pick.found && !(gain > pick.pick_gain))) continue;
    for (size_t j = 0; j < w; ++j)
      val_right[j] = v_total[j] - vl[j];
    pick = FoldPick{true,
                    feature,
                    t.fold_state[first + s],
                    gain,
                    loss.held_out(total, l, train_right, vl, val_right),
                    loss.loss_gain(total, l, train_right)};
  }
}

template <bool Weighted, class Loss>
void enumerate(SlotTable& t, const Loss& loss, const NodeAdmission& admission, size_t feature,
               bool choice_only, HeldOutEvidence& evidence, double* work) {
  offer_choice(t, loss, admission, feature, evidence, work);
  if (choice_only) return;
  for (size_t f = 0; f < t.n_folds; ++f)
    evidence.validation_size[f] = t.val_total[f * t.width + Columns<Weighted>::kWeight];
  for (size_t f = 0; f < t.n_folds; ++f)
    offer_fold_picks(t, loss, admission, feature, f, evidence, work);
}

template <bool Weighted>
void enumerate_task(SlotTable& table, const HeldOutTask& task, const NodeAdmission& admission,
                    size_t feature, HeldOutEvidence& evidence) {
  double* rows = table.work.data();
  if (task.regression()) {
    enumerate<Weighted>(table, SquaredLoss<Weighted>{}, admission, feature, task.choice_only,
                        evidence, rows);
  } else {
    enumerate<Weighted>(table, ClassLoss<Weighted>(task, rows + 4 * table.width), admission,
                        feature, task.choice_only, evidence, rows);
  }
}

}  // namespace

void offer_held_out(SlotTable& table, const HeldOutTask& task, const NodeAdmission& admission,
                    size_t feature, HeldOutEvidence& evidence) {
  if (task.criterion == CriterionKind::AbsoluteError) {
    // Medians are no sums of slots: absolute error is judged from lists by the strict scorer.
    throw std::logic_error("absolute error has no slot table");
  }
  // Four working rows, then the classifiers' three probability rows.
  table.work.resize(4 * table.width + 3 * task.n_classes);
  if (task.weighted) {
    enumerate_task<true>(table, task, admission, feature, evidence);
  } else {
    enumerate_task<false>(table, task, admission, feature, evidence);
  }
}

HeldOutEstimate estimate_held_out(const HeldOutEvidence& evidence, const Aggregator& aggregator,
                                  double n) {
  HeldOutEstimate out;
  if (!evidence.found) return out;
  out.found = true;
  std::vector<double> fold_gains;
  double train_gains = 0.0;
  for (size_t f = 0; f < evidence.folds.size(); ++f) {
    const FoldPick& pick = evidence.folds[f];
    if (!pick.found || !(evidence.validation_size[f] > 0.0)) continue;
    fold_gains.push_back(pick.held_out_gain);
    out.fold_scores.push_back(pick.held_out_gain / evidence.validation_size[f]);
    train_gains += pick.train_gain;
  }
  const size_t m = fold_gains.size();
  if (m == 0) {
    out.score = out.gain;  // no fold could judge a split: -infinity
    return out;
  }
  const FoldStats stats = FoldStats::from_scores(out.fold_scores, evidence.folds.size());
  // An aggregate without loss units (a signal-to-noise ratio) cannot make a gain; the mean can.
  const double aggregate = aggregator.in_loss_units() ? aggregator.aggregate(stats) : stats.mean;
  const double folds = static_cast<double>(m);
  out.gain = n * (1.0 - 1.0 / folds) * aggregate + evidence.loss_gain - train_gains / folds;
  if (m >= 2) {
    double mean = 0.0;
    for (double g : fold_gains)
      mean += g;
    mean /= folds;
    double squares = 0.0;
    for (double g : fold_gains)
      squares += (g - mean) * (g - mean);
    out.variance = folds * squares / (folds - 1.0);
  } else {
    out.variance = out.gain * out.gain;
  }
  out.score = out.gain / n;
  return out;
}

}  // namespace zelk
