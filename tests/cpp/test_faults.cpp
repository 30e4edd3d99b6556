// The fault hooks of par_map, compiled only into test builds.
#ifdef ZELK_FAULT_INJECTION

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <numeric>
#include <ostream>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/parallel.hpp"
#include "par_map_helpers.hpp"

namespace zelk {
namespace {

using testing_helpers::iota_items;
using testing_helpers::threads_used;

using fault::Kind;

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

const std::string kSpawnMessage =
    "failed to spawn thread: " + std::generic_category().message(EAGAIN);

// How par_map gets its threads in a test.
enum class Path { kPool, kOwnThreads, kStarter };

void PrintTo(Path path, std::ostream* os) {
  *os << (path == Path::kPool ? "pool" : path == Path::kOwnThreads ? "own threads" : "starter");
}

class FaultTest : public ::testing::TestWithParam<Path> {
 protected:
  void TearDown() override { fault::arm(Kind::kOff, 0, false); }

  void arm(Kind kind, uint64_t after) { fault::arm(kind, after, GetParam() == Path::kOwnThreads); }

  // par_map over `n` items on `n_threads`, each item sleeping a little before it counts
  // itself in `done`, so that a worker not joined before the throw is seen.
  std::vector<size_t> run(size_t n, size_t n_threads) {
    const auto f = [this](size_t item) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ++done;
      return item * 3;
    };
    if (GetParam() != Path::kStarter) return par_map(iota_items(n), n_threads, f);
    const ThreadStarter counting = [this](std::function<void()> body) {
      ++started;
      return std::thread(std::move(body));
    };
    return par_map(iota_items(n), n_threads, f, counting);
  }

  std::atomic<size_t> done{0};
  std::atomic<size_t> started{0};
};

TEST_P(FaultTest, SpawnFaultRunsTheEarlierBlocksJoinsThemAndPanics) {
  for (size_t fail_at : {0u, 1u, 3u}) {
    SCOPED_TRACE(fail_at);
    done = 0;
    started = 0;
    arm(Kind::kSpawn, fail_at);
    try {
      run(8, 4);
      ADD_FAILURE() << "expected a Panic";
    } catch (const Panic& e) {
      EXPECT_EQ(std::string(e.what()), kSpawnMessage);
    }
    // Two items a block; the blocks before the failed start ran to their end.
    EXPECT_EQ(done.load(), 2 * fail_at);
    if (GetParam() == Path::kStarter) {
      EXPECT_EQ(started.load(), fail_at);
    }
    // The fault fired once: the same call now succeeds.
    done = 0;
    const std::vector<size_t> out = run(8, 4);
    ASSERT_EQ(out.size(), 8u);
    for (size_t i = 0; i < 8; ++i)
      EXPECT_EQ(out[i], 3 * i);
    EXPECT_EQ(done.load(), 8u);
  }
}

TEST_P(FaultTest, SpawnCountRunsOnAcrossCalls) {
  arm(Kind::kSpawn, 5);  // 3 starts in the first call, 3 in the second: the third of those
  EXPECT_EQ(run(3, 3).size(), 3u);
  done = 0;
  EXPECT_THROW(run(3, 3), Panic);
  EXPECT_EQ(done.load(), 2u);
  // One or no item starts no thread and counts nothing.
  arm(Kind::kSpawn, 0);
  EXPECT_EQ(run(1, 3), std::vector<size_t>{0});
  EXPECT_TRUE(run(0, 3).empty());
  EXPECT_THROW(run(2, 2), Panic);
}

TEST_P(FaultTest, WorkerFaultJoinsEveryOtherWorkerThenPanics) {
  for (size_t fail_at : {0u, 2u, 3u}) {
    SCOPED_TRACE(fail_at);
    done = 0;
    arm(Kind::kWorker, fail_at);
    try {
      run(4, 4);  // one item a block, so exactly one job fails
      ADD_FAILURE() << "expected a Panic";
    } catch (const Panic& e) {
      EXPECT_TRUE(starts_with(e.what(), "worker thread panicked: ")) << e.what();
    }
    EXPECT_EQ(done.load(), 3u);
    EXPECT_EQ(run(4, 4).size(), 4u);
  }
}

TEST_P(FaultTest, WorkerOutOfMemoryJoinsEveryOtherWorkerThenThrowsBadAlloc) {
  done = 0;
  arm(Kind::kWorkerOutOfMemory, 1);
  EXPECT_THROW(run(4, 4), std::bad_alloc);
  EXPECT_EQ(done.load(), 3u);
  EXPECT_EQ(run(4, 4).size(), 4u);
}

TEST_P(FaultTest, WorkerCountRunsOnAcrossCallsAndSkipsTheCallingThread) {
  arm(Kind::kWorker, 6);
  EXPECT_EQ(run(1, 4).size(), 1u);  // on the calling thread: not a worker job
  EXPECT_EQ(run(4, 2).size(), 4u);  // jobs 0-3
  done = 0;
  EXPECT_THROW(run(3, 3), Panic);  // jobs 4, 5 and 6
  EXPECT_EQ(done.load(), 2u);
}

TEST_P(FaultTest, OffDisarms) {
  for (Kind kind : {Kind::kSpawn, Kind::kWorker, Kind::kWorkerOutOfMemory}) {
    arm(kind, 0);
    fault::arm(Kind::kOff, 0, false);
    EXPECT_EQ(run(4, 4).size(), 4u);
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, FaultTest,
                         ::testing::Values(Path::kPool, Path::kOwnThreads, Path::kStarter));

TEST(Fault, OwnThreadsBypassThePoolUntilTheFaultFires) {
  // The pool's threads stay alive, so no thread started meanwhile can share their ids.
  const std::set<std::thread::id> pool = threads_used(4, 4);
  fault::arm(Kind::kWorker, 1000, true);
  const std::set<std::thread::id> own = threads_used(4, 4);
  EXPECT_EQ(own.size(), 4u);
  for (const std::thread::id& id : own)
    EXPECT_EQ(pool.count(id), 0u);
  fault::arm(Kind::kOff, 0, false);
  EXPECT_EQ(threads_used(4, 4), pool);
}

TEST(Fault, NestedCallsOnTheirOwnThreadsAreCountedToo) {
  // The outer call's two jobs come first; the inner calls start threads of their own.
  fault::arm(Kind::kSpawn, 3, false);
  std::atomic<size_t> inner_failures{0};
  const auto out = par_map(iota_items(2), 2, [&inner_failures](size_t i) {
    try {
      return par_map(iota_items(2), 2, [i](size_t j) { return i * 10 + j; }).size();
    } catch (const Panic& e) {
      EXPECT_EQ(std::string(e.what()), kSpawnMessage);
      ++inner_failures;
      return size_t{0};
    }
  });
  EXPECT_EQ(inner_failures.load(), 1u);
  EXPECT_EQ(out[0] + out[1], 2u);
}

}  // namespace
}  // namespace zelk

#endif  // ZELK_FAULT_INJECTION
