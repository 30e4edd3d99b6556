#include "core/validation/cost_complexity.hpp"

#include <algorithm>
#include <cmath>
#include <queue>
#include <tuple>
#include <utility>

namespace zelk {

namespace {

// The one-sided 1% quantile of the standard normal distribution.
constexpr double kZ99 = 2.3263478740408408;
// How many standard errors of the paired difference a smaller tree may lose to the best.
constexpr double kExcessErrors = 0.5;

}  // namespace

std::vector<double> weakest_link_levels(std::span<const RiskNode> nodes) {
  const size_t n = nodes.size();
  constexpr double kNone = -std::numeric_limits<double>::infinity();
  std::vector<double> level(n, kNone);
  // D: the risk the splits of a node's current subtree remove; N: its leaves.
  std::vector<double> removed(n, 0.0);
  std::vector<size_t> leaves(n, 1);
  for (size_t i = n; i-- > 0;) {
    const RiskNode& t = nodes[i];
    if (!t.split) continue;
    // Neither loss grows by splitting; a rounding below zero is no gain.
    const double own = std::max(t.risk - nodes[t.left].risk - nodes[t.right].risk, 0.0);
    removed[i] = own + removed[t.left] + removed[t.right];
    leaves[i] = leaves[t.left] + leaves[t.right];
  }
  const auto link = [&](size_t i) { return removed[i] / static_cast<double>(leaves[i] - 1); };
  // The weakest link first; equal links in pre-order.
  using Entry = std::pair<double, size_t>;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
  std::vector<double> current(n, 0.0);
  for (size_t i = 0; i < n; ++i) {
    if (!nodes[i].split) continue;
    current[i] = link(i);
    queue.emplace(current[i], i);
  }
  std::vector<char> collapsed(n, 0);
  double at = kNone;
  while (!queue.empty()) {
    const auto [value, t] = queue.top();
    queue.pop();
    if (collapsed[t] || value != current[t]) continue;  // collapsed, or its link has changed
    at = std::max(at, value);
    for (size_t i = t; i < nodes[t].end; ++i) {
      if (nodes[i].split && !collapsed[i]) {
        collapsed[i] = 1;
        level[i] = at;
      }
    }
    const double gone = removed[t];
    const size_t merged = leaves[t] - 1;
    for (size_t p = t; p != nodes[p].parent;) {
      p = nodes[p].parent;
      removed[p] -= gone;
      leaves[p] -= merged;
      current[p] = link(p);
      queue.emplace(current[p], p);
    }
  }
  return level;
}

PruningSequence pruning_sequence(std::span<const double> levels) {
  std::vector<double> distinct;
  for (double a : levels) {
    if (a > -std::numeric_limits<double>::infinity()) distinct.push_back(a);
  }
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  PruningSequence s;
  s.bounds.push_back(-std::numeric_limits<double>::infinity());
  s.bounds.insert(s.bounds.end(), distinct.begin(), distinct.end());
  const size_t m = distinct.size();
  if (m == 0) {
    s.representative.push_back(0.0);
    return s;
  }
  s.representative.push_back(distinct[0] > 0.0 ? distinct[0] / 2.0 : distinct[0] - 1.0);
  for (size_t c = 1; c < m; ++c) {
    const double lo = distinct[c - 1], hi = distinct[c];
    s.representative.push_back(lo > 0.0 ? std::sqrt(lo * hi) : (lo + hi) / 2.0);
  }
  // The single leaf's range has no upper end: every fold tree is pruned to its root, whatever
  // its own root's level, so that this candidate's risk is the leaf's.
  s.representative.push_back(std::numeric_limits<double>::infinity());
  return s;
}

SizingChoice::SizingChoice(size_t n_candidates) : n_(n_candidates), change_(n_candidates, 0.0) {}

void SizingChoice::add_risk(double w, std::span<const LossRun> runs, double root_loss) {
  weight_ += w;
  root_risk_ += w * root_loss;
  double previous = 0.0;
  for (const LossRun& run : runs) {
    const double here = w * run.loss;
    change_[run.first] += here - previous;
    previous = here;
  }
}

size_t SizingChoice::best() const {
  if (best_ == std::numeric_limits<size_t>::max()) {
    risk_.resize(n_);
    double sum = 0.0;
    for (size_t c = 0; c < n_; ++c) {
      sum += change_[c];
      risk_[c] = sum;
    }
    // From the single leaf towards the whole tree: equal risks go to the smaller tree.
    best_ = n_ - 1;
    for (size_t c = n_ - 1; c-- > 0;) {
      if (risk_[c] < risk_[best_]) best_ = c;
    }
  }
  return best_;
}

void SizingChoice::add_spread(double w, std::span<const LossRun> runs, double root_loss) {
  const size_t from = best();
  const double best_loss = runs.front().loss;
  const double e = root_loss - best_loss - (root_risk_ - risk_[from]) / weight_;
  const double w2 = w * w;
  gain_spread_ += w2 * e * e;
  if (excess_change_.empty()) {
    excess_change_.assign(n_ - from, 0.0);
    excess_square_change_.assign(n_ - from, 0.0);
  }
  square_weight_ += w2;
  double previous = 0.0;
  for (const LossRun& run : runs) {
    const double d = run.loss - best_loss;
    excess_change_[run.first - from] += w2 * (d - previous);
    excess_square_change_[run.first - from] += w2 * (d * d - previous * previous);
    previous = d;
  }
}

size_t SizingChoice::chosen() const {
  const size_t leaf = n_ - 1;
  if (!(weight_ > 0.0)) return leaf;
  const size_t chosen = best();
  if (chosen == leaf) return leaf;
  const double gain = (root_risk_ - risk_[chosen]) / weight_;
  const double error = std::sqrt(gain_spread_) / weight_;
  if (!(gain > 0.0 && gain > kZ99 * error)) return leaf;
  // The last candidate before the leaf that qualifies is the smallest tree. Per candidate,
  // sum w^2 (d - mean)^2 = sum w^2 d^2 - 2 mean sum w^2 d + mean^2 sum w^2. The best's own
  // changes are all 0 (d = 0 there), so the sums start past it.
  size_t kept = chosen;
  double excess = 0.0, excess_square = 0.0;
  for (size_t c = chosen + 1; c < leaf && c - chosen < excess_change_.size(); ++c) {
    excess += excess_change_[c - chosen];
    excess_square += excess_square_change_[c - chosen];
    const double mean = (risk_[c] - risk_[chosen]) / weight_;
    const double spread = excess_square - 2.0 * mean * excess + mean * mean * square_weight_;
    if (mean <= kExcessErrors * std::sqrt(std::max(spread, 0.0)) / weight_) kept = c;
  }
  return kept;
}

std::vector<double> SizingChoice::risks() const {
  best();
  std::vector<double> out(n_);
  for (size_t c = 0; c < n_; ++c)
    out[c] = weight_ > 0.0 ? risk_[c] / weight_ : 0.0;
  return out;
}

}  // namespace zelk
