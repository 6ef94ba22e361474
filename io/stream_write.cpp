#include "clsg/io/stream_write.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "clsg/platform/attention.h"

namespace clsg {

namespace {

constexpr int kSliceMs = 100;
// Slices without room that an abort request waits for: a reader that is
// reading, only slowly, still gets what was said of the stop.
constexpr int kStoppedSlices = 10;

}  // namespace

int writeUnlessStopped(int fd, const char* data, std::size_t size) {
    for (int stalled = 0; size > 0;) {
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, kSliceMs);
        if (ready < 0 && errno != EINTR) return errno;
        if (ready <= 0) {
            if (ksys_attention_check() != 0 && ++stalled >= kStoppedSlices) return ECANCELED;
            continue;
        }
        // A pipe with room takes PIPE_BUF bytes without waiting for more.
        const ssize_t n = ::write(fd, data, std::min<std::size_t>(size, PIPE_BUF));
        if (n < 0 && errno != EINTR && errno != EAGAIN) return errno;
        if (n <= 0) continue;
        data += n;
        size -= static_cast<std::size_t>(n);
        stalled = 0;
    }
    return 0;
}

}  // namespace clsg
