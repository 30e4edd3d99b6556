// The fit: from the caller's training set to a grown, validated tree. Checks the input,
// chooses the growth mode, bins or builds the columns, reads the targets and weights, grows
// and prunes; the estimator's tree is not touched, so a failed fit leaves it as it was.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "core/data.hpp"
#include "core/result.hpp"
#include "core/tree/decision_tree.hpp"

namespace zelk {

// A training set as the caller holds it, read in place through its strides: targets are
// float64 for regression and int64 labels for the classifiers, weights float64.
struct TrainingSet {
  MatrixView x;
  VectorView y;
  const VectorView* weights = nullptr;       // none: every sample weighs 1
  std::span<const size_t> categorical = {};  // ascending, without duplicates
};

// How the input is checked. Lenient, as the fixed module reads it: a label below 0 is class 0
// and any target and n_bins are taken. Checked: labels outside 0 .. n_classes - 1, targets that
// are not finite or too large for the sums growth forms of them, and an n_bins the mode cannot
// code are refused, which growth would otherwise count nowhere, turn into NaN leaves or run out
// of memory on.
enum class InputChecks { Lenient, Checked };

// The tree of `model`'s settings grown from `data`, or the message that refuses the input.
template <class K>
Expected<std::unique_ptr<NodeOf<K>>> fit_tree(const DecisionTree<K>& model, const TrainingSet& data,
                                              InputChecks checks);

// Puts the weighted counts of a tree grown on weights from scale_weights(…) == exponent back
// into the caller's units: exact while they stay normal numbers (a count that the rounding of
// its sum put past the largest double, whose total did not pass it, is kept at that largest).
// The held-out gains are left in the scaled units: only pruning, inside growth, reads them.
template <class T>
void restore_weighted_counts(Node<T>& root, int exponent) {
  if (exponent == 0) return;
  std::vector<Node<T>*> stack{&root};
  while (!stack.empty()) {
    Node<T>* n = stack.back();
    stack.pop_back();
    n->stats.weighted_n_samples = std::min(std::ldexp(n->stats.weighted_n_samples, exponent),
                                           std::numeric_limits<double>::max());
    if (!n->is_leaf()) {
      stack.push_back(n->right.get());
      stack.push_back(n->left.get());
    }
  }
}

}  // namespace zelk
