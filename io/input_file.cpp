#include "clsg/io/input_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "clsg/platform/attention.h"

namespace clsg {

InputFile::InputFile(const std::string& path) {
    // Without O_NONBLOCK, opening a FIFO waits for its writer, deaf to any
    // abort request.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    struct stat st;
    regular_ = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    if (regular_) {
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        size_ = static_cast<uint64_t>(st.st_size);
    }
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

// A FIFO that no writer has opened yet polls as neither readable nor hung
// up (a read would see its end at once): it waits here too.
bool InputFile::waitForBytes() {
    pollfd p{fd_, POLLIN, 0};
    for (;;) {
        kfThrowExceptionOnFailure(ksys_attention_check());
        const int ready = ::poll(&p, 1, 100);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) {
            error_ = errno;
            return false;
        }
    }
}

std::size_t InputFile::read(void* into, std::size_t n) {
    char* at = static_cast<char*>(into);
    std::size_t got = 0;
    while (got < n && fd_ >= 0 && error_ == 0) {
        if (!regular_ && !waitForBytes()) break;
        const ssize_t r = ::read(fd_, at + got, n - got);
        if (r > 0) {
            got += static_cast<std::size_t>(r);
        } else if (r == 0) {
            break;  // the end
        } else if (errno != EINTR && errno != EAGAIN) {
            error_ = errno;
        }
    }
    return got;
}

}  // namespace clsg
