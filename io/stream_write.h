// Writing into a stream the process shares with others (its standard output,
// a >(...) it was given) without being held there once asked to stop.
//
// A reader that has stopped reading (`clsg run ... | less` not scrolled)
// leaves a plain write(2) waiting for ever, and the command that made it
// cannot unwind when Ctrl-C asks it to. Here room is waited for with poll()
// in short slices instead; once an abort is requested (ksys_request_abort,
// which the programs make on a signal) a second more without room gives up.
// The descriptor's own flags are left alone: others may share it.
#pragma once

#include <cstddef>

namespace clsg {

// Writes size bytes of data into fd. Returns 0, the errno of a failed write,
// or ECANCELED when it gave up after an abort request (some bytes may have
// gone).
int writeUnlessStopped(int fd, const char* data, std::size_t size);

}  // namespace clsg
