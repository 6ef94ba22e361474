// Independent tasks spread over threads: the parameter search's tolerances,
// the outputs of an image the command line encodes.
#pragma once

#include <cstddef>
#include <functional>

namespace clsg {

// Runs task(i, thread) for every i below count, in order of i, on up to
// `threads` threads: the caller's (thread 0) and threads 1 to threads - 1
// started for the call. A thread takes the next task as it finishes one, so
// a task must not depend on another. Each started thread trains under the
// caller's training budget (clsg/colorseg/budget.h). done() is called on the
// caller's thread once per finished task, as the caller notices them.
// When tasks throw, the others still running finish, no further task is
// started, and the exception of the task of smallest i is rethrown; so is
// one from done(), once the started threads have finished.
void forEachTask(std::size_t count, std::size_t threads,
                 const std::function<void(std::size_t task, std::size_t thread)>& task,
                 const std::function<void()>& done);

}  // namespace clsg
