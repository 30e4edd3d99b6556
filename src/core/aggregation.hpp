// Aggregators turn a candidate's per-fold scores into the one score it is ranked by.
#pragma once

#include <string_view>

#include "core/cross_validation.hpp"

namespace zelk {

// Every aggregator returns -infinity for a candidate without any fold score.
class Aggregator {
 public:
  virtual ~Aggregator() = default;
  virtual double aggregate(const FoldStats& stats) const = 0;
  virtual std::string_view name() const = 0;
  // Whether the aggregate is in the units of the fold scores, so that it can stand for them
  // in a sum; a ratio cannot.
  virtual bool in_loss_units() const { return true; }
};

class Mean final : public Aggregator {
 public:
  double aggregate(const FoldStats& stats) const override;
  std::string_view name() const override { return "mean"; }
};

class Median final : public Aggregator {
 public:
  double aggregate(const FoldStats& stats) const override;
  std::string_view name() const override { return "median"; }
};

class TrimmedMean final : public Aggregator {
 public:
  explicit TrimmedMean(double frac) : frac_(frac) {}
  double aggregate(const FoldStats& stats) const override;
  std::string_view name() const override { return "trimmed_mean"; }

 private:
  double frac_;
};

class SignalToNoise final : public Aggregator {
 public:
  explicit SignalToNoise(double eps) : eps_(eps) {}
  double aggregate(const FoldStats& stats) const override;
  std::string_view name() const override { return "signal_to_noise"; }
  bool in_loss_units() const override { return false; }

 private:
  double eps_;
};

class MeanMinusLambdaStd final : public Aggregator {
 public:
  explicit MeanMinusLambdaStd(double lambda) : lambda_(lambda) {}
  double aggregate(const FoldStats& stats) const override;
  std::string_view name() const override { return "mean_minus_lambda_std"; }

 private:
  double lambda_;
};

}  // namespace zelk
