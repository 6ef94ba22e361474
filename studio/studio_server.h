// The studio's HTTP server: the page and the JSON API over one session,
// reachable from 127.0.0.1 only. Every request must carry the token, as the
// header X-Clsg-Token or the query parameter token; others get 403.
//
// API (bodies are JSON unless said otherwise; errors are
// {"error": "message"} with 400 for a malformed request, 403 for a missing
// token, 404 for an unknown path, 409 when a newer segment request took over,
// 413 for an oversized body and 422 for a request the session cannot carry
// out, such as training without marks; 431 and 408 for a request head too
// large or too slow, see studio/studio_door.h):
//   GET  /, /studio.css, /studio.js    the page
//   GET  /api/state                    images, labels, settings, revision
//   GET  /api/image?i=N                image N as raw RGB bytes, row by row
//   GET  /api/marks?i=N                image N's marks, run-encoded
//   POST /api/marks?i=N&x=&y=&w=&h=    body: the rectangle's new marks, run-encoded
//   POST /api/labels                   {"op": "add", "name", "color": "#rrggbb"
//                                       (optional: the colour clsg train gives)},
//                                      {"op": "rename", "label", "name"},
//                                      {"op": "recolor", "label", "color"},
//                                      {"op": "delete", "label"}
//   POST /api/settings                 {"toleranceFrac", "toleranceMin",
//                                       "neighborhood", "normalize", "minArea"
//                                       (optional: kept as it was)}
//   POST /api/segment                  {"image", "view": "labels" | "confidence" | "score"}
//                                      answers a frame: JSON length (uint32, little
//                                      endian), JSON (size, counts, timings, encoding),
//                                      then the view's bytes, run-encoded or raw
//   POST /api/save                     {"file"}: the tool, into the output directory;
//                                      answers its path and the clsg run command line
//   POST /api/export                   {"dir"}: masks and the train command line
//   POST /api/images?name=NAME         body: an image file to open (formats as clsg run)
//   POST /api/preview                  {"image", "size"}: a frame as for segment, its
//                                      JSON with width, height, counts and labels, its
//                                      bytes the preview's RGB then its labels (see
//                                      StudioSession::preview); gives way to edits
//   POST /api/auto                     the settings chosen from the marks (as clsg train
//                                      --auto chooses them): the state, with "auto" holding
//                                      the choice and its estimate; 409 when cancelled
//   GET  /api/auto/progress            {"done", "steps", "running"}
//   POST /api/auto/cancel              stops the search at work or waiting
//   POST /api/restore                  {"accept": true | false}: takes up the earlier
//                                      session the state offers ("restore"), or not
//
// Labels in answers carry "auto" (the colour is derived) and "marked". The
// label ops also take {"op": "insert", "label", "name", "color"}, and a
// "color" of null derives the colour again.
//
// After every change of marks, labels or settings the session file in the
// output directory is rewritten (StudioSession::autosave).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "studio/studio_door.h"
#include "studio/studio_session.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace clsg {

class StudioHttp;

class StudioServer {
public:
    static constexpr std::size_t kMaxJsonBody = 64 * 1024;
    // Larger JSON bodies are refused before they are read.
    static constexpr std::size_t kMaxReadJsonBody = 1024 * 1024;
    static constexpr std::size_t kMaxUpload = 256u * 1024 * 1024;

    StudioServer(StudioSession& session, std::string token, const DoorLimits& door = {});
    ~StudioServer();

    // 32 hexadecimal digits from the system's random source.
    static std::string randomToken();

    const std::string& token() const { return token_; }

    // Whether host, a Host header's "name[:port]" or an Origin's without its
    // scheme, names this server at port on the loopback interface. Browsers
    // leave out port 80 alone; a Host may leave out any (hostOnly).
    static bool loopbackHost(const std::string& host, int port, bool hostOnly);

    // Binds 127.0.0.1:port (0: any free port); returns the port. Throws
    // StudioError when the port cannot be bound. Request heads are read at the
    // door (studio/studio_door.h) before a request thread takes them.
    int bind(int port);
    // Answers requests until stop(); call after bind().
    void serve();
    // Thread-safe; serve() returns soon after: a search or segmentation at
    // work is aborted, and requests waiting for a slow client's bytes end.
    void stop();

    // For tests: the Auto search waits this long after each step but the
    // last, so that a test can watch it at work and cancel it however fast
    // the machine. Call before serve().
    void setAutoStepDelay(std::chrono::milliseconds delay) { autoStepDelay_ = delay; }

private:
    using Handler = void (StudioServer::*)(const httplib::Request&, httplib::Response&);

    void routes();
    // One request of a connection whose head has arrived; true to keep it.
    bool answer(DoorConnection& c);
    struct BodyLimit {
        std::size_t bytes;
        std::string why;
    };
    static BodyLimit bodyLimit(const httplib::Request& req);
    // The token check and the answers to requests no endpoint takes.
    void guards();
    // The page's files, with the token filled in.
    void pages();
    // handler, answering its failures as JSON errors.
    void api(const char* method, const char* path, Handler handler);
    // The session lock, with any abort meant for an earlier request cleared;
    // Busy when too many requests wait for it. An edit (stopPreview) stops a
    // preview at work.
    std::unique_lock<std::mutex> lockSession(bool stopPreview = true);

    // One function per endpoint (see the list above).
    void getState(const httplib::Request& req, httplib::Response& res);
    void getImage(const httplib::Request& req, httplib::Response& res);
    void getMarks(const httplib::Request& req, httplib::Response& res);
    void postMarks(const httplib::Request& req, httplib::Response& res);
    void postLabels(const httplib::Request& req, httplib::Response& res);
    void postSettings(const httplib::Request& req, httplib::Response& res);
    void postSegment(const httplib::Request& req, httplib::Response& res);
    void postRegion(const httplib::Request& req, httplib::Response& res);
    void postAuto(const httplib::Request& req, httplib::Response& res);
    void getAutoProgress(const httplib::Request& req, httplib::Response& res);
    void postAutoCancel(const httplib::Request& req, httplib::Response& res);
    void postSave(const httplib::Request& req, httplib::Response& res);
    void postExport(const httplib::Request& req, httplib::Response& res);
    void postImages(const httplib::Request& req, httplib::Response& res);
    void postPreview(const httplib::Request& req, httplib::Response& res);
    void postRestore(const httplib::Request& req, httplib::Response& res);

    StudioSession& session_;
    const std::string token_;
    int port_ = 0;
    std::unique_ptr<StudioHttp> http_;
    std::unique_ptr<StudioDoor> door_;
    const unsigned maxSessionWaiters_;
    std::mutex sessionMutex_;  // one request at a time works on the session
    // Requests waiting for it; past the most (with the one holding it, two
    // request threads fewer than there are), 503.
    std::atomic<unsigned> sessionWaiters_{0};
    std::mutex decodeMutex_;                  // one upload at a time is decoded
    std::atomic<uint64_t> segmentTicket_{0};  // the newest segment request
    std::atomic<bool> segmenting_{false};
    std::atomic<bool> previewing_{false};
    std::atomic<uint32_t> autoDone_{0};  // steps done by the search at work
    std::atomic<bool> autoRunning_{false};
    // Cancels so far (a page's, or the studio's stop): a search is cancelled
    // when one came after its request.
    std::atomic<uint64_t> autoCancels_{0};
    std::chrono::milliseconds autoStepDelay_{0};
};

}  // namespace clsg
