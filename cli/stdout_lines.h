// The commands' lines on standard output, written so that a reader that has
// stopped reading does not hold a command asked to stop. With `clsg run ... |
// less` not scrolled, an image's line waited in write(2) for ever, holding
// the lock the other images' lines take, and Ctrl-C could not stop the run
// nor have its summary written.
#pragma once

#include <streambuf>

namespace clsg {

// While this lives, std::cout writes through writeUnlessStopped: held as
// stdio would hold it (to each line's end on a terminal, else until flushed
// or a buffer is full), and given up on, said on stderr, when a stop was
// asked and the reader takes nothing for a second.
class StoppableStdout {
public:
    StoppableStdout();
    ~StoppableStdout();  // flushes, and gives std::cout back its own buffer
    StoppableStdout(const StoppableStdout&) = delete;
    StoppableStdout& operator=(const StoppableStdout&) = delete;

private:
    std::streambuf* saved_;
};

}  // namespace clsg
