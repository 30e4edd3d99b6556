// Growing independent subtrees of fast growth on several threads at once.
#pragma once

#include <cstddef>
#include <functional>

namespace zelk {

// Calls grow(thread, i) once for every subtree i in 0 .. n_subtrees - 1, on up to n_threads
// threads; each thread takes the next subtree not yet taken, so a list sorted largest first
// balances itself. `thread` numbers the calling thread's buffers (below n_threads). A
// subtree's failure surfaces as it would have on the calling thread, after every thread has
// stopped; the other threads stop taking subtrees.
void grow_subtrees(size_t n_subtrees, size_t n_threads,
                   const std::function<void(size_t thread, size_t subtree)>& grow);

}  // namespace zelk
