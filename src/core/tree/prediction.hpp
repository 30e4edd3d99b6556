// A tree laid out for fast prediction over a whole input matrix.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <variant>
#include <vector>

#include "core/data.hpp"
#include "core/tree/model.hpp"

namespace zelk {

// A tree laid out for prediction over one input matrix: nodes in pre-order (a split's left
// child follows it), each test reduced to `lower <= v < upper` or a category match on the
// cell at a byte offset within a row. Built once per predict call; the walk reads the
// caller's matrix in place through its strides.
template <class T>
class PredictionTree {
 public:
  // `x_col_stride` is the byte stride between a row's cells; `categorical` ascending.
  PredictionTree(const Node<T>& root, std::span<const size_t> categorical, ptrdiff_t x_col_stride) {
    struct Pending {
      const Node<T>* node;
      size_t parent;  // index of the split whose right child this is, or kNone
      size_t depth;
    };
    constexpr size_t kNone = std::numeric_limits<size_t>::max();
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    size_t leaf_depth_min = kNone;
    std::vector<Pending> stack{{&root, kNone, 0}};
    while (!stack.empty()) {
      const Pending p = stack.back();
      stack.pop_back();
      const size_t index = nodes_.size();
      // Node indices are 32-bit to keep a node in half a cache line; a tree that large
      // could not fit in memory anyway.
      if (index > std::numeric_limits<uint32_t>::max()) {
        throw std::length_error("tree too large to predict");
      }
      if (p.parent != kNone) nodes_[p.parent].right = static_cast<uint32_t>(index);
      FlatNode& out = nodes_.emplace_back();
      const T* payload = nullptr;
      const Node<T>& n = *p.node;
      if (n.is_leaf()) {
        // A NaN lower bound never holds, so a leaf steps to itself.
        out.lower = kNaN;
        out.right = static_cast<uint32_t>(index);
        payload = &n.value;
        leaf_depth_min = std::min(leaf_depth_min, p.depth);
      } else {
        const size_t feature = n.rule->feature();
        width_ = std::max(width_, feature + 1);
        out.offset = static_cast<ptrdiff_t>(feature) * x_col_stride;
        const bool code_cell = contains_sorted(categorical, feature);
        if (const auto* cat = std::get_if<Category>(&n.rule->test)) {
          // A missing code never goes left, and a category never matches a numeric cell.
          if (code_cell && cat->category != kMissingCode) {
            out.category = cat->category;
            has_category_ = true;
          } else {
            out.lower = kNaN;
          }
        } else if (const auto* set = std::get_if<CategorySet>(&n.rule->test)) {
          // Marked by the set code with a NaN lower bound; the set's index is its upper bound.
          if (code_cell) {
            out.category = kSetCode;
            out.upper = static_cast<double>(sets_.size());
            sets_.push_back(set->categories);
            has_category_ = true;
          }
          out.lower = kNaN;
        } else if (code_cell) {
          out.lower = kNaN;  // an interval never matches a category cell
        } else {
          // Equivalent to "finite and within the bounds": the lowest double instead of -inf
          // keeps -inf out, and nothing is below +inf.
          const auto& interval = std::get<Interval>(n.rule->test);
          const double lower = interval.lower.value_or(-kInf);
          out.lower = lower == -kInf ? std::numeric_limits<double>::lowest() : lower;
          out.upper = interval.upper.value_or(kInf);
        }
        depth_bound_ = std::max(depth_bound_, p.depth + 1);
        stack.push_back({n.right.get(), index, p.depth + 1});
        stack.push_back({n.left.get(), kNone, p.depth + 1});
      }
      payloads_.push_back(payload);
    }
    splits_everywhere_ = leaf_depth_min;
  }

  // Calls `emit(i, payload)` for every row i of `x`, which has at least required_columns
  // columns and the column stride given at construction.
  template <class Emit>
  void predict(const MatrixView& x, Emit&& emit) const {
    apply(x, [&](size_t i, uint32_t leaf) { emit(i, *payloads_[leaf]); });
  }

  // Calls `emit(i, leaf)` for every row i of `x` with the pre-order index of the leaf it
  // reaches (the numbering of the export).
  template <class Emit>
  void apply(const MatrixView& x, Emit&& emit) const {
    if (nodes_.size() == 1) {  // a lone leaf reads no cell, and x may have none
      for (size_t i = 0; i < x.rows; ++i)
        emit(i, uint32_t{0});
      return;
    }
    if (has_category_) {
      walk<true>(x, emit);
    } else {
      walk<false>(x, emit);
    }
  }

 private:
  struct FlatNode {
    double lower = 0.0;
    double upper = 0.0;
    ptrdiff_t offset = 0;
    uint32_t right = 0;
    uint32_t category = kMissingCode;  // kMissingCode: an interval test, or a leaf
  };

  // Marks a set test: no category code a rule can name is both this and NaN-bounded.
  static constexpr uint32_t kSetCode = kMissingCode - 1;

  template <bool kCategories>
  bool goes_left(const FlatNode& n, const char* row) const {
    double v;
    __builtin_memcpy(&v, row + n.offset, sizeof v);  // the caller's array may be unaligned
    if constexpr (kCategories) {
      if (n.category != kMissingCode) {
        const uint32_t code = category_code(v);
        if (n.category == kSetCode && std::isnan(n.lower)) {
          const std::vector<uint32_t>& set = sets_[static_cast<size_t>(n.upper)];
          return code != kMissingCode && std::binary_search(set.begin(), set.end(), code);
        }
        return code == n.category;
      }
    }
    return (v >= n.lower) & (v < n.upper);
  }

  template <bool kCategories>
  uint32_t step(const FlatNode* nodes, uint32_t i, const char* row) const {
    const FlatNode& n = nodes[i];
    // A mask instead of a branch: the direction is as good as random.
    const uint32_t left_mask = uint32_t{0} - uint32_t{goes_left<kCategories>(n, row)};
    return n.right ^ ((n.right ^ (i + 1)) & left_mask);
  }

  // Rows go down in blocks, one level at a time for the whole block, so that the loads of
  // independent rows overlap instead of waiting on each other.
  template <bool kCategories, class Emit>
  void walk(const MatrixView& x, Emit& emit) const {
    constexpr size_t kBlock = 16;
    constexpr size_t kAhead = 2;  // blocks
    const FlatNode* nodes = nodes_.data();
    const bool contiguous_rows = x.col_stride == static_cast<ptrdiff_t>(sizeof(double));
    const size_t row_bytes = width_ * sizeof(double);
    std::array<uint32_t, kBlock> at{};
    std::array<const char*, kBlock> rows{};
    for (size_t first = 0; first < x.rows; first += kBlock) {
      const size_t count = std::min(kBlock, x.rows - first);
      for (size_t r = 0; r < count; ++r) {
        at[r] = 0;
        rows[r] = x.data + static_cast<ptrdiff_t>(first + r) * x.row_stride;
      }
      if (contiguous_rows) {
        // The walk jumps between a row's cells, which the hardware prefetcher does not follow.
        const size_t ahead_end = std::min(x.rows, first + (kAhead + 1) * kBlock);
        for (size_t r = first + kAhead * kBlock; r < ahead_end; ++r) {
          const char* row = x.data + static_cast<ptrdiff_t>(r) * x.row_stride;
          for (size_t b = 0; b < row_bytes; b += 64)
            __builtin_prefetch(row + b);
        }
      }
      // No row can reach a leaf in fewer levels than the shallowest leaf.
      for (size_t level = 0; level < splits_everywhere_; ++level) {
        for (size_t r = 0; r < count; ++r)
          at[r] = step<kCategories>(nodes, at[r], rows[r]);
      }
      // Every path is at most depth_bound_ splits long; stop early once all rows are leaves.
      for (size_t level = splits_everywhere_; level < depth_bound_; ++level) {
        bool moved = false;
        for (size_t r = 0; r < count; ++r) {
          const uint32_t next = step<kCategories>(nodes, at[r], rows[r]);
          moved |= next != at[r];
          at[r] = next;
        }
        if (!moved) break;
      }
      for (size_t r = 0; r < count; ++r)
        emit(first + r, at[r]);
    }
  }

  std::vector<FlatNode> nodes_;
  std::vector<const T*> payloads_;  // the leaf payload of each node, nullptr for a split
  size_t depth_bound_ = 0;          // the most splits on any path
  size_t splits_everywhere_ = 0;    // the fewest splits on any path
  size_t width_ = 0;                // 1 + the largest feature a rule reads
  bool has_category_ = false;
  std::vector<std::vector<uint32_t>> sets_;  // the category sets of set tests
};

}  // namespace zelk
