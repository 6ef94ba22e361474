// The studio's HTTP API against an in-process server on 127.0.0.1: token,
// writes outside the output directory, malformed requests, library equality.
#include "apps/studio_server.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
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
using Rect = std::array<long, 4>;
using Bytes = std::vector<uint8_t>;
const char* const kToken = "0123456789abcdef0123456789abcdef";
const char* const kBinary = "application/octet-stream";
constexpr long kW = 40, kH = 30;

// Orange left, teal right, a grey band between; a little texture throughout.
kv3PlanePelBuffer testImage() {
    kv3PlanePelBuffer image(kvPelRect(0, 0, kW, kH));
    const int base[3][3] = {{230, 140, 30}, {128, 128, 128}, {20, 150, 160}};
    for (long y = 0; y < kH; ++y)
        for (long x = 0; x < kW; ++x) {
            const int t = static_cast<int>((x * 7 + y * 13) % 9);
            const int* c = base[x < 16 ? 0 : x < 24 ? 1 : 2];
            image.plane0().pointToRow(y)[x] = static_cast<unsigned char>(c[0] + t);
            image.plane1().pointToRow(y)[x] = static_cast<unsigned char>(c[1] + t);
            image.plane2().pointToRow(y)[x] = static_cast<unsigned char>(c[2] + t);
        }
    return image;
}

int code(const httplib::Result& r) { return r ? r->status : -1; }
json settings(double frac, int min, int n, json normalize = false) {
    return {{"toleranceFrac", frac},
            {"toleranceMin", min},
            {"neighborhood", n},
            {"normalize", normalize}};
}
std::vector<std::string> split(const std::string& text) {  // '|'-separated, empty items kept
    std::vector<std::string> out(1);
    for (char c : text)
        if (c == '|')
            out.emplace_back();
        else
            out.back().push_back(c);
    return out;
}
Bytes bytesOf(const kvPelBuffer_const<unsigned char>& b) {
    Bytes out;
    for (long y = 0; y < b.height(); ++y)
        out.insert(out.end(), b.pointToRow(y), b.pointToRow(y) + b.width());
    return out;
}

// The library called directly: one example per label, masks from rects.
kvCompositeColorSegmenterResult directRun(const kv3PlanePelBuffer& image,
                                          const std::vector<Rect>& rects, double frac, uint32_t min,
                                          int neighborhood) {
    std::vector<kvCompositeColorSet> sets;
    for (const Rect& r : rects) {
        kvPelBuffer<unsigned char> mask(image.window());
        for (long y = 0; y < kH; ++y)
            for (long x = 0; x < kW; ++x)
                mask.pointToRow(y)[x] =
                    x >= r[0] && x < r[0] + r[2] && y >= r[1] && y < r[1] + r[3] ? 255 : 0;
        sets.emplace_back(std::vector<kvCompositeColor>{kvCompositeColor(image, mask)});
    }
    kvCompositeColorSegmenterTool tool;
    tool.train(sets, kvCompositeColorSegmenterTrainParams(frac, min));
    kvCompositeColorSegmenterResult result;
    tool.run(image, kvCompositeColorSegmenterRunParams(neighborhood, false), result);
    return result;
}

struct Frame {
    json meta;
    Bytes pixels;
};
Frame parseFrame(const std::string& body) {
    uint32_t n = 0;
    for (int b = 0; b < 4 && b < int(body.size()); ++b) n |= uint32_t(uint8_t(body[b])) << (8 * b);
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
        imagePath_ = dir_ / "picture.png";
        writeColorImage(imagePath_, image_, ImageFormat::Png);
        session_.addImage("picture", imagePath_, image_);
        port_ = server_.bind(0);  // bound, so connects queue until serve() listens
        thread_ = std::thread([this] { server_.serve(); });
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client_->set_default_headers({{"X-Clsg-Token", kToken}});
    }
    void TearDown() override {
        server_.stop();
        thread_.join();
    }
    httplib::Result post(const std::string& path, const std::string& body,
                         const char* type = "application/json") {
        return client_->Post(path.c_str(), body, type);
    }
    json api(const std::string& path, const json& body, int expect = 200) {
        const httplib::Result r = post(path, body.dump());
        EXPECT_EQ(code(r), expect)
            << path << " " << body.dump() << " -> " << (r ? r->body : "none");
        return r ? json::parse(r->body, nullptr, false) : json();
    }
    void label(const char* name, const char* color = "#ff8800") {
        api("/api/labels", {{"op", "add"}, {"name", name}, {"color", color}});
    }
    void paint(long label, const Rect& r) {
        const Bytes values(static_cast<std::size_t>(r[2] * r[3]), static_cast<uint8_t>(label + 1));
        std::string q = "/api/marks?i=0";
        for (int k = 0; k < 4; ++k)
            q += "&" + std::string(1, "xywh"[k]) + "=" + std::to_string(r[k]);
        ASSERT_EQ(code(post(q, encodeRuns(values.data(), values.size()), kBinary)), 200);
    }
    Frame segment(const char* view = "labels") {
        const httplib::Result r = post("/api/segment", json{{"image", 0}, {"view", view}}.dump());
        EXPECT_EQ(code(r), 200) << (r ? r->body : "none");
        return r ? parseFrame(r->body) : Frame{};
    }
    void twoLabels() {
        label("orange");
        label("teal", "#008888");
        paint(0, kOrange);
        paint(1, kTeal);
    }

    const Rect kOrange{2, 3, 8, 6}, kTeal{28, 10, 6, 9};
    clsgtest::ScratchDir dir_;
    kv3PlanePelBuffer image_ = testImage();
    std::string imagePath_;
    StudioSession session_{dir_ / "out"};
    StudioServer server_{session_, kToken};
    int port_ = 0;
    std::thread thread_;
    std::unique_ptr<httplib::Client> client_;
};

TEST_F(StudioServerTest, TokenPageStateAndImageBytes) {
    httplib::Client bare("127.0.0.1", port_);
    const std::string wrong(32, 'a');
    for (const char* path :
         {"/", "/studio.js", "/api/state", "/api/image?i=0", "/api/marks?i=0", "/nowhere"}) {
        EXPECT_EQ(code(bare.Get(path)), 403) << path;
        EXPECT_EQ(code(bare.Get(path, {{"X-Clsg-Token", wrong}})), 403) << path;
        EXPECT_EQ(code(bare.Get(path, {{"X-Clsg-Token", std::string(kToken) + "0"}})), 403) << path;
        const std::string q =
            std::string(path) + (std::strchr(path, '?') ? "&" : "?") + "token=" + wrong;
        EXPECT_EQ(code(bare.Get(q.c_str())), 403) << path;
    }
    for (const char* path :
         {"/api/segment", "/api/labels", "/api/save", "/api/marks?i=0&x=0&y=0&w=1&h=1"})
        EXPECT_EQ(code(bare.Post(path, "{}", "application/json")), 403) << path;
    EXPECT_EQ(code(bare.Get((std::string("/?token=") + kToken).c_str())), 200);
    EXPECT_EQ(code(client_->Get("/nowhere")), 404);

    const httplib::Result page = client_->Get("/"), js = client_->Get("/studio.js");
    ASSERT_TRUE(code(page) == 200 && code(js) == 200);
    EXPECT_NE(page->body.find(std::string("studio.js?token=") + kToken), std::string::npos);
    EXPECT_EQ(page->body.find("__TOKEN__"), std::string::npos);
    EXPECT_EQ(js->get_header_value("Content-Type").rfind("text/javascript", 0), 0u);

    const json s = json::parse(client_->Get("/api/state")->body);
    EXPECT_EQ(s["images"][0]["name"], "picture");
    EXPECT_EQ(s["images"][0]["width"], kW);
    EXPECT_EQ(s["settings"]["neighborhood"], 3);
    std::string rgb;
    for (long at = 0; at < kW * kH; ++at)
        for (const auto* plane : {&image_.plane0(), &image_.plane1(), &image_.plane2()})
            rgb += char(plane->pointToRow(at / kW)[at % kW]);
    EXPECT_EQ(client_->Get("/api/image?i=0")->body, rgb);
    for (const std::string& bad :
         split("/api/image?i=1|/api/image|/api/image?i=-1|/api/image?i=x|/api/marks?i=99999999999"))
        EXPECT_EQ(code(client_->Get(bad.c_str())), 400) << bad;
}

// Label, confidence and score views equal the library's for the same marks;
// every setting change reaches the training or the run.
TEST_F(StudioServerTest, SegmentationEqualsTheLibrary) {
    twoLabels();
    Bytes previous;
    for (const auto& [frac, min, n] :
         {std::tuple<double, int, int>{0.1, 2, 3}, {0.1, 2, 5}, {0.1, 12, 5}, {0.3, 12, 5}}) {
        SCOPED_TRACE(testing::Message() << frac << " " << min << " " << n);
        api("/api/settings", settings(frac, min, n));
        const kvCompositeColorSegmenterResult direct =
            directRun(image_, {kOrange, kTeal}, frac, min, n);
        const Frame labels = segment("labels");
        EXPECT_EQ(labels.pixels, bytesOf(direct.labelImage()));
        EXPECT_EQ(segment("confidence").pixels, bytesOf(direct.confidenceImage()));
        const Bytes score = segment("score").pixels;
        EXPECT_EQ(score, bytesOf(direct.scoreImage()));
        EXPECT_NE(score, previous);
        previous = score;
        const std::vector<uint64_t> counts = labels.meta["counts"];
        ASSERT_EQ(counts.size(), 3u);
        EXPECT_TRUE(counts[0] > 0 && counts[1] > 0);
        EXPECT_EQ(counts[0] + counts[1] + counts[2], uint64_t(kW * kH));
        EXPECT_EQ(counts[0], uint64_t(std::count(labels.pixels.begin(), labels.pixels.end(), 0)));
    }
    // A window (cut to the image) is that part of the whole, with and without normalisation.
    for (bool normalize : {false, true}) {
        api("/api/settings", settings(0.1, 2, 5, normalize));
        const Bytes whole = segment("score").pixels;
        const httplib::Result r =
            post("/api/segment",
                 json{{"image", 0}, {"view", "score"}, {"window", {30, 20, 15, 40}}}.dump());
        ASSERT_EQ(code(r), 200);
        const Frame part = parseFrame(r->body);
        EXPECT_EQ(part.meta["window"], json({30, 20, 10, 10}));
        EXPECT_TRUE(part.meta["counts"].is_null());
        Bytes expected;
        for (long y = 20; y < 30; ++y)
            expected.insert(expected.end(), &whole[y * kW + 30], &whole[y * kW + 40]);
        EXPECT_EQ(part.pixels, expected) << normalize;
    }
    for (const std::string& body :
         split(R"({"window":[0,0,0,5]}|{"window":[1,2,3]}|{"window":[-1,0,5,5]}|)"
               R"({"window":[0,0,1.5,2]}|{"view":"nonsense"})"))
        EXPECT_EQ(code(post("/api/segment", R"({"image":0,)" + body.substr(1))), 400) << body;
    EXPECT_EQ(code(post("/api/segment", R"({"image":0,"window":[50,0,5,5]})")), 422);
    EXPECT_EQ(code(post("/api/segment", R"({"image":3})")), 422);
}

TEST_F(StudioServerTest, TrainingFailuresAreMessagesNotCrashes) {
    const auto error = [&] {
        const httplib::Result r = post("/api/segment", R"({"image":0})");
        EXPECT_EQ(code(r), 422);
        return r ? json::parse(r->body)["error"].get<std::string>() : "";
    };
    EXPECT_NE(error().find("add a label"), std::string::npos);
    label("orange");
    label("teal");
    paint(0, kOrange);
    EXPECT_EQ(error(), "label teal has no marks yet: paint some pixels with it");
    paint(1, kTeal);
    segment();
    paint(-1, kTeal);  // erasing a label's last marks fails again
    EXPECT_NE(error().find("teal"), std::string::npos);
    EXPECT_EQ(code(client_->Get("/api/state")), 200);
}

// Deleting a label removes its marks and renumbers later labels' marks; edits check input.
TEST_F(StudioServerTest, LabelEdits) {
    for (const char* name : {"a", "b", "c"}) label(name);
    paint(0, {0, 0, 2, 1});
    paint(2, {2, 0, 2, 1});
    api("/api/labels", {{"op", "rename"}, {"label", 1}, {"name", "bee"}});
    const json s = api("/api/labels", {{"op", "recolor"}, {"label", 2}, {"color", "#123ABC"}});
    EXPECT_EQ(s["labels"][1]["name"], "bee");
    EXPECT_EQ(s["labels"][2]["color"], "#123abc");
    const json d = api("/api/labels", {{"op", "delete"}, {"label", 0}});
    ASSERT_EQ(d["labels"].size(), 2u);
    EXPECT_EQ(d["labels"][1]["name"], "c");
    Bytes marks;
    ASSERT_TRUE(decodeRuns(client_->Get("/api/marks?i=0")->body, kW * kH, marks));
    EXPECT_EQ(Bytes(marks.begin(), marks.begin() + 5), (Bytes{0, 0, 2, 2, 0}));
    // Taken or ill-formed names and colours, missing or ill-typed label numbers, unknown ops.
    for (
        const std::string& bad : split(
            R"({"op":"add","name":"c","color":"#000000"}/422|{"op":"add","name":"a b","color":"#000000"}/422|)"
            R"({"op":"add","name":"x","color":"#12345g"}/400|{"op":"add","name":7,"color":"#000000"}/400|)"
            R"({"op":"rename","label":2,"name":"x"}/422|{"op":"rename","label":-1,"name":"x"}/400|)"
            R"({"op":"rename","label":1.5,"name":"x"}/400|{"op":"rename","label":0,"name":"c"}/422|)"
            R"({"op":"delete","label":"0"}/400|{"op":"explode"}/400)"))
        EXPECT_EQ(code(post("/api/labels", bad.substr(0, bad.size() - 4))),
                  std::stoi(bad.substr(bad.size() - 3)))
            << bad;
    EXPECT_EQ(json::parse(client_->Get("/api/state")->body)["labels"].size(), 2u);
}

TEST_F(StudioServerTest, MalformedAndOversizedBodies) {
    for (const char* body : {"{bad", "", "[]", "42", "\xff\xfe"}) {
        const httplib::Result r = post("/api/labels", body);
        EXPECT_EQ(code(r), 400) << body;
        EXPECT_TRUE(r && !json::parse(r->body)["error"].get<std::string>().empty());
    }
    EXPECT_EQ(code(post("/api/save",
                        "{\"file\":\"" + std::string(StudioServer::kMaxJsonBody, 'a') + "\"}")),
              413);
    json missing = settings(0.1, 2, 3);
    missing.erase("normalize");
    api("/api/settings", missing, 400);
    for (const json& c :
         json::parse("[[1.5,2,3,false,422],[0.1,-1,3,false,400],[0.1,2,0,false,400],"
                     "[0.1,2,256,false,400],[0.1,2,3,1,400]]"))
        api("/api/settings", settings(c[0], c[1], c[2], c[3]), c[4]);

    label("a");
    const std::string one = encodeRuns(Bytes(4, 1).data(), 4),
                      two = encodeRuns(Bytes(4, 2).data(), 4);
    // Truncated, too few, too many, a zero run, outside the image, missing size, no such image.
    const std::string bodies[] = {one, one.substr(0, 1), std::string("\x01\x00", 2)};
    for (const std::string& c :
         split("1x=0&y=0&w=2&h=2|0x=0&y=0&w=2&h=3|0x=0&y=0&w=1&h=2|2x=0&y=0&w=2&h=2|"
               "0x=39&y=0&w=2&h=2|0x=0&y=29&w=2&h=2|0x=0&y=0&w=2|0x=0&y=0&w=2&h=2&i=1")) {
        const std::string query = (c.find("i=1") == std::string::npos ? "i=0&" : "") + c.substr(1);
        const std::string& body = bodies[c[0] - '0'];
        EXPECT_EQ(code(post("/api/marks?" + query, body, kBinary)), 400) << query;
    }
    EXPECT_EQ(code(post("/api/marks?i=0&x=0&y=0&w=2&h=2", two, kBinary)),
              422);  // there is one label
    EXPECT_EQ(code(post("/api/marks?i=0&x=0&y=0&w=1&h=1", std::string(64, '\x01'), kBinary)), 413);
}

// Saved tools are what clsg run reads; the page names files, never paths.
TEST_F(StudioServerTest, SaveWritesOnlyIntoTheOutputDirectory) {
    twoLabels();
    const json saved = api("/api/save", {{"file", "mine"}});
    EXPECT_EQ(saved["path"], dir_ / "out/mine.clsg");
    const ToolFile file = readToolFile(saved["path"]);
    EXPECT_EQ(file.labelNames(), (std::vector<std::string>{"orange", "teal"}));
    kvCompositeColorSegmenterResult run;
    file.tool.run(image_, kvCompositeColorSegmenterRunParams(3, false), run);
    EXPECT_EQ(bytesOf(run.labelImage()), segment().pixels);

    fs::create_directories(dir_ / "elsewhere");
    fs::create_symlink(dir_ / "elsewhere/target.clsg", dir_ / "out/link.clsg");
    fs::create_symlink(dir_ / "elsewhere", dir_ / "out/linkdir");
    for (std::string name :
         split("../escape|../escape.clsg|a/b|.hidden||..|tab\there|x\\y|link.clsg|" +
               std::string(200, 'a') + "|" + dir_ / "elsewhere/x")) {
        api("/api/save", {{"file", name}}, 422);
        api("/api/export", {{"dir", name}}, 422);
    }
    api("/api/save", {{"file", "link"}}, 422);
    api("/api/export", {{"dir", "linkdir"}}, 422);
    fs::create_directories(dir_ /
                           "out/masks");  // a linked folder inside the export's is no way out
    fs::create_symlink(dir_ / "elsewhere", dir_ / "out/masks/teal");
    api("/api/export", {{"dir", "masks"}}, 422);
    EXPECT_TRUE(fs::is_empty(dir_ / "elsewhere"));
    EXPECT_FALSE(fs::exists(dir_ / "escape.clsg") || fs::exists(dir_ / "escape"));
}

// The exported command line, run by the real program, trains the page's tool.
TEST_F(StudioServerTest, ExportedCommandTrainsTheSameTool) {
    twoLabels();
    api("/api/settings", settings(0.15, 3, 3));
    const json exported = api("/api/export", {{"dir", "masks"}});
    const std::string command = exported["command"];
    EXPECT_EQ(exported["files"].size(), 3u);  // two masks and the command
    const std::string line = "'" CLSG_CLI_PATH "'" + command.substr(4) + " >/dev/null";
    ASSERT_EQ(std::system(line.c_str()), 0) << line;
    EXPECT_EQ(clsgtest::slurp(dir_ / "out/masks/train-command.txt"), command + "\n");
    const ToolFile trained = readToolFile(dir_ / "out/masks/tool.clsg");
    kvCompositeColorSegmenterResult fromCommand, fromPage;
    trained.tool.run(image_, kvCompositeColorSegmenterRunParams(3, false), fromCommand);
    readToolFile(api("/api/save", {{"file", "page"}})["path"])
        .tool.run(image_, {3, false}, fromPage);
    EXPECT_EQ(bytesOf(fromCommand.labelImage()), bytesOf(fromPage.labelImage()));
    EXPECT_EQ(bytesOf(fromCommand.scoreImage()), bytesOf(fromPage.scoreImage()));
    ASSERT_EQ(trained.labels.size(), 2u);
    EXPECT_EQ(trained.labels[0].color, 0xff8800u);
    EXPECT_EQ(trained.labels[1].color, 0x008888u);
}

// A tool reopened in a new session brings its labels, settings and marks.
TEST_F(StudioServerTest, ReopenedToolKeepsItsMarks) {
    twoLabels();
    paint(0, {12, 20, 2, 2});  // the box around orange's marks holds unmarked pixels
    api("/api/settings", settings(0.2, 4, 5));
    const std::string path = api("/api/save", {{"file", "t"}})["path"];

    StudioSession reopened(dir_ / "out");
    reopened.addImage("picture", imagePath_, readColorImage(imagePath_));
    reopened.loadTool(path);
    ASSERT_EQ(reopened.images().size(), 1u);  // the example matched the open image
    const Bytes& marks = reopened.images()[0].marks;
    EXPECT_EQ(encodeRuns(marks.data(), marks.size()), client_->Get("/api/marks?i=0")->body);
    EXPECT_EQ(reopened.labels()[1].name, "teal");
    EXPECT_EQ(reopened.labels()[1].color, 0x008888u);
    EXPECT_EQ(reopened.settings().toleranceFrac, 0.2);
    EXPECT_EQ(reopened.settings().toleranceMin, 4u);
    EXPECT_EQ(reopened.settings().neighborhood, 5);
    EXPECT_EQ(reopened.segment(0, StudioView::Labels).pixels, segment().pixels);

    StudioSession alone(dir_ / "out");  // without the open image, each example's part is added
    alone.loadTool(path);
    ASSERT_EQ(alone.images().size(), 2u);
    EXPECT_EQ(alone.images()[0].pixels.width(), 12);
    EXPECT_EQ(alone.images()[0].pixels.height(), 19);
    const Bytes& orange = alone.images()[0].marks;
    EXPECT_EQ(std::count(orange.begin(), orange.end(), 1), 8 * 6 + 2 * 2);
    EXPECT_EQ(std::count(orange.begin(), orange.end(), 0), 12 * 19 - 8 * 6 - 2 * 2);
    EXPECT_EQ(orange[(20 - 3) * 12 + (12 - 2)], 1);
    EXPECT_EQ(alone.images()[1].marks, Bytes(6 * 9, 2));
    EXPECT_THROW(alone.loadTool(path), StudioError);  // the names are taken now
}

TEST_F(StudioServerTest, OpensUploadedImages) {
    const json s =
        json::parse(post("/api/images?name=up.png", clsgtest::slurp(imagePath_), kBinary)->body);
    ASSERT_EQ(s["images"].size(), 2u);
    EXPECT_EQ(s["images"][1]["name"], "up");
    EXPECT_EQ(s["images"][1]["path"], "");
    EXPECT_EQ(code(post("/api/images?name=x.png", "not an image", kBinary)), 422);
    // What a plain curl --data-binary sends: refused with a way out.
    const httplib::Result form = post("/api/images?name=up.png", std::string(20000, 'x'),
                                      "application/x-www-form-urlencoded");
    EXPECT_EQ(code(form), 413);
    EXPECT_NE(json::parse(form->body)["error"].get<std::string>().find("octet-stream"),
              std::string::npos);
}

// A segment request arriving while another works stops it: the older answers 409.
TEST_F(StudioServerTest, ANewerSegmentRequestStopsTheOlder) {
    twoLabels();
    kv3PlanePelBuffer big(kvPelRect(0, 0, 1500, 1500));
    for (const kvPelBuffer<unsigned char>* p : {&big.plane0(), &big.plane1(), &big.plane2()})
        for (long y = 0; y < 1500; ++y)
            for (long x = 0; x < 1500; ++x) p->pointToRow(y)[x] = static_cast<unsigned char>(x ^ y);
    session_.addImage("big", "", big);
    int older = 0;
    for (int attempt = 0; attempt < 8 && older != 409; ++attempt) {
        api("/api/settings", settings(0.1, 2, 15 + 2 * attempt));
        std::thread slow([&] {
            httplib::Client c("127.0.0.1", port_);
            c.set_default_headers({{"X-Clsg-Token", kToken}});
            older = code(c.Post("/api/segment", R"({"image":1})", "application/json"));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + 30 * attempt));
        EXPECT_EQ(code(post("/api/segment", R"({"image":0})")), 200);
        slow.join();
        EXPECT_TRUE(older == 200 || older == 409) << older;
    }
    EXPECT_EQ(older, 409);
}

// Thousands of random, malformed requests from three clients at once: all answered, server works
// after.
TEST_F(StudioServerTest, SurvivesRandomRequests) {
    twoLabels();
    const std::vector<std::string> paths = split(
        "/api/state|/api/image|/api/marks|/api/labels|/api/settings|/api/segment|/api/save|/api/"
        "export|"
        "/api/images|/|/api/|/api/segment/x|/%00|/..");
    const std::vector<std::string> bodies = split(
        R"(|{}|{"image":0}|{"image":0,"view":"score"}|{"op":"delete","label":0}|)"
        R"({"op":"add","name":"n","color":"#000000"}|{"file":"f"}|{"dir":"d"}|[1,2|{"image":1e999}|)"
        "\x01\x05\x02\x05|{\"a\":{\"b\":[[[[[]]]]]}}");
    const std::vector<std::string> queries = split(
        "|?i=0|?i=0&x=0&y=0&w=5&h=1|?i=0&x=-1|?name=../../"
        "x|?i=0&x=0&y=0&w=40&h=30|?i=%ff|?i=0&i=1");
    std::atomic<int> answered{0};
    const auto client = [&](unsigned seed) {
        std::mt19937 random(seed);
        httplib::Client c("127.0.0.1", port_);
        c.set_default_headers({{"X-Clsg-Token", kToken}});
        const auto pick = [&](const std::vector<std::string>& v) { return v[random() % v.size()]; };
        for (int i = 0; i < 1000; ++i) {
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
                ADD_FAILURE() << path << " " << body << " -> " << (r ? r->body : "none");
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 3; ++t) threads.emplace_back(client, 100 + t);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(answered, 3000);
    EXPECT_EQ(code(client_->Get("/api/state")), 200);
}

TEST(StudioRuns, RoundTripsAndRefusesMalformedText) {
    Bytes data(1000, 7), out;
    data[0] = 1;
    std::fill(data.begin() + 500, data.end(), 255);
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

// The program reopens a saved tool's marks, prints its address, answers, and stops cleanly on
// Ctrl-C.
TEST(StudioCommand, ReopensAToolAndStopsOnInterrupt) {
    clsgtest::ScratchDir dir;
    writeColorImage(dir / "p.png", testImage(), ImageFormat::Png);
    StudioSession saved(dir / "o");
    saved.addImage("p", dir / "p.png", testImage());
    saved.addLabel("orange");
    saved.addLabel("teal");
    saved.paintMarks(0, 2, 3, 4, 2, Bytes(8, 1));
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
    std::string line, rest;
    for (char c; read(out[0], &c, 1) == 1 && c != '\n';) line += c;
    const std::size_t at = line.find("http://127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << line;
    httplib::Client c("127.0.0.1", std::stoi(line.substr(at + 17)));
    const httplib::Headers auth = {{"X-Clsg-Token", line.substr(line.find("token=") + 6, 32)}};
    EXPECT_EQ(json::parse(c.Get("/api/state", auth)->body)["labels"][1]["color"],
              colorText(saved.labels()[1].color));
    const Bytes& marks = saved.images()[0].marks;
    EXPECT_EQ(c.Get("/api/marks?i=0", auth)->body, encodeRuns(marks.data(), marks.size()));
    EXPECT_EQ(code(c.Get("/api/state")), 403);
    kill(pid, SIGINT);
    int raw = 0;
    waitpid(pid, &raw, 0);
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << raw;
    for (char c; read(out[0], &c, 1) == 1;) rest += c;
    close(out[0]);
    EXPECT_NE(rest.find("stopped"), std::string::npos);
}

}  // namespace
