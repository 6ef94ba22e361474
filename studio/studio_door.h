// The studio server's front door: it accepts connections on 127.0.0.1 and
// reads each request's head (request line and headers) itself, many at once
// on one thread, within a size and a time limit. A connection reaches one of
// the request threads only once its head is complete, so clients that send
// their headers slowly, or without end, hold no request thread and cost at
// most maxHead bytes each; at most maxWaiting connections wait at the door
// (the one that has waited longest makes way for a new one).
//
// Answers of its own: 431 for a head larger than maxHead, 408 for a head not
// complete within headTime of its first byte. A connection that sends nothing
// for idleTime is closed without an answer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace clsg {

struct DoorLimits {
    std::size_t maxHead = 32 * 1024;
    std::chrono::milliseconds headTime{5000};
    std::chrono::milliseconds idleTime{5000};
    std::size_t maxWaiting = 128;
    unsigned workers = 8;
    // A request's body, however it trickles in, is read within this.
    std::chrono::milliseconds bodyTime{60000};
};

// A connection whose request head has arrived.
struct DoorConnection {
    int fd = -1;
    std::string buffered;  // bytes read from fd and not yet consumed: the head and any beyond it
    std::size_t headSize = 0;  // the head's bytes at the start of buffered, its blank line included
    unsigned requests = 0;     // answered on this connection so far
};

class StudioDoor {
public:
    // Answers the connection's first request on a request thread. Returns
    // true to keep the connection for another request, with buffered holding
    // the bytes read ahead of it.
    using Handler = std::function<bool(DoorConnection&)>;

    StudioDoor(DoorLimits limits, Handler handler);
    ~StudioDoor();
    StudioDoor(const StudioDoor&) = delete;
    StudioDoor& operator=(const StudioDoor&) = delete;

    // Listens on 127.0.0.1:port (0: any free port); returns the port, or -1.
    int bind(int port);
    // Accepts and answers until stop(); returns when the request threads
    // have finished their requests.
    void serve();
    // Thread-safe, also before serve().
    void stop();
    bool stopping() const { return stopping_; }
    const DoorLimits& limits() const { return limits_; }

    // The size of the head at the start of bytes (through its blank line),
    // or 0 while it is incomplete.
    static std::size_t headEnd(const std::string& bytes, std::size_t searched);

private:
    struct Waiting;
    void work();
    void wake();
    // Queues a connection for a request thread, or keeps it at the door.
    void arrive(DoorConnection c, std::vector<Waiting>& waiting);

    const DoorLimits limits_;
    const Handler handler_;
    int listener_ = -1;
    int wakeRead_ = -1, wakeWrite_ = -1;
    std::atomic<bool> stopping_{false};

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<DoorConnection> queue_;  // heads complete, for a request thread
    std::vector<DoorConnection> back_;  // kept alive by a request thread, for the door
    std::vector<std::thread> workers_;
};

}  // namespace clsg
