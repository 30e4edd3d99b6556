// Category subsets: the categories of a node (or of a fold's training part) ordered by the
// statistic of their rows, so that the best subset of categories to send left is one of the
// cuts of that order - exactly so for squared error and for the impurity of two classes
// (Fisher 1958; Breiman et al. 1984). Regression orders by the mean target, two classes by the
// frequency of class 1, more classes by the projection of the class frequencies on their first
// principal component (Coppersmith, Hong and Hosking 1999). Ties keep the lower slot first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelk {

// Per slot (a category), the weight of its rows and its sums: of the targets (regression), of
// class 1 (two classes), or of every class (more classes).
class CategoryTally {
 public:
  // `n_classes` 0 for regression.
  explicit CategoryTally(size_t n_slots = 0, size_t n_classes = 0);

  // Empty, with `n_slots` slots for `n_classes` (keeps the capacity, to be reused).
  void reset(size_t n_slots, size_t n_classes);
  void clear();
  // A row of `slot`: its target (regression) or label, and its weight.
  void add(size_t slot, double target, double weight);
  void add(size_t slot, size_t label, double weight);
  // A slot's rows given as totals: their count, weight and sums as add() would make them.
  void add_totals(size_t slot, uint64_t rows, double weight, std::span<const double> sums);
  // Another tally's rows taken away slot by slot (a fold's training part: the node less it).
  void subtract(const CategoryTally& other);

  // The rank of every slot, 0 for the first, into `rank` (n_slots entries): the slots with
  // rows in their order, then the others in slot order. Returns how many have rows.
  size_t order(std::vector<uint32_t>& rank) const;

  size_t n_slots() const { return weight_.size(); }
  size_t width() const { return width_; }

 private:
  // The projection of each slot's class frequencies on their first principal component, into
  // keys_.
  void principal_keys() const;

  size_t n_classes_;
  size_t width_;  // sums per slot: 1, or n_classes for more than two classes
  // Rows decide whether a slot has any, not a weight that a subtraction may leave rounded.
  std::vector<uint64_t> rows_;
  std::vector<double> weight_;
  std::vector<double> sums_;
  // The ordering's working arrays, kept so that a tally ordered again allocates nothing.
  mutable std::vector<double> keys_, mean_, centred_, matrix_, vector_, next_;
  mutable std::vector<size_t> live_;
  mutable std::vector<uint32_t> slots_;
};

}  // namespace zelk
