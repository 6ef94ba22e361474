#include "studio/studio_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <thread>

#include "clsg/io/errors.h"
#include "clsg/io/image_io.h"
#include "clsg/io/label_colors.h"
#include "clsg/io/tool_file.h"
#include "clsg/platform/attention.h"
#include "clsg/platform/exception.h"
#include "clsg/tuning/search_warnings.h"
#include "studio/studio_door.h"
#include "studio/studio_runs.h"

// The page, compiled in from studio/.
extern const unsigned char kStudioHtml[], kStudioCss[], kStudioJs[];
extern const std::size_t kStudioHtmlSize, kStudioCssSize, kStudioJsSize;

namespace clsg {

namespace {

using json = nlohmann::json;

// Set while its owner is at work, so that another request can tell.
struct BusyFlag {
    std::atomic<bool>& flag;
    explicit BusyFlag(std::atomic<bool>& f) : flag(f) { flag = true; }
    ~BusyFlag() { flag = false; }
};

// A request that is malformed: answered with 400 and the message.
struct BadRequest : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A request that asks for too much: 413.
struct TooLarge : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A segment request that a newer one took over: 409.
struct Superseded {};

// An Auto search cancelled: 409.
struct Cancelled {};

// A request for the session while as many as may wait for it already do: 503.
struct Busy {};

// A stroke made on marks that another window has changed since: 409, so that
// the page takes the marks as they are before painting over them.
struct MarksChanged : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// JSON text; bytes that are not UTF-8 (in file names, say) become U+FFFD.
std::string text(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

void answerJson(httplib::Response& res, const json& j) {
    res.set_content(text(j), "application/json");
}

void answerError(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    answerJson(res, json{{"error", message}});
}

std::string asset(const unsigned char* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

bool sameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;  // no early exit: the time taken does not tell a prefix
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

json parseBody(const httplib::Request& req) {
    if (req.body.size() > StudioServer::kMaxJsonBody)
        throw TooLarge("the request body is larger than " +
                       std::to_string(StudioServer::kMaxJsonBody) + " bytes");
    try {
        json j = json::parse(req.body);
        if (!j.is_object()) throw BadRequest("the request body must be a JSON object");
        return j;
    } catch (const json::exception& e) {
        throw BadRequest(std::string("malformed JSON: ") + e.what());
    }
}

const json& field(const json& j, const char* name) {
    const auto it = j.find(name);
    if (it == j.end()) throw BadRequest(std::string("the field \"") + name + "\" is missing");
    return *it;
}

std::string stringField(const json& j, const char* name) {
    const json& v = field(j, name);
    if (!v.is_string()) throw BadRequest(std::string("\"") + name + "\" must be a string");
    return v.get<std::string>();
}

int64_t intField(const json& j, const char* name, int64_t low, int64_t high) {
    const json& v = field(j, name);
    const bool integral = v.is_number_integer() || v.is_number_unsigned();
    if (!integral || (v.is_number_unsigned() && v.get<uint64_t>() > uint64_t(INT64_MAX)) ||
        v.get<int64_t>() < low || v.get<int64_t>() > high)
        throw BadRequest(std::string("\"") + name + "\" must be a whole number from " +
                         std::to_string(low) + " to " + std::to_string(high));
    return v.get<int64_t>();
}

// Region counts per label (null without a whole-image segmentation).
json regionCountsJson(StudioSession& session, std::size_t image, uint64_t minArea) {
    const std::vector<uint64_t> counts = session.regionCounts(image, minArea);
    return counts.empty() ? json(nullptr) : json(counts);
}

// A region as the page shows it on hover (null where there is none).
json regionJson(const std::optional<clsg::Region>& r) {
    if (!r) return json(nullptr);
    return json{{"label", r->label},
                {"id", r->id},
                {"area", r->area},
                {"box", {r->left, r->top, r->width, r->height}}};
}

uint32_t colorField(const json& j, const char* name) {
    uint32_t color = 0;
    if (!parseColorText(stringField(j, name), &color))
        throw BadRequest(std::string("\"") + name + "\" must be a colour like #1f77b4");
    return color;
}

// A query parameter that must be a whole number from 0 to high.
long queryNumber(const httplib::Request& req, const char* name, long high) {
    if (!req.has_param(name))
        throw BadRequest(std::string("the query parameter ") + name + " is missing");
    const std::string text = req.get_param_value(name);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        throw BadRequest(std::string("the query parameter ") + name + " must be a whole number");
    const std::size_t first = std::min(text.find_first_not_of('0'), text.size() - 1);
    if (text.size() - first > 18 || std::stol(text.substr(first)) > high)
        throw BadRequest(std::string("the query parameter ") + name + " is larger than " +
                         std::to_string(high));
    return std::stol(text.substr(first));
}

// The digest of the label names, one per line, as the page computes it for
// the labels it paints with.
uint32_t labelNamesDigest(const StudioSession& s) {
    std::string names;
    for (const StudioLabel& l : s.labels()) names += (names.empty() ? "" : "\n") + l.name;
    return boxDigest(reinterpret_cast<const uint8_t*>(names.data()), names.size(), 0, 0,
                     names.size(), 1);  // one row
}

// A digest as the page sends it (8 hex digits); what names where it came from.
uint32_t parseDigest(const std::string& text, const std::string& what) {
    if (text.empty() || text.size() > 8 ||
        text.find_first_not_of("0123456789abcdef") != std::string::npos)
        throw BadRequest(what + " must be 1 to 8 lowercase hex digits");
    return static_cast<uint32_t>(std::stoul(text, nullptr, 16));
}

// The optional digest a stroke expects its box to hold.
std::optional<uint32_t> queryDigest(const httplib::Request& req, const char* name) {
    if (!req.has_param(name)) return std::nullopt;
    return parseDigest(req.get_param_value(name), std::string("the query parameter ") + name);
}

// Each label's colour, whether it is derived ("auto") and whether it had
// marks at the last training.
json labelsJson(const StudioSession& s) {
    json labels = json::array();
    for (const StudioLabel& l : s.labels())
        labels.push_back({{"name", l.name},
                          {"color", colorText(l.color)},
                          {"auto", !l.chosen},
                          {"marked", l.marked}});
    return labels;
}

json stateJson(const StudioSession& s) {
    json images = json::array(), labels = labelsJson(s);
    for (const StudioImage& i : s.images())
        images.push_back({{"name", i.name},
                          {"title", i.title},
                          {"path", i.path},
                          {"width", i.pixels.width()},
                          {"height", i.pixels.height()}});
    const StudioSettings& st = s.settings();
    return {{"revision", s.revision()},
            {"images", images},
            {"labels", labels},
            {"settings",
             {{"toleranceFrac", st.toleranceFrac},
              {"toleranceMin", st.toleranceMin},
              {"neighborhood", st.neighborhood},
              {"normalize", st.normalize},
              {"minArea", st.minArea}}},
            {"outDir", s.outDir()},
            {"session", s.sessionPath()},
            {"restore", s.pendingRestore() ? json{{"savedAt", s.pendingRestore()->savedAt},
                                                  {"labels", s.pendingRestore()->labels},
                                                  {"images", s.pendingRestore()->images}}
                                           : json(nullptr)}};
}

// The index of the image a query names.
std::size_t queryImage(const httplib::Request& req, const StudioSession& s) {
    const long i = queryNumber(req, "i", 1000000);
    if (static_cast<std::size_t>(i) >= s.images().size())
        throw BadRequest("there is no image " + std::to_string(i));
    return static_cast<std::size_t>(i);
}

// The optional "minArea": regions of fewer pixels are dropped, as clsg run
// --min-area drops them; 0 when absent.
uint64_t minAreaField(const json& j) {
    return j.contains("minArea") ? static_cast<uint64_t>(intField(j, "minArea", 0, INT64_MAX)) : 0;
}

struct SegmentRequest {
    std::size_t image;
    uint64_t minArea;  // whole labels only: regions of fewer pixels are dropped
    StudioView view;
    std::string viewName;
    kvPelRect window;  // empty: the whole image
};

SegmentRequest parseSegmentRequest(const json& j) {
    SegmentRequest r;
    r.image = static_cast<std::size_t>(intField(j, "image", 0, 1000000));
    r.minArea = minAreaField(j);
    r.viewName = j.contains("view") ? stringField(j, "view") : std::string("labels");
    if (r.viewName == "labels")
        r.view = StudioView::Labels;
    else if (r.viewName == "confidence")
        r.view = StudioView::Confidence;
    else if (r.viewName == "score")
        r.view = StudioView::Score;
    else
        throw BadRequest("\"view\" must be labels, confidence or score");
    if (j.contains("window")) {
        const json& w = j["window"];
        const auto part = [&](std::size_t k) {
            if (!w.is_array() || w.size() != 4 || !w[k].is_number_integer() ||
                w[k].get<int64_t>() < 0 || w[k].get<int64_t>() > 1000000000)
                throw BadRequest("\"window\" must be [x, y, width, height]");
            return static_cast<long>(w[k].get<int64_t>());
        };
        r.window = kvPelRect(part(0), part(1), part(2), part(3));
        if (r.window.isEmpty()) throw BadRequest("\"window\" is empty");
    }
    return r;
}

// The answer to a segment request: the JSON's length (uint32, little endian),
// the JSON, then the view's bytes, run-encoded unless that is no shorter.
std::string segmentFrame(StudioSession& session, const SegmentRequest& request,
                         const StudioSegmentation& seg,
                         std::chrono::steady_clock::time_point start) {
    const auto encodeStart = std::chrono::steady_clock::now();
    std::string payload = encodeRuns(seg.pixels.data(), seg.pixels.size());
    const bool raw = payload.size() >= seg.pixels.size();
    if (raw) payload.assign(seg.pixels.begin(), seg.pixels.end());
    const auto end = std::chrono::steady_clock::now();
    const auto ms = [](auto a, auto b) {
        return std::chrono::duration<double, std::milli>(b - a).count();
    };
    const StudioImage& target = session.images()[request.image];
    const std::string meta = text(json{
        {"revision", session.revision()},
        {"image", request.image},
        {"view", request.viewName},
        {"width", target.pixels.width()},
        {"height", target.pixels.height()},
        {"window", {seg.window.left(), seg.window.top(), seg.window.width(), seg.window.height()}},
        {"encoding", raw ? "raw" : "runs"},
        {"counts", seg.counts.empty() ? json(nullptr) : json(seg.counts)},
        {"labels", labelsJson(session)},
        {"regions", regionCountsJson(session, request.image, request.minArea)},
        {"trainMs", seg.trainMs},
        {"runMs", seg.runMs},
        {"encodeMs", ms(encodeStart, end)},
        {"totalMs", ms(start, end)}});
    std::string frame(4, '\0');
    for (int b = 0; b < 4; ++b) frame[b] = static_cast<char>((meta.size() >> (8 * b)) & 0xff);
    return frame + meta + payload;
}

// A connection from the door as the HTTP library reads and writes it: the
// bytes the door read ahead first, then the socket, each wait bounded.
class DoorStream : public httplib::Stream {
public:
    static constexpr int kReadMs = 30000, kWriteMs = 5000;

    DoorStream(DoorConnection& c, const StudioDoor& door)
        : c_(c), door_(door), readBy_(std::chrono::steady_clock::now() + door.limits().bodyTime) {}

    bool is_readable() const override { return ahead() > 0 || await(POLLIN, readMs()); }
    bool is_writable() const override { return await(POLLOUT, kWriteMs); }

    ssize_t read(char* ptr, size_t size) override {
        if (ahead() > 0) {
            const std::size_t n = std::min(size, ahead());
            std::memcpy(ptr, c_.buffered.data() + used_, n);
            used_ += n, consumed_ += n;
            return static_cast<ssize_t>(n);
        }
        for (;;) {
            const ssize_t n = recv(c_.fd, ptr, size, 0);
            if (n >= 0) return consumed_ += static_cast<std::size_t>(n), n;
            if (errno == EINTR) continue;
            if ((errno != EAGAIN && errno != EWOULDBLOCK) || !await(POLLIN, readMs())) return -1;
        }
    }
    ssize_t write(const char* ptr, size_t size) override {
        for (std::size_t done = 0; done < size;) {
            const ssize_t n = send(c_.fd, ptr + done, size - done, MSG_NOSIGNAL);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) ||
                     !await(POLLOUT, kWriteMs))
                return -1;
        }
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        address(getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        address(getsockname, ip, port);
    }
    socket_t socket() const override { return c_.fd; }

    // Bytes of the request read so far, and what the door read ahead that is
    // still to come.
    std::size_t consumed() const { return consumed_; }
    std::string unread() const { return c_.buffered.substr(used_); }

private:
    std::size_t ahead() const { return c_.buffered.size() - used_; }
    // How long a read may wait: kReadMs, and never past the body's time.
    int readMs() const {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            readBy_ - std::chrono::steady_clock::now());
        return static_cast<int>(std::clamp<long long>(left.count(), 0, kReadMs));
    }
    // In slices, so that a stop ends the wait for a slow client at once.
    bool await(short event, int ms) const {
        constexpr int kSliceMs = 100;
        for (int waited = 0; waited < ms && !door_.stopping(); waited += kSliceMs) {
            pollfd p{c_.fd, event, 0};
            int n;
            while ((n = poll(&p, 1, std::min(kSliceMs, ms - waited))) < 0 && errno == EINTR) {
            }
            if (n != 0) return n > 0;
        }
        return false;
    }
    void address(int (*name)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_in a{};
        socklen_t size = sizeof a;
        char text[INET_ADDRSTRLEN] = "";
        if (name(c_.fd, reinterpret_cast<sockaddr*>(&a), &size) == 0 && a.sin_family == AF_INET)
            inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
        ip = text, port = ntohs(a.sin_port);
    }

    DoorConnection& c_;
    const StudioDoor& door_;
    const std::chrono::steady_clock::time_point readBy_;
    std::size_t used_ = 0, consumed_ = 0;
};

}  // namespace

// The HTTP library's server, fed one request at a time by the door.
class StudioHttp : public httplib::Server {
public:
    using httplib::Server::process_request;
};

StudioServer::StudioServer(StudioSession& session, std::string token, const DoorLimits& door)
    : session_(session),
      token_(std::move(token)),
      http_(std::make_unique<StudioHttp>()),
      door_(std::make_unique<StudioDoor>(door, [this](DoorConnection& c) { return answer(c); })),
      maxSessionWaiters_(door.workers > 3 ? door.workers - 3 : 1) {
    routes();
}

StudioServer::~StudioServer() = default;

std::string StudioServer::randomToken() {
    std::random_device random;
    std::string token;
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) token += kHex[random() & 15];
    return token;
}

int StudioServer::bind(int port) {
    const int bound = door_->bind(port);
    if (bound <= 0)
        throw StudioError("cannot listen on 127.0.0.1:" + std::to_string(port) +
                          " (is the port in use?)");
    port_ = bound;
    return bound;
}

void StudioServer::serve() { door_->serve(); }

// Work at hand stops too: a search or a segmentation is aborted.
void StudioServer::stop() {
    door_->stop();
    ++autoCancels_;
    if (autoRunning_ || segmenting_) ksys_request_abort();
}

// The connection is kept only when the request was read to its end: a body
// that a refusal left unread must not be taken for the next request.
bool StudioServer::answer(DoorConnection& c) {
    constexpr unsigned kKeepAliveMax = 1000;
    DoorStream stream(c, *door_);
    bool closed = false, readable = false;
    uint64_t length = 0;
    const bool last = c.requests + 1 >= kKeepAliveMax || door_->stopping();
    const bool ok = http_->process_request(stream, last, closed, [&](httplib::Request& req) {
        const std::string text = req.get_header_value("Content-Length");
        readable = !req.has_header("Transfer-Encoding") && text.size() <= 18 &&
                   text.find_first_not_of("0123456789") == std::string::npos;
        length = text.empty() || !readable ? 0 : std::stoull(text);
    });
    ++c.requests;
    const bool whole = readable && stream.consumed() == c.headSize + length;
    c.buffered = stream.unread();
    return ok && !closed && !last && whole;
}

namespace {

// The answer to a change, once the session file has it (sessionSaved). A
// change the file cannot take stays made (the page shows it), and the answer
// says why it is not saved (sessionNotSaved): the next change tries again.
// Other answers say neither: they tell nothing of the session file.
json saved(StudioSession& session, json answer) {
    try {
        session.autosave();
        answer["sessionSaved"] = true;
    } catch (const StudioError& e) {
        answer["sessionNotSaved"] = e.what();
    }
    return answer;
}

// POST /api/auto (under the session lock): chooses the settings from the
// marks as clsg train --auto does and answers the new state with the choice
// and its estimate. GET /api/auto/progress answers the steps done (counted in
// done) and whether a search is at work; POST /api/auto/cancel stops a search
// at work or waiting for the session (which answers 409).
json chooseSettings(StudioSession& session, std::atomic<uint32_t>& done,
                    std::chrono::milliseconds stepDelay) {
    const SuggestReport report = session.chooseSettings([&](uint32_t d) {
        done = d;
        if (d < kSuggestTolerances) std::this_thread::sleep_for(stepDelay);
    });
    const SuggestCandidate& c = report.candidates.at(report.estimated);
    json answer = saved(session, stateJson(session));
    answer["auto"] = {{"toleranceFrac", report.trainParams.colorToleranceFrac()},
                      {"toleranceMin", report.trainParams.colorToleranceMin()},
                      {"neighborhood", report.runParams.neighborhoodSize()},
                      {"estimate", report.estimate},
                      {"heldOutBalancedAccuracy", c.balancedAccuracy},
                      {"pictureUnlabelled", c.pictureUnlabelled},
                      {"uncovered", report.uncovered},
                      {"uncoveredFraction", report.uncoveredFraction},
                      {"candidates", report.candidates.size()}};
    // The tolerances the search skipped, as training there would cost more than the
    // studio allows.
    json skipped = json::array();
    for (const kvCompositeColorSegmenterTrainParams& p : report.overBudget)
        skipped.push_back(
            {{"toleranceFrac", p.colorToleranceFrac()}, {"toleranceMin", p.colorToleranceMin()}});
    answer["auto"]["overBudget"] = std::move(skipped);
    std::vector<std::string> names;
    for (const StudioLabel& label : session.labels()) names.push_back(label.name);
    answer["auto"]["warnings"] = searchWarnings(names, report);
    return answer;
}

}  // namespace

void StudioServer::routes() {
    httplib::Server& http = *http_;
    http.set_payload_max_length(kMaxUpload);
    guards();
    pages();
    api("GET", "/api/state", &StudioServer::getState);
    api("GET", "/api/image", &StudioServer::getImage);
    api("GET", "/api/marks", &StudioServer::getMarks);
    api("POST", "/api/marks", &StudioServer::postMarks);
    api("POST", "/api/labels", &StudioServer::postLabels);
    api("POST", "/api/settings", &StudioServer::postSettings);
    api("POST", "/api/segment", &StudioServer::postSegment);
    api("POST", "/api/region", &StudioServer::postRegion);
    api("POST", "/api/auto", &StudioServer::postAuto);
    api("GET", "/api/auto/progress", &StudioServer::getAutoProgress);
    api("POST", "/api/auto/cancel", &StudioServer::postAutoCancel);
    api("POST", "/api/save", &StudioServer::postSave);
    api("POST", "/api/export", &StudioServer::postExport);
    api("POST", "/api/images", &StudioServer::postImages);
    api("POST", "/api/preview", &StudioServer::postPreview);
    api("POST", "/api/restore", &StudioServer::postRestore);
}

// A page whose address names another host (a name rebound to 127.0.0.1) is
// not the studio's page; nor is one at another port.
bool StudioServer::loopbackHost(const std::string& host, int port, bool hostOnly) {
    const std::string suffix = ":" + std::to_string(port);
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"})
        if (host == name + suffix || ((hostOnly || port == 80) && host == name)) return true;
    return false;
}

// The largest body a route takes, and what its refusal says. A stroke's marks
// take at most two bytes a pixel of its rectangle and a little more; one
// whose rectangle cannot be read is read no further than a JSON body, and
// its route says what is wrong.
StudioServer::BodyLimit StudioServer::bodyLimit(const httplib::Request& req) {
    const auto over = [](std::size_t bytes) {
        return BodyLimit{bytes,
                         "the request body is larger than " + std::to_string(bytes) + " bytes"};
    };
    if (req.path == "/api/images") return over(kMaxUpload);
    if (req.path != "/api/marks") return {kMaxReadJsonBody, over(kMaxJsonBody).why};
    try {
        const auto w = static_cast<uint64_t>(queryNumber(req, "w", 1000000000));
        const auto h = static_cast<uint64_t>(queryNumber(req, "h", 1000000000));
        if (w > 0 && h > 0)
            return {static_cast<std::size_t>(std::min<uint64_t>(kMaxUpload, 2 * w * h + 16)),
                    "the marks are larger than their rectangle allows"};
    } catch (const BadRequest&) {
    }
    return over(kMaxReadJsonBody);
}

void StudioServer::guards() {
    httplib::Server& http = *http_;
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        using Answer = httplib::Server::HandlerResponse;
        // Before the token, so that a foreign page learns nothing; before the
        // body, which is then never read.
        if (!loopbackHost(req.get_header_value("Host"), port_, true)) {
            answerError(res, 403,
                        "this server answers only to 127.0.0.1:" + std::to_string(port_) +
                            ": open the address that clsg studio printed");
            return Answer::Handled;
        }
        // Browsers send Origin with every POST; a page from elsewhere must not
        // change the session, even holding the token.
        if (req.method != "GET" && req.has_header("Origin") &&
            !loopbackHost(req.get_header_value("Origin").rfind("http://", 0) == 0
                              ? req.get_header_value("Origin").substr(7)
                              : std::string(),
                          port_, false)) {
            answerError(res, 403, "requests from other pages are refused");
            return Answer::Handled;
        }
        if (req.has_header("Transfer-Encoding")) {
            answerError(res, 411, "send the body with a Content-Length, not in chunks");
            return Answer::Handled;
        }
        const std::string given = req.has_header("X-Clsg-Token")
                                      ? req.get_header_value("X-Clsg-Token")
                                      : req.get_param_value("token");
        if (!sameText(given, token_)) {
            answerError(res, 403,
                        "missing or wrong token: open the address that clsg studio printed");
            return Answer::Handled;
        }
        // A body far larger than its route takes is refused unread (the
        // connection then closes). One a little over a JSON route's limit is
        // read and refused by the route, so that the client hears why.
        const std::string length = req.get_header_value("Content-Length");
        if (length.size() > 18 || length.find_first_not_of("0123456789") != std::string::npos) {
            answerError(res, 400, "the Content-Length is not a number of bytes");
            return Answer::Handled;
        }
        const BodyLimit limit = bodyLimit(req);
        if (!length.empty() && std::stoull(length) > limit.bytes) {
            answerError(res, 413, limit.why);
            return Answer::Handled;
        }
        return Answer::Unhandled;
    });
    http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return;
        if (res.status == 404)
            answerError(res, 404, "no such page");
        else if (res.status == 413 && req.get_header_value("Content-Type")
                                              .rfind("application/x-www-form-urlencoded", 0) == 0)
            // Form bodies have a small limit of their own.
            answerError(res, 413,
                        "the request body is too large for a form; send it as "
                        "application/octet-stream (images) or application/json");
        else if (res.status == 413)
            answerError(res, 413, "the request body is too large");
        else if (res.status >= 400)
            answerError(res, res.status, "the request cannot be read");
    });
    http.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                  std::exception_ptr) { answerError(res, 500, "internal error"); });
}

void StudioServer::pages() {
    const auto page = [this](const unsigned char* data, std::size_t size, const char* type) {
        std::string text = asset(data, size);
        for (std::size_t at; (at = text.find("__TOKEN__")) != std::string::npos;)
            text.replace(at, 9, token_);
        return [text, type](const httplib::Request&, httplib::Response& res) {
            res.set_header("Cache-Control", "no-store");
            res.set_content(text, type);
        };
    };
    http_->Get("/", page(kStudioHtml, kStudioHtmlSize, "text/html; charset=utf-8"));
    http_->Get("/studio.css", page(kStudioCss, kStudioCssSize, "text/css; charset=utf-8"));
    http_->Get("/studio.js", page(kStudioJs, kStudioJsSize, "text/javascript; charset=utf-8"));
}

// None of the handlers can take the server down: every failure becomes a
// JSON error.
void StudioServer::api(const char* method, const char* path, Handler handler) {
    auto answer = [this, handler](const httplib::Request& req, httplib::Response& res) {
        try {
            (this->*handler)(req, res);
        } catch (const BadRequest& e) {
            answerError(res, 400, e.what());
        } catch (const TooLarge& e) {
            answerError(res, 413, e.what());
        } catch (const MarksChanged& e) {
            res.status = 409;
            answerJson(res, json{{"error", e.what()}, {"marksChanged", true}});
        } catch (const Superseded&) {
            answerError(res, 409, "a newer request took over");
        } catch (const Cancelled&) {  // by a page, or by the studio's stop
            if (door_->stopping())
                answerError(res, 503, "the studio is stopping, and Auto stopped with it");
            else
                answerError(res, 409, "Auto was cancelled");
        } catch (const Busy&) {
            res.set_header("Retry-After", "1");
            answerError(res, 503,
                        "the studio is busy with other requests for this session; try again");
        } catch (const StudioError& e) {
            answerError(res, 422, e.what());
        } catch (const FileError& e) {
            answerError(res, 422, e.what());
        } catch (const ToolFileError& e) {  // a tool that could not be written (disk full)
            answerError(res, 422, e.what());
        } catch (const ImageError& e) {
            answerError(res, 422, e.what());
        } catch (const kvAbortRequested&) {  // by a newer request, or by the studio's stop
            if (door_->stopping())
                answerError(res, 503, "the studio is stopping");
            else
                answerError(res, 409, "a newer request took over");
        } catch (const std::bad_alloc&) {
            answerError(res, 422, "out of memory");
        } catch (const std::exception& e) {
            answerError(res, 500, describeError(e));
        }
    };
    if (std::strcmp(method, "GET") == 0)
        http_->Get(path, answer);
    else
        http_->Post(path, answer);
}

std::unique_lock<std::mutex> StudioServer::lockSession(bool stopPreview) {
    // Requests waiting here hold request threads: enough are left for those
    // that never wait (Auto's progress and cancel), which a long search
    // would otherwise keep from an answer. Segmentations and previews wait
    // here too.
    struct Waiting {
        std::atomic<unsigned>& n;
        ~Waiting() { --n; }
    } waiting{sessionWaiters_};
    if (++sessionWaiters_ > maxSessionWaiters_) throw Busy();
    if (stopPreview && previewing_) ksys_request_abort();  // edits go before previews
    std::unique_lock<std::mutex> lock(sessionMutex_);
    ksys_clear_abort();  // an abort meant for an earlier request
    return lock;
}

void StudioServer::getState(const httplib::Request&, httplib::Response& res) {
    const auto lock = lockSession();
    answerJson(res, stateJson(session_));
}

void StudioServer::getImage(const httplib::Request& req, httplib::Response& res) {
    const auto lock = lockSession();
    const StudioImage& image = session_.images()[queryImage(req, session_)];
    const kv3PlanePelBuffer& p = image.pixels;
    const std::size_t w = static_cast<std::size_t>(p.width());
    std::string rgb(w * static_cast<std::size_t>(p.height()) * 3, '\0');
    char* out = &rgb[0];
    for (long y = p.window().top(); y < p.window().bottom(); ++y) {
        const unsigned char* rows[3] = {p.plane0().pointToRow(y), p.plane1().pointToRow(y),
                                        p.plane2().pointToRow(y)};
        for (std::size_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) *out++ = static_cast<char>(rows[c][x]);
    }
    res.set_content(std::move(rgb), "application/octet-stream");
}

void StudioServer::getMarks(const httplib::Request& req, httplib::Response& res) {
    const auto lock = lockSession();
    const StudioImage& image = session_.images()[queryImage(req, session_)];
    res.set_content(encodeRuns(image.marks.data(), image.marks.size()), "application/octet-stream");
}

void StudioServer::postMarks(const httplib::Request& req, httplib::Response& res) {
    const auto lock = lockSession();
    const std::size_t i = queryImage(req, session_);
    const long x = queryNumber(req, "x", 1000000000);
    const long y = queryNumber(req, "y", 1000000000);
    const long w = queryNumber(req, "w", 1000000000);
    const long h = queryNumber(req, "h", 1000000000);
    const std::optional<uint32_t> expect = queryDigest(req, "expect");
    const std::optional<uint32_t> labels = queryDigest(req, "labels");
    const StudioImage& image = session_.images()[i];
    if (w < 1 || h < 1 || x + w > image.pixels.width() || y + h > image.pixels.height())
        throw BadRequest("the rectangle lies outside image " + image.name);
    // Two windows on one session: a stroke replaces its whole box, so it
    // must not land on marks the other window painted there meanwhile.
    const auto u = [](long v) { return static_cast<std::size_t>(v); };
    if (expect &&
        *expect != boxDigest(image.marks.data(), u(image.pixels.width()), u(x), u(y), u(w), u(h)))
        throw MarksChanged("the marks of " + image.name +
                           " were changed in another window; this stroke was not kept");
    // Nor paint by label numbers that another window has since given to other labels.
    if (labels && *labels != labelNamesDigest(session_))
        throw MarksChanged("the labels were changed in another window; this stroke was not kept");
    const std::size_t size = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    // A run takes at least two bytes and covers at least one pixel.
    if (req.body.size() > 2 * size + 16)
        throw TooLarge("the marks are larger than their rectangle allows");
    std::vector<uint8_t> values;
    if (!decodeRuns(req.body, size, values))
        throw BadRequest("the marks are not a valid run encoding of " + std::to_string(w) + " x " +
                         std::to_string(h) + " pixels");
    session_.paintMarks(i, x, y, w, h, values);
    answerJson(res, saved(session_, json{{"revision", session_.revision()}}));
}

void StudioServer::postLabels(const httplib::Request& req, httplib::Response& res) {
    const json j = parseBody(req);
    const std::string op = stringField(j, "op");
    const auto lock = lockSession();
    // A change by label number (an undo above all) from a window that does
    // not know the labels as they are would change another label.
    if (j.contains("labels") &&
        parseDigest(stringField(j, "labels"), "\"labels\"") != labelNamesDigest(session_))
        throw MarksChanged("the labels were changed in another window; this change was not made");
    const auto label = [&] { return static_cast<std::size_t>(intField(j, "label", 0, 1000)); };
    // A colour of null (or none) is derived.
    const auto color = [&] {
        return j.contains("color") && !j["color"].is_null()
                   ? std::optional<uint32_t>(colorField(j, "color"))
                   : std::nullopt;
    };
    const auto was = [&] {
        return j.contains("was") ? std::optional<uint32_t>(colorField(j, "was")) : std::nullopt;
    };
    if (op == "add")
        session_.addLabel(stringField(j, "name"), color());
    else if (op == "insert")
        session_.insertLabel(label(), stringField(j, "name"), color());
    else if (op == "rename")
        session_.renameLabel(label(), stringField(j, "name"), was());
    else if (op == "recolor")
        session_.recolorLabel(label(), color(), was());
    else if (op == "delete")
        session_.deleteLabel(label());
    else
        throw BadRequest("\"op\" must be add, insert, rename, recolor or delete");
    answerJson(res, saved(session_, stateJson(session_)));
}

void StudioServer::postSettings(const httplib::Request& req, httplib::Response& res) {
    const json j = parseBody(req);
    StudioSettings s;
    const json& frac = field(j, "toleranceFrac");
    if (!frac.is_number()) throw BadRequest("\"toleranceFrac\" must be a number");
    s.toleranceFrac = frac.get<double>();
    // Above 255 the scores would wrap round; clsg train refuses it too.
    s.toleranceMin = static_cast<uint32_t>(intField(j, "toleranceMin", 0, 255));
    s.neighborhood =
        static_cast<int32_t>(intField(j, "neighborhood", 1, StudioSession::kMaxNeighborhood));
    const json& normalize = field(j, "normalize");
    if (!normalize.is_boolean()) throw BadRequest("\"normalize\" must be true or false");
    s.normalize = normalize.get<bool>();
    s.minArea = minAreaField(j);
    const auto lock = lockSession();
    if (!j.contains("minArea")) s.minArea = session_.settings().minArea;  // as it was
    session_.setSettings(s);
    answerJson(res, saved(session_, stateJson(session_)));
}

void StudioServer::postSegment(const httplib::Request& req, httplib::Response& res) {
    const SegmentRequest request = parseSegmentRequest(parseBody(req));
    // A newer request stops the one at work and makes those still waiting
    // step aside.
    const uint64_t ticket = ++segmentTicket_;
    if (segmenting_) ksys_request_abort();
    const auto lock = lockSession(false);
    if (ticket != segmentTicket_) throw Superseded();
    const BusyFlag busy(segmenting_);

    const auto start = std::chrono::steady_clock::now();
    StudioSegmentation seg = session_.segment(request.image, request.view, request.window);
    if (request.view == StudioView::Labels && request.window.isEmpty())
        session_.dropSmallRegions(request.image, request.minArea, seg);
    res.set_content(segmentFrame(session_, request, seg, start), "application/octet-stream");
}

// The region under a pixel of the last whole-image segmentation.
void StudioServer::postRegion(const httplib::Request& req, httplib::Response& res) {
    const json j = parseBody(req);
    const auto image = static_cast<std::size_t>(intField(j, "image", 0, 1000000));
    const long x = static_cast<long>(intField(j, "x", 0, 1000000000));
    const long y = static_cast<long>(intField(j, "y", 0, 1000000000));
    const auto minArea = minAreaField(j);
    const auto lock = lockSession();
    answerJson(res, regionJson(session_.regionAt(image, x, y, minArea)));
}

void StudioServer::postAuto(const httplib::Request&, httplib::Response& res) {
    const uint64_t cancels = autoCancels_;
    autoDone_ = 0;
    const auto lock = lockSession();
    // A cancel that came while this request waited for the session.
    if (autoCancels_ != cancels) throw Cancelled();
    const BusyFlag busy(autoRunning_);
    try {
        answerJson(res, chooseSettings(session_, autoDone_, autoStepDelay_));
    } catch (const kvAbortRequested&) {
        if (autoCancels_ != cancels) throw Cancelled();
        throw;
    }
}

void StudioServer::getAutoProgress(const httplib::Request&, httplib::Response& res) {
    answerJson(res, json{{"done", autoDone_.load()},
                         {"steps", kSuggestTolerances},
                         {"running", autoRunning_.load()}});
}

// Only a search is stopped: an abort at another time would stop a segment
// request instead.
void StudioServer::postAutoCancel(const httplib::Request&, httplib::Response& res) {
    ++autoCancels_;
    if (autoRunning_) ksys_request_abort();
    answerJson(res, json::object());
}

void StudioServer::postSave(const httplib::Request& req, httplib::Response& res) {
    const json j = parseBody(req);
    const std::string file = stringField(j, "file");
    const uint64_t minArea = minAreaField(j);
    const auto lock = lockSession();
    const std::string path = session_.saveTool(file);
    answerJson(res, json{{"path", path},
                         {"command", shownCommand(session_.runCommand(path, minArea))},
                         {"notes", session_.changedFileNotes()}});
}

void StudioServer::postExport(const httplib::Request& req, httplib::Response& res) {
    const json j = parseBody(req);
    const std::string dir = stringField(j, "dir");
    const uint64_t minArea = minAreaField(j);
    const auto lock = lockSession();
    const StudioExport out = session_.exportMasks(dir, minArea);
    answerJson(res, json{{"files", out.files},
                         {"command", shownCommand(out.trainCommand)},
                         {"runCommand", shownCommand(out.runCommand)},
                         {"notes", out.notes}});
}

void StudioServer::postRestore(const httplib::Request& req, httplib::Response& res) {
    const json j = parseBody(req);
    const json& accept = field(j, "accept");
    if (!accept.is_boolean()) throw BadRequest("\"accept\" must be true or false");
    const auto lock = lockSession();
    const bool save = session_.restore(accept.get<bool>());
    answerJson(res, save ? saved(session_, stateJson(session_)) : stateJson(session_));
}

void StudioServer::postImages(const httplib::Request& req, httplib::Response& res) {
    const std::string name = req.has_param("name") ? req.get_param_value("name") : "image";
    // One upload decodes at a time, and only to the pixels still free.
    std::unique_lock<std::mutex> decoding(decodeMutex_);
    ReadLimits limits;
    {
        const auto lock = lockSession();
        // Named as a file that does not decode is: the page lists them.
        if (session_.images().size() >= StudioSession::kMaxImages)
            throw StudioError(name + ": a studio opens at most " +
                              std::to_string(StudioSession::kMaxImages) + " images");
        limits.maxPixels = std::min(limits.maxPixels, session_.pixelRoom());
        if (limits.maxPixels == 0)
            throw StudioError(name + ": the open images hold all the pixels a studio takes");
    }
    const std::vector<unsigned char> bytes(req.body.begin(), req.body.end());
    const kv3PlanePelBuffer pixels = decodeColorImage(bytes, name, limits);
    decoding.unlock();
    const auto lock = lockSession();
    const std::size_t dot = name.find_last_of('.');
    session_.addImage(name.substr(0, dot), "", pixels);
    session_.findRestoreAgain();  // the earlier session may have marked this image
    answerJson(res, stateJson(session_));
}

void StudioServer::postPreview(const httplib::Request& req, httplib::Response& res) {
    const json j = parseBody(req);
    const std::size_t image = static_cast<std::size_t>(intField(j, "image", 0, 1000000));
    const long side = static_cast<long>(intField(j, "size", 1, 1024));
    // Previews give way: to a segment request that came meanwhile (the page
    // asks again later), and to any edit or segment request while at work
    // (they abort it).
    const uint64_t ticket = segmentTicket_;
    const auto lock = lockSession(false);
    if (ticket != segmentTicket_) throw Superseded();
    const BusyFlag busy(segmenting_), previewing(previewing_);
    const StudioPreview p = session_.preview(image, side, minAreaField(j));
    const std::string meta =
        text(json{{"image", image},
                  {"width", p.width},
                  {"height", p.height},
                  {"counts", p.counts.empty() ? json(nullptr) : json(p.counts)},
                  {"labels", labelsJson(session_)},
                  {"runMs", p.runMs}});
    std::string frame(4, '\0');
    for (int b = 0; b < 4; ++b) frame[b] = static_cast<char>((meta.size() >> (8 * b)) & 0xff);
    frame += meta;
    frame.append(p.rgb.begin(), p.rgb.end());
    frame.append(p.labels.begin(), p.labels.end());
    res.set_content(std::move(frame), "application/octet-stream");
}

}  // namespace clsg
