// Exact path-dependent SHAP values of one tree (Lundberg et al. 2020, Algorithm 2): for every
// row, each feature's Shapley value under the value function that follows the row where a
// feature is known and averages both children by their training cover where it is not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/data.hpp"
#include "core/tree/model.hpp"

namespace zelk {

// A tree laid out for TreeSHAP: nodes in pre-order with their covers and leaf outputs. Rules
// stay the model's own and are routed by route_left_row, so every rule kind the model knows
// is explained without code of its own here. The tree must outlive this object.
class ShapTree {
 public:
  // `n_outputs` values per leaf: a regression leaf's value, or a class leaf's probabilities
  // padded with zeros to n_outputs. A leaf's cover is its weighted_n_samples (its n_samples
  // when the tree carries no weights); a split's is the sum of its children's.
  ShapTree(const Node<double>& root, size_t n_outputs);
  ShapTree(const Node<ClassPrediction>& root, size_t n_outputs);

  size_t n_outputs() const { return n_outputs_; }
  // 1 + the largest feature a rule reads; 0 for a single leaf.
  size_t n_features() const { return n_features_; }
  // The mean output over the training cover: what the values of a row explain the distance
  // from (n_outputs values).
  std::span<const double> expected_value() const { return expected_; }

  // Everything one thread needs to explain rows, sized once for this tree.
  class Scratch {
    friend class ShapTree;
    struct PathElement {
      size_t feature;
      double zero_fraction;  // share of the cover that reaches here when the feature is unknown
      double one_fraction;   // 1 when the row itself goes this way, else 0
      double weight;         // the permutation weight of subsets of this size
    };
    struct Frame {
      uint32_t node;
      uint32_t slot;    // the path slot this node extends into
      uint32_t source;  // the slot holding its parent's path
      uint32_t length;  // elements of the parent's path
      double zero_fraction;
      double one_fraction;
      size_t feature;
    };
    std::vector<PathElement> paths_;
    std::vector<Frame> stack_;
    std::vector<Cell> row_;
  };
  Scratch make_scratch() const;

  // Adds the values of `row` (at least n_features cells) to `phi`, laid out feature-major
  // (phi[f * n_outputs + k]); `phi` has room for every feature the rules read.
  void explain_row(std::span<const Cell> row, std::span<double> phi, Scratch& scratch) const;

  // The values of every row of `x` (x.cols >= n_features) into `out`, n_rows x x.cols x
  // n_outputs, zeroed by the caller. Columns in `categorical` (ascending) hold category codes.
  // Rows are spread over `n_threads` workers; each row's values are computed alone, so the
  // result is the same at any thread count.
  void explain(const MatrixView& x, std::span<const size_t> categorical, size_t n_threads,
               double* out) const;

 private:
  struct FlatNode {
    const SplitRule* rule = nullptr;  // nullptr at a leaf
    uint32_t left = 0;
    uint32_t right = 0;
    double left_fraction = 0.0;  // cover(left) / cover(node), 0 when the node has no cover
    double right_fraction = 0.0;
    size_t value = 0;        // a leaf's first output in values_
    bool left_first = true;  // explain the smaller subtree first, so few paths stay alive
  };

  template <class T>
  void build(const Node<T>& root);
  // Covers, branch fractions, the expected value and the path slots, from the leaves up.
  void finish(std::vector<double>& covers);

  std::vector<FlatNode> nodes_;
  std::vector<double> values_;
  std::vector<double> expected_;
  std::vector<double> inverse_;  // inverse_[k] = 1 / k for the lengths a path can have
  size_t n_outputs_ = 1;
  size_t n_features_ = 0;
  size_t path_capacity_ = 1;  // elements one path can hold
  size_t slots_ = 1;          // paths alive at once
};

}  // namespace zelk
