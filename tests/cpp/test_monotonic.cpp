// Monotonic constraints: along a constrained feature, with everything else fixed, a tree's
// prediction never moves against the constraint; constraints of 0 grow the unconstrained tree.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/aggregation.hpp"
#include "core/tree/export.hpp"
#include "core/tree/fit.hpp"
#include "core/tree/prediction.hpp"

namespace zelk {
namespace {

constexpr size_t kRows = 400;
constexpr size_t kCols = 4;

struct Data {
  std::vector<double> x;  // row-major
  std::vector<double> y;
  std::vector<int64_t> labels;
  std::vector<double> w;

  MatrixView view() const {
    return MatrixView{reinterpret_cast<const char*>(x.data()), kRows, kCols,
                      static_cast<ptrdiff_t>(kCols * sizeof(double)), sizeof(double)};
  }
};

// Targets that rise with feature 0, fall with feature 1 and wiggle with feature 2 (so that an
// unconstrained tree breaks the order often); missing values in feature 1.
Data make_data(std::mt19937_64& rng) {
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> unit;
  Data d;
  for (size_t i = 0; i < kRows; ++i) {
    double row[kCols];
    for (double& v : row)
      v = normal(rng);
    if (unit(rng) < 0.1) row[1] = std::nan("");
    const double x1 = std::isnan(row[1]) ? 0.0 : row[1];
    const double signal = row[0] - 0.5 * x1 + std::sin(3.0 * row[2]) + 0.7 * normal(rng);
    d.x.insert(d.x.end(), row, row + kCols);
    d.y.push_back(signal);
    d.labels.push_back(signal > 0.0 ? 1 : 0);
    d.w.push_back(unit(rng) < 0.1 ? 0.0 : 0.5 + unit(rng));
  }
  return d;
}

struct Case {
  std::string name;
  SplitMode mode;
  Validation validation;
  bool weighted;
};

class Monotonic : public ::testing::TestWithParam<Case> {};

template <class K>
DecisionTree<K> model(K task, const Case& c, std::vector<int8_t> monotonic) {
  Params p;
  p.mode = c.mode;
  p.validation = c.validation;
  p.min_samples_leaf = 3;
  p.kfold.seed = 5;
  p.monotonic = std::move(monotonic);
  return DecisionTree<K>{p, nullptr, std::move(task), std::make_unique<Mean>()};
}

// Whether, every sampled row with feature `f` moved through a grid of values, the predictions
// of each row never fall (direction +1) or rise (-1) as the value grows.
template <class T, class Value>
bool monotone(const Node<T>& root, const Data& d, size_t f, int direction, Value&& value) {
  const PredictionTree<T> tree(root, {}, sizeof(double));
  std::vector<double> row(kCols);
  for (size_t i = 0; i < kRows; i += 7) {
    std::copy_n(d.x.begin() + static_cast<ptrdiff_t>(i * kCols), kCols, row.begin());
    double previous = -std::numeric_limits<double>::infinity() * direction;
    for (double v = -3.0; v <= 3.0; v += 0.05) {
      row[f] = v;
      const MatrixView one{reinterpret_cast<const char*>(row.data()), 1, kCols,
                           static_cast<ptrdiff_t>(kCols * sizeof(double)), sizeof(double)};
      double now = 0.0;
      tree.predict(one, [&](size_t, const T& payload) { now = value(payload); });
      if (!((previous - now) * direction <= 0.0)) return false;
      previous = now;
    }
  }
  return true;
}

template <class T>
std::vector<ExportedNode> exported(const Node<T>& root) {
  std::vector<ExportedNode> out;
  walk_export(root, out);
  return out;
}

void expect_same_export(const std::vector<ExportedNode>& a, const std::vector<ExportedNode>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].feature, b[i].feature) << i;
    EXPECT_EQ(std::memcmp(&a[i].upper, &b[i].upper, sizeof(double)), 0) << i;
    EXPECT_EQ(std::memcmp(&a[i].value, &b[i].value, sizeof(double)), 0) << i;
    EXPECT_EQ(a[i].proba, b[i].proba) << i;
  }
}

TEST_P(Monotonic, PredictionsFollowTheConstraintsAndZerosConstrainNothing) {
  const Case& c = GetParam();
  std::mt19937_64 rng(17);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const Data d = make_data(rng);
    const VectorView weights{reinterpret_cast<const char*>(d.w.data()), kRows, sizeof(double)};
    const VectorView y{reinterpret_cast<const char*>(d.y.data()), kRows, sizeof(double)};
    const VectorView labels{reinterpret_cast<const char*>(d.labels.data()), kRows, sizeof(int64_t)};
    const TrainingSet regression{d.view(), y, c.weighted ? &weights : nullptr};
    const TrainingSet classification{d.view(), labels, c.weighted ? &weights : nullptr};
    // 0 rises and 1 falls, as the data do; 2, which wiggles, is made to rise or to fall.
    const int8_t sign = round % 2 == 0 ? 1 : -1;
    const std::vector<int8_t> constraints = {1, -1, sign, 0};

    auto reg = fit_tree(model(Regression{std::make_unique<Mse>()}, c, constraints), regression,
                        InputChecks::Checked);
    ASSERT_TRUE(reg.ok()) << reg.error();
    auto cls = fit_tree(model(Classification{std::make_unique<Entropy>(2), 2}, c, constraints),
                        classification, InputChecks::Checked);
    ASSERT_TRUE(cls.ok()) << cls.error();
    // Constrained trees still learn: a lone leaf would pass trivially.
    EXPECT_GT(node_leaves(*reg.value()), 3u);
    EXPECT_GT(node_leaves(*cls.value()), 2u);
    const auto mean = [](double v) { return v; };
    const auto one = [](const ClassPrediction& p) { return p.proba[1]; };
    for (size_t f = 0; f < 3; ++f) {
      EXPECT_TRUE(monotone(*reg.value(), d, f, constraints[f], mean)) << "feature " << f;
      EXPECT_TRUE(monotone(*cls.value(), d, f, constraints[f], one)) << "feature " << f;
    }

    auto free = fit_tree(model(Regression{std::make_unique<Mse>()}, c, {}), regression,
                         InputChecks::Checked);
    // The check can fail: the unconstrained tree follows the wiggle of feature 2.
    EXPECT_FALSE(monotone(*free.value(), d, 2, 1, mean) && monotone(*free.value(), d, 2, -1, mean));
    auto zeros = fit_tree(model(Regression{std::make_unique<Mse>()}, c, {0, 0, 0, 0}), regression,
                          InputChecks::Checked);
    expect_same_export(exported(*free.value()), exported(*zeros.value()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Monotonic,
    ::testing::Values(Case{"StrictCandidates", SplitMode::Strict, Validation::Candidates, false},
                      Case{"StrictPrune", SplitMode::Strict, Validation::Prune, false},
                      Case{"StrictPruneWeighted", SplitMode::Strict, Validation::Prune, true},
                      Case{"FastCandidates", SplitMode::Fast, Validation::Candidates, false},
                      Case{"FastCandidatesWeighted", SplitMode::Fast, Validation::Candidates, true},
                      Case{"FastPrune", SplitMode::Fast, Validation::Prune, false}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zelk
