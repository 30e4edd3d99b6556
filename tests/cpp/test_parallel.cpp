#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <new>
#include <numeric>
#include <ostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/parallel.hpp"
#include "par_map_helpers.hpp"

namespace zelk {
namespace {

using testing_helpers::iota_items;

// A ThreadStarter that counts the threads it starts.
ThreadStarter counting_starter(std::atomic<size_t>& started) {
  return [&started](std::function<void()> body) {
    ++started;
    return std::thread(std::move(body));
  };
}

struct Layout {
  size_t n_items;
  size_t n_threads;
  std::vector<size_t> block_starts;  // first item of every worker's block
};

void PrintTo(const Layout& l, std::ostream* os) {
  *os << l.n_items << " items on " << l.n_threads << " threads";
}

class ParMapLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(ParMapLayout, SplitsItemsIntoContiguousBlocksOnePerWorker) {
  const Layout& layout = GetParam();
  const std::vector<size_t> items = iota_items(layout.n_items);
  // Each item is written by exactly one worker, so the slots need no synchronisation.
  std::vector<std::thread::id> ran_on(layout.n_items);
  std::atomic<size_t> started{0};
  const std::vector<size_t> out = par_map(
      items, layout.n_threads,
      [&ran_on](size_t item) {
        ran_on[item] = std::this_thread::get_id();
        return item * 10;
      },
      counting_starter(started));

  ASSERT_EQ(out.size(), layout.n_items);
  for (size_t i = 0; i < out.size(); ++i)
    EXPECT_EQ(out[i], i * 10);
  EXPECT_EQ(started.load(), layout.block_starts.size());

  // Threads are joined only after all are spawned, so their ids are distinct.
  std::vector<size_t> starts{0};
  for (size_t i = 1; i < layout.n_items; ++i) {
    if (ran_on[i] != ran_on[i - 1]) starts.push_back(i);
  }
  EXPECT_EQ(starts, layout.block_starts);
  for (const std::thread::id& id : ran_on)
    EXPECT_NE(id, std::this_thread::get_id());
}

INSTANTIATE_TEST_SUITE_P(Blocks, ParMapLayout,
                         ::testing::Values(Layout{10, 4, {0, 3, 6, 9}},
                                           Layout{10, 6, {0, 2, 4, 6, 8}},
                                           Layout{5, 8, {0, 1, 2, 3, 4}}, Layout{3, 1, {0}},
                                           Layout{2, 2, {0, 1}}, Layout{7, 3, {0, 3, 6}},
                                           // a thread count of 0 is treated as 1
                                           Layout{4, 0, {0}}));

TEST(ParMap, ZeroAndOneItemRunOnTheCallingThread) {
  const ThreadStarter refuse = [](std::function<void()>) -> std::thread {
    ADD_FAILURE() << "no thread may be started";
    return std::thread();
  };
  const std::vector<int> none;
  EXPECT_TRUE(par_map(none, 4, [](int x) { return x; }, refuse).empty());

  const std::vector<int> one{21};
  std::thread::id ran_on;
  const std::vector<int> out = par_map(
      one, 8,
      [&ran_on](int x) {
        ran_on = std::this_thread::get_id();
        return 2 * x;
      },
      refuse);
  EXPECT_EQ(out, std::vector<int>{42});
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(ParMap, KeepsItemOrderWhenALaterBlockFinishesFirst) {
  const std::vector<size_t> items = iota_items(6);
  std::atomic<bool> last_block_done{false};
  std::atomic<size_t> finished{0};
  std::vector<size_t> finished_at(items.size());
  const auto out = par_map(items, 3, [&](size_t item) {
    if (item == 0) {
      // The first block waits until the last block is through (bounded, so a serial
      // implementation fails instead of hanging).
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (!last_block_done.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    finished_at[item] = finished++;
    if (item == 5) last_block_done = true;
    return std::to_string(item);
  });
  EXPECT_EQ(out, (std::vector<std::string>{"0", "1", "2", "3", "4", "5"}));
  EXPECT_LT(finished_at[5], finished_at[0]);
}

TEST(ParMap, MovesOnlyResultsBack) {
  const std::vector<int> items{1, 2, 3, 4, 5};
  const auto out = par_map(items, 2, [](int x) { return std::make_unique<int>(x * x); });
  ASSERT_EQ(out.size(), 5u);
  for (size_t i = 0; i < out.size(); ++i)
    EXPECT_EQ(*out[i], items[i] * items[i]);
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

TEST(ParMap, SpawnFailureJoinsStartedWorkersAndPanics) {
  for (size_t fail_at : {0u, 1u, 3u}) {
    SCOPED_TRACE(fail_at);
    const std::vector<size_t> items = iota_items(8);
    std::atomic<size_t> started{0};
    std::atomic<size_t> done{0};
    const ThreadStarter flaky = [&](std::function<void()> body) {
      if (started == fail_at) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      }
      ++started;
      return std::thread(std::move(body));
    };
    try {
      par_map(
          items, 4,
          [&done](size_t item) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ++done;
            return item;
          },
          flaky);
      ADD_FAILURE() << "expected a Panic";
    } catch (const Panic& e) {
      EXPECT_TRUE(starts_with(e.what(), "failed to spawn thread")) << e.what();
    }
    // Two items per worker: every worker that started finished its block before the throw.
    EXPECT_EQ(done.load(), 2 * fail_at);
  }
}

enum class Failure { Runtime, BadAlloc, LengthError, NonStandard };

void PrintTo(Failure f, std::ostream* os) {
  const char* names[] = {"Runtime", "BadAlloc", "LengthError", "NonStandard"};
  *os << names[static_cast<int>(f)];
}

class ParMapWorkerFailure : public ::testing::TestWithParam<Failure> {};

// A worker that runs out of memory (std::bad_alloc, or a container's std::length_error for
// too large a size) makes par_map throw std::bad_alloc; any other failure is a Panic.
TEST_P(ParMapWorkerFailure, JoinsEveryWorkerThenRethrows) {
  const std::vector<size_t> items = iota_items(8);
  std::atomic<size_t> done{0};
  const Failure failure = GetParam();
  const bool out_of_memory = failure == Failure::BadAlloc || failure == Failure::LengthError;
  try {
    par_map(items, 4, [&done, failure](size_t item) -> size_t {
      if (item == 2) {
        switch (failure) {
          case Failure::Runtime:
            throw std::out_of_range("index 9 out of range");
          case Failure::BadAlloc:
            throw std::bad_alloc();
          case Failure::LengthError: {
            std::vector<double> huge;
            huge.reserve(huge.max_size() + 1);
            break;
          }
          case Failure::NonStandard:
            throw 7;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ++done;
      return item;
    });
    ADD_FAILURE() << "expected an exception";
  } catch (const Panic& e) {
    EXPECT_FALSE(out_of_memory) << e.what();
    EXPECT_TRUE(starts_with(e.what(), "worker thread panicked")) << e.what();
    if (failure == Failure::Runtime) {
      EXPECT_NE(std::string(e.what()).find("index 9 out of range"), std::string::npos);
    }
  } catch (const std::bad_alloc&) {
    EXPECT_TRUE(out_of_memory);
  }
  // Item 3 shares the failing block and is skipped; the other six all ran to their end.
  EXPECT_EQ(done.load(), 6u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ParMapWorkerFailure,
                         ::testing::Values(Failure::Runtime, Failure::BadAlloc,
                                           Failure::LengthError, Failure::NonStandard));

TEST(ParMap, OutOfMemoryInANestedCallReachesTheOuterCaller) {
  EXPECT_THROW(par_map(iota_items(4), 2,
                       [](size_t i) {
                         return par_map(iota_items(4), 2,
                                        [i](size_t j) -> size_t {
                                          if (i == 3 && j == 1) throw std::bad_alloc();
                                          return j;
                                        })
                             .size();
                       }),
               std::bad_alloc);
}

}  // namespace
}  // namespace zelk
