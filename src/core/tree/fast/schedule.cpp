#include "core/tree/fast/schedule.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <numeric>
#include <span>
#include <vector>

#include "core/parallel.hpp"

namespace zelk {

void grow_subtrees(size_t n_subtrees, size_t n_threads,
                   const std::function<void(size_t thread, size_t subtree)>& grow) {
  std::vector<size_t> threads(std::min(n_threads, n_subtrees));
  std::iota(threads.begin(), threads.end(), size_t{0});
  std::vector<std::exception_ptr> errors(threads.size());
  std::atomic<size_t> next{0};
  par_map(std::span<const size_t>(threads), n_threads, [&](size_t t) {
    try {
      for (size_t i = next.fetch_add(1); i < n_subtrees; i = next.fetch_add(1))
        grow(t, i);
    } catch (...) {
      errors[t] = std::current_exception();
      next.store(n_subtrees);
    }
    return 0;
  });
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

}  // namespace zelk
