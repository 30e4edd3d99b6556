// Which candidate splits a node may take at all, whatever they score: the one place where a
// rule on candidates lives. Every candidate of both growth modes and both validations passes
// `NodeAdmission::admits` before it can win; scorers that do not otherwise compute a
// candidate's sides over the node compute them only when a rule reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>

namespace zelk {

// One side of a candidate split as the rows it is judged on see it (the node's, or a fold's
// training part): its rows of positive weight, its weight, and the weighted sum of its value
// (the target for regression, the indicator of class 1 for two classes), whose ratio to the
// weight is the value the side would predict.
struct Side {
  double rows = 0.0;
  double weight = 0.0;
  double value_sum = 0.0;

  double value() const { return value_sum / weight; }
};

// The range a node's value must stay in: set by the constrained splits above it.
struct NodeBounds {
  double lower = -std::numeric_limits<double>::infinity();
  double upper = std::numeric_limits<double>::infinity();

  double clamp(double value) const { return value < lower ? lower : value > upper ? upper : value; }
  bool bounded() const {
    return lower != -std::numeric_limits<double>::infinity() ||
           upper != std::numeric_limits<double>::infinity();
  }
};

// The rules of one fit.
struct Admissibility {
  // Rows and weight each side keeps at least; a positive weight on both sides when
  // `positive_weight`. Held-out validation judges its candidates with these floors; validated
  // candidates keep the floors for the split itself, after the choice.
  double min_rows = 0.0;
  double min_weight = 0.0;
  bool positive_weight = false;
  // Per feature: +1 the prediction must not fall as the feature grows, -1 must not rise, 0
  // free; empty for no constraint. A constrained feature splits by thresholds only.
  std::span<const int8_t> monotonic;

  // Whether a rule reads the sides' values, which the floors do not.
  bool reads_values() const { return !monotonic.empty(); }

  // The bounds of the two children of a node split on `feature` with sides of these values:
  // under a constraint, the midpoint of the values separates them.
  std::pair<NodeBounds, NodeBounds> child_bounds(const NodeBounds& node, size_t feature,
                                                 double left_value, double right_value) const {
    const int8_t direction = constraint(feature);
    if (direction == 0) return {node, node};
    const double middle = (left_value + right_value) / 2.0;
    NodeBounds low = node, high = node;
    (direction > 0 ? low.upper : low.lower) = middle;
    (direction > 0 ? high.lower : high.upper) = middle;
    return {low, high};
  }

  int8_t constraint(size_t feature) const {
    return feature < monotonic.size() ? monotonic[feature] : int8_t{0};
  }
};

// The rules of a fit with the bounds of one node.
struct NodeAdmission {
  const Admissibility* rules = nullptr;  // none: every candidate is admitted
  NodeBounds bounds;

  bool reads_values() const { return rules != nullptr && rules->reads_values(); }

  // Whether a candidate on `feature` (a threshold, or else a membership test) with these sides
  // may split the node: both sides keep the floors; under a constraint the sides' values keep
  // its order, and once a constraint bounds the node both values stay within its bounds.
  bool admits(size_t feature, bool threshold, const Side& left, const Side& right) const {
    if (rules == nullptr) return true;
    const Admissibility& r = *rules;
    if (!(left.rows >= r.min_rows && right.rows >= r.min_rows)) return false;
    if (r.positive_weight && !(left.weight > 0.0 && right.weight > 0.0)) return false;
    if (r.min_weight > 0.0 && !(left.weight >= r.min_weight && right.weight >= r.min_weight)) {
      return false;
    }
    if (!r.reads_values()) return true;
    const double lv = left.value(), rv = right.value();
    const int8_t direction = r.constraint(feature);
    if (direction != 0 && (!threshold || !((lv - rv) * direction <= 0.0))) return false;
    return lv >= bounds.lower && lv <= bounds.upper && rv >= bounds.lower && rv <= bounds.upper;
  }
};

}  // namespace zelk
