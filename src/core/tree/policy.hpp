// What both growth drivers decide alike: when a node stops, which candidates it may take, how
// its split is validated (the evidence it gathers, the verdict drawn from it, the pass after
// growth), what each side of a split must keep, and what a node records of its decision. The
// drivers differ only in how they score, make rules and partition.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/admissibility.hpp"
#include "core/aggregation.hpp"
#include "core/histogram/best_split.hpp"
#include "core/tree/model.hpp"
#include "core/tree/params.hpp"
#include "core/tree/tasks.hpp"
#include "core/validation/held_out.hpp"
#include "core/validation/prune.hpp"

namespace zelk {

// What a node's validation reads of the node besides its evidence.
struct NodeFacts {
  double weight = 0.0;  // its total weight (its sample count when unweighted)
  size_t counted = 0;   // its samples (of positive weight, when weighted)
};

// The split a node's evidence chose, with what the node records of how it was chosen.
struct Verdict {
  size_t feature = 0;
  uint32_t state = 0;
  double split_score = 0.0;
  std::vector<double> fold_scores;
  double held_out_gain = std::numeric_limits<double>::quiet_NaN();
  double held_out_variance = std::numeric_limits<double>::quiet_NaN();

  void record(NodeStats& stats) && {
    stats.split_score = split_score;
    stats.fold_scores = std::move(fold_scores);
    stats.held_out_gain = held_out_gain;
    stats.held_out_variance = held_out_variance;
  }
};

// Validated candidates: every candidate is scored on the node's folds and the best aggregate
// splits the node while it beats min_impurity_decrease; nothing is pruned afterwards.
struct CandidateValidation {
  double min_impurity_decrease = 0.0;

  // `scorer.candidates()` gives the node's best scored candidate.
  template <class Scorer>
  std::optional<Verdict> choose(Scorer& scorer, const NodeFacts& /*facts*/) const {
    BestSplit best = scorer.candidates();
    if (!best.found || min_impurity_decrease >= best.score) return std::nullopt;
    return Verdict{best.feature, best.state, best.score, std::move(best.fold_scores)};
  }
  template <class T>
  void after_growth(Node<T>& /*root*/) const {}
};

// Whether the folds' picks of `feature`'s own evidence gain more on the folds' held-out parts
// than those of `than`, per unit of weight, by more than one standard error of the difference
// over the folds where both pick a split.
inline bool clearly_better(const HeldOutEvidence& feature, const HeldOutEvidence& than) {
  std::vector<double> d;
  for (size_t f = 0; f < feature.folds.size(); ++f) {
    const double size = feature.validation_size[f];
    if (!feature.folds[f].found || !than.folds[f].found || !(size > 0.0)) continue;
    d.push_back((feature.folds[f].held_out_gain - than.folds[f].held_out_gain) / size);
  }
  if (d.size() < 2) return false;
  double mean = 0.0;
  for (double x : d)
    mean += x;
  mean /= static_cast<double>(d.size());
  double squares = 0.0;
  for (double x : d)
    squares += (x - mean) * (x - mean);
  const double m = static_cast<double>(d.size());
  return mean > std::sqrt(squares / (m - 1.0) / m);
}

// Held-out validation: the node splits by its own best candidate, its folds estimate what that
// gains on data they did not pick from, and after growth every subtree that does not gain is
// pruned (splits keep their payload until then).
struct HeldOutValidation {
  HeldOutTask task;  // the task's measures
  const Aggregator* aggregator = nullptr;
  double min_impurity_decrease = 0.0;
  // Sized as a whole afterwards (validation "tree"): every split is kept. The in-sample gain
  // of a cut of categories ordered by that very sample is optimistic beside other features', so
  // such a winner gives way to a feature whose own best split gains more on the folds by more
  // than one standard error of the paired difference (see clearly_better).
  bool sized_as_a_whole = false;
  // Whether splits carry their held-out scores (see Params::scores_splits).
  bool scores_splits = true;

  // `scorer.held_out(task)` gathers the node's evidence, feature by feature.
  template <class Scorer>
  std::optional<Verdict> choose(Scorer& scorer, const NodeFacts& facts) const {
    HeldOutTask node_task = task;
    if (node_task.weighted) {
      // One pseudo-sample of the node's mean weight: the smoothing does not change when every
      // weight is scaled.
      node_task.pseudo_count = facts.weight / static_cast<double>(facts.counted);
    }
    // Unscored, a split needs the folds only to judge an ordered-category winner or to clear
    // a bar; the node's own choice is the same either way.
    node_task.choice_only = sized_as_a_whole && !scores_splits && !(min_impurity_decrease > 0.0);
    const auto merged = [](const std::vector<HeldOutEvidence>& by_feature) {
      HeldOutEvidence evidence(by_feature.empty() ? 0 : by_feature[0].folds.size());
      for (const HeldOutEvidence& e : by_feature)
        evidence.merge(e);
      return evidence;
    };
    if (node_task.choice_only) {
      // The scorer may keep the evidence in a buffer that the next gathering refills.
      const HeldOutEvidence choice = merged(scorer.held_out(node_task));
      if (!choice.found) return std::nullopt;
      if (!scorer.orders_categories(choice.feature)) {
        Verdict unscored;
        unscored.feature = choice.feature;
        unscored.state = choice.state;
        unscored.split_score = std::numeric_limits<double>::quiet_NaN();
        return unscored;
      }
      node_task.choice_only = false;
    }
    const std::vector<HeldOutEvidence>& by_feature = scorer.held_out(node_task);
    HeldOutEvidence evidence = merged(by_feature);
    HeldOutEstimate estimate = estimate_held_out(evidence, *aggregator, facts.weight);
    if (!estimate.found) return std::nullopt;
    if (sized_as_a_whole && scorer.orders_categories(evidence.feature)) {
      const HeldOutEvidence& winner = by_feature[evidence.feature];
      double best_gain = -std::numeric_limits<double>::infinity();
      for (const HeldOutEvidence& e : by_feature) {
        if (&e == &winner || !clearly_better(e, winner)) continue;
        HeldOutEstimate own = estimate_held_out(e, *aggregator, facts.weight);
        if (own.found && own.gain > best_gain) {
          best_gain = own.gain;
          estimate = std::move(own);
          evidence = e;
        }
      }
    }
    // Sized as a whole, a positive min_impurity_decrease is a bar each split's validated gain
    // must clear as the tree grows (else nothing is pruned by it).
    if (sized_as_a_whole && min_impurity_decrease > 0.0 &&
        !(estimate.score > min_impurity_decrease)) {
      return std::nullopt;
    }
    return Verdict{evidence.feature, evidence.state,
                   estimate.score,   std::move(estimate.fold_scores),
                   estimate.gain,    estimate.variance};
  }
  template <class T>
  void after_growth(Node<T>& root) const {
    if (!sized_as_a_whole) prune_held_out(root, min_impurity_decrease);
  }
};

// The splits of `root` that held_out_kept does not keep become leaves with the payload growth
// left in them; their subtrees are freed.
template <class T>
void prune_held_out(Node<T>& root, double min_impurity_decrease) {
  std::vector<Node<T>*> order;  // pre-order
  std::vector<PruneNode> flat;
  struct Pending {
    Node<T>* node;
    size_t parent;  // index of the parent, or the node's own index for the root
    bool is_left;
  };
  std::vector<Pending> stack{{&root, 0, false}};
  while (!stack.empty()) {
    const Pending p = stack.back();
    stack.pop_back();
    const size_t index = order.size();
    order.push_back(p.node);
    const NodeStats& stats = p.node->stats;
    flat.push_back({!p.node->is_leaf(), 0, 0, stats.held_out_gain, stats.held_out_variance,
                    stats.weighted_n_samples, stats.fold_scores.size()});
    if (index > 0) (p.is_left ? flat[p.parent].left : flat[p.parent].right) = index;
    if (!p.node->is_leaf()) {
      stack.push_back({p.node->right.get(), index, false});
      stack.push_back({p.node->left.get(), index, true});
    }
  }
  const std::vector<char> kept = held_out_kept(flat, min_impurity_decrease);
  // Parents come first, so a split turned into a leaf is met before anything below it; what
  // it frees is marked gone down to the leaves before any of it would be visited.
  std::vector<char> gone(order.size(), 0);
  for (size_t i = 0; i < order.size(); ++i) {
    if (!flat[i].split) continue;
    if (!gone[i] && kept[i]) continue;
    for (size_t child : {flat[i].left, flat[i].right})
      gone[child] = 1;
    if (gone[i]) continue;
    Node<T>& n = *order[i];
    n.rule.reset();
    n.left.reset();
    n.right.reset();
    n.stats.split_score = std::numeric_limits<double>::quiet_NaN();
    n.stats.fold_scores.clear();
  }
}

// The settings a task grows by: the objective classifier sends one category against the rest
// (its scorers judge no cuts of an order).
template <class K>
Params effective_params(const Params& params) {
  Params p = params;
  if constexpr (std::is_same_v<K, ObjectiveClassification>) p.category_subsets = false;
  return p;
}

// The rules one fit grows by, shared by both drivers.
template <class K>
class GrowthPolicy {
 public:
  // `total_weight` is the training set's weight (its sample count when unweighted).
  GrowthPolicy(const K& task, const Params& params, const Aggregator& aggregator, bool weighted,
               double total_weight)
      : params_(params),
        min_split_(std::max<size_t>(params.min_samples_split, 2)),
        min_leaf_(std::max<size_t>(params.min_samples_leaf, 1)) {
    if (params.min_weight_fraction_leaf > 0.0) {
      min_weight_leaf_ = params.min_weight_fraction_leaf * total_weight;
    }
    // Constraints that are all 0 constrain nothing: such a fit grows the unconstrained tree.
    if (std::any_of(params.monotonic.begin(), params.monotonic.end(),
                    [](int8_t c) { return c != 0; })) {
      admissibility_.monotonic = params.monotonic;
    }
    if (params.validation != Validation::Candidates) {
      HeldOutTask held_out = task.held_out();
      held_out.weighted = weighted;
      validation_ = HeldOutValidation{held_out, &aggregator, params.min_impurity_decrease,
                                      params.validation == Validation::Tree, params.scores_splits};
      // Held-out validation judges every candidate by the floors of the split itself.
      admissibility_.min_rows = static_cast<double>(min_leaf_);
      admissibility_.min_weight = min_weight_leaf_;
      admissibility_.positive_weight = weighted;
    } else {
      validation_ = CandidateValidation{params.min_impurity_decrease};
    }
  }

  // The stop rules that need no scoring: too few samples (of positive weight, when weighted),
  // the depth limit, a pure node. Written so that a not-a-number impurity does not stop growth.
  bool stops(size_t counted, size_t depth, double impurity) const {
    if (counted < min_split_) return true;
    if (params_.max_depth && depth >= *params_.max_depth) return true;
    return 0.0 >= impurity;
  }

  // Whether a split keeps min_samples_leaf samples (of positive weight) on each side.
  bool keeps_rows(size_t left, size_t right) const {
    return left >= min_leaf_ && right >= min_leaf_;
  }
  // Whether both sides keep the weight floor; only asked when there is one.
  bool weight_floor() const { return min_weight_leaf_ > 0.0; }
  bool keeps_weight(double left, double right) const {
    return left >= min_weight_leaf_ && right >= min_weight_leaf_;
  }

  NodeAdmission admission(const NodeBounds& bounds) const {
    return NodeAdmission{&admissibility_, bounds};
  }
  const Admissibility& admissibility() const { return admissibility_; }

  // Whether a split keeps its payload, for the pass after growth to turn it back into a leaf.
  bool keeps_payloads() const { return std::holds_alternative<HeldOutValidation>(validation_); }

  template <class Scorer>
  std::optional<Verdict> choose(Scorer& scorer, const NodeFacts& facts) const {
    return std::visit([&](const auto& v) { return v.choose(scorer, facts); }, validation_);
  }

  template <class T>
  void after_growth(Node<T>& root) const {
    std::visit([&](const auto& v) { v.after_growth(root); }, validation_);
  }

 private:
  const Params& params_;
  size_t min_split_;
  size_t min_leaf_;
  double min_weight_leaf_ = 0.0;  // 0 sets no floor
  Admissibility admissibility_;
  std::variant<CandidateValidation, HeldOutValidation> validation_;
};

}  // namespace zelk
