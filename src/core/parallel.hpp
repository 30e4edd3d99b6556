// The ordered parallel map on scoped worker threads that both growth modes score with.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

namespace zelk {

// An abnormal end of a core operation (a thread that could not start, a failed worker). The
// Python boundary raises it as PanicException.
class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Starts a thread running `body`. Injectable so that tests can make thread creation fail.
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

#ifdef ZELK_FAULT_INJECTION
// Test builds only: failures armed by the tests at chosen points of par_map. Each armed fault
// fires once and then disarms itself.
namespace fault {
enum class Kind { kOff, kSpawn, kWorker, kWorkerOutOfMemory };

// Arms `kind` at the `after`-th next thread start (kSpawn) or worker job (the others),
// counting from 0. With `own_threads`, par_map starts threads of its own instead of using the
// pool until the fault has fired. kOff disarms.
void arm(Kind kind, uint64_t after, bool own_threads);

// Whether par_map must bypass the pool.
bool own_threads_forced();

// Counts `n_starts` thread starts; returns the index among them of the one that must fail.
std::optional<size_t> take_spawn(size_t n_starts);

// Counts one worker job; throws the armed worker fault when its turn has come.
void before_worker_job();
}  // namespace fault
#endif

namespace detail {
std::string describe(const std::exception_ptr& error);

// Rethrows a worker's failure: running out of memory (std::bad_alloc, or std::length_error
// from a container asked for too large a size) as std::bad_alloc, anything else as Panic.
[[noreturn]] void rethrow_worker_error(const std::exception_ptr& error);

// Runs every job at once, each on its own thread of a pool kept for the process, and
// returns when all are done. Returns false without running anything when the pool is busy
// (another call, or a call from inside a job), so the caller starts threads of its own.
// When a pool thread cannot be started, runs only the jobs before it and reports why in
// `spawn_error`.
bool run_on_pool(std::span<const std::function<void()>> jobs, std::exception_ptr& spawn_error);
}  // namespace detail

// Applies `f` to every item on ceil(n / chunk) workers over contiguous blocks and returns
// the results in item order. Fewer than two items run on the calling thread. Every started
// worker is joined before the call returns or throws: Panic for a thread that could not start
// or a failed worker, std::bad_alloc for a worker that ran out of memory.
template <class Item, class F>
auto par_map(std::span<const Item> items, size_t n_threads, F&& f,
             const ThreadStarter& start_thread = ThreadStarter{})
    -> std::vector<std::invoke_result_t<F&, const Item&>> {
  using Result = std::invoke_result_t<F&, const Item&>;
  std::vector<Result> out;
  const size_t n = items.size();
  if (n < 2) {
    if (n == 1) out.push_back(f(items[0]));
    return out;
  }
  const size_t workers_wanted = std::min(n, std::max<size_t>(n_threads, 1));
  const size_t chunk = (n + workers_wanted - 1) / workers_wanted;
  const size_t n_blocks = (n + chunk - 1) / chunk;

  struct Block {
    size_t start = 0;
    size_t end = 0;
    std::vector<Result> results;
    std::exception_ptr error;
  };
  std::vector<Block> blocks(n_blocks);
  std::vector<std::function<void()>> bodies;
  bodies.reserve(n_blocks);
  for (size_t b = 0; b < n_blocks; ++b) {
    Block& block = blocks[b];
    block.start = b * chunk;
    block.end = std::min(block.start + chunk, n);
    bodies.push_back([&f, &block, items]() noexcept {
      try {
        block.results.reserve(block.end - block.start);
        for (size_t i = block.start; i < block.end; ++i) {
#ifdef ZELK_FAULT_INJECTION
          fault::before_worker_job();
#endif
          block.results.push_back(f(items[i]));
        }
      } catch (...) {
        block.error = std::current_exception();
      }
    });
  }
  std::exception_ptr spawn_error;
  // Blocks that get a thread; the rest are never run.
  std::span<const std::function<void()>> started(bodies);
  // An injected starter always starts its own threads, so tests see every start.
  bool own_threads = static_cast<bool>(start_thread);
#ifdef ZELK_FAULT_INJECTION
  own_threads = own_threads || fault::own_threads_forced();
  if (const std::optional<size_t> fail_at = fault::take_spawn(n_blocks)) {
    started = started.first(*fail_at);
    spawn_error = std::make_exception_ptr(
        std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)));
  }
#endif
  if (own_threads || !detail::run_on_pool(started, spawn_error)) {
    std::vector<std::thread> threads;
    threads.reserve(started.size());
    for (const std::function<void()>& body : started) {
      try {
        threads.push_back(start_thread ? start_thread(body) : std::thread(body));
      } catch (...) {
        spawn_error = std::current_exception();
        break;
      }
    }
    for (std::thread& t : threads) {
      if (t.joinable()) t.join();
    }
  }
  if (spawn_error) throw Panic("failed to spawn thread: " + detail::describe(spawn_error));
  for (const Block& block : blocks) {
    if (block.error) detail::rethrow_worker_error(block.error);
  }
  out.reserve(n);
  for (Block& block : blocks) {
    for (Result& r : block.results)
      out.push_back(std::move(r));
  }
  return out;
}

template <class Item, class F>
auto par_map(const std::vector<Item>& items, size_t n_threads, F&& f,
             const ThreadStarter& start_thread = ThreadStarter{}) {
  return par_map(std::span<const Item>(items), n_threads, std::forward<F>(f), start_thread);
}

}  // namespace zelk
