// Independent tasks spread over threads: the parameter search's tolerances,
// the outputs of an image the command line encodes.
#pragma once

#include <cstddef>
#include <functional>

namespace clsg {

// Runs task(i, thread) for every i below count, in order of i. With threads
// above 1 they run on up to `threads` threads started for the call (thread
// 0 to threads - 1), while the caller's thread calls done() once per task as
// each finishes, so that progress shows whichever task is slow; with one
// thread, or when no thread can be started, the caller's thread runs them all
// (thread 0) and calls done() after each. A thread takes the next task as it
// finishes one, so a task must not depend on another. Every task trains under
// the caller's training budget (clsg/colorseg/budget.h).
// When tasks throw, the others still running finish, no further task is
// started, and the exception of the task of smallest i is rethrown; so is
// one from done(), once the started threads have finished.
void forEachTask(std::size_t count, std::size_t threads,
                 const std::function<void(std::size_t task, std::size_t thread)>& task,
                 const std::function<void()>& done);

}  // namespace clsg
