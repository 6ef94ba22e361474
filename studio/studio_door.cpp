#include "studio/studio_door.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace clsg {

namespace {

using Clock = std::chrono::steady_clock;

// A short answer of the door's own; the connection closes after it.
void refuse(int fd, const char* status, const std::string& message) {
    const std::string body = "{\"error\": \"" + message + "\"}";
    const std::string text =
        std::string("HTTP/1.1 ") + status +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    // Best effort: the socket's buffer takes it or the client is not reading.
    (void)!send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    shutdown(fd, SHUT_WR);
}

}  // namespace

struct StudioDoor::Waiting {
    DoorConnection c;
    Clock::time_point deadline;
    std::size_t searched = 0;  // bytes of c.buffered known to hold no head's end
    bool gone = false;         // closed or queued
};

StudioDoor::StudioDoor(DoorLimits limits, Handler handler)
    : limits_(limits), handler_(std::move(handler)) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) wakeRead_ = fds[0], wakeWrite_ = fds[1];
}

StudioDoor::~StudioDoor() {
    for (int fd : {listener_, wakeRead_, wakeWrite_})
        if (fd >= 0) close(fd);
}

int StudioDoor::bind(int port) {
    if (wakeRead_ < 0 || port < 0 || port > 65535) return -1;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    // An answer goes out as two writes (head, then body): by Nagle's rule the
    // body waited for the page's delayed acknowledgement of the head, some
    // 40 ms on every request of a kept connection after the first. Accepted
    // connections take the option from the listener.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, SOMAXCONN) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        close(fd);
        return -1;
    }
    if (listener_ >= 0) close(listener_);
    listener_ = fd;
    return ntohs(address.sin_port);
}

std::size_t StudioDoor::headEnd(const std::string& bytes, std::size_t searched) {
    // The head ends with an empty line, "\r\n" after a line's "\n".
    const std::size_t at = bytes.find("\n\r\n", searched < 2 ? 0 : searched - 2);
    return at == std::string::npos ? 0 : at + 3;
}

void StudioDoor::wake() {
    const char byte = 0;
    (void)!write(wakeWrite_, &byte, 1);  // a full pipe wakes the door as well
}

void StudioDoor::stop() {
    stopping_ = true;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ready_.notify_all();
    }
    if (wakeWrite_ >= 0) wake();
}

void StudioDoor::arrive(DoorConnection c, std::vector<Waiting>& waiting) {
    c.headSize = headEnd(c.buffered, 0);
    if (c.headSize > 0) {
        const std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(c));
        ready_.notify_one();
        return;
    }
    const auto wait = c.buffered.empty() ? limits_.idleTime : limits_.headTime;
    const std::size_t searched = c.buffered.size();
    waiting.push_back(Waiting{std::move(c), Clock::now() + wait, searched, false});
}

void StudioDoor::work() {
    for (;;) {
        DoorConnection c;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            c = std::move(queue_.front());
            queue_.pop_front();
        }
        bool keep = false;
        try {
            keep = handler_(c);
        } catch (...) {
        }
        if (keep && !stopping_) {
            const std::lock_guard<std::mutex> lock(mutex_);
            back_.push_back(std::move(c));
            wake();
        } else {
            close(c.fd);
        }
    }
}

void StudioDoor::serve() {
    if (listener_ < 0 || stopping_) return;
    workers_.reserve(limits_.workers);
    try {
        for (unsigned i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { work(); });
    } catch (const std::system_error& e) {  // fewer workers answer
        if (workers_.empty())
            throw std::system_error(e.code(), "cannot start the threads that answer the page");
    } catch (const std::bad_alloc&) {
        if (workers_.empty()) throw;
    }
    std::vector<Waiting> waiting;
    std::vector<pollfd> fds;
    Clock::time_point acceptPause{};  // out of descriptors: accept again after it
    while (!stopping_) {
        std::vector<DoorConnection> back;
        std::size_t queued;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            back.swap(back_);
            queued = queue_.size();
        }
        for (DoorConnection& c : back) arrive(std::move(c), waiting);

        Clock::time_point now = Clock::now();
        const bool room = waiting.size() + queued < limits_.maxWaiting || !waiting.empty();
        const bool accepting = room && now >= acceptPause;
        fds.assign({{wakeRead_, POLLIN, 0}, {listener_, short(accepting ? POLLIN : 0), 0}});
        auto until = now + std::chrono::seconds(1);
        for (const Waiting& w : waiting) {
            fds.push_back({w.c.fd, POLLIN, 0});
            until = std::min(until, w.deadline);
        }
        if (!accepting) until = std::min(until, now + std::chrono::milliseconds(20));
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
        if (poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(ms, 0) + 1)) < 0 &&
            errno != EINTR)
            break;
        if (fds[0].revents) {
            char drain[64];
            while (read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }

        // Heads arriving.
        now = Clock::now();
        for (std::size_t i = 0; i < waiting.size(); ++i) {
            Waiting& w = waiting[i];
            if (fds[2 + i].revents == 0) continue;
            std::string& b = w.c.buffered;
            const bool first = b.empty();
            b.reserve(limits_.maxHead + 1);  // no more, whatever the steps
            ssize_t got = 0;
            int error = 0;
            while (b.size() <= limits_.maxHead) {
                const std::size_t old = b.size(), want = limits_.maxHead + 1 - old;
                b.resize(old + std::min<std::size_t>(want, 16 * 1024));
                got = recv(w.c.fd, &b[old], b.size() - old, 0);
                error = errno;
                b.resize(old + std::max<ssize_t>(got, 0));
                if (got <= 0) break;
            }
            if (got == 0 ||
                (got < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR)) {
                close(w.c.fd), w.gone = true;  // the client went away
            } else if ((w.c.headSize = headEnd(b, w.searched)) > 0) {
                const std::lock_guard<std::mutex> lock(mutex_);
                queue_.push_back(std::move(w.c));
                ready_.notify_one();
                w.gone = true;
            } else if (b.size() > limits_.maxHead) {
                refuse(w.c.fd, "431 Request Header Fields Too Large",
                       "the request's headers are larger than " + std::to_string(limits_.maxHead) +
                           " bytes");
                close(w.c.fd), w.gone = true;
            } else {
                w.searched = b.size();
                if (first && !b.empty()) w.deadline = now + limits_.headTime;
            }
        }
        // Heads too slow, connections idle too long.
        for (Waiting& w : waiting) {
            if (w.gone || now < w.deadline) continue;
            if (!w.c.buffered.empty())
                refuse(w.c.fd, "408 Request Timeout",
                       "the request's headers did not arrive in time");
            close(w.c.fd), w.gone = true;
        }
        waiting.erase(
            std::remove_if(waiting.begin(), waiting.end(), [](const Waiting& w) { return w.gone; }),
            waiting.end());

        // New connections; the one waiting longest makes way when the door is full.
        if (!(fds[1].revents & POLLIN)) continue;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            queued = queue_.size();
        }
        for (;;) {
            if (waiting.size() + queued >= limits_.maxWaiting) {
                if (waiting.empty()) break;
                close(waiting.front().c.fd);
                waiting.erase(waiting.begin());
            }
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    acceptPause = Clock::now() + std::chrono::milliseconds(100);
                if (errno == EINTR || errno == ECONNABORTED) continue;
                break;
            }
            DoorConnection c;
            c.fd = fd;
            arrive(std::move(c), waiting);
        }
    }

    close(listener_);
    listener_ = -1;
    for (const Waiting& w : waiting) close(w.c.fd);
    stop();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
    for (const DoorConnection& c : queue_) close(c.fd);
    for (const DoorConnection& c : back_) close(c.fd);
    queue_.clear(), back_.clear();
}

}  // namespace clsg
