// Held-out validation: the t distribution facts it rests on, the fast scorer against a direct
// recomputation from lists, the validated gain of a node's evidence, and the pruning pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "core/aggregation.hpp"
#include "core/histogram/held_out.hpp"
#include "core/objective.hpp"
#include "core/tree/model.hpp"
#include "core/tree/policy.hpp"
#include "core/validation/held_out.hpp"
#include "core/validation/student_t.hpp"

namespace zelk {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct TCase {
  size_t nu;
  double q95;
  double cdf_1_3;
};

class StudentT : public ::testing::TestWithParam<TCase> {};

TEST_P(StudentT, MatchesReferenceValues) {
  const TCase c = GetParam();
  EXPECT_NEAR(student_t_quantile(0.95, c.nu), c.q95, 1e-9);
  EXPECT_NEAR(student_t_cdf(1.3, c.nu), c.cdf_1_3, 1e-12);
  EXPECT_NEAR(student_t_cdf(-1.3, c.nu), 1.0 - c.cdf_1_3, 1e-12);
  EXPECT_EQ(student_t_cdf(0.0, c.nu), 0.5);
}

INSTANTIATE_TEST_SUITE_P(Values, StudentT,
                         ::testing::Values(TCase{1, 6.313751514675037, 0.7912855998398473},
                                           TCase{2, 2.9199855803537242, 0.8383764840919798},
                                           TCase{3, 2.3533634348018233, 0.8577662456360515},
                                           TCase{4, 2.1318467863266495, 0.868274201764388},
                                           TCase{9, 1.833112932656237, 0.8870468136634754},
                                           TCase{254, 1.6508747913647657, 0.9026102873901314}));

// ---------------------------------------------------------------------------------------
// The fast scorer against lists

struct Sample {
  uint16_t code;
  uint8_t fold;
  double y;      // regression target
  size_t label;  // class
};

constexpr uint16_t kMissingCode16 = 65535;

// Squared error of a list from its mean, and the mean.
std::pair<double, double> sse(const std::vector<double>& y) {
  if (y.empty()) return {0.0, 0.0};
  double mean = 0.0;
  for (double v : y)
    mean += v;
  mean /= static_cast<double>(y.size());
  double out = 0.0;
  for (double v : y)
    out += (v - mean) * (v - mean);
  return {out, mean};
}

struct Classes {
  std::vector<double> counts;
  double n = 0.0;
};

Classes count(const std::vector<size_t>& labels, size_t k) {
  Classes c{std::vector<double>(k, 0.0), 0.0};
  for (size_t l : labels) {
    c.counts[l] += 1.0;
    c.n += 1.0;
  }
  return c;
}

double weighted_gini(const Classes& c) {
  if (c.n == 0.0) return 0.0;
  double sq = 0.0;
  for (double v : c.counts)
    sq += (v / c.n) * (v / c.n);
  return c.n * (1.0 - sq);
}

std::vector<double> smoothed(const Classes& c) {
  std::vector<double> p;
  for (double v : c.counts)
    p.push_back((v + 1.0) / (c.n + static_cast<double>(c.counts.size())));
  return p;
}

double brier(size_t label, const std::vector<double>& p) {
  double loss = 0.0;
  for (size_t j = 0; j < p.size(); ++j) {
    const double d = (j == label ? 1.0 : 0.0) - p[j];
    loss += d * d;
  }
  return loss;
}

// What one candidate does, from plain lists: the node's in-sample gain and every fold's
// training gain, held-out gain and in-sample loss gain.
struct Direct {
  double node_gain = 0.0, node_loss_gain = 0.0;
  size_t node_left = 0, node_right = 0;
  std::vector<double> pick, held_out, train_loss;
  std::vector<size_t> train_left, train_right;
};

Direct direct(const std::vector<Sample>& samples, size_t n_folds, size_t k, bool threshold,
              bool regression, size_t n_classes) {
  const auto left_of = [&](const Sample& s) {
    return s.code != kMissingCode16 && (threshold ? s.code <= k : s.code == k);
  };
  Direct d;
  // One set's gain from its sides, in-sample: by the criterion, and by the held-out loss.
  const auto gains = [&](const std::vector<const Sample*>& all, double& criterion, double& loss,
                         size_t& nl, size_t& nr) {
    std::vector<double> y, yl, yr;
    std::vector<size_t> c, cl, cr;
    for (const Sample* s : all) {
      const bool left = left_of(*s);
      (left ? yl : yr).push_back(s->y);
      (left ? cl : cr).push_back(s->label);
      y.push_back(s->y);
      c.push_back(s->label);
    }
    nl = yl.size();
    nr = yr.size();
    if (regression) {
      criterion = sse(y).first - sse(yl).first - sse(yr).first;
      loss = criterion;
      return;
    }
    const Classes t = count(c, n_classes), l = count(cl, n_classes), r = count(cr, n_classes);
    criterion = weighted_gini(t) - weighted_gini(l) - weighted_gini(r);
    loss = 0.0;
    for (size_t label : c)
      loss += brier(label, smoothed(t));
    for (size_t label : cl)
      loss -= brier(label, smoothed(l));
    for (size_t label : cr)
      loss -= brier(label, smoothed(r));
  };
  std::vector<const Sample*> all;
  for (const Sample& s : samples)
    all.push_back(&s);
  gains(all, d.node_gain, d.node_loss_gain, d.node_left, d.node_right);
  for (size_t f = 0; f < n_folds; ++f) {
    std::vector<const Sample*> train;
    for (const Sample& s : samples) {
      if (s.fold != f) train.push_back(&s);
    }
    double pick = 0.0, loss = 0.0;
    size_t nl = 0, nr = 0;
    gains(train, pick, loss, nl, nr);
    d.pick.push_back(pick);
    d.train_loss.push_back(loss);
    d.train_left.push_back(nl);
    d.train_right.push_back(nr);
    // Predictions of the training part, judged on the fold.
    std::vector<double> y, yl, yr;
    std::vector<size_t> c, cl, cr;
    for (const Sample* s : train) {
      y.push_back(s->y);
      (left_of(*s) ? yl : yr).push_back(s->y);
      c.push_back(s->label);
      (left_of(*s) ? cl : cr).push_back(s->label);
    }
    double held_out = 0.0;
    for (const Sample& s : samples) {
      if (s.fold != f) continue;
      const bool left = left_of(s);
      if (regression) {
        const double m0 = sse(y).second, ms = sse(left ? yl : yr).second;
        held_out += (s.y - m0) * (s.y - m0) - (s.y - ms) * (s.y - ms);
      } else {
        held_out += brier(s.label, smoothed(count(c, n_classes))) -
                    brier(s.label, smoothed(count(left ? cl : cr, n_classes)));
      }
    }
    d.held_out.push_back(held_out);
  }
  return d;
}

struct Scenario {
  bool regression;
  bool threshold;
  size_t min_leaf;
};

class HeldOutFast : public ::testing::TestWithParam<Scenario> {};

TEST_P(HeldOutFast, AgreesWithListsOnRandomData) {
  const Scenario sc = GetParam();
  std::mt19937_64 rng(17);
  const size_t n_classes = 3;
  for (int trial = 0; trial < 25; ++trial) {
    const size_t n = 20 + rng() % 80, n_bins = 2 + rng() % 6, n_folds = 2 + rng() % 4;
    std::vector<Sample> samples(n);
    std::vector<uint32_t> rows(n);
    std::vector<uint8_t> fold(n);
    std::vector<uint16_t> codes(n);
    std::vector<double> y(n);
    std::vector<size_t> labels(n);
    for (size_t i = 0; i < n; ++i) {
      Sample& s = samples[i];
      s.code = rng() % 10 == 0 ? kMissingCode16 : static_cast<uint16_t>(rng() % n_bins);
      s.fold = static_cast<uint8_t>(i % n_folds);
      s.y = std::normal_distribution<double>(s.code == kMissingCode16 ? 0.5 : s.code, 1.0)(rng);
      s.label = (s.code + rng() % 2) % n_classes;
      rows[i] = static_cast<uint32_t>(i);
      fold[i] = s.fold;
      codes[i] = s.code;
      y[i] = s.y;
      labels[i] = s.label;
    }
    RowsView view;
    view.rows = rows;
    view.fold = fold;
    view.n_folds = n_folds;
    HeldOutTask task{sc.regression ? CriterionKind::SquaredError : CriterionKind::Gini,
                     sc.regression ? 0 : n_classes, nullptr};
    Admissibility floors;
    floors.min_rows = static_cast<double>(std::max<size_t>(sc.min_leaf, 1));
    const NodeAdmission admission{&floors, {}};
    FastScratch scratch;
    const auto score = [&](const HeldOutTask& t, bool cuts) {
      HeldOutEvidence out(n_folds);
      if (sc.regression) {
        score_held_out_fast<double>(t, view, y, codes, n_bins, sc.threshold, cuts, 7, admission,
                                    scratch, out);
      } else {
        score_held_out_fast<size_t>(t, view, labels, codes, n_bins, sc.threshold, cuts, 7,
                                    admission, scratch, out);
      }
      return out;
    };
    const HeldOutEvidence evidence = score(task, false);
    // Asked for the node's own choice alone, the scorer makes the very same choice, bit for
    // bit, with category cuts too, and leaves the folds' picks out.
    HeldOutTask choice_only = task;
    choice_only.choice_only = true;
    for (bool cuts : {false, true}) {
      const HeldOutEvidence full = cuts ? score(task, true) : evidence;
      const HeldOutEvidence alone = score(choice_only, cuts);
      ASSERT_EQ(alone.found, full.found) << cuts;
      EXPECT_EQ(alone.state, full.state);
      EXPECT_EQ(alone.key, full.key);
      EXPECT_EQ(alone.tie_break, full.tie_break);
      EXPECT_EQ(alone.loss_gain, full.loss_gain);
      for (const FoldPick& pick : alone.folds)
        EXPECT_FALSE(pick.found);
    }

    // The same by enumeration of lists: the first candidate with the largest gain wins.
    HeldOutEvidence expected(n_folds);
    for (size_t k = 0; k < n_bins; ++k) {
      if (sc.threshold && k + 1 == n_bins) break;
      const Direct d = direct(samples, n_folds, k, sc.threshold, sc.regression, n_classes);
      bool present = false;
      for (const Sample& s : samples)
        present |= s.code == k;
      const double minimum = static_cast<double>(std::max<size_t>(sc.min_leaf, 1));
      if (present && d.node_left >= minimum && d.node_right >= minimum &&
          (!expected.found || d.node_gain > expected.key)) {
        expected.found = true;
        expected.state = static_cast<uint32_t>(k);
        expected.key = d.node_gain;
        expected.loss_gain = d.node_loss_gain;
      }
      for (size_t f = 0; f < n_folds; ++f) {
        FoldPick& p = expected.folds[f];
        if (d.train_left[f] >= minimum && d.train_right[f] >= minimum &&
            (!p.found || d.pick[f] > p.pick_gain)) {
          p = FoldPick{true,           7, static_cast<uint32_t>(k), d.pick[f], d.held_out[f],
                       d.train_loss[f]};
        }
      }
    }
    ASSERT_EQ(evidence.found, expected.found);
    const auto near = [](double a, double b) {
      return std::fabs(a - b) <= 1e-9 * (1.0 + std::fabs(b));
    };
    if (expected.found) {
      EXPECT_EQ(evidence.state, expected.state);
      EXPECT_TRUE(near(evidence.key, expected.key)) << evidence.key << " " << expected.key;
      EXPECT_TRUE(near(evidence.loss_gain, expected.loss_gain));
    }
    for (size_t f = 0; f < n_folds; ++f) {
      const FoldPick &got = evidence.folds[f], &want = expected.folds[f];
      ASSERT_EQ(got.found, want.found) << "fold " << f;
      if (!want.found) continue;
      EXPECT_EQ(got.state, want.state);
      EXPECT_TRUE(near(got.pick_gain, want.pick_gain));
      EXPECT_TRUE(near(got.held_out_gain, want.held_out_gain))
          << got.held_out_gain << " " << want.held_out_gain;
      EXPECT_TRUE(near(got.train_gain, want.train_gain));
      size_t in_fold = 0;
      for (const Sample& s : samples)
        in_fold += s.fold == f;
      EXPECT_EQ(evidence.validation_size[f], static_cast<double>(in_fold));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HeldOutFast,
                         ::testing::Values(Scenario{true, true, 1}, Scenario{true, false, 3},
                                           Scenario{false, true, 1}, Scenario{false, false, 2},
                                           Scenario{true, true, 5}));

// ---------------------------------------------------------------------------------------
// The validated gain of a node

HeldOutEvidence three_folds() {
  HeldOutEvidence e(4);
  e.found = true;
  e.loss_gain = 9.0;
  const double gains[3] = {2.0, 4.0, 6.0};
  for (size_t f = 0; f < 3; ++f) {
    e.folds[f] = FoldPick{true, 0, 1, 1.0, gains[f], 5.0};
    e.validation_size[f] = 10.0;
  }
  e.validation_size[3] = 10.0;  // a fold whose training part could pick nothing
  return e;
}

TEST(HeldOutEstimate, CorrectsTheFoldGainsForTheSmallerTrainingParts) {
  const HeldOutEstimate e = estimate_held_out(three_folds(), Mean(), 30.0);
  ASSERT_TRUE(e.found);
  EXPECT_EQ(e.fold_scores, (std::vector<double>{0.2, 0.4, 0.6}));
  // 30 (1 - 1/3) 0.4 + 9 - 5 = 12; the fold gains' sample variance 4, times 3 folds.
  EXPECT_NEAR(e.gain, 12.0, 1e-12);
  EXPECT_NEAR(e.variance, 12.0, 1e-12);
  EXPECT_NEAR(e.score, 0.4, 1e-12);
  // A ratio without units stands for nothing in a sum: the mean does.
  const HeldOutEstimate snr = estimate_held_out(three_folds(), SignalToNoise(1e-9), 30.0);
  EXPECT_EQ(snr.gain, e.gain);
  const HeldOutEstimate median = estimate_held_out(three_folds(), Median(), 30.0);
  EXPECT_NEAR(median.gain, 12.0, 1e-12);
}

TEST(HeldOutEstimate, WithoutAnyFoldPickTheGainIsMinusInfinity) {
  HeldOutEvidence e(3);
  e.found = true;
  const HeldOutEstimate out = estimate_held_out(e, Mean(), 30.0);
  EXPECT_TRUE(out.found);
  EXPECT_EQ(out.gain, -kInf);
  EXPECT_FALSE(estimate_held_out(HeldOutEvidence(3), Mean(), 30.0).found);
}

// ---------------------------------------------------------------------------------------
// Pruning

using NodeD = Node<double>;

std::unique_ptr<NodeD> leaf(double value, size_t n) {
  auto out = NodeD::make_leaf(value, n);
  out->stats.weighted_n_samples = static_cast<double>(n);
  return out;
}

// A split whose gain was measured on five folds (four degrees of freedom: the tree must beat a
// leaf by 2.1318 standard errors).
std::unique_ptr<NodeD> split(double gain, double variance, size_t n, std::unique_ptr<NodeD> left,
                             std::unique_ptr<NodeD> right) {
  auto out = NodeD::make_split(SplitRule{Interval{0, std::nullopt, 0.5}}, std::move(left),
                               std::move(right));
  out->value = -1.0;  // the payload pruning falls back to
  out->n_samples = n;
  out->stats.weighted_n_samples = static_cast<double>(n);
  out->stats.held_out_gain = gain;
  out->stats.held_out_variance = variance;
  out->stats.split_score = gain / static_cast<double>(n);
  out->stats.fold_scores.assign(5, 0.1);
  return out;
}

size_t leaves(const NodeD& n) {
  return node_leaves(n);
}

TEST(Prune, KeepsWhatGainsAndTheTreeMustBeatALeaf) {
  // Gain 10 with standard error 2: the tree beats a leaf (4.26).
  auto strong = split(10.0, 4.0, 100, split(-0.5, 1.0, 50, leaf(0, 25), leaf(1, 25)), leaf(2, 50));
  prune_held_out(*strong, 0.0);
  EXPECT_EQ(leaves(*strong), 2u);  // the losing child split went
  EXPECT_TRUE(strong->left->is_leaf());
  EXPECT_EQ(strong->left->value, -1.0);
  EXPECT_TRUE(std::isnan(strong->left->stats.split_score));
  EXPECT_TRUE(strong->left->stats.fold_scores.empty());
  // Gain 3 is a gain, but not enough for the tree as a whole to beat a leaf.
  auto weak = split(3.0, 4.0, 100, leaf(0, 50), leaf(1, 50));
  prune_held_out(*weak, 0.0);
  ASSERT_TRUE(weak->is_leaf());
  EXPECT_EQ(weak->value, -1.0);
}

TEST(Prune, AKeptChildCarriesItsParent) {
  // The root alone loses a little; with its child's gain the subtree gains 19 against a
  // standard error of sqrt(5).
  auto tree = split(-1.0, 1.0, 100, split(20.0, 4.0, 60, leaf(0, 30), leaf(1, 30)), leaf(2, 40));
  prune_held_out(*tree, 0.0);
  EXPECT_EQ(leaves(*tree), 3u);
  // A child that gains less than its parent loses takes the parent with it.
  auto lone = split(-1.0, 1.0, 100, split(0.2, 4.0, 60, leaf(0, 30), leaf(1, 30)), leaf(2, 40));
  prune_held_out(*lone, 0.0);
  EXPECT_TRUE(lone->is_leaf());
}

TEST(Prune, MinImpurityDecreaseRaisesTheBarPerUnitOfWeight) {
  auto tree = split(10.0, 4.0, 100, leaf(0, 50), leaf(1, 50));
  prune_held_out(*tree, 0.05);  // bar 5
  EXPECT_FALSE(tree->is_leaf());
  auto higher = split(10.0, 4.0, 100, leaf(0, 50), leaf(1, 50));
  prune_held_out(*higher, 0.1);  // bar 10
  EXPECT_TRUE(higher->is_leaf());
  // Not a number: every measured split stays, an unmeasured one goes.
  auto all = split(-5.0, 4.0, 100, split(-kInf, 0.0, 60, leaf(0, 30), leaf(1, 30)), leaf(2, 40));
  prune_held_out(*all, kNaN);
  EXPECT_FALSE(all->is_leaf());
  EXPECT_TRUE(all->left->is_leaf());
}

TEST(Prune, ADeepChainIsPrunedWithoutRecursion) {
  // A chain of a hundred thousand splits, each losing: everything goes.
  std::unique_ptr<NodeD> chain = leaf(0, 2);
  for (size_t depth = 0; depth < 100000; ++depth)
    chain = split(-1.0, 1.0, depth + 3, std::move(chain), leaf(1, 1));
  prune_held_out(*chain, 0.0);
  EXPECT_TRUE(chain->is_leaf());
}

}  // namespace
}  // namespace zelk
