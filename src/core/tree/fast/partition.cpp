#include "core/tree/fast/partition.hpp"

#include <utility>

#include "core/binning.hpp"

namespace zelk {

namespace {

template <PartitionMode Mode>
size_t partition_with(std::span<uint32_t> samples, std::span<const uint16_t> codes, uint16_t k,
                      std::span<const uint8_t> left_bins) {
  size_t i = 0;
  const size_t n = samples.size();
  for (size_t j = 0; j < n; ++j) {
    const uint16_t code = codes[samples[j]];
    bool left = false;
    if constexpr (Mode == PartitionMode::AtMost) {
      left = code != kMissingBin && code <= k;
    } else if constexpr (Mode == PartitionMode::Equal) {
      left = code != kMissingBin && code == k;
    } else {
      left = code < left_bins.size() && left_bins[code];
    }
    if (left) {
      std::swap(samples[i], samples[j]);
      ++i;
    }
  }
  return i;
}

}  // namespace

size_t partition_in_place(std::span<uint32_t> samples, std::span<const uint16_t> codes, uint16_t k,
                          PartitionMode mode, std::span<const uint8_t> left_bins) {
  switch (mode) {
    case PartitionMode::AtMost:
      return partition_with<PartitionMode::AtMost>(samples, codes, k, left_bins);
    case PartitionMode::Equal:
      return partition_with<PartitionMode::Equal>(samples, codes, k, left_bins);
    default:
      return partition_with<PartitionMode::InSet>(samples, codes, k, left_bins);
  }
}

}  // namespace zelk
