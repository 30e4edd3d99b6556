#include "core/parallel.hpp"

#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <new>

#ifdef ZELK_FAULT_INJECTION
namespace zelk::fault {
namespace {

struct Armed {
  Kind kind = Kind::kOff;
  uint64_t countdown = 0;  // starts or jobs still to let through
  bool own_threads = false;
};

std::mutex armed_mutex;
Armed armed;  // guarded by armed_mutex

}  // namespace

void arm(Kind kind, uint64_t after, bool own_threads) {
  std::lock_guard<std::mutex> lock(armed_mutex);
  armed = kind == Kind::kOff ? Armed{} : Armed{kind, after, own_threads};
}

bool own_threads_forced() {
  std::lock_guard<std::mutex> lock(armed_mutex);
  return armed.kind != Kind::kOff && armed.own_threads;
}

std::optional<size_t> take_spawn(size_t n_starts) {
  std::lock_guard<std::mutex> lock(armed_mutex);
  if (armed.kind != Kind::kSpawn) return std::nullopt;
  if (armed.countdown >= n_starts) {
    armed.countdown -= n_starts;
    return std::nullopt;
  }
  const size_t fail_at = static_cast<size_t>(armed.countdown);
  armed = Armed{};
  return fail_at;
}

void before_worker_job() {
  Kind fire = Kind::kOff;
  {
    std::lock_guard<std::mutex> lock(armed_mutex);
    if (armed.kind != Kind::kWorker && armed.kind != Kind::kWorkerOutOfMemory) return;
    if (armed.countdown > 0) {
      --armed.countdown;
      return;
    }
    fire = armed.kind;
    armed = Armed{};
  }
  if (fire == Kind::kWorkerOutOfMemory) throw std::bad_alloc();
  throw std::logic_error("injected fault");
}

}  // namespace zelk::fault
#endif

namespace zelk::detail {

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

void rethrow_worker_error(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::bad_alloc&) {
    throw std::bad_alloc();
  } catch (const std::length_error&) {
    throw std::bad_alloc();
  } catch (...) {
  }
  throw Panic("worker thread panicked: " + describe(error));
}

namespace {

// Threads that wait for jobs between calls, so that growth does not start threads at every
// node. Grows to the largest number of jobs asked for at once.
class Pool {
 public:
  Pool() = default;
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& t : threads_)
      t.join();
  }

  bool try_run(std::span<const std::function<void()>> jobs, std::exception_ptr& spawn_error) {
    std::unique_lock<std::mutex> busy(busy_, std::try_to_lock);
    if (!busy.owns_lock()) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    size_t ready = jobs.size();
    while (threads_.size() < jobs.size()) {
      try {
        slots_.emplace_back();
        const size_t index = threads_.size();
        threads_.emplace_back([this, index]() { work(index); });
      } catch (...) {
        spawn_error = std::current_exception();
        slots_.resize(threads_.size());
        ready = threads_.size();
        break;
      }
    }
    for (size_t i = 0; i < ready; ++i) {
      slots_[i].job = &jobs[i];
      ++slots_[i].generation;
    }
    pending_ = ready;
    work_ready_.notify_all();
    all_done_.wait(lock, [this]() { return pending_ == 0; });
    for (size_t i = 0; i < ready; ++i)
      slots_[i].job = nullptr;
    return true;
  }

 private:
  struct Slot {
    const std::function<void()>* job = nullptr;
    uint64_t generation = 0;
  };

  void work(size_t index) {
    in_pool_worker() = true;
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t seen = 0;
    for (;;) {
      work_ready_.wait(lock, [&]() { return stop_ || slots_[index].generation != seen; });
      if (stop_) return;
      seen = slots_[index].generation;
      const std::function<void()>* job = slots_[index].job;
      lock.unlock();
      (*job)();  // par_map's bodies catch everything themselves
      lock.lock();
      if (--pending_ == 0) all_done_.notify_all();
    }
  }

 public:
  static bool& in_pool_worker() {
    thread_local bool flag = false;
    return flag;
  }

 private:
  std::mutex busy_;  // held for a whole call; a second caller starts its own threads
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable all_done_;
  std::deque<Slot> slots_;  // a deque: workers keep reading their slot while it grows
  std::vector<std::thread> threads_;
  size_t pending_ = 0;
  bool stop_ = false;
};

}  // namespace

bool run_on_pool(std::span<const std::function<void()>> jobs, std::exception_ptr& spawn_error) {
  if (Pool::in_pool_worker()) return false;
  static std::mutex guard;
  static std::unique_ptr<Pool> pool;
  static pid_t owner = 0;
  std::unique_lock<std::mutex> lock(guard, std::try_to_lock);
  if (!lock.owns_lock()) return false;
  if (pool && owner != getpid()) {
    // A forked child inherits the pool's memory but none of its threads; the old pool can
    // be neither used nor destroyed there.
    static_cast<void>(pool.release());
  }
  if (!pool) {
    pool = std::make_unique<Pool>();
    owner = getpid();
  }
  return pool->try_run(jobs, spawn_error);
}

}  // namespace zelk::detail
