// Sizing a tree by cross-validating the whole tree over its cost-complexity pruning sequence
// (Breiman et al. 1984, ch. 3): the nested subtrees that weakest-link pruning gives are the
// candidate sizes; trees grown the same way on nine tenths of the rows give every row's
// held-out loss under every candidate. The candidate of least cross-validated risk must beat a
// single leaf on those rows by a one-sided paired test at the 1% level (it was picked as the
// best of many), or the tree is a single leaf. Then the smallest candidate whose risk exceeds
// the least by at most half the standard error of their paired difference is kept: a
// difference that small is the noise of the minimum, which flatters the candidate it falls on.
#pragma once

#include <cstddef>
#include <limits>
#include <span>
#include <vector>

namespace zelk {

// The folds of the whole tree's cross-validation.
inline constexpr size_t kSizingFolds = 10;

// One node of a grown tree for weakest-link pruning, in pre-order (a split's subtree is the
// range from it to `end`): its risk as a leaf over its own training rows (misclassified weight,
// or weighted squared error).
struct RiskNode {
  bool split = false;
  size_t left = 0;
  size_t right = 0;
  size_t parent = 0;  // the root's is itself
  size_t end = 0;     // one past the last node of its subtree
  double risk = 0.0;
};

// Every split's weakest-link level: the cost-complexity penalty per leaf at which its subtree
// is pruned (a parent's level is at least its children's); -infinity for a leaf.
std::vector<double> weakest_link_levels(std::span<const RiskNode> nodes);

// The candidates of a tree whose splits have these levels: candidate c keeps the splits whose
// level exceeds `bounds[c]` (candidate 0 the whole tree, the last the single leaf), and a tree
// grown on part of the rows is pruned for it at `representative[c]`, a level inside
// candidate c's range (the geometric mean of its ends where they are positive; infinity for
// the single leaf).
struct PruningSequence {
  std::vector<double> bounds;
  std::vector<double> representative;
  size_t size() const { return bounds.size(); }
};

PruningSequence pruning_sequence(std::span<const double> levels);

// A held-out row's loss under the candidates from `first` up to the next run's first: the
// candidates prune its fold tree at rising levels, so its loss changes only where its leaf
// moves up its path, at most once per node of the path.
struct LossRun {
  size_t first = 0;
  double loss = 0.0;
};

// Weighted sums over held-out rows, per candidate, from which the choice is made. A row
// contributes its weight w, its loss under every candidate (as runs, in order from candidate
// 0) and its loss under its fold tree's root (the single leaf of that fold's training part).
// The choice needs two passes over the same rows: add_risk for every row, then add_spread with
// its runs from the best candidate on.
class SizingChoice {
 public:
  explicit SizingChoice(size_t n_candidates);

  void add_risk(double w, std::span<const LossRun> runs, double root_loss);
  // After every add_risk: the candidate of least risk, the smallest tree among equals.
  size_t best() const;
  // `runs` start at best().
  void add_spread(double w, std::span<const LossRun> runs, double root_loss);

  // The chosen candidate: the single leaf when the best does not beat it at the 1% level, else
  // the smallest tree whose risk is within half a standard error of the paired difference to
  // the best's.
  size_t chosen() const;
  // The cross-validated risk of every candidate, per unit of weight.
  std::vector<double> risks() const;

 private:
  size_t n_;
  double weight_ = 0.0;
  // Candidate c's risk, the sum of w loss, is the sum of change_[0..c]: a run adds its loss
  // where it starts and takes it away where the next starts, so a row costs its runs alone.
  std::vector<double> change_;
  mutable std::vector<double> risk_;
  double root_risk_ = 0.0;  // sum of w root loss
  // The best candidate's gain over the root, e = root loss - loss: the sum of w^2 (e - mean)^2.
  double gain_spread_ = 0.0;
  // For candidates from the best on, their loss over the best's, d: the sums of w^2 d and of
  // w^2 d^2 as changes along the candidates (as change_), and the sum of w^2.
  std::vector<double> excess_change_;
  std::vector<double> excess_square_change_;
  double square_weight_ = 0.0;
  mutable size_t best_ = std::numeric_limits<size_t>::max();
};

}  // namespace zelk
