// Fast growth's partition: the node's stretch of the shared sample order is split in place
// into the left child's stretch and the right child's.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelk {

// Which samples partition_in_place moves to the front: bin code at most k (threshold), equal
// to k (membership), or one of the bins marked left (a set of categories). The missing code
// satisfies none.
enum class PartitionMode { AtMost, Equal, InSet };

// Moves the samples that satisfy the test to the front of `samples`, keeping their relative
// order, and returns how many there are. The right side keeps the order the swaps leave it
// in, which decides the children's folds. `left_bins` marks the bins of InSet.
size_t partition_in_place(std::span<uint32_t> samples, std::span<const uint16_t> codes, uint16_t k,
                          PartitionMode mode, std::span<const uint8_t> left_bins = {});

// Puts list[order[i]] at i for every i; `buffer` is scratch.
template <class T>
void reorder(std::span<T> list, std::span<const uint32_t> order, std::vector<T>& buffer) {
  const size_t n = list.size();
  buffer.resize(n);
  for (size_t i = 0; i < n; ++i)
    buffer[i] = list[order[i]];
  std::copy(buffer.begin(), buffer.begin() + n, list.begin());
}

}  // namespace zelk
