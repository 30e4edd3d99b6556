// Cross-validated scoring of one feature at a strict node: every state of the feature gets
// one score per fold, from bins re-fitted on the fold's training part and measured on its
// validation part.
#pragma once

#include <cstddef>
#include <vector>

#include "core/criterion.hpp"
#include "core/objective.hpp"
#include "core/selector.hpp"
#include "core/tree/tasks.hpp"
#include "core/validation/held_out.hpp"

namespace zelk {

// Fold score = validation impurity decrease of the candidate's split; `n_classes` counts the
// classifiers' classes (0 for regression).
template <class Target>
std::vector<ScoredCandidate> score_impurity(const Criterion<Target>& criterion, size_t n_classes,
                                            const StrictNode<Target>& node, size_t feature);

// Fold score = gain of the objective when each side predicts its training majority, over
// predicting the node's training majority everywhere.
std::vector<ScoredCandidate> score_objective(const ClassObjective& objective, size_t n_classes,
                                             const StrictNode<size_t>& node, size_t feature);

// Offers the feature's candidates to a node's held-out evidence: the node's choice cut at the
// node's edges, every fold's pick cut at the edges of its training values.
template <class Target>
void score_held_out(const HeldOutTask& task, const StrictNode<Target>& node, size_t feature,
                    HeldOutEvidence& evidence);

}  // namespace zelk
