#include "cli/closed_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace clsg {

namespace {

bool stdoutClosed = false;

}  // namespace

void holdClosedStreams() {
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        stdoutClosed = stdoutClosed || fd == STDOUT_FILENO;
        const int held = ::open(fd == STDOUT_FILENO ? "/dev/full" : "/dev/null",
                                fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (held >= 0 && held != fd) ::dup2(held, fd), ::close(held);
    }
}

std::string withClosedStdoutSaid(std::string said) {
    const std::string full = std::strerror(ENOSPC);
    const std::size_t at = said.find(full);
    bool named = false;  // the names of standard output
    for (const char* stdoutName : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"})
        named = named || said.find(stdoutName) != std::string::npos;
    if (stdoutClosed && at != std::string::npos && named)
        said.replace(at, full.size(), "standard output is closed");
    return said;
}

}  // namespace clsg
