#include "core/objective.hpp"

#include <algorithm>

namespace zelk {

template <class Count>
BasicConfusion<Count> BasicConfusion<Count>::zero(size_t n_classes) {
  BasicConfusion table;
  table.true_pos.assign(n_classes, 0);
  table.false_pos.assign(n_classes, 0);
  table.false_neg.assign(n_classes, 0);
  table.support.assign(n_classes, 0);
  table.n_classes = n_classes;
  table.total = 0;
  return table;
}

template <class Count>
void BasicConfusion<Count>::add_group(size_t predicted, std::span<const Count> counts) {
  // A short `counts` or a prediction outside the table must not write out of bounds: missing
  // counts are zero, and a prediction of no known class is wrong for every sample, with no
  // class to charge the false positive to.
  const size_t n = std::min(n_classes, counts.size());
  for (size_t k = 0; k < n; ++k) {
    const Count x = counts[k];
    if (x == 0) continue;
    support[k] += x;
    total += x;
    if (k == predicted) {
      true_pos[k] += x;
    } else {
      false_neg[k] += x;
      if (predicted < n_classes) false_pos[predicted] += x;
    }
  }
}

template struct BasicConfusion<uint64_t>;
template struct BasicConfusion<double>;

namespace {

// Counts are summed as integers and weights as doubles: integer-valued weights below 2^53
// give the same sums, so a weight-1 table scores as its count table.
template <class Count>
double ratio(Count numerator, Count denominator) {
  return denominator == 0 ? 0.0 : static_cast<double>(numerator) / static_cast<double>(denominator);
}

struct PrecisionFormula {
  template <class Count>
  double operator()(Count tp, Count fp, Count /*fn*/) const {
    return ratio(tp, tp + fp);
  }
};

struct RecallFormula {
  template <class Count>
  double operator()(Count tp, Count /*fp*/, Count fn) const {
    return ratio(tp, tp + fn);
  }
};

struct F1Formula {
  template <class Count>
  double operator()(Count tp, Count fp, Count fn) const {
    return ratio(2 * tp, 2 * tp + fp + fn);
  }
};

// Denominators are formed in floats, in the order that fixes the rounding; a NaN beta fails
// the `> 0.0` test and scores 0.0.
struct FBetaFormula {
  double b2;
  double w;

  explicit FBetaFormula(double beta) : b2(beta * beta), w(1.0 + b2) {}

  template <class Count>
  double operator()(Count tp, Count fp, Count fn) const {
    const double numerator = static_cast<double>(tp) * w;
    const double denominator =
        static_cast<double>(fp) + (static_cast<double>(fn) * b2 + static_cast<double>(tp) * w);
    return denominator > 0.0 ? numerator / denominator : 0.0;
  }

  template <class Count>
  double micro(Count tp, Count fp, Count fn) const {
    const double numerator = w * static_cast<double>(tp);
    const double denominator =
        (static_cast<double>(fn) * b2 + w * static_cast<double>(tp)) + static_cast<double>(fp);
    return denominator > 0.0 ? numerator / denominator : 0.0;
  }
};

template <class Formula, class Count>
double micro_score(const Formula& formula, Count tp, Count fp, Count fn) {
  if constexpr (requires { formula.micro(tp, fp, fn); }) {
    return formula.micro(tp, fp, fn);
  } else {
    return formula(tp, fp, fn);
  }
}

template <class Count, class Formula>
double averaged(const BasicConfusion<Count>& t, Average average, size_t pos_label,
                const Formula& formula) {
  const size_t n = t.n_classes;
  switch (average) {
    case Average::Binary:
      if (pos_label >= n) return 0.0;
      return formula(t.true_pos[pos_label], t.false_pos[pos_label], t.false_neg[pos_label]);
    case Average::Micro: {
      Count tp = 0, fp = 0, fn = 0;
      for (size_t k = 0; k < n; ++k) {
        tp += t.true_pos[k];
        fp += t.false_pos[k];
        fn += t.false_neg[k];
      }
      return micro_score(formula, tp, fp, fn);
    }
    case Average::Macro: {
      if (n == 0) return 0.0;
      double sum = 0.0;
      for (size_t k = 0; k < n; ++k)
        sum += formula(t.true_pos[k], t.false_pos[k], t.false_neg[k]);
      return sum / static_cast<double>(n);
    }
    case Average::Weighted: {
      if (t.total == 0 || n == 0) return 0.0;
      double sum = 0.0;
      for (size_t k = 0; k < n; ++k) {
        sum += static_cast<double>(t.support[k]) *
               formula(t.true_pos[k], t.false_pos[k], t.false_neg[k]);
      }
      return sum / static_cast<double>(t.total);
    }
  }
  return 0.0;
}

template <class Count>
double accuracy(const BasicConfusion<Count>& table) {
  Count correct = 0;
  for (Count tp : table.true_pos)
    correct += tp;
  return ratio(correct, table.total);
}

}  // namespace

double Accuracy::score(const Confusion& table) const {
  return accuracy(table);
}

double Accuracy::score(const WeightedConfusion& table) const {
  return accuracy(table);
}

double Precision::score(const Confusion& table) const {
  return averaged(table, average_, pos_label_, PrecisionFormula{});
}

double Precision::score(const WeightedConfusion& table) const {
  return averaged(table, average_, pos_label_, PrecisionFormula{});
}

double Recall::score(const Confusion& table) const {
  return averaged(table, average_, pos_label_, RecallFormula{});
}

double Recall::score(const WeightedConfusion& table) const {
  return averaged(table, average_, pos_label_, RecallFormula{});
}

double F1::score(const Confusion& table) const {
  return averaged(table, average_, pos_label_, F1Formula{});
}

double F1::score(const WeightedConfusion& table) const {
  return averaged(table, average_, pos_label_, F1Formula{});
}

double FBeta::score(const Confusion& table) const {
  return averaged(table, average_, pos_label_, FBetaFormula(beta_));
}

double FBeta::score(const WeightedConfusion& table) const {
  return averaged(table, average_, pos_label_, FBetaFormula(beta_));
}

}  // namespace zelk
