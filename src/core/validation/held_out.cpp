#include "core/validation/held_out.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <stdexcept>
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

void SlotTable::reset(size_t slots, size_t folds, size_t row_width, bool threshold_rule) {
  n_slots = slots;
  n_folds = folds;
  width = row_width;
  threshold = threshold_rule;
  const size_t rows = (slots + 1) * row_width;
  node.assign(rows, 0.0);
  node_total.assign(row_width, 0.0);
  train.assign(folds * rows, 0.0);
  val.assign(folds * rows, 0.0);
  train_total.assign(folds * row_width, 0.0);
  val_total.assign(folds * row_width, 0.0);
  offered.assign(slots, 0);
  state.assign(slots, 0);
}

void SlotTable::finish_totals() {
  for (size_t f = 0; f < n_folds; ++f) {
    for (size_t w = 0; w < width; ++w)
      train_total[f * width + w] = node_total[w] - val_total[f * width + w];
  }
}

namespace {

constexpr double kPseudoCount = 1.0;  // per class, in the smoothed class frequencies

// Squared error: rows are [count, sum, sum of squares].
struct SquaredLoss {
  static double sse(const double* r) {
    if (!(r[0] > 0.0)) return 0.0;
    const double mean = r[1] / r[0];
    const double v = r[2] / r[0] - mean * mean;
    return v >= 0.0 ? r[0] * v : 0.0;  // rounding below zero, or an infinite target: no spread
  }
  static double gain(const double* total, const double* left, const double* right) {
    return sse(total) - sse(left) - sse(right);
  }

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
  // Sum over the validation rows of (y - mean0)^2 - (y - mean_side)^2, with the means of the
  // training part: (mean_side - mean0) (2 sum_side - count_side (mean0 + mean_side)).
  double held_out(const double* train_total, const double* train_left, const double* train_right,
                  const double* val_left, const double* val_right) const {
    const double mean0 = train_total[1] / train_total[0];
    const double mean_left = train_left[1] / train_left[0];
    const double mean_right = train_right[1] / train_right[0];
    return (mean_left - mean0) * (2.0 * val_left[1] - val_left[0] * (mean0 + mean_left)) +
           (mean_right - mean0) * (2.0 * val_right[1] - val_right[0] * (mean0 + mean_right));
  }
};

// Class counts: rows are [count, count of class 0, ..., count of class K - 1].
class ClassLoss {
 public:
  // `probabilities` has room for three rows of n_classes.
  ClassLoss(const HeldOutTask& task, double* probabilities)
      : task_(task),
        k_(task.n_classes),
        p0_(probabilities),
        p_left_(p0_ + k_),
        p_right_(p_left_ + k_) {}

  std::pair<double, double> choice(const double* total, const double* left,
                                   const double* right) const {
    if (task_.kind != HeldOutTask::Kind::Objective) return {pick(total, left, right), 0.0};
    return {metric_gain(total, left, right), impurity_gain(false, total, left, right)};
  }
  // The training part picks by the task's impurity (Gini for a metric objective).
  double pick(const double* total, const double* left, const double* right) const {
    return impurity_gain(task_.kind == HeldOutTask::Kind::Entropy, total, left, right);
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
      n += r[1 + c];
    return n;
  }
  // n times the impurity of the counts: n - sum c^2 / n (Gini) or -sum c log2(c / n) (entropy).
  double weighted_impurity(bool entropy, const double* r) const {
    const double n = classified(r);
    if (!(n > 0.0)) return 0.0;
    double acc = 0.0;
    for (size_t c = 0; c < k_; ++c) {
      const double count = r[1 + c];
      if (entropy) {
        if (count > 0.0) acc -= count * std::log2(count / n);
      } else {
        acc += count * count;
      }
    }
    return entropy ? acc : n - acc / n;
  }
  double impurity_gain(bool entropy, const double* total, const double* left,
                       const double* right) const {
    return weighted_impurity(entropy, total) - weighted_impurity(entropy, left) -
           weighted_impurity(entropy, right);
  }
  // Class frequencies with one pseudo-sample per class.
  void smooth(const double* r, double* p) const {
    const double denominator = classified(r) + kPseudoCount * static_cast<double>(k_);
    for (size_t c = 0; c < k_; ++c)
      p[c] = (r[1 + c] + kPseudoCount) / denominator;
  }
  // Total Brier loss of the counts `r` predicted by `p`: sum_c r_c (1 + sum p^2 - 2 p_c).
  double brier(const double* r, const double* p) const {
    double sum_sq = 0.0;
    for (size_t c = 0; c < k_; ++c)
      sum_sq += p[c] * p[c];
    double loss = 0.0;
    for (size_t c = 0; c < k_; ++c)
      loss += r[1 + c] * (1.0 + sum_sq - 2.0 * p[c]);
    return loss;
  }
  // The metric's gain when each side predicts its majority over predicting the node's.
  double metric_gain(const double* total, const double* left, const double* right) const {
    std::vector<uint64_t>& counts = counts_;
    const auto as_counts = [&](const double* r) {
      counts.resize(k_);
      for (size_t c = 0; c < k_; ++c)
        counts[c] = static_cast<uint64_t>(r[1 + c]);
      return std::span<const uint64_t>(counts);
    };
    Confusion split = Confusion::zero(k_);
    split.add_group(majority_class(as_counts(left)), as_counts(left));
    split.add_group(majority_class(as_counts(right)), as_counts(right));
    Confusion base = Confusion::zero(k_);
    base.add_group(majority_class(as_counts(total)), as_counts(total));
    return task_.objective->score(split) - task_.objective->score(base);
  }

  const HeldOutTask& task_;
  size_t k_;
  double* p0_;
  double* p_left_;
  double* p_right_;
  mutable std::vector<uint64_t> counts_;
};

template <class Loss>
void enumerate(SlotTable& t, const Loss& loss, size_t min_leaf, size_t feature,
               HeldOutEvidence& evidence, std::span<double> work) {
  const size_t w = t.width;
  const size_t folds = t.n_folds;
  // Working rows: the node's left and right, then per fold the training and validation lefts,
  // then one fold's training and validation rights.
  double* node_left = work.data();
  double* node_right = node_left + w;
  double* train_left = node_right + w;
  double* val_left = train_left + folds * w;
  double* train_right = val_left + folds * w;
  double* val_right = train_right + w;
  std::fill(work.begin(), work.end(), 0.0);
  const double minimum = static_cast<double>(std::max<size_t>(min_leaf, 1));
  const auto take = [&](double* into, const double* row) {
    for (size_t i = 0; i < w; ++i)
      into[i] = t.threshold ? into[i] + row[i] : row[i];
  };
  for (size_t f = 0; f < folds; ++f)
    evidence.validation_size[f] = t.val_total[f * w];

  for (size_t s = 0; s < t.n_slots; ++s) {
    take(node_left, t.node_row(s));
    for (size_t f = 0; f < folds; ++f) {
      take(train_left + f * w, t.train_row(f, s));
      take(val_left + f * w, t.val_row(f, s));
    }
    if (!t.offered[s]) continue;
    const uint32_t state = t.state[s];

    for (size_t i = 0; i < w; ++i)
      node_right[i] = t.node_total[i] - node_left[i];
    if (node_left[0] >= minimum && node_right[0] >= minimum) {
      const auto [key, tie_break] = loss.choice(t.node_total.data(), node_left, node_right);
      if (std::isfinite(key) && evidence.ranks_above(key, tie_break)) {
        evidence.found = true;
        evidence.feature = feature;
        evidence.state = state;
        evidence.key = key;
        evidence.tie_break = tie_break;
        evidence.loss_gain = loss.loss_gain(t.node_total.data(), node_left, node_right);
      }
    }

    for (size_t f = 0; f < folds; ++f) {
      const double* total = &t.train_total[f * w];
      const double* left = train_left + f * w;
      for (size_t i = 0; i < w; ++i)
        train_right[i] = total[i] - left[i];
      if (!(left[0] >= minimum && train_right[0] >= minimum)) continue;
      const double gain = loss.pick(total, left, train_right);
      FoldPick& pick = evidence.folds[f];
      if (!std::isfinite(gain) || (pick.found && !(gain > pick.pick_gain))) continue;
      const double* v_left = val_left + f * w;
      const double* v_total = &t.val_total[f * w];
      for (size_t i = 0; i < w; ++i)
        val_right[i] = v_total[i] - v_left[i];
      pick = FoldPick{true,
                      feature,
                      state,
                      gain,
                      loss.held_out(total, left, train_right, v_left, val_right),
                      loss.loss_gain(total, left, train_right)};
    }
  }
}

}  // namespace

void offer_held_out(SlotTable& table, const HeldOutTask& task, size_t feature,
                    HeldOutEvidence& evidence) {
  // Enumeration rows, then the classifiers' three probability rows.
  const size_t n_rows = (4 + 2 * table.n_folds) * table.width;
  table.work.resize(n_rows + 3 * task.n_classes);
  const std::span<double> rows(table.work.data(), n_rows);
  if (task.kind == HeldOutTask::Kind::Absolute) {
    // Medians are no sums of slots: absolute error is judged from lists by the strict scorer.
    throw std::logic_error("absolute error has no slot table");
  }
  if (task.kind == HeldOutTask::Kind::Squared) {
    enumerate(table, SquaredLoss{}, task.min_samples_leaf, feature, evidence, rows);
  } else {
    enumerate(table, ClassLoss(task, table.work.data() + n_rows), task.min_samples_leaf, feature,
              evidence, rows);
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
