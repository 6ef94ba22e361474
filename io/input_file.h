// A file opened for reading whose waits give way to an abort request.
//
// Reading a pipe or a FIFO may wait: for a writer to open it, or for a slow
// writer's next bytes. Such waits look for the library's abort request
// (ksys_request_abort, which the programs make on Ctrl-C or SIGTERM) ten
// times a second and end with kvAbortRequested, so that a command waiting on
// its input stops when asked. Regular files read as usual.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace clsg {

class InputFile {
public:
    // Opens path; check isOpen() (and error(), the errno) before reading.
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // The errno of the failed open or read; 0 when none failed.
    int error() const { return error_; }
    // A regular file's size when it was opened (it may change since), 0 for
    // anything else: how much a caller may expect to read.
    uint64_t sizeHint() const { return size_; }

    // Reads up to n bytes into `into`, fewer only at the end of the file or
    // after a failed read (error() then says why). Returns how many were read.
    // Throws kvAbortRequested when an abort is requested while it waits.
    std::size_t read(void* into, std::size_t n);

private:
    bool waitForBytes();  // false when the read should not be tried (error_ set)

    int fd_ = -1;
    int error_ = 0;
    bool regular_ = true;
    uint64_t size_ = 0;
};

}  // namespace clsg
