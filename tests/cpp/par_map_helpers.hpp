// Helpers shared by the tests of par_map and its pool.
#pragma once

#include <cstddef>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "core/parallel.hpp"

namespace zelk::testing_helpers {

inline std::vector<size_t> iota_items(size_t n) {
  std::vector<size_t> items(n);
  std::iota(items.begin(), items.end(), size_t{0});
  return items;
}

// The distinct threads that par_map ran `n_items` items on.
inline std::set<std::thread::id> threads_used(size_t n_items, size_t n_threads) {
  std::vector<std::thread::id> ids(n_items);
  par_map(iota_items(n_items), n_threads, [&ids](size_t i) {
    ids[i] = std::this_thread::get_id();
    return i;
  });
  return std::set<std::thread::id>(ids.begin(), ids.end());
}

}  // namespace zelk::testing_helpers
