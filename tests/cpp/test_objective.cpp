#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "core/objective.hpp"

namespace zelk {
namespace {

constexpr Average kAverages[] = {Average::Binary, Average::Micro, Average::Macro,
                                 Average::Weighted};

// Two classes, one group predicted 1 holding 3 samples of class 0 and 5 of class 1.
Confusion worked_table() {
  Confusion t = Confusion::zero(2);
  const std::vector<uint64_t> counts = {3, 5};
  t.add_group(1, counts);
  return t;
}

// Three classes: predicted 0 <- {5, 1, 0}, predicted 1 <- {2, 3, 1}, predicted 2 <- {0, 0, 4}.
// tp {5, 3, 4}, fp {1, 3, 0}, fn {2, 1, 1}, support {7, 4, 5}, total 16.
Confusion three_class_table() {
  Confusion t = Confusion::zero(3);
  t.add_group(0, std::vector<uint64_t>{5, 1, 0});
  t.add_group(1, std::vector<uint64_t>{2, 3, 1});
  t.add_group(2, std::vector<uint64_t>{0, 0, 4});
  return t;
}

std::vector<std::unique_ptr<ClassObjective>> all_objectives(size_t pos_label, double beta) {
  std::vector<std::unique_ptr<ClassObjective>> objectives;
  objectives.push_back(std::make_unique<Accuracy>());
  for (Average a : kAverages) {
    objectives.push_back(std::make_unique<Precision>(a, pos_label));
    objectives.push_back(std::make_unique<Recall>(a, pos_label));
    objectives.push_back(std::make_unique<F1>(a, pos_label));
    objectives.push_back(std::make_unique<FBeta>(a, pos_label, beta));
  }
  return objectives;
}

TEST(Objective, ZeroTable) {
  const Confusion t = Confusion::zero(3);
  EXPECT_EQ(t.n_classes, 3u);
  EXPECT_EQ(t.total, 0u);
  for (const auto* list : {&t.true_pos, &t.false_pos, &t.false_neg, &t.support}) {
    EXPECT_EQ(*list, (std::vector<uint64_t>{0, 0, 0}));
  }
}

TEST(Objective, AddGroupTallies) {
  const Confusion t = worked_table();
  EXPECT_EQ(t.true_pos, (std::vector<uint64_t>{0, 5}));
  EXPECT_EQ(t.false_pos, (std::vector<uint64_t>{0, 3}));
  EXPECT_EQ(t.false_neg, (std::vector<uint64_t>{3, 0}));
  EXPECT_EQ(t.support, (std::vector<uint64_t>{3, 5}));
  EXPECT_EQ(t.total, 8u);

  const Confusion u = three_class_table();
  EXPECT_EQ(u.true_pos, (std::vector<uint64_t>{5, 3, 4}));
  EXPECT_EQ(u.false_pos, (std::vector<uint64_t>{1, 3, 0}));
  EXPECT_EQ(u.false_neg, (std::vector<uint64_t>{2, 1, 1}));
  EXPECT_EQ(u.support, (std::vector<uint64_t>{7, 4, 5}));
  EXPECT_EQ(u.total, 16u);
}

TEST(Objective, AddGroupIgnoresCountsBeyondTheClasses) {
  Confusion t = Confusion::zero(2);
  t.add_group(0, std::vector<uint64_t>{2, 1, 40, 50});
  EXPECT_EQ(t.total, 3u);
  EXPECT_EQ(t.true_pos, (std::vector<uint64_t>{2, 0}));
  EXPECT_EQ(t.false_pos, (std::vector<uint64_t>{1, 0}));
  EXPECT_EQ(t.false_neg, (std::vector<uint64_t>{0, 1}));
}

TEST(Objective, AddGroupOutsideTheTableStaysInBounds) {
  // A prediction of no known class misses every sample; a short count list counts as zeros.
  Confusion t = Confusion::zero(2);
  t.add_group(7, std::vector<uint64_t>{2, 1});
  t.add_group(1, std::vector<uint64_t>{4});
  EXPECT_EQ(t.true_pos, (std::vector<uint64_t>{0, 0}));
  EXPECT_EQ(t.false_pos, (std::vector<uint64_t>{0, 4}));
  EXPECT_EQ(t.false_neg, (std::vector<uint64_t>{6, 1}));
  EXPECT_EQ(t.support, (std::vector<uint64_t>{6, 1}));
  EXPECT_EQ(t.total, 7u);
}

TEST(Objective, WorkedTwoClassScores) {
  const Confusion t = worked_table();
  EXPECT_EQ(Accuracy().score(t), 0.625);
  EXPECT_EQ(Precision(Average::Binary, 1).score(t), 0.625);
  EXPECT_EQ(Recall(Average::Binary, 1).score(t), 1.0);
  EXPECT_EQ(F1(Average::Binary, 1).score(t), 10.0 / 13.0);
  EXPECT_EQ(Precision(Average::Macro, 1).score(t), 0.3125);
  EXPECT_EQ(Recall(Average::Weighted, 1).score(t), 0.625);
  EXPECT_EQ(Precision(Average::Binary, 0).score(t), 0.0);  // class 0 never predicted
  EXPECT_EQ(Recall(Average::Binary, 0).score(t), 0.0);
  EXPECT_EQ(Recall(Average::Macro, 0).score(t), 0.5);
  EXPECT_EQ(Precision(Average::Weighted, 0).score(t), 5.0 * 0.625 / 8.0);
}

TEST(Objective, WorkedThreeClassScores) {
  const Confusion t = three_class_table();
  EXPECT_EQ(Accuracy().score(t), 0.75);
  EXPECT_EQ(Precision(Average::Binary, 0).score(t), 5.0 / 6.0);
  EXPECT_EQ(Recall(Average::Binary, 2).score(t), 0.8);
  EXPECT_DOUBLE_EQ(Precision(Average::Macro, 0).score(t), (5.0 / 6.0 + 0.5 + 1.0) / 3.0);
  EXPECT_DOUBLE_EQ(Precision(Average::Weighted, 0).score(t), 77.0 / 96.0);
  EXPECT_DOUBLE_EQ(F1(Average::Macro, 0).score(t), (10.0 / 13.0 + 0.6 + 8.0 / 9.0) / 3.0);
  EXPECT_DOUBLE_EQ(Recall(Average::Weighted, 0).score(t), 0.75);
  // beta 2: b2 4, w 5; class 0: 25 / (1 + (2*4 + 25)); micro: 60 / ((4*4 + 60) + 4).
  EXPECT_DOUBLE_EQ(FBeta(Average::Binary, 0, 2.0).score(t), 25.0 / 34.0);
  EXPECT_DOUBLE_EQ(FBeta(Average::Micro, 0, 2.0).score(t), 0.75);
  // beta 0.5: b2 0.25, w 1.25; class 1: 3.75 / (3 + (0.25 + 3.75)).
  EXPECT_DOUBLE_EQ(FBeta(Average::Binary, 1, 0.5).score(t), 3.75 / 7.0);
}

TEST(Objective, EmptyTableScoresZeroEverywhere) {
  for (size_t n_classes : {0, 1, 3}) {
    const Confusion t = Confusion::zero(n_classes);
    for (const auto& objective : all_objectives(0, 1.0)) {
      EXPECT_EQ(objective->score(t), 0.0) << objective->name() << " classes " << n_classes;
    }
  }
}

TEST(Objective, BinaryWithPositiveLabelOutsideTheClassesIsZero) {
  const Confusion t = three_class_table();
  for (size_t pos_label : {3, 4, 1000}) {
    EXPECT_EQ(Precision(Average::Binary, pos_label).score(t), 0.0);
    EXPECT_EQ(Recall(Average::Binary, pos_label).score(t), 0.0);
    EXPECT_EQ(F1(Average::Binary, pos_label).score(t), 0.0);
    EXPECT_EQ(FBeta(Average::Binary, pos_label, 1.0).score(t), 0.0);
  }
}

std::vector<Confusion> random_tables() {
  std::mt19937_64 rng(31);
  std::vector<Confusion> tables;
  for (int round = 0; round < 100; ++round) {
    const size_t n = 1 + rng() % 5;
    Confusion t = Confusion::zero(n);
    const size_t groups = rng() % 4;
    for (size_t g = 0; g < groups; ++g) {
      std::vector<uint64_t> counts(n);
      for (uint64_t& c : counts)
        c = rng() % 3 == 0 ? 0 : rng() % 50;
      t.add_group(rng() % n, counts);
    }
    tables.push_back(std::move(t));
  }
  return tables;
}

TEST(Objective, FBetaRelationsOnRandomTables) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  for (const Confusion& t : random_tables()) {
    for (Average a : kAverages) {
      for (size_t pos : {0, 1}) {
        const double f1 = F1(a, pos).score(t);
        EXPECT_DOUBLE_EQ(FBeta(a, pos, 1.0).score(t), f1);
        EXPECT_DOUBLE_EQ(FBeta(a, pos, -1.0).score(t), f1);
        EXPECT_DOUBLE_EQ(FBeta(a, pos, 0.0).score(t), Precision(a, pos).score(t));
        EXPECT_EQ(FBeta(a, pos, -2.5).score(t), FBeta(a, pos, 2.5).score(t));
        EXPECT_EQ(FBeta(a, pos, kNaN).score(t), 0.0);
      }
    }
  }
}

TEST(Objective, MicroAveragesEqualAccuracyOnRandomTables) {
  for (const Confusion& t : random_tables()) {
    const double accuracy = Accuracy().score(t);
    EXPECT_DOUBLE_EQ(Precision(Average::Micro, 0).score(t), accuracy);
    EXPECT_DOUBLE_EQ(Recall(Average::Micro, 0).score(t), accuracy);
    EXPECT_DOUBLE_EQ(F1(Average::Micro, 0).score(t), accuracy);
    // Weighted recall is accuracy too: each class's recall times its support is its tp.
    EXPECT_DOUBLE_EQ(Recall(Average::Weighted, 0).score(t), accuracy);
  }
}

TEST(Objective, AbsentClassLowersMacroButNotWeighted) {
  Confusion two = Confusion::zero(2);
  Confusion three = Confusion::zero(3);
  for (Confusion* t : {&two, &three}) {
    t->add_group(0, std::vector<uint64_t>{6, 2, 0});
    t->add_group(1, std::vector<uint64_t>{1, 3, 0});
  }
  const Precision macro(Average::Macro, 0), weighted(Average::Weighted, 0);
  EXPECT_EQ(macro.score(three), macro.score(two) * 2.0 / 3.0);
  EXPECT_EQ(weighted.score(three), weighted.score(two));
  const F1 macro_f1(Average::Macro, 0), weighted_f1(Average::Weighted, 0);
  EXPECT_LT(macro_f1.score(three), macro_f1.score(two));
  EXPECT_EQ(weighted_f1.score(three), weighted_f1.score(two));
}

TEST(Objective, NamesAreFixed) {
  EXPECT_EQ(Accuracy().name(), "accuracy");
  EXPECT_EQ(Precision(Average::Macro, 0).name(), "precision");
  EXPECT_EQ(Recall(Average::Macro, 0).name(), "recall");
  EXPECT_EQ(F1(Average::Macro, 0).name(), "f1");
  EXPECT_EQ(FBeta(Average::Macro, 0, 2.0).name(), "fbeta");
}

}  // namespace
}  // namespace zelk
