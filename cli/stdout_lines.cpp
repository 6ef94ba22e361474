#include "cli/stdout_lines.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>

#include "clsg/io/stream_write.h"

namespace clsg {

namespace {

// No put area: every write comes through xsputn or overflow, under the
// lock, as std::cerr flushes std::cout (its tie) from any thread.
class StdoutLines : public std::streambuf {
protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return sync() == 0 ? traits_type::not_eof(c) : traits_type::eof();
        const char ch = traits_type::to_char_type(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }

    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gaveUp_) return 0;
        held_.append(s, static_cast<std::size_t>(n));
        const bool lineEnds =
            terminal_ && std::memchr(s, '\n', static_cast<std::size_t>(n)) != nullptr;
        if ((lineEnds || held_.size() >= BUFSIZ) && !writeHeld()) return 0;
        return n;
    }

    int sync() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return !gaveUp_ && writeHeld() ? 0 : -1;
    }

private:
    bool writeHeld() {
        const int error = writeUnlessStopped(STDOUT_FILENO, held_.data(), held_.size());
        held_.clear();
        if (error != ECANCELED) return error == 0;
        gaveUp_ = true;  // once: each later line would wait its second too
        const char said[] =
            "clsg: note: standard output took nothing for a second once the command was asked "
            "to stop; the lines still meant for it were dropped\n";
        writeUnlessStopped(STDERR_FILENO, said, sizeof said - 1);
        return false;
    }

    std::mutex mutex_;
    std::string held_;
    bool gaveUp_ = false;
    const bool terminal_ = ::isatty(STDOUT_FILENO) == 1;
};

}  // namespace

StoppableStdout::StoppableStdout() {
    // Allocates nothing: a process short of memory still starts.
    static StdoutLines lines;
    std::cout.flush();
    saved_ = std::cout.rdbuf(&lines);
}

StoppableStdout::~StoppableStdout() {
    std::cout.flush();
    std::cout.rdbuf(saved_);
}

}  // namespace clsg
