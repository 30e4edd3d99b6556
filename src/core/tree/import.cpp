#include "core/tree/import.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

namespace zelk {

namespace {

std::string no_entry(const char* key, size_t node) {
  return "tree state list \"" + std::string(key) + "\" has no entry for node " +
         std::to_string(node);
}

// Entry `node` of `list`, or the message that it is too short for it.
template <class T>
Expected<T> entry(const std::vector<T>& list, const char* key, size_t node) {
  if (node >= list.size()) return Error{no_entry(key, node)};
  return static_cast<T>(list[node]);
}

// The category set of split node `i`, checked: codes below the missing code, sorted and
// without duplicates; one code makes a one-category test.
Expected<SplitRule> set_rule_at(const std::vector<int64_t>& codes, size_t column, size_t i) {
  std::vector<uint32_t> set;
  for (int64_t code : codes) {
    if (code < 0 || code >= static_cast<int64_t>(kMissingCode)) {
      return Error{"tree state node " + std::to_string(i) + " has the category " +
                   std::to_string(code) + " outside 0 .. 4294967294 in its categories"};
    }
    set.push_back(static_cast<uint32_t>(code));
  }
  std::sort(set.begin(), set.end());
  set.erase(std::unique(set.begin(), set.end()), set.end());
  if (set.empty()) {
    return Error{"tree state node " + std::to_string(i) +
                 " is a categorical split without categories"};
  }
  if (set.size() == 1) return SplitRule{Category{column, set[0]}};
  return SplitRule{CategorySet{column, std::move(set)}};
}

// The rule of split node `i`; a categorical split reads its set when `categories` holds one.
Expected<SplitRule> rule_at(const FlatTree& flat, const FlatStats* stats, size_t i) {
  const auto f = entry(flat.feature, "feature", i);
  if (!f) return Error{f.error()};
  if (f.value() < 0) {
    return Error{"tree state node " + std::to_string(i) + " has a negative feature index " +
                 std::to_string(f.value())};
  }
  const auto column = static_cast<size_t>(f.value());
  const auto categorical = entry(flat.is_categorical, "is_categorical", i);
  if (!categorical) return Error{categorical.error()};
  if (categorical.value()) {
    if (stats != nullptr && stats->categories) {
      const auto set = entry(*stats->categories, "categories", i);
      if (!set) return Error{set.error()};
      return set_rule_at(set.value(), column, i);
    }
    const auto code = entry(flat.category, "category", i);
    if (!code) return Error{code.error()};
    return SplitRule{Category{column, static_cast<uint32_t>(static_cast<uint64_t>(code.value()))}};
  }
  const auto lo = entry(flat.lower, "lower", i);
  if (!lo) return Error{lo.error()};
  const auto hi = entry(flat.upper, "upper", i);
  if (!hi) return Error{hi.error()};
  constexpr double kInf = std::numeric_limits<double>::infinity();
  Interval interval{column, std::nullopt, std::nullopt};
  // Only the exact infinities mean "no bound"; a NaN bound is kept (it sends every value
  // right).
  if (lo.value() != -kInf) interval.lower = lo.value();
  if (hi.value() != kInf) interval.upper = hi.value();
  return SplitRule{interval};
}

// Child `key` of split node `i` as a node index.
Expected<size_t> child_at(const std::vector<int64_t>& children, const char* key, size_t i,
                          size_t n_nodes) {
  const auto child = entry(children, key, i);
  if (!child) return Error{child.error()};
  if (child.value() < 0 || static_cast<uint64_t>(child.value()) >= n_nodes) {
    return Error{"tree state node " + std::to_string(i) + " has " + key + " index " +
                 std::to_string(child.value()) + " outside 0 .. " + std::to_string(n_nodes - 1)};
  }
  return static_cast<size_t>(child.value());
}

// Node i's statistics into `out`, from the lists that are present.
std::string apply_stats(const FlatStats& stats, size_t i, NodeStats& out) {
  std::string error;
  const auto take = [&](const auto& list, const char* key, auto& field) {
    if (!error.empty() || !list) return;
    if (i >= list->size()) {
      error = no_entry(key, i);
      return;
    }
    field = (*list)[i];
  };
  take(stats.impurity, "impurity", out.impurity);
  take(stats.weighted_n_samples, "weighted_n_samples", out.weighted_n_samples);
  take(stats.split_score, "split_score", out.split_score);
  take(stats.fold_scores, "fold_scores", out.fold_scores);
  return error;
}

// Rebuilds the tree under node 0, left subtree first, with an explicit stack so that the
// tree's depth never reaches the C stack. `make_leaf(i)` builds leaf i. Every node may be
// reached once only, which rules out cycles and shared subtrees.
template <class T, class MakeLeaf>
Expected<std::unique_ptr<Node<T>>> build(const FlatTree& flat, const FlatStats* stats,
                                         MakeLeaf&& make_leaf) {
  const size_t n_nodes = flat.is_leaf.size();
  if (n_nodes == 0) return Error{"tree state has no nodes"};
  std::unique_ptr<Node<T>> root;
  std::vector<bool> visited(n_nodes, false);
  struct Pending {
    size_t index;
    std::unique_ptr<Node<T>>* slot;  // where the rebuilt node goes
  };
  std::vector<Pending> stack{{0, &root}};
  while (!stack.empty()) {
    const Pending p = stack.back();
    stack.pop_back();
    if (visited[p.index]) {
      return Error{"tree state node " + std::to_string(p.index) +
                   " is reached more than once (a cycle or a shared subtree)"};
    }
    visited[p.index] = true;
    std::unique_ptr<Node<T>>& node = *p.slot;
    if (flat.is_leaf[p.index]) {
      Expected<std::unique_ptr<Node<T>>> leaf = make_leaf(p.index);
      if (!leaf) return Error{leaf.error()};
      node = std::move(leaf).value();
    } else {
      auto rule = rule_at(flat, stats, p.index);
      if (!rule) return Error{rule.error()};
      const auto left = child_at(flat.children_left, "children_left", p.index, n_nodes);
      if (!left) return Error{left.error()};
      const auto right = child_at(flat.children_right, "children_right", p.index, n_nodes);
      if (!right) return Error{right.error()};
      node = Node<T>::make_split(std::move(rule).value(), nullptr, nullptr);
      stack.push_back({right.value(), &node->right});
      stack.push_back({left.value(), &node->left});
    }
    if (stats != nullptr) {
      if (std::string error = apply_stats(*stats, p.index, node->stats); !error.empty()) {
        return Error{error};
      }
    }
  }
  return root;
}

}  // namespace

Expected<std::unique_ptr<Node<double>>> import_tree(const FlatTree& flat, const FlatStats* stats,
                                                    const FlatValues& leaves) {
  return build<double>(flat, stats, [&](size_t i) -> Expected<std::unique_ptr<Node<double>>> {
    const auto value = entry(leaves.value, "value", i);
    if (!value) return Error{value.error()};
    const auto n = entry(flat.n_samples, "n_samples", i);
    if (!n) return Error{n.error()};
    return Node<double>::make_leaf(value.value(), static_cast<size_t>(n.value()));
  });
}

Expected<std::unique_ptr<Node<ClassPrediction>>> import_tree(const FlatTree& flat,
                                                             const FlatStats* stats,
                                                             const FlatClasses& leaves) {
  return build<ClassPrediction>(
      flat, stats, [&](size_t i) -> Expected<std::unique_ptr<Node<ClassPrediction>>> {
        const auto cls = entry(leaves.predicted_class, "predicted_class", i);
        if (!cls) return Error{cls.error()};
        auto frequencies = entry(leaves.proba, "proba", i);
        if (!frequencies) return Error{frequencies.error()};
        const auto n = entry(flat.n_samples, "n_samples", i);
        if (!n) return Error{n.error()};
        ClassPrediction payload;
        payload.proba = std::move(frequencies).value();
        payload.predicted_class = cls.value() < 0 ? 0 : static_cast<size_t>(cls.value());
        return Node<ClassPrediction>::make_leaf(std::move(payload), static_cast<size_t>(n.value()));
      });
}

}  // namespace zelk
