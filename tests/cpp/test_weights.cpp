// Sample weights: the weighted scorers against naive weighted recomputations on random data,
// and whole trees of both modes, every task kind and both validations against the unweighted
// ones (weights of 1), themselves (weights doubled) and targets that weigh nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/binning.hpp"
#include "core/candidate.hpp"
#include "core/encoder.hpp"
#include "core/histogram/classification.hpp"
#include "core/histogram/held_out.hpp"
#include "core/histogram/objective.hpp"
#include "core/histogram/regression.hpp"
#include "core/tree/decision_tree.hpp"
#include "core/tree/fast/growth.hpp"
#include "core/tree/rules.hpp"
#include "core/tree/strict/growth.hpp"
#include "core/tree/strict/scoring.hpp"

namespace zelk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

uint64_t bits(double x) {
  return std::bit_cast<uint64_t>(x);
}

// Agreement of a scorer's result with a recomputation that sums in another order.
void expect_close(double got, double want) {
  EXPECT_NEAR(got, want, 1e-9 * (1.0 + std::fabs(want)));
}

// Random weights: a fifth zero, the rest spread over four orders of magnitude.
std::vector<double> random_weights(size_t n, std::mt19937_64& rng) {
  std::vector<double> w(n);
  std::uniform_real_distribution<double> exponent(-2.0, 2.0);
  for (double& x : w)
    x = rng() % 5 == 0 ? 0.0 : std::pow(10.0, exponent(rng));
  return w;
}

// ---- whole trees -----------------------------------------------------------------------

// Three continuous columns (with missing values) and a categorical one, row-major.
struct Table {
  size_t n = 0;
  std::vector<double> x;  // n x 4
  std::vector<double> y;
  std::vector<size_t> labels;

  MatrixView view() const {
    return MatrixView{reinterpret_cast<const char*>(x.data()), n, 4, 4 * sizeof(double),
                      sizeof(double)};
  }
};

Table random_table(size_t n, std::mt19937_64& rng) {
  std::normal_distribution<double> normal(0.0, 1.0);
  Table t;
  t.n = n;
  for (size_t i = 0; i < n; ++i) {
    double row[4];
    for (size_t f = 0; f < 3; ++f)
      row[f] = rng() % 19 == 0 ? kNaN : normal(rng);
    row[3] = static_cast<double>(rng() % 5);
    t.x.insert(t.x.end(), row, row + 4);
    const double x0 = std::isnan(row[0]) ? 0.0 : row[0];
    const double signal = 2.0 * x0 + (row[3] == 2.0 ? 1.5 : 0.0) + (row[1] > 0.5 ? 1.0 : 0.0);
    t.y.push_back(signal + normal(rng));
    t.labels.push_back(signal + normal(rng) < -0.5 ? 0 : signal < 1.0 ? 1 : 2);
  }
  return t;
}

enum class TaskKind { Mse, Mae, Gini, Entropy, F1 };

struct TreeCase {
  SplitMode mode;
  Validation validation;
  TaskKind kind;
};

std::string case_name(const testing::TestParamInfo<TreeCase>& info) {
  const char* kinds[] = {"Mse", "Mae", "Gini", "Entropy", "F1"};
  return std::string(info.param.mode == SplitMode::Strict ? "Strict" : "Fast") +
         (info.param.validation == Validation::Prune ? "Prune" : "Candidates") +
         kinds[static_cast<int>(info.param.kind)];
}

// Grows the tree of `table` in the case's mode with `weights` (empty: unweighted) and
// returns it flattened.
template <class K>
std::vector<ExportedNode> grow_flat(const K& task, const Params& params, const Table& table,
                                    const std::vector<typename K::Target>& targets,
                                    const std::vector<double>& weights) {
  const Mean aggregator;
  const std::vector<size_t> categorical{3};
  std::unique_ptr<NodeOf<K>> root;
  if (params.mode == SplitMode::Fast) {
    auto data = BinnedData::fit(table.view(), categorical, params.n_bins, 1, weights);
    EXPECT_TRUE(data.ok());
    root = build_node_fast_in_place(task, params, aggregator, std::move(data).value(),
                                    std::span<const typename K::Target>(targets), 0, weights);
  } else {
    const std::vector<Column> columns = build_columns(table.view(), categorical);
    std::vector<size_t> samples(table.n);
    std::iota(samples.begin(), samples.end(), size_t{0});
    root = build_node(task, params, aggregator, std::span<const Column>(columns),
                      std::span<const typename K::Target>(targets), std::move(samples), 0, weights);
  }
  std::vector<ExportedNode> out;
  walk_export(*root, out);
  return out;
}

// Every field of every node bit for bit; `weight_scale` relates b's weighted counts to a's.
void expect_same_tree(const std::vector<ExportedNode>& a, const std::vector<ExportedNode>& b,
                      double weight_scale = 1.0) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    SCOPED_TRACE(i);
    const ExportedNode &p = a[i], &q = b[i];
    EXPECT_EQ(p.is_leaf, q.is_leaf);
    EXPECT_EQ(p.feature, q.feature);
    EXPECT_EQ(bits(p.lower), bits(q.lower));
    EXPECT_EQ(bits(p.upper), bits(q.upper));
    EXPECT_EQ(p.category, q.category);
    EXPECT_EQ(p.n_samples, q.n_samples);
    EXPECT_EQ(bits(p.value), bits(q.value));
    EXPECT_EQ(p.predicted_class, q.predicted_class);
    ASSERT_EQ(p.proba.size(), q.proba.size());
    for (size_t k = 0; k < p.proba.size(); ++k)
      EXPECT_EQ(bits(p.proba[k]), bits(q.proba[k]));
    EXPECT_EQ(bits(p.stats.impurity), bits(q.stats.impurity));
    EXPECT_EQ(bits(p.stats.weighted_n_samples * weight_scale), bits(q.stats.weighted_n_samples));
    EXPECT_EQ(bits(p.stats.split_score), bits(q.stats.split_score));
    ASSERT_EQ(p.stats.fold_scores.size(), q.stats.fold_scores.size());
    for (size_t k = 0; k < p.stats.fold_scores.size(); ++k)
      EXPECT_EQ(bits(p.stats.fold_scores[k]), bits(q.stats.fold_scores[k]));
  }
}

class WeightedTree : public testing::TestWithParam<TreeCase> {
 protected:
  template <class K>
  void check(const K& task, const std::vector<typename K::Target>& targets, const Table& table,
             std::mt19937_64& rng) {
    Params params;
    params.mode = GetParam().mode;
    params.validation = GetParam().validation;
    params.n_bins = 8;
    params.kfold.k = 4;
    params.kfold.seed = 11;
    params.min_samples_leaf = 3;
    const std::vector<double> none;
    const std::vector<ExportedNode> plain = grow_flat(task, params, table, targets, none);
    ASSERT_GT(plain.size(), 1u);
    {
      SCOPED_TRACE("weights of 1 grow the unweighted tree");
      expect_same_tree(plain,
                       grow_flat(task, params, table, targets, std::vector<double>(table.n, 1.0)));
    }
    const std::vector<double> weights = random_weights(table.n, rng);
    const std::vector<ExportedNode> weighted = grow_flat(task, params, table, targets, weights);
    ASSERT_GT(weighted.size(), 1u);
    EXPECT_EQ(weighted[0].n_samples, table.n);
    {
      SCOPED_TRACE("doubling every weight doubles the weighted counts and nothing else");
      std::vector<double> doubled(weights);
      for (double& w : doubled)
        w *= 2.0;
      expect_same_tree(weighted, grow_flat(task, params, table, targets, doubled), 2.0);
    }
    {
      SCOPED_TRACE("the targets of rows of zero weight play no part");
      std::vector<typename K::Target> changed(targets);
      for (size_t i = 0; i < table.n; ++i) {
        if (weights[i] == 0.0) changed[i] = targets[(i * 7 + 3) % table.n];
      }
      expect_same_tree(weighted, grow_flat(task, params, table, changed, weights));
    }
    {
      SCOPED_TRACE("two threads grow the serial tree");
      Params parallel = params;
      parallel.parallel = true;
      parallel.n_threads = 2;
      parallel.parallel_min_samples = 16;
      expect_same_tree(weighted, grow_flat(task, parallel, table, targets, weights));
    }
  }
};

TEST_P(WeightedTree, MatchesTheUnweightedTreeAndIsScaleInvariant) {
  std::mt19937_64 rng(41);
  const Table table = random_table(700, rng);
  switch (GetParam().kind) {
    case TaskKind::Mse:
      return check(Regression{std::make_unique<Mse>()}, table.y, table, rng);
    case TaskKind::Mae:
      return check(Regression{std::make_unique<Mae>()}, table.y, table, rng);
    case TaskKind::Gini:
      return check(Classification{std::make_unique<Gini>(3), 3, false}, table.labels, table, rng);
    case TaskKind::Entropy:
      return check(Classification{std::make_unique<Entropy>(3), 3, true}, table.labels, table, rng);
    case TaskKind::F1:
      return check(ObjectiveClassification(std::make_unique<F1>(Average::Macro, 0), 3),
                   table.labels, table, rng);
  }
}

std::vector<TreeCase> tree_cases() {
  std::vector<TreeCase> cases;
  for (SplitMode mode : {SplitMode::Strict, SplitMode::Fast}) {
    for (Validation validation : {Validation::Candidates, Validation::Prune}) {
      for (TaskKind kind :
           {TaskKind::Mse, TaskKind::Mae, TaskKind::Gini, TaskKind::Entropy, TaskKind::F1}) {
        if (mode == SplitMode::Fast && kind == TaskKind::Mae) continue;  // strict only
        cases.push_back({mode, validation, kind});
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, WeightedTree, testing::ValuesIn(tree_cases()), case_name);

TEST(WeightedBinning, EdgesComeFromTheRowsOfPositiveWeightEachCountedOnce) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 10; ++round) {
    const Table table = random_table(300 + rng() % 300, rng);
    const std::vector<double> weights = random_weights(table.n, rng);
    Table positive;
    for (size_t i = 0; i < table.n; ++i) {
      if (weights[i] == 0.0) continue;
      positive.x.insert(positive.x.end(), table.x.begin() + 4 * i, table.x.begin() + 4 * i + 4);
      ++positive.n;
    }
    const std::vector<size_t> categorical{3};
    const size_t n_bins = 2 + rng() % 30;
    auto weighted = BinnedData::fit(table.view(), categorical, n_bins, 1 + round % 2, weights);
    auto plain = BinnedData::fit(positive.view(), categorical, n_bins, 1);
    ASSERT_TRUE(weighted.ok() && plain.ok());
    for (size_t f = 0; f < 3; ++f) {
      const FeatureBins& bins = weighted.value().bins[f];
      EXPECT_EQ(bins.edges, plain.value().bins[f].edges);
      // Every row is coded against those edges, its weight whatever it is.
      for (size_t i = 0; i < table.n; ++i) {
        const double v = table.x[4 * i + f];
        const uint16_t want =
            std::isfinite(v) ? static_cast<uint16_t>(bin_code(bins.edges, v)) : kMissingBin;
        ASSERT_EQ(weighted.value().codes[f][i], want);
      }
    }
  }
}

// ---- strict scorers against a naive weighted recomputation -------------------------------

double naive_mean(const std::vector<double>& y, const std::vector<double>& w) {
  double s = 0.0, t = 0.0;
  for (size_t i = 0; i < y.size(); ++i) {
    s += w[i] * y[i];
    t += w[i];
  }
  return s / t;
}

double naive_variance(const std::vector<double>& y, const std::vector<double>& w) {
  const double mean = naive_mean(y, w);
  double s = 0.0, t = 0.0;
  for (size_t i = 0; i < y.size(); ++i) {
    s += w[i] * (y[i] - mean) * (y[i] - mean);
    t += w[i];
  }
  return s / t;
}

// The smallest value whose cumulative weight reaches half, or the midpoint of it and the next
// when it reaches exactly half.
double naive_median(const std::vector<double>& y, const std::vector<double>& w) {
  std::vector<size_t> order(y.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return y[a] < y[b]; });
  double total = 0.0;
  for (double x : w)
    total += x;
  double running = 0.0;
  for (size_t i = 0; i < order.size(); ++i) {
    running += w[order[i]];
    if (running < total / 2) continue;
    if (running == total / 2 && i + 1 < order.size()) return (y[order[i]] + y[order[i + 1]]) / 2;
    return y[order[i]];
  }
  return 0.0;
}

double naive_mae(const std::vector<double>& y, const std::vector<double>& w) {
  const double median = naive_median(y, w);
  double s = 0.0, t = 0.0;
  for (size_t i = 0; i < y.size(); ++i) {
    s += w[i] * std::fabs(y[i] - median);
    t += w[i];
  }
  return s / t;
}

// Class weights of labels below n_classes; the total weighs every label.
std::vector<double> class_weights(const std::vector<size_t>& y, const std::vector<double>& w,
                                  size_t n_classes, double& total) {
  std::vector<double> out(n_classes, 0.0);
  total = 0.0;
  for (size_t i = 0; i < y.size(); ++i) {
    if (y[i] < n_classes) out[y[i]] += w[i];
    total += w[i];
  }
  return out;
}

double naive_class_impurity(const std::vector<size_t>& y, const std::vector<double>& w,
                            size_t n_classes, bool entropy) {
  double total = 0.0;
  const std::vector<double> c = class_weights(y, w, n_classes, total);
  double acc = 0.0;
  for (double x : c) {
    const double p = x / total;
    acc += entropy ? (p > 0.0 ? -p * std::log2(p) : 0.0) : p * p;
  }
  return entropy ? acc : 1.0 - acc;
}

size_t naive_argmax(const std::vector<double>& c) {
  return static_cast<size_t>(std::max_element(c.begin(), c.end()) - c.begin());
}

// Accuracy (f1 = false) or macro F1 of sides predicting their training majorities.
double naive_metric(bool f1, size_t n_classes,
                    const std::vector<std::pair<size_t, std::vector<double>>>& groups) {
  std::vector<double> tp(n_classes, 0.0), fp(n_classes, 0.0), fn(n_classes, 0.0);
  double total = 0.0;
  for (const auto& [predicted, counts] : groups) {
    for (size_t k = 0; k < n_classes; ++k) {
      total += counts[k];
      (k == predicted ? tp[k] : fn[k]) += counts[k];
      if (k != predicted) fp[predicted] += counts[k];
    }
  }
  if (!f1) return std::accumulate(tp.begin(), tp.end(), 0.0) / total;
  double sum = 0.0;
  for (size_t k = 0; k < n_classes; ++k) {
    const double d = 2 * tp[k] + fp[k] + fn[k];
    sum += d > 0.0 ? 2 * tp[k] / d : 0.0;
  }
  return sum / static_cast<double>(n_classes);
}

struct StrictData {
  std::vector<Column> columns;
  std::vector<double> y;
  std::vector<size_t> labels;
  std::vector<double> w;
};

StrictData strict_data(size_t n, std::mt19937_64& rng) {
  const Table t = random_table(n, rng);
  StrictData d;
  d.columns = build_columns(t.view(), std::vector<size_t>{3});
  d.y = t.y;
  d.labels = t.labels;
  for (size_t& label : d.labels)
    if (rng() % 29 == 0) label = 3;  // out of range: counted in no class
  d.w = random_weights(n, rng);
  return d;
}

TEST(WeightedScoring, StrictScorersMatchANaiveWeightedRecomputation) {
  std::mt19937_64 rng(17);
  const Mean mean;
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    const StrictData d = strict_data(80 + rng() % 300, rng);
    // A weighted node holds its samples of positive weight only.
    std::vector<size_t> samples;
    for (size_t i = 0; i < d.w.size(); ++i)
      if (d.w[i] > 0.0) samples.push_back(i);
    Params params;
    params.n_bins = 2 + rng() % 10;
    params.kfold.k = 2 + rng() % 4;
    params.split_style = round % 2 == 0 ? SplitStyle::Threshold : SplitStyle::Bin;
    FoldIndex index;
    const std::vector<Fold> folds = params.kfold.folds(samples, index);
    const StrictNode<double> reg{params, d.columns, d.y, samples, folds, mean, &index, d.w};
    const StrictNode<size_t> cls{params, d.columns, d.labels, samples, folds, mean, &index, d.w};
    const Regression mse{std::make_unique<Mse>()}, mae{std::make_unique<Mae>()};
    const Classification gini{std::make_unique<Gini>(3), 3, false};
    const Classification entropy{std::make_unique<Entropy>(3), 3, true};
    const ObjectiveClassification accuracy(std::make_unique<Accuracy>(), 3);
    const ObjectiveClassification f1(std::make_unique<F1>(Average::Macro, 0), 3);
    for (size_t f = 0; f < d.columns.size(); ++f) {
      SCOPED_TRACE(f);
      const Column& column = d.columns[f];
      const bool threshold = threshold_mode(params, column);
      const std::vector<uint32_t> states = present_states(column, samples, params.n_bins);
      const std::vector<std::vector<ScoredCandidate>> got = {
          mse.score_feature(reg, f),     mae.score_feature(reg, f),      gini.score_feature(cls, f),
          entropy.score_feature(cls, f), accuracy.score_feature(cls, f), f1.score_feature(cls, f)};
      for (const auto& list : got)
        ASSERT_EQ(list.size(), states.size());
      std::vector<size_t> at(got.size(), 0);  // each list's next fold score
      for (size_t i = 0; i < states.size(); ++i) {
        std::fill(at.begin(), at.end(), 0);
        for (const Fold& fold : folds) {
          const std::vector<uint32_t> codes = fold_val_codes(column, fold, params.n_bins);
          const auto side = [&](const std::vector<size_t>& list, const std::vector<uint32_t>& c,
                                bool left, auto&& take) {
            for (size_t j = 0; j < list.size(); ++j)
              if (goes_left(c[j], states[i], threshold) == left) take(list[j]);
          };
          // Impurity scores on the validation part.
          std::vector<double> yl, yr, wl, wr, yv, wv;
          std::vector<size_t> ll, lr, lv;
          for (size_t s : fold.validation) {
            yv.push_back(d.y[s]);
            wv.push_back(d.w[s]);
            lv.push_back(d.labels[s]);
          }
          side(fold.validation, codes, true, [&](size_t s) {
            yl.push_back(d.y[s]);
            ll.push_back(d.labels[s]);
            wl.push_back(d.w[s]);
          });
          side(fold.validation, codes, false, [&](size_t s) {
            yr.push_back(d.y[s]);
            lr.push_back(d.labels[s]);
            wr.push_back(d.w[s]);
          });
          const double tv = std::accumulate(wv.begin(), wv.end(), 0.0);
          const double tl = std::accumulate(wl.begin(), wl.end(), 0.0);
          const double tr = std::accumulate(wr.begin(), wr.end(), 0.0);
          if (!yl.empty() && !yr.empty()) {
            const auto score = [&](auto&& impurity) {
              return impurity(yv, wv) - (tl * impurity(yl, wl) + tr * impurity(yr, wr)) / tv;
            };
            const auto class_score = [&](bool ent) {
              return naive_class_impurity(lv, wv, 3, ent) -
                     (tl * naive_class_impurity(ll, wl, 3, ent) +
                      tr * naive_class_impurity(lr, wr, 3, ent)) /
                         tv;
            };
            const double want[] = {score(naive_variance), score(naive_mae), class_score(false),
                                   class_score(true)};
            for (size_t g = 0; g < 4; ++g) {
              ASSERT_LT(at[g], got[g][i].stats.scores.size());
              SCOPED_TRACE(g);
              expect_close(got[g][i].stats.scores[at[g]++], want[g]);
            }
          }
          // Objective scores: each side predicts its training majority.
          if (fold.train.empty() || fold.validation.empty()) continue;
          std::vector<double> train_codes_w[2], val_w[2], train_all(3, 0.0), val_all(3, 0.0);
          for (auto* v : {&train_codes_w[0], &train_codes_w[1], &val_w[0], &val_w[1]})
            v->assign(3, 0.0);
          std::vector<double> train_values;
          for (size_t s : fold.train)
            train_values.push_back(column.is_categorical() ? 0.0 : column.values()[s]);
          const std::vector<double> edges = column.is_categorical()
                                                ? std::vector<double>{}
                                                : quantile_edges(train_values, params.n_bins);
          size_t rows[2][2] = {{0, 0}, {0, 0}};  // [train, validation][left, right]
          const auto tally = [&](size_t s, uint32_t code, bool train) {
            if (d.labels[s] >= 3) return;
            const int sd = goes_left(code, states[i], threshold) ? 0 : 1;
            (train ? train_codes_w : val_w)[sd][d.labels[s]] += d.w[s];
            (train ? train_all : val_all)[d.labels[s]] += d.w[s];
            ++rows[train ? 0 : 1][sd];
          };
          for (size_t s : fold.train) {
            const double v = column.is_categorical() ? 0.0 : column.values()[s];
            const uint32_t code = column.is_categorical() ? column.codes()[s]
                                  : std::isfinite(v)      ? bin_code(edges, v)
                                                          : kMissingCode;
            tally(s, code, true);
          }
          for (size_t j = 0; j < fold.validation.size(); ++j)
            tally(fold.validation[j], codes[j], false);
          if (rows[0][0] == 0 || rows[0][1] == 0 || rows[1][0] == 0 || rows[1][1] == 0) continue;
          for (bool use_f1 : {false, true}) {
            const double split = naive_metric(use_f1, 3,
                                              {{naive_argmax(train_codes_w[0]), val_w[0]},
                                               {naive_argmax(train_codes_w[1]), val_w[1]}});
            const double base = naive_metric(use_f1, 3, {{naive_argmax(train_all), val_all}});
            const size_t g = use_f1 ? 5 : 4;
            ASSERT_LT(at[g], got[g][i].stats.scores.size());
            expect_close(got[g][i].stats.scores[at[g]++], split - base);
          }
        }
        for (size_t g = 0; g < got.size(); ++g)
          EXPECT_EQ(at[g], got[g][i].stats.scores.size()) << "list " << g << " state " << i;
      }
    }
  }
}

// ---- fast scorers against a naive weighted recomputation --------------------------------

struct FastRows {
  std::vector<uint16_t> codes;  // indexed by position
  std::vector<double> y;
  std::vector<size_t> labels;
  std::vector<uint32_t> label_dealt;
  std::vector<double> w;  // indexed by position
  std::vector<uint32_t> rows;
  std::vector<uint8_t> fold;
  std::vector<double> y_dealt, w_dealt, fold_sums, fold_sq_sums, fold_weights;  // dealt order
  size_t n_folds = 0;
  size_t n_bins = 0;

  // Entries of positive weight only, as the fast driver keeps them.
  RowsView view(size_t n_classes) const {
    RowsView v;
    v.rows = rows;
    v.fold = fold;
    v.n_folds = n_folds;
    v.y = y_dealt;
    v.fold_sums = fold_sums;
    v.fold_sq_sums = fold_sq_sums;
    v.label = label_dealt;
    v.n_classes = n_classes;
    v.w = w_dealt;
    v.fold_weights = fold_weights;
    return v;
  }
};

FastRows fast_rows(std::mt19937_64& rng, size_t n_classes) {
  FastRows r;
  const size_t n = 60 + rng() % 300;
  r.n_bins = 2 + rng() % 8;
  r.n_folds = 2 + rng() % 4;
  std::normal_distribution<double> normal(0.0, 1.0);
  r.w = random_weights(n, rng);
  for (size_t i = 0; i < n; ++i) {
    r.codes.push_back(rng() % 13 == 0 ? kMissingBin : static_cast<uint16_t>(rng() % r.n_bins));
    r.y.push_back(normal(rng) + 0.3 * r.codes.back());
    r.labels.push_back((rng() % 3 == 0 ? rng() : r.codes.back()) % n_classes);
  }
  r.fold_sums.assign(r.n_folds, 0.0);
  r.fold_sq_sums.assign(r.n_folds, 0.0);
  r.fold_weights.assign(r.n_folds, 0.0);
  for (uint32_t i = 0; i < n; ++i) {
    if (r.w[i] == 0.0) continue;
    const auto m = static_cast<uint8_t>(rng() % r.n_folds);
    r.rows.push_back(i);
    r.fold.push_back(m);
    r.y_dealt.push_back(r.y[i]);
    r.label_dealt.push_back(static_cast<uint32_t>(r.labels[i]));
    r.w_dealt.push_back(r.w[i]);
    r.fold_sums[m] += r.w[i] * r.y[i];
    r.fold_sq_sums[m] += r.w[i] * r.y[i] * r.y[i];
    r.fold_weights[m] += r.w[i];
  }
  return r;
}

// Per candidate bin k, the fold scores that a naive pass over the entries gives.
template <class Score>
std::vector<std::vector<double>> naive_fast_scores(const FastRows& r, bool threshold,
                                                   Score&& score) {
  std::vector<std::vector<double>> out(r.n_bins);
  for (uint32_t k = 0; k < r.n_bins; ++k) {
    for (size_t m = 0; m < r.n_folds; ++m) {
      std::vector<size_t> left, right;
      for (size_t j = 0; j < r.rows.size(); ++j) {
        const uint16_t b = r.codes[r.rows[j]];
        if (r.fold[j] != m || b >= r.n_bins) continue;
        ((threshold ? b <= k : b == k) ? left : right).push_back(r.rows[j]);
      }
      if (left.empty() || right.empty()) continue;
      out[k].push_back(score(left, right));
    }
  }
  return out;
}

double mean_of(const std::vector<double>& v) {
  return std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
}

// The winner's fold scores are its naive ones, and no naive candidate beats its mean.
void expect_naive_winner(const BestSplit& best, const std::vector<std::vector<double>>& naive) {
  double top = -std::numeric_limits<double>::infinity();
  for (const auto& scores : naive)
    if (!scores.empty()) top = std::max(top, mean_of(scores));
  if (!std::isfinite(top)) {
    EXPECT_FALSE(best.found);
    return;
  }
  ASSERT_TRUE(best.found);
  const std::vector<double>& want = naive[best.state];
  ASSERT_EQ(best.fold_scores.size(), want.size());
  for (size_t m = 0; m < want.size(); ++m)
    expect_close(best.fold_scores[m], want[m]);
  expect_close(best.score, top);
}

TEST(WeightedScoring, FastScorersMatchANaiveWeightedRecomputation) {
  std::mt19937_64 rng(23);
  const Mean mean;
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const size_t n_classes = 2 + rng() % 2;
    const FastRows r = fast_rows(rng, n_classes);
    const bool threshold = round % 2 == 0;
    const RowsView view = r.view(n_classes);
    const auto gather = [&](const std::vector<size_t>& s, auto&& value) {
      std::vector<double> v;
      for (size_t i : s)
        v.push_back(value(i));
      return v;
    };
    const auto weights = [&](const std::vector<size_t>& s) {
      return gather(s, [&](size_t i) { return r.w[i]; });
    };
    const auto total = [&](const std::vector<size_t>& s) {
      const std::vector<double> w = weights(s);
      return std::accumulate(w.begin(), w.end(), 0.0);
    };
    const auto both = [](std::vector<size_t> a, const std::vector<size_t>& b) {
      a.insert(a.end(), b.begin(), b.end());
      return a;
    };
    {
      SCOPED_TRACE("regression");
      FastScratch scratch;
      BestSplit best;
      best_regression_fast(view, r.codes, r.n_bins, 0, mean, scratch, threshold, best);
      const auto variance = [&](const std::vector<size_t>& s) {
        return naive_variance(gather(s, [&](size_t i) { return r.y[i]; }), weights(s));
      };
      expect_naive_winner(best, naive_fast_scores(r, threshold, [&](const auto& l, const auto& rt) {
                            const auto all = both(l, rt);
                            return variance(all) -
                                   (total(l) * variance(l) + total(rt) * variance(rt)) / total(all);
                          }));
    }
    for (bool entropy : {false, true}) {
      SCOPED_TRACE(entropy ? "entropy" : "gini");
      FastScratch scratch;
      BestSplit best;
      best_classification_fast(view, entropy, r.codes, r.n_bins, 0, mean, scratch, threshold, best);
      const auto impurity = [&](const std::vector<size_t>& s) {
        std::vector<size_t> labels;
        for (size_t i : s)
          labels.push_back(r.labels[i]);
        return naive_class_impurity(labels, weights(s), n_classes, entropy);
      };
      expect_naive_winner(best, naive_fast_scores(r, threshold, [&](const auto& l, const auto& rt) {
                            const auto all = both(l, rt);
                            return impurity(all) -
                                   (total(l) * impurity(l) + total(rt) * impurity(rt)) / total(all);
                          }));
    }
    {
      SCOPED_TRACE("accuracy");
      const Accuracy accuracy;
      const std::vector<ScoredCandidate> got = score_objective_fast(
          accuracy, n_classes, r.codes, r.labels, view, r.n_bins, 0, mean, threshold);
      for (const ScoredCandidate& c : got) {
        SCOPED_TRACE(c.state);
        std::vector<double> want;
        for (size_t m = 0; m < r.n_folds; ++m) {
          // [train, validation][left, right] class weights and rows.
          std::vector<double> cw[2][2];
          size_t rows[2][2] = {{0, 0}, {0, 0}};
          for (auto& part : cw)
            for (auto& v : part)
              v.assign(n_classes, 0.0);
          for (size_t j = 0; j < r.rows.size(); ++j) {
            const uint16_t b = r.codes[r.rows[j]];
            if (b >= r.n_bins) continue;
            const int part = r.fold[j] == m ? 1 : 0;
            const int sd = (threshold ? b <= c.state : b == c.state) ? 0 : 1;
            cw[part][sd][r.labels[r.rows[j]]] += r.w[r.rows[j]];
            ++rows[part][sd];
          }
          if (rows[0][0] == 0 || rows[0][1] == 0 || rows[1][0] == 0 || rows[1][1] == 0) continue;
          std::vector<double> train(n_classes), val(n_classes);
          for (size_t k = 0; k < n_classes; ++k) {
            train[k] = cw[0][0][k] + cw[0][1][k];
            val[k] = cw[1][0][k] + cw[1][1][k];
          }
          want.push_back(naive_metric(false, n_classes,
                                      {{naive_argmax(cw[0][0]), cw[1][0]},
                                       {naive_argmax(cw[0][1]), cw[1][1]}}) -
                         naive_metric(false, n_classes, {{naive_argmax(train), val}}));
        }
        ASSERT_EQ(c.stats.scores.size(), want.size());
        for (size_t m = 0; m < want.size(); ++m)
          expect_close(c.stats.scores[m], want[m]);
      }
    }
  }
}

// ---- fast held-out evidence against a naive weighted recomputation ----------------------

std::vector<double> gather_y(const FastRows& r, const std::vector<size_t>& s) {
  std::vector<double> out;
  for (size_t i : s)
    out.push_back(r.y[i]);
  return out;
}

std::vector<double> gather_w(const FastRows& r, const std::vector<size_t>& s) {
  std::vector<double> out;
  for (size_t i : s)
    out.push_back(r.w[i]);
  return out;
}

TEST(WeightedHeldOut, FastEvidenceMatchesANaiveWeightedRecomputation) {
  std::mt19937_64 rng(29);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const size_t n_classes = 2 + rng() % 2;
    const FastRows r = fast_rows(rng, n_classes);
    const bool threshold = round % 2 == 0;
    const bool classify = round % 4 >= 2;
    HeldOutTask task = classify ? HeldOutTask{HeldOutTask::Kind::Entropy, n_classes, nullptr, 2}
                                : HeldOutTask{HeldOutTask::Kind::Squared, 0, nullptr, 2};
    task.weighted = true;
    task.pseudo_count = 0.25 + 0.5 * static_cast<double>(rng() % 4);
    SlotTable table;
    HeldOutEvidence evidence(r.n_folds);
    if (classify) {
      score_held_out_fast<size_t>(task, r.view(n_classes), r.labels, r.codes, r.n_bins, threshold,
                                  0, table, evidence);
    } else {
      score_held_out_fast<double>(task, r.view(0), r.y, r.codes, r.n_bins, threshold, 0, table,
                                  evidence);
    }
    for (size_t m = 0; m < r.n_folds; ++m) {
      SCOPED_TRACE(m);
      // The fold's training and validation entries (a missing code goes right).
      std::vector<size_t> train, val;
      for (size_t j = 0; j < r.rows.size(); ++j)
        (r.fold[j] == m ? val : train).push_back(r.rows[j]);
      expect_close(evidence.validation_size[m], [&] {
        double t = 0.0;
        for (size_t i : val)
          t += r.w[i];
        return t;
      }());
      const auto left_of = [&](size_t i, uint32_t k) {
        const uint16_t b = r.codes[i];
        return b < r.n_bins && (threshold ? b <= k : b == k);
      };
      // Class frequencies smoothed by the pseudo count, or the weighted mean.
      const auto fit = [&](const std::vector<size_t>& s) {
        std::vector<double> p(n_classes, task.pseudo_count);
        double t = task.pseudo_count * static_cast<double>(n_classes);
        double sum = 0.0, weight = 0.0;
        for (size_t i : s) {
          if (classify) p[r.labels[i]] += r.w[i];
          if (classify) t += r.w[i];
          sum += r.w[i] * r.y[i];
          weight += r.w[i];
        }
        for (double& x : p)
          x /= t;
        p.push_back(sum / weight);
        return p;
      };
      const auto loss = [&](size_t i, const std::vector<double>& p) {
        if (!classify) return r.w[i] * (r.y[i] - p.back()) * (r.y[i] - p.back());
        double l = 0.0;
        for (size_t k = 0; k < n_classes; ++k) {
          const double hit = r.labels[i] == k ? 1.0 : 0.0;
          l += (p[k] - hit) * (p[k] - hit);
        }
        return r.w[i] * l;
      };
      // In-sample impurity decrease on the training part (what a fold picks by).
      const auto impurity = [&](const std::vector<size_t>& s) {
        double t = 0.0;
        for (size_t i : s)
          t += r.w[i];
        if (!classify) return t * naive_variance(gather_y(r, s), gather_w(r, s));
        std::vector<size_t> labels;
        for (size_t i : s)
          labels.push_back(r.labels[i]);
        return t * naive_class_impurity(labels, gather_w(r, s), n_classes, true);
      };
      bool found = false;
      uint32_t best_k = 0;
      double best_gain = 0.0, best_held_out = 0.0;
      for (uint32_t k = 0; k < r.n_bins; ++k) {
        if (threshold && k + 1 == r.n_bins) continue;
        std::vector<size_t> tl, tr;
        for (size_t i : train)
          (left_of(i, k) ? tl : tr).push_back(i);
        if (tl.size() < 2 || tr.size() < 2) continue;
        const double gain = impurity(train) - impurity(tl) - impurity(tr);
        if (found && !(gain > best_gain + 1e-9 * (1.0 + std::fabs(best_gain)))) continue;
        const std::vector<double> p0 = fit(train), pl = fit(tl), pr = fit(tr);
        double held_out = 0.0;
        for (size_t i : val)
          held_out += loss(i, p0) - loss(i, left_of(i, k) ? pl : pr);
        found = true;
        best_k = k;
        best_gain = gain;
        best_held_out = held_out;
      }
      ASSERT_EQ(evidence.folds[m].found, found);
      if (!found) continue;
      EXPECT_EQ(evidence.folds[m].state, best_k);
      expect_close(evidence.folds[m].pick_gain, best_gain);
      expect_close(evidence.folds[m].held_out_gain, best_held_out);
    }
  }
}

}  // namespace
}  // namespace zelk
