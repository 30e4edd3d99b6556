// Impurity criteria: lower is purer. Immutable, so one object serves many threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk {

// What a criterion measures, and with it which statistics of a side its scorers need:
// squared error a side's weight and its sums of y and y y, absolute error the side's values
// themselves, Gini and entropy the side's class counts (class weights when weighted).
enum class CriterionKind { SquaredError, AbsoluteError, Gini, Entropy };

template <class Target>
class Criterion {
 public:
  virtual ~Criterion() = default;
  virtual CriterionKind kind() const = 0;
  virtual double impurity(std::span<const Target> targets) const = 0;
  // The impurity of the targets each counted with its weight (`weights` as long as
  // `targets`); weights of 1 give impurity() bit for bit, and scaling every weight by a power
  // of two changes nothing.
  virtual double weighted_impurity(std::span<const Target> targets,
                                   std::span<const double> weights) const = 0;
  virtual std::string_view name() const = 0;
};

// Population variance of n values from their sum and sum of squares, each accumulated in list
// order; Mse and Variance compute exactly this, so a scorer with running sums matches them.
double variance_from_sums(double sum, double sum_sq, size_t n);
// The same from weighted sums (of w y and of w y y) and the total weight, a count's double for
// weights of 1.
double variance_from_weighted_sums(double sum, double sum_sq, double weight);

// The median of the values of positive weight: the first value whose running weight (in
// ascending order) reaches half the total, or the mean of it and the next value of positive
// weight when it reaches exactly half; an unweighted median for weights of 1. `scratch`
// receives the (value, weight) pairs of positive weight in ascending order; 0.0 when no weight
// is positive.
double weighted_median(std::span<const double> values, std::span<const double> weights,
                       std::vector<std::pair<double, double>>& scratch);

// Mae's impurity (mean absolute deviation from the median) and its weighted form, sorting in
// the caller's buffers so that repeated calls need not allocate.
double absolute_deviation(std::span<const double> targets, std::vector<double>& scratch);
double weighted_absolute_deviation(std::span<const double> targets, std::span<const double> weights,
                                   std::vector<std::pair<double, double>>& scratch);

using RegressionCriterion = Criterion<double>;
using ClassCriterion = Criterion<size_t>;

// Population variance, clamped at zero against rounding.
class Mse final : public RegressionCriterion {
 public:
  CriterionKind kind() const override { return CriterionKind::SquaredError; }
  double impurity(std::span<const double> targets) const override;
  double weighted_impurity(std::span<const double> targets,
                           std::span<const double> weights) const override;
  std::string_view name() const override { return "mse"; }
};

// The same computation as Mse under another name.
class Variance final : public RegressionCriterion {
 public:
  CriterionKind kind() const override { return CriterionKind::SquaredError; }
  double impurity(std::span<const double> targets) const override;
  double weighted_impurity(std::span<const double> targets,
                           std::span<const double> weights) const override;
  std::string_view name() const override { return "variance"; }
};

// Mean absolute deviation from the median.
class Mae final : public RegressionCriterion {
 public:
  CriterionKind kind() const override { return CriterionKind::AbsoluteError; }
  double impurity(std::span<const double> targets) const override;
  // Mean absolute deviation from the weighted median, each deviation weighted.
  double weighted_impurity(std::span<const double> targets,
                           std::span<const double> weights) const override;
  std::string_view name() const override { return "mae"; }
};

// Labels at or above n_classes are not counted in any class but still count in n.
class Gini final : public ClassCriterion {
 public:
  explicit Gini(size_t n_classes) : n_classes_(n_classes) {}
  CriterionKind kind() const override { return CriterionKind::Gini; }
  double impurity(std::span<const size_t> labels) const override;
  double weighted_impurity(std::span<const size_t> labels,
                           std::span<const double> weights) const override;
  std::string_view name() const override { return "gini"; }
  size_t n_classes() const { return n_classes_; }

 private:
  size_t n_classes_;
};

// Entropy in bits.
class Entropy final : public ClassCriterion {
 public:
  explicit Entropy(size_t n_classes) : n_classes_(n_classes) {}
  CriterionKind kind() const override { return CriterionKind::Entropy; }
  double impurity(std::span<const size_t> labels) const override;
  double weighted_impurity(std::span<const size_t> labels,
                           std::span<const double> weights) const override;
  std::string_view name() const override { return "entropy"; }
  size_t n_classes() const { return n_classes_; }

 private:
  size_t n_classes_;
};

// The two classification formulas on counts with total `total` (classes in order); used by
// the fast scorers, which count instead of listing labels.
template <class Count>
double gini_from_counts(std::span<const Count> counts, uint64_t total);
template <class Count>
double entropy_from_counts(std::span<const Count> counts, uint64_t total);
// The same on class weights with total weight `total`; integer-valued weights give the count
// formulas bit for bit.
double gini_from_weights(std::span<const double> weights, double total);
double entropy_from_weights(std::span<const double> weights, double total);

}  // namespace zelk
