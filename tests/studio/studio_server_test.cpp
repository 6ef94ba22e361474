// The studio's HTTP API against a server in this process on an ephemeral
// port of 127.0.0.1: every endpoint, the token, writes outside the output
// directory, oversized and malformed requests, and results compared with the
// library called directly.
#include "apps/studio_server.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "../cli/png_fixture.h"
#include "apps/image_io.h"
#include "apps/label_colors.h"
#include "apps/studio_runs.h"
#include "apps/tool_file.h"
#include "clsg/colorseg/segmenter_result.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using clsgtest::ScratchDir;

const char* const kToken = "0123456789abcdef0123456789abcdef";
constexpr long kW = 40, kH = 30;

// Orange left, teal right, a grey band between; a little texture throughout.
kv3PlanePelBuffer testImage() {
    kv3PlanePelBuffer image(kvPelRect(0, 0, kW, kH));
    for (long y = 0; y < kH; ++y)
        for (long x = 0; x < kW; ++x) {
            const int t = static_cast<int>((x * 7 + y * 13) % 9);
            const int c[3] = {x < 16   ? 230
                              : x < 24 ? 128
                                       : 20,
                              x < 16   ? 140
                              : x < 24 ? 128
                                       : 150,
                              x < 16   ? 30
                              : x < 24 ? 128
                                       : 160};
            image.plane0().pointToRow(y)[x] = static_cast<unsigned char>(c[0] + t);
            image.plane1().pointToRow(y)[x] = static_cast<unsigned char>(c[1] + t);
            image.plane2().pointToRow(y)[x] = static_cast<unsigned char>(c[2] + t);
        }
    return image;
}

int statusOf(const httplib::Result& r) { return r ? r->status : -1; }

struct Rect {
    long x, y, w, h;
};

// The library called directly: one example per label, masks from rects.
kvCompositeColorSegmenterResult directRun(const kv3PlanePelBuffer& image,
                                          const std::vector<Rect>& rects, double toleranceFrac,
                                          uint32_t toleranceMin, int neighborhood) {
    std::vector<kvCompositeColorSet> sets;
    for (const Rect& r : rects) {
        kvPelBuffer<unsigned char> mask(image.window());
        for (long y = 0; y < kH; ++y)
            for (long x = 0; x < kW; ++x)
                mask.pointToRow(y)[x] =
                    x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h ? 255 : 0;
        sets.emplace_back(std::vector<kvCompositeColor>{kvCompositeColor(image, mask)});
    }
    kvCompositeColorSegmenterTool tool;
    tool.train(sets, kvCompositeColorSegmenterTrainParams(toleranceFrac, toleranceMin));
    kvCompositeColorSegmenterResult result;
    tool.run(image, kvCompositeColorSegmenterRunParams(neighborhood, false), result);
    return result;
}

std::vector<uint8_t> bytesOf(const kvPelBuffer_const<unsigned char>& b) {
    std::vector<uint8_t> out;
    for (long y = 0; y < b.height(); ++y)
        out.insert(out.end(), b.pointToRow(y), b.pointToRow(y) + b.width());
    return out;
}

struct Frame {
    json meta;
    std::vector<uint8_t> pixels;
};

Frame parseFrame(const std::string& body) {
    EXPECT_GE(body.size(), 4u);
    uint32_t n = 0;
    for (int b = 0; b < 4; ++b) n |= uint32_t(static_cast<uint8_t>(body[b])) << (8 * b);
    Frame f{json::parse(body.substr(4, n)), {}};
    const std::string payload = body.substr(4 + n);
    const std::size_t size =
        f.meta["width"].get<std::size_t>() * f.meta["height"].get<std::size_t>();
    if (f.meta["encoding"] == "raw")
        f.pixels.assign(payload.begin(), payload.end());
    else
        EXPECT_TRUE(decodeRuns(payload, size, f.pixels));
    return f;
}

class StudioServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = testImage();
        imagePath_ = dir_ / "picture.png";
        writeColorImage(imagePath_, image_, ImageFormat::Png);
        session_ = std::make_unique<StudioSession>(dir_ / "out");
        session_->addImage("picture", imagePath_, image_);
        server_ = std::make_unique<StudioServer>(*session_, kToken);
        port_ = server_->bind(0);
        thread_ = std::thread([this] { server_->serve(); });
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client_->set_default_headers({{"X-Clsg-Token", kToken}});
        // serve() may not be listening yet; the socket is bound, so connects queue.
    }
    void TearDown() override {
        server_->stop();
        thread_.join();
    }

    httplib::Result post(const std::string& path, const std::string& body,
                         const char* type = "application/json") {
        return client_->Post(path.c_str(), body, type);
    }
    int status(const httplib::Result& r) { return statusOf(r); }
    json postJson(const std::string& path, const json& body, int expect = 200) {
        const httplib::Result r = post(path, body.dump());
        EXPECT_EQ(status(r), expect)
            << path << " " << body.dump() << " -> " << (r ? r->body : "no answer");
        return r ? json::parse(r->body, nullptr, false) : json();
    }
    void paint(long label, const Rect& r) {
        const std::vector<uint8_t> values(static_cast<std::size_t>(r.w * r.h),
                                          static_cast<uint8_t>(label + 1));
        const std::string q = "/api/marks?i=0&x=" + std::to_string(r.x) +
                              "&y=" + std::to_string(r.y) + "&w=" + std::to_string(r.w) +
                              "&h=" + std::to_string(r.h);
        ASSERT_EQ(
            status(post(q, encodeRuns(values.data(), values.size()), "application/octet-stream")),
            200);
    }
    Frame segment(const char* view = "labels") {
        const httplib::Result r = post("/api/segment", json{{"image", 0}, {"view", view}}.dump());
        EXPECT_EQ(status(r), 200) << (r ? r->body : "no answer");
        return r ? parseFrame(r->body) : Frame{};
    }
    // Two labels painted on their halves.
    void twoLabels() {
        postJson("/api/labels", {{"op", "add"}, {"name", "orange"}, {"color", "#ff8800"}});
        postJson("/api/labels", {{"op", "add"}, {"name", "teal"}, {"color", "#008888"}});
        paint(0, kOrange);
        paint(1, kTeal);
    }

    const Rect kOrange{2, 3, 8, 6}, kTeal{28, 10, 6, 9};
    ScratchDir dir_;
    kv3PlanePelBuffer image_;
    std::string imagePath_;
    std::unique_ptr<StudioSession> session_;
    std::unique_ptr<StudioServer> server_;
    int port_ = 0;
    std::thread thread_;
    std::unique_ptr<httplib::Client> client_;
};

TEST_F(StudioServerTest, EveryRequestNeedsTheToken) {
    httplib::Client bare("127.0.0.1", port_);
    const std::string wrong(32, 'a');
    for (const char* path : {"/", "/studio.js", "/studio.css", "/api/state", "/api/image?i=0",
                             "/api/marks?i=0", "/nowhere"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(status(bare.Get(path)), 403);
        EXPECT_EQ(status(bare.Get(path, {{"X-Clsg-Token", wrong}})), 403);
        EXPECT_EQ(status(bare.Get(path, {{"X-Clsg-Token", std::string(kToken) + "0"}})), 403);
        EXPECT_EQ(status(bare.Get(
                      (std::string(path) + (std::strchr(path, '?') ? "&" : "?") + "token=" + wrong)
                          .c_str())),
                  403);
    }
    for (const char* path :
         {"/api/segment", "/api/labels", "/api/save", "/api/marks?i=0&x=0&y=0&w=1&h=1"})
        EXPECT_EQ(status(bare.Post(path, "{}", "application/json")), 403) << path;
    EXPECT_EQ(status(bare.Get((std::string("/?token=") + kToken).c_str())), 200);
    EXPECT_EQ(status(client_->Get("/nowhere")), 404);
}

TEST_F(StudioServerTest, ServesThePageWithItsToken) {
    const httplib::Result page = client_->Get("/");
    ASSERT_EQ(status(page), 200);
    EXPECT_NE(page->body.find(std::string("studio.js?token=") + kToken), std::string::npos);
    EXPECT_EQ(page->body.find("__TOKEN__"), std::string::npos);
    for (const auto& [path, type] :
         {std::pair<const char*, const char*>{"/studio.js", "text/javascript"},
          {"/studio.css", "text/css"}}) {
        const httplib::Result r = client_->Get(path);
        ASSERT_EQ(status(r), 200);
        EXPECT_EQ(r->get_header_value("Content-Type").rfind(type, 0), 0u) << path;
        EXPECT_GT(r->body.size(), 1000u) << path;
    }
}

TEST_F(StudioServerTest, StateAndImageBytes) {
    const json s = json::parse(client_->Get("/api/state")->body);
    EXPECT_EQ(s["images"][0]["name"], "picture");
    EXPECT_EQ(s["images"][0]["width"], kW);
    EXPECT_EQ(s["settings"]["neighborhood"], 3);
    const httplib::Result rgb = client_->Get("/api/image?i=0");
    ASSERT_EQ(status(rgb), 200);
    ASSERT_EQ(rgb->body.size(), std::size_t(kW * kH * 3));
    for (long at : {0L, 17L * kW + 5, kW * kH - 1})
        for (int c = 0; c < 3; ++c) {
            const kvPelBuffer<unsigned char>& plane = c == 0   ? image_.plane0()
                                                      : c == 1 ? image_.plane1()
                                                               : image_.plane2();
            EXPECT_EQ(static_cast<uint8_t>(rgb->body[static_cast<std::size_t>(at * 3 + c)]),
                      plane.pointToRow(at / kW)[at % kW]);
        }
    for (const char* bad : {"/api/image?i=1", "/api/image", "/api/image?i=-1", "/api/image?i=x",
                            "/api/marks?i=99999999999"})
        EXPECT_EQ(status(client_->Get(bad)), 400) << bad;
}

// The label, confidence and score views equal the library's own images for
// the same marks, and the counts add up; each setting change reaches the
// training or the run (no stale result is kept).
TEST_F(StudioServerTest, SegmentationEqualsTheLibrary) {
    twoLabels();
    struct Settings {
        double frac;
        uint32_t min;
        int n;
    };
    std::vector<uint8_t> previous;
    for (const Settings& st :
         {Settings{0.1, 2, 3}, Settings{0.1, 2, 5}, Settings{0.1, 12, 5}, Settings{0.3, 12, 5}}) {
        SCOPED_TRACE(testing::Message() << st.frac << " " << st.min << " " << st.n);
        postJson("/api/settings", {{"toleranceFrac", st.frac},
                                   {"toleranceMin", st.min},
                                   {"neighborhood", st.n},
                                   {"normalize", false}});
        const kvCompositeColorSegmenterResult direct =
            directRun(image_, {kOrange, kTeal}, st.frac, st.min, st.n);
        const Frame labels = segment("labels");
        EXPECT_EQ(labels.pixels, bytesOf(direct.labelImage()));
        EXPECT_EQ(segment("confidence").pixels, bytesOf(direct.confidenceImage()));
        const std::vector<uint8_t> score = segment("score").pixels;
        EXPECT_EQ(score, bytesOf(direct.scoreImage()));
        EXPECT_NE(score, previous);  // the change shows
        previous = score;
        const std::vector<uint64_t> counts = labels.meta["counts"];
        ASSERT_EQ(counts.size(), 3u);
        EXPECT_GT(counts[0], 0u);
        EXPECT_GT(counts[1], 0u);
        EXPECT_EQ(counts[0] + counts[1] + counts[2], uint64_t(kW * kH));
        EXPECT_EQ(counts[0], uint64_t(std::count(labels.pixels.begin(), labels.pixels.end(), 0)));
    }
    // A window (cut to the image) gives that part of the whole image, with
    // and without intensity normalisation.
    for (bool normalize : {false, true}) {
        postJson("/api/settings", {{"toleranceFrac", 0.1},
                                   {"toleranceMin", 2},
                                   {"neighborhood", 5},
                                   {"normalize", normalize}});
        const std::vector<uint8_t> whole = segment("score").pixels;
        const httplib::Result r =
            post("/api/segment",
                 json{{"image", 0}, {"view", "score"}, {"window", {30, 20, 15, 40}}}.dump());
        ASSERT_EQ(status(r), 200);
        const Frame part = parseFrame(r->body);
        EXPECT_EQ(part.meta["window"], json({30, 20, 10, 10}));
        EXPECT_TRUE(part.meta["counts"].is_null());
        std::vector<uint8_t> expected;
        for (long y = 20; y < 30; ++y)
            expected.insert(expected.end(), whole.begin() + y * kW + 30,
                            whole.begin() + y * kW + 40);
        EXPECT_EQ(part.pixels, expected) << normalize;
    }
    for (const char* window : {"[0,0,0,5]", "[1,2,3]", "[-1,0,5,5]", "\"all\"", "[0,0,1.5,2]"})
        EXPECT_EQ(
            status(post("/api/segment", std::string(R"({"image":0,"window":)") + window + "}")),
            400)
            << window;
    EXPECT_EQ(status(post("/api/segment", R"({"image":0,"window":[50,0,5,5]})")), 422);
    EXPECT_EQ(status(post("/api/segment", R"({"image":0,"view":"nonsense"})")), 400);
    EXPECT_EQ(status(post("/api/segment", R"({"image":3})")), 422);
}

TEST_F(StudioServerTest, TrainingFailuresAreMessagesNotCrashes) {
    const auto error = [&] {
        const httplib::Result r = post("/api/segment", R"({"image":0})");
        EXPECT_EQ(status(r), 422);
        return r ? json::parse(r->body)["error"].get<std::string>() : "";
    };
    EXPECT_NE(error().find("add a label"), std::string::npos);
    postJson("/api/labels", {{"op", "add"}, {"name", "orange"}, {"color", "#ff8800"}});
    postJson("/api/labels", {{"op", "add"}, {"name", "teal"}, {"color", "#008888"}});
    paint(0, kOrange);
    EXPECT_EQ(error(), "label teal has no marks yet: paint some pixels with it");
    paint(1, kTeal);
    segment();
    // Erasing the last marks of a label fails again; the server still answers.
    paint(-1, kTeal);
    EXPECT_NE(error().find("teal"), std::string::npos);
    EXPECT_EQ(status(client_->Get("/api/state")), 200);
}

// Deleting a label removes its marks and renumbers the later labels' marks;
// every label edit checks its input.
TEST_F(StudioServerTest, LabelEdits) {
    postJson("/api/labels", {{"op", "add"}, {"name", "a"}, {"color", "#ff0000"}});
    postJson("/api/labels", {{"op", "add"}, {"name", "b"}, {"color", "#00ff00"}});
    postJson("/api/labels", {{"op", "add"}, {"name", "c"}, {"color", "#0000ff"}});
    paint(0, {0, 0, 2, 1});
    paint(2, {2, 0, 2, 1});
    postJson("/api/labels", {{"op", "rename"}, {"label", 1}, {"name", "bee"}});
    const json s = postJson("/api/labels", {{"op", "recolor"}, {"label", 2}, {"color", "#123ABC"}});
    EXPECT_EQ(s["labels"][1]["name"], "bee");
    EXPECT_EQ(s["labels"][2]["color"], "#123abc");
    const json d = postJson("/api/labels", {{"op", "delete"}, {"label", 0}});
    ASSERT_EQ(d["labels"].size(), 2u);
    EXPECT_EQ(d["labels"][1]["name"], "c");
    std::vector<uint8_t> marks;
    ASSERT_TRUE(decodeRuns(client_->Get("/api/marks?i=0")->body, kW * kH, marks));
    EXPECT_EQ(std::vector<uint8_t>(marks.begin(), marks.begin() + 5),
              (std::vector<uint8_t>{0, 0, 2, 2, 0}));

    const std::vector<std::pair<json, int>> bad = {
        {{{"op", "add"}, {"name", "c"}, {"color", "#000000"}}, 422},    // taken
        {{{"op", "add"}, {"name", "a b"}, {"color", "#000000"}}, 422},  // not a name
        {{{"op", "add"}, {"name", ""}, {"color", "#000000"}}, 422},
        {{{"op", "add"}, {"name", "x"}, {"color", "red"}}, 400},
        {{{"op", "add"}, {"name", "x"}, {"color", "#12345g"}}, 400},
        {{{"op", "add"}, {"name", 7}, {"color", "#000000"}}, 400},
        {{{"op", "add"}, {"color", "#000000"}}, 400},
        {{{"op", "rename"}, {"label", 2}, {"name", "x"}}, 422},  // no label 2
        {{{"op", "rename"}, {"label", -1}, {"name", "x"}}, 400},
        {{{"op", "rename"}, {"label", 1.5}, {"name", "x"}}, 400},
        {{{"op", "rename"}, {"label", 0}, {"name", "c"}}, 422},
        {{{"op", "delete"}, {"label", "0"}}, 400},
        {{{"op", "explode"}}, 400},
        {{{"name", "x"}}, 400},
    };
    for (const auto& [body, code] : bad) postJson("/api/labels", body, code);
    EXPECT_EQ(json::parse(client_->Get("/api/state")->body)["labels"].size(), 2u);
}

TEST_F(StudioServerTest, MalformedAndOversizedBodies) {
    for (const char* body : {"{bad", "", "[]", "null", "42", "{\"op\":", "\xff\xfe"}) {
        const httplib::Result r = post("/api/labels", body);
        EXPECT_EQ(status(r), 400) << body;
        if (r) {
            EXPECT_FALSE(json::parse(r->body)["error"].get<std::string>().empty());
        }
    }
    const std::string big = "{\"file\":\"" + std::string(StudioServer::kMaxJsonBody, 'a') + "\"}";
    EXPECT_EQ(status(post("/api/save", big)), 413);
    const std::vector<std::pair<json, int>> settings = {
        {{{"toleranceFrac", 1.5}, {"toleranceMin", 2}, {"neighborhood", 3}, {"normalize", false}},
         422},
        {{{"toleranceFrac", "0.1"}, {"toleranceMin", 2}, {"neighborhood", 3}, {"normalize", false}},
         400},
        {{{"toleranceFrac", 0.1}, {"toleranceMin", -1}, {"neighborhood", 3}, {"normalize", false}},
         400},
        {{{"toleranceFrac", 0.1}, {"toleranceMin", 2}, {"neighborhood", 0}, {"normalize", false}},
         400},
        {{{"toleranceFrac", 0.1}, {"toleranceMin", 2}, {"neighborhood", 256}, {"normalize", false}},
         400},
        {{{"toleranceFrac", 0.1}, {"toleranceMin", 2}, {"neighborhood", 3}, {"normalize", 1}}, 400},
        {{{"toleranceFrac", 0.1}, {"toleranceMin", 2}, {"neighborhood", 3}}, 400},
    };
    for (const auto& [body, code] : settings) postJson("/api/settings", body, code);

    postJson("/api/labels", {{"op", "add"}, {"name", "a"}, {"color", "#ff0000"}});
    const std::string one = encodeRuns(std::vector<uint8_t>(4, 1).data(), 4);
    const std::vector<std::pair<std::string, std::string>> marks = {
        {"/api/marks?i=0&x=0&y=0&w=2&h=2", one.substr(0, 1)},            // truncated
        {"/api/marks?i=0&x=0&y=0&w=2&h=3", one},                         // too few
        {"/api/marks?i=0&x=0&y=0&w=1&h=2", one},                         // too many
        {"/api/marks?i=0&x=0&y=0&w=2&h=2", std::string("\x01\x00", 2)},  // zero run
        {"/api/marks?i=0&x=39&y=0&w=2&h=2", one},                        // outside
        {"/api/marks?i=0&x=0&y=29&w=2&h=2", one},
        {"/api/marks?i=0&x=0&y=0&w=0&h=2", ""},
        {"/api/marks?i=0&x=0&y=0&w=2", one},
        {"/api/marks?i=1&x=0&y=0&w=2&h=2", one},
    };
    for (const auto& [path, body] : marks)
        EXPECT_EQ(status(post(path, body, "application/octet-stream")), 400) << path;
    const std::vector<uint8_t> label2(4, 2);  // there is one label
    EXPECT_EQ(status(post("/api/marks?i=0&x=0&y=0&w=2&h=2", encodeRuns(label2.data(), 4),
                          "application/octet-stream")),
              422);
    EXPECT_EQ(status(post("/api/marks?i=0&x=0&y=0&w=1&h=1", std::string(64, '\x01'),
                          "application/octet-stream")),
              413);
}

// Saved tools are what clsg run reads; the page names files, never paths.
TEST_F(StudioServerTest, SaveWritesOnlyIntoTheOutputDirectory) {
    twoLabels();
    const json saved = postJson("/api/save", {{"file", "mine"}});
    EXPECT_EQ(saved["path"], dir_ / "out/mine.clsg");
    const ToolFile file = readToolFile(saved["path"]);
    EXPECT_EQ(file.labelNames(), (std::vector<std::string>{"orange", "teal"}));
    kvCompositeColorSegmenterResult run;
    file.tool.run(image_, kvCompositeColorSegmenterRunParams(3, false), run);
    EXPECT_EQ(bytesOf(run.labelImage()), segment().pixels);

    fs::create_directories(dir_ / "elsewhere");
    fs::create_symlink(dir_ / "elsewhere/target.clsg", dir_ / "out/link.clsg");
    fs::create_symlink(dir_ / "elsewhere", dir_ / "out/linkdir");
    for (const std::string& name : std::vector<std::string>{
             "../escape", "../escape.clsg", "/tmp/escape", dir_ / "elsewhere/x", "a/b", ".hidden",
             "", "..", std::string(200, 'a'), "tab\there", "x\\y", "link.clsg"}) {
        postJson("/api/save", {{"file", name}}, 422);
        postJson("/api/export", {{"dir", name}}, 422);
    }
    postJson("/api/save", {{"file", "link"}}, 422);
    postJson("/api/export", {{"dir", "linkdir"}}, 422);
    // A linked folder inside the export's folder is no way out either.
    fs::create_directories(dir_ / "out/masks");
    fs::create_symlink(dir_ / "elsewhere", dir_ / "out/masks/teal");
    postJson("/api/export", {{"dir", "masks"}}, 422);
    EXPECT_TRUE(fs::is_empty(dir_ / "elsewhere"));
    EXPECT_FALSE(fs::exists(dir_ / "escape.clsg"));
    EXPECT_FALSE(fs::exists(dir_ / "escape"));
}

// The exported command line, run by the real program, trains a tool that
// segments as the page's does.
TEST_F(StudioServerTest, ExportedCommandTrainsTheSameTool) {
    twoLabels();
    postJson(
        "/api/settings",
        {{"toleranceFrac", 0.15}, {"toleranceMin", 3}, {"neighborhood", 3}, {"normalize", false}});
    const json exported = postJson("/api/export", {{"dir", "masks"}});
    const std::string command = exported["command"];
    EXPECT_EQ(exported["files"].size(), 3u);  // two masks and the command
    const std::string line = "'" CLSG_CLI_PATH "'" + command.substr(4) + " >/dev/null";
    ASSERT_EQ(std::system(line.c_str()), 0) << line;
    const json saved = postJson("/api/save", {{"file", "page"}});
    kvCompositeColorSegmenterResult fromCommand, fromPage;
    const kvCompositeColorSegmenterRunParams params(3, false);
    readToolFile(dir_ / "out/masks/tool.clsg").tool.run(image_, params, fromCommand);
    readToolFile(saved["path"]).tool.run(image_, params, fromPage);
    EXPECT_EQ(bytesOf(fromCommand.labelImage()), bytesOf(fromPage.labelImage()));
    EXPECT_EQ(bytesOf(fromCommand.confidenceImage()), bytesOf(fromPage.confidenceImage()));
    EXPECT_EQ(bytesOf(fromCommand.scoreImage()), bytesOf(fromPage.scoreImage()));
    EXPECT_EQ(clsgtest::slurp(dir_ / "out/masks/train-command.txt"), command + "\n");
    const ToolFile trained = readToolFile(dir_ / "out/masks/tool.clsg");
    ASSERT_EQ(trained.labels.size(), 2u);
    EXPECT_EQ(trained.labels[0].color, 0xff8800u);
    EXPECT_EQ(trained.labels[1].color, 0x008888u);
}

// A tool reopened in a new session brings its labels, settings and marks.
TEST_F(StudioServerTest, ReopenedToolKeepsItsMarks) {
    twoLabels();
    paint(0, {12, 20, 2, 2});  // the box around orange's marks holds unmarked pixels
    postJson(
        "/api/settings",
        {{"toleranceFrac", 0.2}, {"toleranceMin", 4}, {"neighborhood", 5}, {"normalize", false}});
    const std::string path = postJson("/api/save", {{"file", "t"}})["path"];
    const std::string before = client_->Get("/api/marks?i=0")->body;

    StudioSession reopened(dir_ / "out");
    reopened.addImage("picture", imagePath_, readColorImage(imagePath_));
    reopened.loadTool(path);
    ASSERT_EQ(reopened.images().size(), 1u);  // the example matched the open image
    EXPECT_EQ(encodeRuns(reopened.images()[0].marks.data(), reopened.images()[0].marks.size()),
              before);
    EXPECT_EQ(reopened.labels()[1].name, "teal");
    EXPECT_EQ(reopened.labels()[0].color, 0xff8800u);
    EXPECT_EQ(reopened.labels()[1].color, 0x008888u);
    EXPECT_EQ(reopened.settings().toleranceFrac, 0.2);
    EXPECT_EQ(reopened.settings().toleranceMin, 4u);
    EXPECT_EQ(reopened.settings().neighborhood, 5);
    EXPECT_EQ(reopened.segment(0, StudioView::Labels).pixels, segment().pixels);

    // Without the open image, each example's part of it is added.
    StudioSession alone(dir_ / "out");
    alone.loadTool(path);
    ASSERT_EQ(alone.images().size(), 2u);
    EXPECT_EQ(alone.images()[0].pixels.width(), 12);
    EXPECT_EQ(alone.images()[0].pixels.height(), 19);
    const std::vector<uint8_t>& orange = alone.images()[0].marks;
    EXPECT_EQ(std::count(orange.begin(), orange.end(), 1), 8 * 6 + 2 * 2);
    EXPECT_EQ(std::count(orange.begin(), orange.end(), 0), 12 * 19 - 8 * 6 - 2 * 2);
    EXPECT_EQ(orange[(20 - 3) * 12 + (12 - 2)], 1);
    EXPECT_EQ(alone.images()[1].marks, std::vector<uint8_t>(6 * 9, 2));
    EXPECT_THROW(alone.loadTool(path), StudioError);  // the names are taken now
}

TEST_F(StudioServerTest, OpensUploadedImages) {
    const json s = json::parse(
        post("/api/images?name=up.png", clsgtest::slurp(imagePath_), "application/octet-stream")
            ->body);
    ASSERT_EQ(s["images"].size(), 2u);
    EXPECT_EQ(s["images"][1]["name"], "up");
    EXPECT_EQ(s["images"][1]["path"], "");
    EXPECT_EQ(status(post("/api/images?name=x.png", "not an image", "application/octet-stream")),
              422);
    // What a plain curl --data-binary sends: refused with a way out.
    const httplib::Result form = post("/api/images?name=up.png", std::string(20000, 'x'),
                                      "application/x-www-form-urlencoded");
    EXPECT_EQ(status(form), 413);
    EXPECT_NE(json::parse(form->body)["error"].get<std::string>().find("octet-stream"),
              std::string::npos);
}

// A segment request that arrives while another is at work stops it: the
// older one answers 409, the newer one its result.
TEST_F(StudioServerTest, ANewerSegmentRequestStopsTheOlder) {
    twoLabels();
    kv3PlanePelBuffer big(kvPelRect(0, 0, 1500, 1500));
    for (const kvPelBuffer<unsigned char>* p : {&big.plane0(), &big.plane1(), &big.plane2()})
        for (long y = 0; y < 1500; ++y)
            for (long x = 0; x < 1500; ++x) p->pointToRow(y)[x] = static_cast<unsigned char>(x ^ y);
    session_->addImage("big", "", big);
    int older = 0;
    for (int attempt = 0; attempt < 8 && older != 409; ++attempt) {
        postJson("/api/settings", {{"toleranceFrac", 0.1},
                                   {"toleranceMin", 2},
                                   {"neighborhood", 15 + 2 * attempt},
                                   {"normalize", false}});
        std::thread slow([&] {
            httplib::Client c("127.0.0.1", port_);
            c.set_default_headers({{"X-Clsg-Token", kToken}});
            older = statusOf(c.Post("/api/segment", R"({"image":1})", "application/json"));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + 30 * attempt));
        EXPECT_EQ(status(post("/api/segment", R"({"image":0})")), 200);
        slow.join();
        EXPECT_TRUE(older == 200 || older == 409) << older;
    }
    EXPECT_EQ(older, 409);
}

// A few thousand random and malformed requests, some from several clients at
// once; the server answers every one and still works after.
TEST_F(StudioServerTest, SurvivesRandomRequests) {
    twoLabels();
    const std::vector<std::string> paths = {
        "/api/state",   "/api/image",     "/api/marks",  "/api/labels", "/api/settings",
        "/api/segment", "/api/save",      "/api/export", "/api/images", "/",
        "/api/",        "/api/segment/x", "/%00",        "/.."};
    const std::vector<std::string> bodies = {
        "",
        "{}",
        "{\"image\":0}",
        "{\"image\":0,\"view\":\"score\"}",
        "{\"op\":\"delete\",\"label\":0}",
        "{\"op\":\"add\",\"name\":\"n\",\"color\":\"#000000\"}",
        "{\"file\":\"f\"}",
        "{\"dir\":\"d\"}",
        "[1,2",
        "{\"image\":1e999}",
        "\x01\x05\x02\x05",
        "{\"a\":{\"b\":[[[[[]]]]]}}"};
    const std::vector<std::string> queries = {
        "",          "?i=0",          "?i=0&x=0&y=0&w=5&h=1",
        "?i=0&x=-1", "?name=../../x", "?i=0&x=0&y=0&w=40&h=30",
        "?i=%ff",    "?i=0&i=1"};
    std::atomic<int> answered{0};
    const auto client = [&](unsigned seed, int count) {
        std::mt19937 random(seed);
        httplib::Client c("127.0.0.1", port_);
        c.set_default_headers({{"X-Clsg-Token", kToken}});
        const auto pick = [&](const std::vector<std::string>& v) { return v[random() % v.size()]; };
        for (int i = 0; i < count; ++i) {
            std::string body = pick(bodies);
            if (random() % 4 == 0)
                for (char& ch : body)
                    ch = static_cast<char>(ch ^ (random() % 3 == 0 ? random() : 0));
            const std::string path = pick(paths) + pick(queries);
            const httplib::Result r = random() % 3 == 0
                                          ? c.Get(path.c_str())
                                          : c.Post(path.c_str(), body, "application/json");
            if (r && r->status >= 200 && r->status < 500)
                ++answered;
            else
                ADD_FAILURE() << path << " " << body << " -> " << (r ? r->body : "no answer");
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 3; ++t) threads.emplace_back(client, 100 + t, 1000);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(answered, 3000);
    EXPECT_EQ(status(client_->Get("/api/state")), 200);
}

// Encoded runs: round trips, and every malformed text is refused.
TEST(StudioRuns, RoundTripsAndRefusesMalformedText) {
    std::vector<uint8_t> data(1000, 7);
    data[0] = 1;
    std::fill(data.begin() + 500, data.end(), 255);
    std::vector<uint8_t> out;
    const std::string text = encodeRuns(data.data(), data.size());
    EXPECT_EQ(text, std::string("\x01\x01\x07\xf3\x03\xff\xf4\x03", 8));
    ASSERT_TRUE(decodeRuns(text, data.size(), out));
    EXPECT_EQ(out, data);
    EXPECT_TRUE(decodeRuns("", 0, out));
    for (const std::string& bad :
         {text.substr(0, 7), text.substr(0, 1), text + "\x01", std::string("\x01\x00", 2),
          text + std::string("\x05\x00", 2), std::string("\x01\x80\x80\x80\x80\x80\x01", 7)})
        EXPECT_FALSE(decodeRuns(bad, data.size(), out)) << bad.size();
    EXPECT_FALSE(decodeRuns(text, data.size() - 1, out));
    EXPECT_FALSE(decodeRuns(text, data.size() + 1, out));
}

// The program: reopens a saved tool's marks on the image, prints its
// address, answers, and stops cleanly on Ctrl-C.
TEST(StudioCommand, ReopensAToolAndStopsOnInterrupt) {
    ScratchDir dir;
    writeColorImage(dir / "p.png", testImage(), ImageFormat::Png);
    StudioSession saved(dir / "o");
    saved.addImage("p", dir / "p.png", testImage());
    saved.addLabel("orange");
    saved.addLabel("teal");
    saved.paintMarks(0, 2, 3, 4, 2, std::vector<uint8_t>(8, 1));
    saved.paintMarks(0, 30, 9, 3, 1, {2, 0, 2});
    const std::string tool = saved.saveTool("t");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        execl(CLSG_CLI_PATH, "clsg", "studio", (dir / "p.png").c_str(), "--tool", tool.c_str(),
              "--out", (dir / "o").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string line;
    for (char c; read(out[0], &c, 1) == 1 && c != '\n';) line += c;
    const std::size_t at = line.find("http://127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << line;
    const int port = std::stoi(line.substr(at + 17));
    const std::string token = line.substr(line.find("token=") + 6, 32);
    httplib::Client c("127.0.0.1", port);
    const httplib::Result state = c.Get("/api/state", {{"X-Clsg-Token", token}});
    ASSERT_EQ(statusOf(state), 200);
    const json labels = json::parse(state->body)["labels"];
    ASSERT_EQ(labels.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(labels[i]["name"], saved.labels()[i].name);
        EXPECT_EQ(labels[i]["color"], colorText(saved.labels()[i].color));
    }
    const std::vector<uint8_t>& marks = saved.images()[0].marks;
    EXPECT_EQ(c.Get("/api/marks?i=0", {{"X-Clsg-Token", token}})->body,
              encodeRuns(marks.data(), marks.size()));
    EXPECT_EQ(statusOf(c.Get("/api/state")), 403);
    kill(pid, SIGINT);
    int raw = 0;
    waitpid(pid, &raw, 0);
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << raw;
    std::string rest;
    for (char c; read(out[0], &c, 1) == 1;) rest += c;
    close(out[0]);
    EXPECT_NE(rest.find("stopped"), std::string::npos);
}

}  // namespace
