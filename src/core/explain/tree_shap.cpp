#include "core/explain/tree_shap.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "core/parallel.hpp"

namespace zelk {
namespace {

constexpr size_t kNoFeature = std::numeric_limits<size_t>::max();

void append_outputs(std::vector<double>& out, double value, size_t n_outputs) {
  out.push_back(value);
  out.insert(out.end(), n_outputs - 1, 0.0);
}

void append_outputs(std::vector<double>& out, const ClassPrediction& leaf, size_t n_outputs) {
  const size_t copied = std::min(leaf.proba.size(), n_outputs);
  out.insert(out.end(), leaf.proba.begin(), leaf.proba.begin() + static_cast<ptrdiff_t>(copied));
  out.insert(out.end(), n_outputs - copied, 0.0);
}

}  // namespace

ShapTree::ShapTree(const Node<double>& root, size_t n_outputs)
    : n_outputs_(std::max<size_t>(n_outputs, 1)) {
  build(root);
}

ShapTree::ShapTree(const Node<ClassPrediction>& root, size_t n_outputs)
    : n_outputs_(std::max<size_t>(n_outputs, 1)) {
  build(root);
}

template <class T>
void ShapTree::build(const Node<T>& root) {
  struct Pending {
    const Node<T>* node;
    size_t parent;  // the split whose right child this is, or kNone
  };
  constexpr size_t kNone = std::numeric_limits<size_t>::max();
  std::vector<double> covers;
  std::vector<Pending> stack{{&root, kNone}};
  while (!stack.empty()) {
    const Pending p = stack.back();
    stack.pop_back();
    const size_t index = nodes_.size();
    // 32-bit indices keep the frames of the walk small; such a tree would not fit in memory.
    if (index >= std::numeric_limits<uint32_t>::max()) {
      throw std::length_error("tree too large to explain");
    }
    FlatNode& out = nodes_.emplace_back();
    if (p.parent != kNone) nodes_[p.parent].right = static_cast<uint32_t>(index);
    const Node<T>& n = *p.node;
    if (n.is_leaf()) {
      out.value = values_.size();
      append_outputs(values_, n.value, n_outputs_);
      const double weight = n.stats.weighted_n_samples;
      covers.push_back(std::isnan(weight) ? static_cast<double>(n.n_samples) : weight);
    } else {
      out.rule = &*n.rule;
      out.left = static_cast<uint32_t>(index + 1);
      n_features_ = std::max(n_features_, n.rule->feature() + 1);
      covers.push_back(0.0);
      stack.push_back({n.right.get(), index});
      stack.push_back({n.left.get(), kNone});
    }
  }
  // Parents precede their children in pre-order, so one forward pass gives the depths.
  std::vector<size_t> depth(nodes_.size(), 0);
  size_t depth_bound = 0;
  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (nodes_[i].rule == nullptr) continue;
    depth[nodes_[i].left] = depth[i] + 1;
    depth[nodes_[i].right] = depth[i] + 1;
    depth_bound = std::max(depth_bound, depth[i] + 1);
  }
  finish(covers);
  // A path holds the root's placeholder and each distinct feature on it once.
  path_capacity_ = std::min(depth_bound, n_features_) + 1;
  inverse_.resize(path_capacity_ + 1, 0.0);
  for (size_t k = 1; k < inverse_.size(); ++k)
    inverse_[k] = 1.0 / static_cast<double>(k);
}

void ShapTree::finish(std::vector<double>& covers) {
  const size_t n = nodes_.size();
  std::vector<size_t> sizes(n, 1);
  std::vector<double> expected(n * n_outputs_, 0.0);
  for (size_t i = n; i-- > 0;) {
    FlatNode& node = nodes_[i];
    double* e = expected.data() + i * n_outputs_;
    if (node.rule == nullptr) {
      std::copy_n(values_.data() + node.value, n_outputs_, e);
      continue;
    }
    covers[i] = covers[node.left] + covers[node.right];
    sizes[i] = 1 + sizes[node.left] + sizes[node.right];
    if (covers[i] > 0.0) {
      node.left_fraction = covers[node.left] / covers[i];
      node.right_fraction = covers[node.right] / covers[i];
    }
    node.left_first = sizes[node.left] <= sizes[node.right];
    const double* l = expected.data() + size_t{node.left} * n_outputs_;
    const double* r = expected.data() + size_t{node.right} * n_outputs_;
    for (size_t k = 0; k < n_outputs_; ++k)
      e[k] = node.left_fraction * l[k] + node.right_fraction * r[k];
  }
  expected_.assign(expected.begin(), expected.begin() + static_cast<ptrdiff_t>(n_outputs_));
  // The subtree explained first is at most half its parent's, so at most log2(n) + 1 paths
  // are alive at once whatever the depth: the second child reuses its parent's path.
  std::vector<uint32_t> level(n, 0);
  uint32_t deepest = 0;
  for (size_t i = 0; i < n; ++i) {
    const FlatNode& node = nodes_[i];
    if (node.rule == nullptr) continue;
    const uint32_t first = node.left_first ? node.left : node.right;
    const uint32_t second = node.left_first ? node.right : node.left;
    level[first] = level[i] + 1;
    level[second] = level[i];
    deepest = std::max(deepest, level[first]);
  }
  slots_ = size_t{deepest} + 1;
}

ShapTree::Scratch ShapTree::make_scratch() const {
  Scratch s;
  s.paths_.resize(slots_ * path_capacity_);
  s.stack_.reserve(slots_ + 1);
  s.row_.resize(n_features_);
  return s;
}

namespace {

// Adds a leaf's share to every feature on the path `m[0, length)` that reached it.
template <class Element>
void add_leaf(const Element* m, size_t length, const double* inverse, const double* value,
              size_t n_outputs, std::span<double> phi) {
  const size_t top = length - 1;
  const auto size = static_cast<double>(top + 1);
  for (size_t i = 1; i < length; ++i) {
    const Element& e = m[i];
    // The weight of the subsets without e, recovered by undoing its extension; the
    // factor `size` common to every term is applied once at the end.
    double total = 0.0;
    if (e.one_fraction != 0.0) {
      // The row's own branch, where one_fraction is 1. Each step depends on the one
      // before, which bounds the time of a row: the chain holds one product and one
      // difference per step, the factors are computed beside it.
      double next = m[top].weight;
      for (size_t j = top; j-- > 0;) {
        const double step = inverse[j + 1];
        const double carry = step * e.zero_fraction * static_cast<double>(top - j);
        total += next * step;
        next = m[j].weight - next * carry;
      }
    } else {
      for (size_t j = top; j-- > 0;)
        total += m[j].weight * inverse[top - j];
      total /= e.zero_fraction;
    }
    total *= size;
    const double scale = total * (e.one_fraction - e.zero_fraction);
    double* target = phi.data() + e.feature * n_outputs;
    for (size_t k = 0; k < n_outputs; ++k)
      target[k] += scale * value[k];
  }
}

// Takes `feature` off the path `m[0, length)` when it is on it, undoing its extension, and
// leaves its fractions in `zero` and `one`.
template <class Element>
void take_off(Element* m, size_t& length, size_t feature, double& zero, double& one) {
  for (size_t k = 1; k < length; ++k) {
    if (m[k].feature != feature) continue;
    zero = m[k].zero_fraction;
    one = m[k].one_fraction;
    const size_t top = length - 1;
    const auto size = static_cast<double>(top + 1);
    double next = m[top].weight;
    for (size_t j = top; j-- > 0;) {
      if (one != 0.0) {
        const double kept = m[j].weight;
        m[j].weight = next * size / (static_cast<double>(j + 1) * one);
        next = kept - m[j].weight * zero * static_cast<double>(top - j) / size;
      } else {
        m[j].weight = m[j].weight * size / (zero * static_cast<double>(top - j));
      }
    }
    for (size_t j = k; j < top; ++j) {
      m[j].feature = m[j + 1].feature;
      m[j].zero_fraction = m[j + 1].zero_fraction;
      m[j].one_fraction = m[j + 1].one_fraction;
    }
    --length;
    return;
  }
}

}  // namespace

void ShapTree::explain_row(std::span<const Cell> row, std::span<double> phi,
                           Scratch& scratch) const {
  using Element = Scratch::PathElement;
  using Frame = Scratch::Frame;
  Element* const paths = scratch.paths_.data();
  const double* const inverse = inverse_.data();
  const size_t capacity = path_capacity_;
  const size_t n_outputs = n_outputs_;
  std::vector<Frame>& stack = scratch.stack_;
  stack.clear();
  stack.push_back(Frame{0, 0, 0, 0, 1.0, 1.0, kNoFeature});
  while (!stack.empty()) {
    const Frame f = stack.back();
    stack.pop_back();
    Element* m = paths + size_t{f.slot} * capacity;
    if (f.source != f.slot) std::copy_n(paths + size_t{f.source} * capacity, f.length, m);

    // Extend the path by this node's feature: the weights of subsets of each size.
    const size_t depth = f.length;  // index of the new element
    m[depth] = Element{f.feature, f.zero_fraction, f.one_fraction, depth == 0 ? 1.0 : 0.0};
    const double shrink = inverse[depth + 1];
    for (size_t i = depth; i-- > 0;) {
      m[i + 1].weight += f.one_fraction * m[i].weight * static_cast<double>(i + 1) * shrink;
      m[i].weight = f.zero_fraction * m[i].weight * static_cast<double>(depth - i) * shrink;
    }
    size_t length = depth + 1;

    const FlatNode& node = nodes_[f.node];
    if (node.rule == nullptr) {
      add_leaf(m, length, inverse, values_.data() + node.value, n_outputs, phi);
      continue;
    }

    // A feature already on the path is taken off it, and its fractions carry on below.
    const size_t feature = node.rule->feature();
    double zero = 1.0;
    double one = 1.0;
    take_off(m, length, feature, zero, one);

    const bool goes_left = route_left_row(*node.rule, row);
    const double left_zero = zero * node.left_fraction;
    const double right_zero = zero * node.right_fraction;
    const double left_one = goes_left ? one : 0.0;
    const double right_one = goes_left ? 0.0 : one;
    // A child that neither the row nor any cover reaches adds nothing (and would divide by
    // zero when its feature is taken off the path again).
    const bool left_live = left_zero != 0.0 || left_one != 0.0;
    const bool right_live = right_zero != 0.0 || right_one != 0.0;
    const auto len = static_cast<uint32_t>(length);
    const Frame left{node.left, f.slot, f.slot, len, left_zero, left_one, feature};
    const Frame right{node.right, f.slot, f.slot, len, right_zero, right_one, feature};
    if (left_live && right_live) {
      Frame first = node.left_first ? left : right;
      const Frame& second = node.left_first ? right : left;
      first.slot = f.slot + 1;
      stack.push_back(second);
      stack.push_back(first);
    } else if (left_live) {
      stack.push_back(left);
    } else if (right_live) {
      stack.push_back(right);
    }
  }
}

void ShapTree::explain(const MatrixView& x, std::span<const size_t> categorical, size_t n_threads,
                       double* out) const {
  if (x.rows == 0) return;
  std::vector<char> is_code(n_features_, 0);
  for (const size_t c : categorical) {
    if (c < n_features_) is_code[c] = 1;
  }
  const size_t row_values = x.cols * n_outputs_;
  const size_t n_blocks = std::min(std::max<size_t>(n_threads, 1), x.rows);
  const size_t chunk = (x.rows + n_blocks - 1) / n_blocks;
  std::vector<size_t> blocks(n_blocks);
  std::iota(blocks.begin(), blocks.end(), size_t{0});
  par_map(blocks, n_blocks, [&](size_t block) {
    Scratch scratch = make_scratch();
    const size_t end = std::min(x.rows, (block + 1) * chunk);
    for (size_t i = block * chunk; i < end; ++i) {
      for (size_t j = 0; j < n_features_; ++j) {
        const double v = x.at(i, j);
        scratch.row_[j] = is_code[j] ? Cell::category(category_code(v)) : Cell::number(v);
      }
      explain_row(scratch.row_, std::span<double>(out + i * row_values, row_values), scratch);
    }
    return char{0};
  });
}

}  // namespace zelk
