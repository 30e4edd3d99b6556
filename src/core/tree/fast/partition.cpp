#include "core/tree/fast/partition.hpp"

#include <utility>

#include "core/binning.hpp"

namespace zelk {

namespace {

template <PartitionMode Mode>
size_t partition_with(std::span<uint32_t> samples, std::span<const uint16_t> codes, uint16_t k) {
  size_t i = 0;
  const size_t n = samples.size();
  for (size_t j = 0; j < n; ++j) {
    const uint16_t code = codes[samples[j]];
    const bool left = Mode == PartitionMode::AtMost ? (code != kMissingBin && code <= k)
                                                    : (code != kMissingBin && code == k);
    if (left) {
      std::swap(samples[i], samples[j]);
      ++i;
    }
  }
  return i;
}

}  // namespace

size_t partition_in_place(std::span<uint32_t> samples, std::span<const uint16_t> codes, uint16_t k,
                          PartitionMode mode) {
  return mode == PartitionMode::AtMost ? partition_with<PartitionMode::AtMost>(samples, codes, k)
                                       : partition_with<PartitionMode::Equal>(samples, codes, k);
}

}  // namespace zelk
