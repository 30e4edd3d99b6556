#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/parallel.hpp"
#include "par_map_helpers.hpp"

namespace zelk {
namespace {

using testing_helpers::iota_items;
using testing_helpers::threads_used;

TEST(ParMapPool, LaterCallsRunOnTheSameThreads) {
  const std::set<std::thread::id> first = threads_used(8, 4);
  EXPECT_EQ(first.size(), 4u);
  EXPECT_EQ(first.count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(threads_used(8, 4), first);
  // Fewer blocks use a subset of the same threads.
  const std::set<std::thread::id> fewer = threads_used(4, 2);
  EXPECT_EQ(fewer.size(), 2u);
  EXPECT_TRUE(std::includes(first.begin(), first.end(), fewer.begin(), fewer.end()));
}

TEST(ParMapPool, NestedCallsFinishWithTheRightResults) {
  const std::vector<size_t> items = iota_items(6);
  const auto out = par_map(items, 3, [](size_t i) {
    const auto inner = par_map(iota_items(5), 2, [i](size_t j) { return i * 10 + j; });
    return std::accumulate(inner.begin(), inner.end(), size_t{0});
  });
  ASSERT_EQ(out.size(), 6u);
  for (size_t i = 0; i < 6; ++i)
    EXPECT_EQ(out[i], 50 * i + 10);
}

TEST(ParMapPool, ConcurrentCallersEachGetTheirOwnResults) {
  std::vector<std::vector<size_t>> results(4);
  std::vector<std::thread> callers;
  for (size_t c = 0; c < results.size(); ++c) {
    callers.emplace_back([c, &results]() {
      for (int round = 0; round < 20; ++round) {
        results[c] = par_map(iota_items(64), 3, [c](size_t i) { return i * (c + 1); });
      }
    });
  }
  for (std::thread& t : callers)
    t.join();
  for (size_t c = 0; c < results.size(); ++c) {
    ASSERT_EQ(results[c].size(), 64u);
    for (size_t i = 0; i < 64; ++i)
      EXPECT_EQ(results[c][i], i * (c + 1));
  }
}

TEST(ParMapPool, AFailedCallLeavesThePoolUsable) {
  EXPECT_THROW(par_map(iota_items(4), 2,
                       [](size_t i) -> size_t {
                         if (i == 3) throw std::runtime_error("late failure");
                         return i;
                       }),
               Panic);
  const auto out = par_map(iota_items(4), 2, [](size_t i) { return i + 1; });
  EXPECT_EQ(out, (std::vector<size_t>{1, 2, 3, 4}));
}

}  // namespace
}  // namespace zelk
