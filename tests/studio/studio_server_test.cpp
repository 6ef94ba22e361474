// The studio's HTTP API on 127.0.0.1: token, escapes from the output directory, bad input.
#include "studio/studio_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "../cli/png_fixture.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/io/errors.h"
#include "clsg/io/image_io.h"
#include "clsg/io/label_colors.h"
#include "clsg/io/tool_file.h"
#include "clsg/platform/pel_ops.h"
#include "clsg/tuning/search_warnings.h"
#include "clsg/tuning/suggest_params.h"
#include "studio/session_files.h"
#include "studio/session_lock.h"
#include "studio/studio_paths.h"
#include "studio/studio_runs.h"

using namespace clsg;

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Bytes = std::vector<uint8_t>;
const char* const kToken = "0123456789abcdef0123456789abcdef";
const char* const kBinary = "application/octet-stream";
constexpr long kW = 40, kH = 30;

kv3PlanePelBuffer testImage() {  // orange left, teal right, a grey band between; a little texture
    kv3PlanePelBuffer image(kvPelRect(0, 0, kW, kH));
    const int base[3][3] = {{230, 140, 30}, {128, 128, 128}, {20, 150, 160}};
    const std::array planes{&image.plane0(), &image.plane1(), &image.plane2()};
    for (long y = 0, x = 0; y < kH; x = (x + 1) % kW, y += !x)
        for (int k = 0; k < 3; ++k)
            planes[k]->pointToRow(y)[x] = base[(x >= 16) + (x >= 24)][k] + (x * 7 + y * 13) % 9;
    return image;
}

int code(const httplib::Result& r) { return r ? r->status : -1; }
json settings(double f, int m, int n, json norm = false) {
    return {{"toleranceFrac", f}, {"toleranceMin", m}, {"neighborhood", n}, {"normalize", norm}};
}
std::vector<std::string> split(const std::string& text) {  // '|'-separated
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, '|');) out.push_back(item);
    return out;
}
Bytes bytesOf(const kvPelBuffer_const<unsigned char>& b) {
    Bytes out;
    for (long y = 0; y < b.height(); ++y)
        out.insert(out.end(), b.pointToRow(y), b.pointToRow(y) + b.width());
    return out;
}

struct Frame {
    json meta;
    Bytes pixels;
};
Frame parseFrame(const std::string& body) {
    uint32_t n = 0;
    for (int b = 0; b < 4; ++b) n |= uint32_t(uint8_t(body.at(b))) << (8 * b);
    Frame f{json::parse(body.substr(4, n)), Bytes(body.begin() + 4 + n, body.end())};
    const std::size_t size = f.meta["window"][2].get<int>() * f.meta["window"][3].get<int>();
    EXPECT_TRUE(f.meta["encoding"] == "raw" || decodeRuns(body.substr(4 + n), size, f.pixels));
    return f;
}

class StudioServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeColorImage(imagePath_, image_, ImageFormat::Png);
        session_.addImage("picture", imagePath_, image_);
        port_ = server_.bind(0);  // bound, so connects queue until serve() listens
        thread_ = std::thread([this] { server_.serve(); });
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client_->set_default_headers({{"X-Clsg-Token", kToken}});
    }
    void TearDown() override { server_.stop(), thread_.join(); }
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
    void paint(long label, const std::array<long, 4>& r) {
        const Bytes values(r[2] * r[3], uint8_t(label + 1));
        char q[96];
        snprintf(q, sizeof q, "/api/marks?i=0&x=%ld&y=%ld&w=%ld&h=%ld", r[0], r[1], r[2], r[3]);
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

    const std::array<long, 4> kOrange{2, 3, 8, 6}, kTeal{28, 10, 6, 9};
    clsgtest::ScratchDir dir_;
    kv3PlanePelBuffer image_ = testImage();
    std::string imagePath_ = dir_ / "picture.png";
    StudioSession session_{dir_ / "out"};
    StudioServer server_{session_, kToken};
    int port_ = 0;
    std::thread thread_;
    std::unique_ptr<httplib::Client> client_;
};

// Label, confidence and score views equal those of the tool the exported command trains.
TEST_F(StudioServerTest, SegmentationEqualsTheExportedTool) {
    twoLabels();
    Bytes previous;
    int round = 0;
    for (const json& c :
         json::parse("[[0.1,2,3,false],[0.1,2,5,false],[0.1,12,5,true],[0.3,12,5,false]]")) {
        const int n = c[2];
        api("/api/settings", settings(c[0], c[1], n, c[3]));
        // The exported command line, run by the real program, trains the page's tool.
        const std::string dir = "m" + std::to_string(round++);
        const json exported = api("/api/export", {{"dir", dir}});
        const std::string command = exported["command"], run = exported["runCommand"];
        ASSERT_EQ(
            std::system(("'" CLSG_CLI_PATH "'" + command.substr(command.find(" train "))).c_str()),
            0);
        // With the run line, as a comment: the neighbourhood and normalisation of the page.
        EXPECT_EQ(clsgtest::slurp(dir_ / ("out/" + dir + "/train-command.txt")),
                  command + "\n# then, to segment as the studio does:\n# " + run + "\n");
        EXPECT_TRUE(run.find(" run " + dir_ / ("out/" + dir + "/tool.clsg") + " ") !=
                        std::string::npos &&
                    run.find(" --neighborhood " + std::to_string(n)) != std::string::npos)
            << run;
        EXPECT_EQ(run.find("--normalize-intensity") != std::string::npos, bool(c[3])) << run;
        const ToolFile trained = readToolFile(dir_ / ("out/" + dir + "/tool.clsg"));
        EXPECT_EQ(trained.labels.at(1).color, 0x008888u);
        kvCompositeColorSegmenterResult direct;
        trained.tool.run(image_, kvCompositeColorSegmenterRunParams(n, c[3]), direct);
        const Frame labels = segment("labels");
        EXPECT_EQ(labels.pixels, bytesOf(direct.labelImage()));
        EXPECT_EQ(segment("confidence").pixels, bytesOf(direct.confidenceImage()));
        const Bytes score = segment("score").pixels;
        EXPECT_EQ(score, bytesOf(direct.scoreImage())) << c;
        EXPECT_NE(score, std::exchange(previous, score));
        const std::vector<uint64_t> counts = labels.meta["counts"];
        EXPECT_EQ(counts[0] + counts[1] + counts[2], uint64_t(kW * kH));
        EXPECT_EQ(counts[0], uint64_t(std::count(labels.pixels.begin(), labels.pixels.end(), 0)));
        // A window, cut to the image, is that part of the whole.
        const json request = {{"image", 0}, {"view", "score"}, {"window", {30, 20, 15, 40}}};
        const Frame part = parseFrame(post("/api/segment", request.dump())->body);
        EXPECT_EQ(part.meta["window"], json({30, 20, 10, 10}));
        Bytes expected;
        for (long y = 20; y < 30; ++y)
            expected.insert(expected.end(), &score[y * kW + 30], &score[y * kW + 40]);
        EXPECT_EQ(part.pixels, expected);
    }
    for (const json& c : json::parse(R"([[{"image":0,"window":[0,0,0,5]},400], [{"image":3},422],
            [{"image":0,"window":[1,2,3]},400], [{"image":0,"window":[-1,0,5,5]},400],
            [{"image":0,"view":"x"},400], [{"image":0,"window":[50,0,5,5]},422]])"))
        api("/api/segment", c[0], c[1]);
    paint(-1, kTeal);  // erasing a label's last marks leaves it out; erasing all fails
    EXPECT_EQ(segment().meta["counts"][1], 0);
    paint(-1, kOrange);
    api("/api/segment", {{"image", 0}},
        422);  // An image whose file name holds the characters --label escapes is named, escaped.
    const std::string odd = dir_ / "a\\b,c:d@e.png";
    writeColorImage(odd, image_, ImageFormat::Png);
    session_.addImage("odd", odd, image_);
    for (const char* at : {"x=0&y=0&w=2&h=2", "x=30&y=10&w=2&h=2"})  // orange, then teal
        ASSERT_EQ(code(post(std::string("/api/marks?i=1&") + at,
                            encodeRuns(Bytes(4, at[2] == '0' ? 1 : 2).data(), 4), kBinary)),
                  200);
    const std::string command = api("/api/export", {{"dir", "odd"}})["command"];
    EXPECT_NE(command.find("a\\\\b\\,c\\:d\\@e.png:"), std::string::npos) << command;
    ASSERT_EQ(
        std::system(("'" CLSG_CLI_PATH "'" + command.substr(command.find(" train "))).c_str()), 0);
    const ToolFile trained = readToolFile(dir_ / "out/odd/tool.clsg");
    EXPECT_EQ(trained.tool.compositeColors()[1].instances().size(), 1u);
    EXPECT_EQ(trained.labels.at(1).sources.size(), 1u) << command;

    // Two images of one file name: the run line segments each into a folder of its own.
    fs::create_directories(dir_ / "sub");
    writeColorImage(dir_ / "sub/picture.png", image_, ImageFormat::Png);
    session_.addImage("picture-2", dir_ / "sub/picture.png", image_);
    const json both = api("/api/export", {{"dir", "twice"}});
    const std::string trainBoth = both["command"];
    ASSERT_EQ(
        std::system(("'" CLSG_CLI_PATH "'" + trainBoth.substr(trainBoth.find(" train "))).c_str()),
        0);
    std::string twice = both["runCommand"];
    for (std::size_t at = 0; (at = twice.find("clsg run ", at)) != std::string::npos;)
        twice.replace(at, 4, "'" CLSG_CLI_PATH "'"), at += 4;
    EXPECT_NE(twice.find(" --out " + dir_ / "out/segmented-2 "), std::string::npos) << twice;
    EXPECT_EQ(std::system((twice + " > /dev/null").c_str()), 0) << twice;
    EXPECT_TRUE(fs::exists(dir_ / "out/segmented/picture-labels.png") &&
                fs::exists(dir_ / "out/segmented-2/picture-labels.png"));

    // An image file changed since the studio read it: the command trains on
    // the studio's copy, exported beside the masks, and the answer says so.
    kv3PlanePelBuffer inverted = kfPelCopy(image_);
    for (kvPelBuffer<unsigned char> plane :
         {inverted.plane0(), inverted.plane1(), inverted.plane2()})
        for (long y = 0; y < kH; ++y)
            for (long x = 0; x < kW; ++x) plane.pointToRow(y)[x] ^= 0xff;
    writeColorImage(odd, inverted, ImageFormat::Png);
    const json changed = api("/api/export", {{"dir", "changed"}});
    ASSERT_EQ(changed["notes"].size(), 1u) << changed.dump();
    // The run line shown names the file: it segments what the file holds now. Save
    // tool's says so too.
    const std::string now =
        "; the run line segments the file as it is now, not the picture the page shows";
    EXPECT_NE(changed["notes"][0].get<std::string>().find(now), std::string::npos);
    const json saved = api("/api/save", {{"file", "t.clsg"}});
    ASSERT_EQ(saved["notes"].size(), 1u) << saved.dump();
    EXPECT_NE(saved["notes"][0].get<std::string>().find(
                  "no longer holds the picture the studio read from it" + now),
              std::string::npos);
    // A label renamed since an export into the same folder: its old folder is said.
    api("/api/labels", {{"op", "rename"}, {"label", 1}, {"name", "green"}});
    const json renamed = api("/api/export", {{"dir", "changed"}});
    ASSERT_EQ(renamed["notes"].size(), 2u) << renamed.dump();
    EXPECT_EQ(renamed["notes"][1],
              "changed also holds teal from before, which are not labels now; "
              "train-command.txt leaves them out");
    api("/api/labels", {{"op", "rename"}, {"label", 1}, {"name", "teal"}});
    EXPECT_NE(changed["notes"][0].get<std::string>().find("no longer holds the picture"),
              std::string::npos);
    const std::string again = changed["command"];
    ASSERT_EQ(std::system(("'" CLSG_CLI_PATH "'" + again.substr(again.find(" train "))).c_str()),
              0);
    kvCompositeColorSegmenterResult ran;
    readToolFile(dir_ / "out/changed/tool.clsg")
        .tool.run(image_, kvCompositeColorSegmenterRunParams(5, false), ran);
    EXPECT_EQ(segment("labels").pixels, bytesOf(ran.labelImage())) << again;
    // A file removed since is said to be gone, not to hold another picture.
    fs::remove(odd);
    const std::string gone =
        odd +
        " is gone; the studio's copy is exported as gone/odd.png; the run line names the "
        "file, and cannot read it until it is back";
    EXPECT_EQ(api("/api/export", {{"dir", "gone"}})["notes"][0], gone);
    EXPECT_EQ(api("/api/save", {{"file", "t.clsg"}})["notes"][0],
              odd + " is gone; the run line names the file, and cannot read it until it is back");
}

double distance(const std::string& hex, uint32_t b) {
    uint32_t a = 0;
    EXPECT_TRUE(parseColorText(hex, &a)) << hex;
    double d = 0;
    for (int s : {16, 8, 0}) d += std::pow(double(a >> s & 255) - double(b >> s & 255), 2);
    return std::sqrt(d);
}

// A label without marks is left out until painted (saving says so); colours follow names and
// marks until one is chosen; inserting makes room in the marks.
TEST_F(StudioServerTest, UnmarkedLabelsWaitAndColoursFollowNamesAndMarks) {
    session_.setProgram("/opt/my tools/clsg");
    for (const char* name : {"teal", "shadow", "stuff"})
        api("/api/labels", {{"op", "add"}, {"name", name}});
    paint(0, kTeal);
    paint(2, kOrange);
    const Frame f = segment();
    EXPECT_EQ(f.meta["counts"][1], 0);
    const json labels = f.meta["labels"];
    EXPECT_EQ(labels[0]["color"], "#008080");  // its name's colour, not its marks'
    EXPECT_LT(distance(labels[2]["color"], 0xea9222), 40) << labels;  // near its marks' mean
    EXPECT_EQ(labels[1]["marked"].dump() + labels[2]["marked"].dump(), "falsetrue");
    // The same as a session that never had the label, its values moved past it.
    StudioSession without(dir_ / "o2");
    without.addImage("p", "", image_);
    without.addLabel("teal");
    without.addLabel("stuff");
    for (const auto& [label, r] : {std::pair{1, kTeal}, {2, kOrange}})
        without.paintMarks(0, r[0], r[1], r[2], r[3], Bytes(r[2] * r[3], uint8_t(label)));
    Bytes expected = without.segment(0, StudioView::Labels).pixels;
    std::replace(expected.begin(), expected.end(), uint8_t(1), uint8_t(2));
    EXPECT_EQ(f.pixels, expected);
    EXPECT_NE(api("/api/save", {{"file", "t"}}, 422).dump().find("shadow has no marks"),
              std::string::npos);
    paint(2, {16, 0, 2, 2});  // a few grey pels: the colour stays
    EXPECT_EQ(segment().meta["labels"][2]["color"], labels[2]["color"]);

    const auto colorOf = [&](int label, const json& change) {
        return api("/api/labels", change)["labels"][label];
    };
    EXPECT_EQ(colorOf(2, {{"op", "recolor"}, {"label", 2}, {"color", "#010203"}}).dump(),
              R"({"auto":false,"color":"#010203","marked":true,"name":"stuff"})");
    // Undone with the colour it had (as the page undoes a choice): that colour, though derived
    // afresh from the marks now it would differ a little.
    const json undone = {
        {"op", "recolor"}, {"label", 2}, {"color", nullptr}, {"was", labels[2]["color"]}};
    EXPECT_EQ(colorOf(2, undone)["color"], labels[2]["color"]);
    // So does a rename undone, to a colour's name and back.
    EXPECT_EQ(colorOf(2, {{"op", "rename"}, {"label", 2}, {"name", "Blue"}})["color"], "#0000ff");
    EXPECT_EQ(colorOf(2, {{"op", "rename"},
                          {"label", 2},
                          {"name", "stuff"},
                          {"was", labels[2]["color"]}})["color"],
              labels[2]["color"]);
    colorOf(2, {{"op", "recolor"}, {"label", 2}, {"color", "#010203"}});
    EXPECT_LT(distance(colorOf(2, {{"op", "recolor"}, {"label", 2}, {"color", nullptr}})["color"],
                       0xea9222),
              40);
    EXPECT_EQ(colorOf(2, {{"op", "rename"}, {"label", 2}, {"name", "Red"}})["color"], "#ff0000");
    api("/api/labels", {{"op", "insert"}, {"label", 0}, {"name", "first"}, {"color", nullptr}});
    api("/api/labels", {{"op", "insert"}, {"label", 5}, {"name", "far"}}, 422);
    Bytes marks;
    ASSERT_TRUE(decodeRuns(client_->Get("/api/marks?i=0")->body, kW * kH, marks));
    EXPECT_EQ(marks[kTeal[1] * kW + kTeal[0]], 2);
    EXPECT_EQ(marks[kOrange[1] * kW + kOrange[0]], 4);

    api("/api/labels", {{"op", "delete"}, {"label", 0}});

    // Once every label has marks, the tool saves, with the image each example came from.
    paint(1, {18, 0, 4, 30});
    const json saved = api("/api/save", {{"file", "t"}});
    for (const ToolLabel& l : readToolFile(saved["path"]).labels)
        EXPECT_EQ(l.sources, std::vector{imagePath_}) << l.name;
    EXPECT_EQ(saved["command"].get<std::string>().rfind("'/opt/my tools/clsg' run ", 0), 0u)
        << saved;
}

// Previews: a small picture of every image with its segmentation, before and after training.
TEST_F(StudioServerTest, PreviewsShowEveryImageSegmented) {
    kv3PlanePelBuffer other(kvPelRect(0, 0, kW, kH));  // the test image mirrored
    for (auto [to, from] : {std::pair{&other.plane0(), &image_.plane0()},
                            {&other.plane1(), &image_.plane1()},
                            {&other.plane2(), &image_.plane2()}})
        for (long y = 0; y < kH; ++y)
            for (long x = 0; x < kW; ++x) to->pointToRow(y)[x] = from->pointToRow(y)[kW - 1 - x];
    writeColorImage(dir_ / "other.png", other, ImageFormat::Png);
    ASSERT_EQ(
        code(post("/api/images?name=other.png", clsgtest::slurp(dir_ / "other.png"), kBinary)),
        200);
    const auto preview = [&](int image, int size) {
        const httplib::Result r =
            post("/api/preview", json{{"image", image}, {"size", size}}.dump());
        EXPECT_EQ(code(r), 200) << (r ? r->body : "none");
        uint32_t n = 0;
        for (int b = 0; b < 4; ++b) n |= uint32_t(uint8_t(r->body.at(b))) << (8 * b);
        return Frame{json::parse(r->body.substr(4, n)),
                     Bytes(r->body.begin() + 4 + n, r->body.end())};
    };
    // Untrained: the picture alone, each pel the mean of the 4 x 4 (or 4 x 3) it covers.
    Frame p = preview(1, 10);
    ASSERT_EQ(p.meta["width"].dump() + p.meta["height"].dump() + p.meta["counts"].dump(),
              "108null");
    ASSERT_EQ(p.pixels.size(), 10u * 8 * 4);
    for (long ty = 0; ty < 8; ++ty)
        for (long tx = 0; tx < 10; ++tx) {
            const long y0 = ty * kH / 8, y1 = (ty + 1) * kH / 8;
            for (int c = 0; c < 3; ++c) {
                const kvPelBuffer<unsigned char>& plane = c == 0   ? other.plane0()
                                                          : c == 1 ? other.plane1()
                                                                   : other.plane2();
                long sum = 0;
                for (long y = y0; y < y1; ++y)
                    for (long x = tx * 4; x < tx * 4 + 4; ++x) sum += plane.pointToRow(y)[x];
                const long n = (y1 - y0) * 4;
                EXPECT_EQ(p.pixels[3 * (ty * 10 + tx) + c], (sum + n / 2) / n) << tx << " " << ty;
            }
        }
    EXPECT_EQ(Bytes(p.pixels.begin() + 240, p.pixels.end()), Bytes(80, 255));
    api("/api/preview", {{"image", 2}, {"size", 10}}, 422);
    api("/api/preview", {{"image", 0}, {"size", 0}}, 400);

    twoLabels();  // painted on image 0 only: image 1 is segmented all the same
    for (int image : {1, 0, 1}) {
        p = preview(image, 16);
        const httplib::Result r = post("/api/segment", json{{"image", image}}.dump());
        const Frame whole = parseFrame(r->body);
        EXPECT_EQ(p.meta["counts"], whole.meta["counts"]) << image;
        EXPECT_GT(p.meta["counts"][image == 1 ? 1 : 0].get<int>(), 0);
        const long w = p.meta["width"], h = p.meta["height"];
        ASSERT_EQ(w * 10 + h, 16 * 10 + 12);
        for (long ty = 0; ty < h; ++ty)
            for (long tx = 0; tx < w; ++tx)
                ASSERT_EQ(
                    p.pixels[3 * w * h + ty * w + tx],
                    whole.pixels[(2 * ty + 1) * kH / (2 * h) * kW + (2 * tx + 1) * kW / (2 * w)]);
    }
}

// Deleting a label removes its marks and renumbers later labels' marks; edits check input.
TEST_F(StudioServerTest, LabelEdits) {
    for (const char* name : {"a", "b", "c"}) label(name);
    paint(0, {0, 0, 2, 1});
    paint(2, {2, 0, 2, 1});
    api("/api/labels", {{"op", "rename"}, {"label", 1}, {"name", "bee"}});
    const json s = api("/api/labels", {{"op", "recolor"}, {"label", 2}, {"color", "#123ABC"}});
    EXPECT_EQ(s["labels"][1]["name"].dump() + s["labels"][2]["color"].dump(), R"("bee""#123abc")");
    EXPECT_EQ(api("/api/labels", {{"op", "delete"}, {"label", 0}})["labels"][1]["name"], "c");
    Bytes marks;
    ASSERT_TRUE(decodeRuns(client_->Get("/api/marks?i=0")->body, kW * kH, marks));
    EXPECT_EQ(Bytes(marks.begin(), marks.begin() + 5), (Bytes{0, 0, 2, 2, 0}));
    // Taken or ill-formed names and colours, missing or ill-typed label numbers.
    for (const json& c : json::parse(R"([[{"op":"add","name":"c","color":"#000000"},422],
            [{"op":"add","name":"a b","color":"#000000"},422], [{"op":"add","name":"x","color":"#12345g"},400],
            [{"op":"rename","label":2,"name":"x"},422], [{"op":"rename","label":-1,"name":"x"},400], [{"op":"delete","label":"0"},400]])"))
        api("/api/labels", c[0], c[1]);
    EXPECT_EQ(json::parse(client_->Get("/api/state")->body)["labels"].size(), 2u);

    // A change the session file cannot take is made, and the answer says why.
    const fs::path file = session_.sessionPath();
    fs::remove(file), fs::create_directories(file / "in-the-way");
    const json kept = api("/api/labels", {{"op", "add"}, {"name", "d"}});
    EXPECT_EQ(kept["labels"].size(), 3u);
    EXPECT_NE(kept.value("sessionNotSaved", "").find("cannot save the session"), std::string::npos)
        << kept.dump();
    const std::string one = encodeRuns(Bytes(4, 3).data(), 4);
    const httplib::Result painted = post("/api/marks?i=0&x=0&y=0&w=2&h=2", one, kBinary);
    ASSERT_EQ(code(painted), 200);
    EXPECT_TRUE(json::parse(painted->body).contains("sessionNotSaved")) << painted->body;
    fs::remove_all(file);
    EXPECT_FALSE(api("/api/labels", {{"op", "add"}, {"name", "e"}}).contains("sessionNotSaved"));
    EXPECT_TRUE(fs::is_regular_file(file));
}

// Two windows on one session: a stroke that names the marks it replaces is
// refused where the other window painted meanwhile, and kept where it did not.
TEST_F(StudioServerTest, StrokeOverAnotherWindowsMarksIsRefused) {
    label("a"), label("b");
    const auto marks = [&] {
        Bytes m;
        EXPECT_TRUE(decodeRuns(client_->Get("/api/marks?i=0")->body, kW * kH, m));
        return m;
    };
    // Both windows saw empty marks; the page sends the digest in hex.
    const uint32_t empty = boxDigest(Bytes(4, 0).data(), 2, 0, 0, 2, 2);
    std::ostringstream hex;
    hex << std::hex << empty;
    const Bytes ones(4, 1);
    ASSERT_EQ(code(post("/api/marks?i=0&x=5&y=5&w=2&h=2&expect=" + hex.str(),
                        encodeRuns(ones.data(), 4), kBinary)),
              200);
    const Bytes afterFirst = marks();
    // The other window paints over part of that box, believing it empty.
    const Bytes twos(4, 2);
    const httplib::Result refused = post("/api/marks?i=0&x=6&y=6&w=2&h=2&expect=" + hex.str(),
                                         encodeRuns(twos.data(), 4), kBinary);
    ASSERT_EQ(code(refused), 409);
    EXPECT_EQ(json::parse(refused->body).value("marksChanged", false), true) << refused->body;
    EXPECT_NE(refused->body.find("changed in another window"), std::string::npos);
    EXPECT_EQ(marks(), afterFirst);
    // Beside it, or naming what is there now, or naming nothing, it is kept.
    EXPECT_EQ(code(post("/api/marks?i=0&x=7&y=7&w=2&h=2&expect=" + hex.str(),
                        encodeRuns(twos.data(), 4), kBinary)),
              200);
    const Bytes now = marks();
    const Bytes box{now[5 * kW + 5], now[5 * kW + 6], now[6 * kW + 5], now[6 * kW + 6]};
    EXPECT_EQ(boxDigest(now.data(), kW, 5, 5, 2, 2), boxDigest(box.data(), 2, 0, 0, 2, 2));
    EXPECT_EQ(boxDigest(reinterpret_cast<const uint8_t*>("a"), 1, 0, 0, 1, 1), 0xe40c292cu);
    std::ostringstream seen;
    seen << std::hex << boxDigest(now.data(), kW, 5, 5, 2, 2);
    EXPECT_EQ(code(post("/api/marks?i=0&x=5&y=5&w=2&h=2&expect=" + seen.str(),
                        encodeRuns(twos.data(), 4), kBinary)),
              200);
    EXPECT_EQ(marks()[5 * kW + 5], 2);
    EXPECT_EQ(code(post("/api/marks?i=0&x=5&y=5&w=2&h=2", encodeRuns(ones.data(), 4), kBinary)),
              200);
    // Painting by label numbers, or changing a label by its number (the undo
    // of an add or a deletion): refused when the labels are not those the
    // window knows, which another window has changed.
    const auto digestOf = [](const std::string& names) {
        std::ostringstream digest;
        digest << std::hex
               << boxDigest(reinterpret_cast<const uint8_t*>(names.data()), names.size(), 0, 0,
                            names.size(), 1);
        return digest.str();
    };
    const std::string ab = "a\nb", a = "a";
    for (const auto& [names, status] : {std::pair{ab, 200}, std::pair{a, 409}})
        EXPECT_EQ(code(post("/api/marks?i=0&x=9&y=9&w=2&h=2&labels=" + digestOf(names),
                            encodeRuns(ones.data(), 4), kBinary)),
                  status)
            << names;
    const json stale =
        api("/api/labels", {{"op", "delete"}, {"label", 1}, {"labels", digestOf(a)}}, 409);
    EXPECT_EQ(stale.value("marksChanged", false), true) << stale.dump();
    api("/api/labels", {{"op", "rename"}, {"label", 1}, {"name", "c"}, {"labels", "ABC"}}, 400);
    EXPECT_EQ(json::parse(client_->Get("/api/state")->body)["labels"].size(), 2u);
    EXPECT_EQ(
        api("/api/labels", {{"op", "delete"}, {"label", 1}, {"labels", digestOf(ab)}})["labels"]
            .size(),
        1u);
    for (const char* bad : {"", "123456789", "ABCDEF", "-1", "0x1f"})
        EXPECT_EQ(code(post(std::string("/api/marks?i=0&x=0&y=0&w=2&h=2&expect=") + bad,
                            encodeRuns(ones.data(), 4), kBinary)),
                  400)
            << bad;
}

// Every request needs the token; bad, oversized and random ones are refused, never crash.
TEST_F(StudioServerTest, TokenImageBytesAndBadRequests) {
    httplib::Client bare("127.0.0.1", port_);
    for (const char* path : {"/", "/api/state", "/api/save", "/nowhere"}) {
        EXPECT_EQ(code(bare.Get(path)), 403) << path;
        EXPECT_EQ(code(bare.Get(path, {{"X-Clsg-Token", std::string(32, 'a')}})), 403) << path;
        EXPECT_EQ(code(bare.Post(path, "{}", "application/json")), 403) << path;
    }
    EXPECT_EQ(code(bare.Get((std::string("/?token=") + kToken).c_str())), 200);
    std::string rgb;
    for (long at = 0; at < kW * kH; ++at)
        for (const auto* p : {&image_.plane0(), &image_.plane1(), &image_.plane2()})
            rgb += char(p->pointToRow(at / kW)[at % kW]);
    EXPECT_EQ(client_->Get("/api/image?i=0")->body, rgb);
    for (const std::string& bad : split("/api/image?i=1|/api/image?i=x|/api/marks?i=99999999999"))
        EXPECT_EQ(code(client_->Get(bad.c_str())), 400) << bad;
    EXPECT_EQ(client_->Get("/api/marks?i=99999999999")->body,
              json({{"error", "the query parameter i is larger than 1000000"}}).dump());
    EXPECT_EQ(code(client_->Get("/api/image?i=0000000000000000000000")), 200);
    for (const char* body : {"{bad", "", "[]"})
        EXPECT_EQ(code(post("/api/labels", body)), 400) << body;
    api("/api/save", {{"file", std::string(StudioServer::kMaxJsonBody, 'a')}}, 413);
    api("/api/settings", {{"toleranceFrac", 0.1}}, 400);
    for (const json& c : json::parse(
             "[[1.5,2,3,false,422],[0,2,3,false,422],[1e-90,2,3,false,422],[0.1,-1,3,false,400],"
             "[0.1,2,256,false,400],[0.1,256,3,false,400],[0.1,2,3,1,400]]"))
        api("/api/settings", settings(c[0], c[1], c[2], c[3]), c[4]);

    label("a");
    const std::string one = encodeRuns(Bytes(4, 1).data(), 4);
    // Truncated, too few, too many, a zero run, outside the image, missing size, no such image.
    const std::string bodies[] = {one, one.substr(0, 1), std::string("\x01\x00", 2)};
    for (const std::string& c : split(
             "1i=0&x=0&y=0&w=2&h=2|0i=0&x=0&y=0&w=2&h=3|0i=0&x=0&y=0&w=1&h=2|2i=0&x=0&y=0&w=2&h=2|"
             "0i=0&x=39&y=0&w=2&h=2|0i=0&x=0&y=0&w=2|0i=1&x=0&y=0&w=2&h=2"))
        EXPECT_EQ(code(post("/api/marks?" + c.substr(1), bodies[c[0] - '0'], kBinary)), 400) << c;
    // A label that is not there, then a body past the limit.
    const std::string two = encodeRuns(Bytes(4, 2).data(), 4);
    EXPECT_EQ(code(post("/api/marks?i=0&x=0&y=0&w=2&h=2", two, kBinary)), 422);
    EXPECT_EQ(code(post("/api/marks?i=0&x=0&y=0&w=1&h=1", std::string(64, '\x01'), kBinary)), 413);
    // Thousands of random, malformed requests from two clients at once: all answered.
    const std::vector<std::string>
        paths = split(
            "/api/state|/api/image|/api/marks|/api/labels|/api/settings|/api/segment|"
            "/api/save|/api/export|/api/images|/|/%00|/.."),
        texts = split(R"(|{}|{"image":0,"view":"score"}|{"op":"delete","label":0}|{"file":"f"}|)"
                      "{\"dir\":\"d\"}|[1,2|{\"image\":1e999}|\x01\x05\x02\x05"),
        queries = split("|?i=0|?i=0&x=0&y=0&w=5&h=1|?name=../../x|?i=%ff");
    const auto client = [&](unsigned seed) {
        std::mt19937 random(seed);
        httplib::Client c("127.0.0.1", port_);
        c.set_default_headers({{"X-Clsg-Token", kToken}});
        const auto pick = [&](const std::vector<std::string>& v) { return v[random() % v.size()]; };
        for (int i = 0; i < 1000; ++i) {
            std::string body = pick(texts), path = pick(paths) + pick(queries);
            for (char& ch : body) ch = char(ch ^ (random() % 12 == 0 ? random() : 0));
            const httplib::Result r =
                random() % 3 ? c.Post(path, body, "application/json") : c.Get(path);
            EXPECT_TRUE(r && r->status >= 200 && r->status < 500) << path << " " << body;
        }
    };
    std::thread other(client, 100);
    client(101);
    other.join();
    EXPECT_EQ(code(client_->Get("/api/state")), 200);
}

// Saves go by name into the output directory only; the program reopens a saved tool, prints its
// address, stops on Ctrl-C; alone, the tool opens its examples' parts.
TEST_F(StudioServerTest, SavedToolsStayInTheOutputDirectoryAndKeepTheirMarks) {
    twoLabels();
    EXPECT_EQ(api("/api/save", {{"file", "mine"}})["path"], dir_ / "out/mine.clsg");
    fs::create_directories(dir_ / "elsewhere");
    fs::create_symlink(dir_ / "elsewhere/target.clsg", dir_ / "out/link.clsg");
    fs::create_symlink(dir_ / "elsewhere", dir_ / "out/linkdir");
    for (std::string name : split("../escape|a/b|.hidden||..|link.clsg|" + std::string(200, 'a') +
                                  "|" + dir_ / "elsewhere/x")) {
        api("/api/save", {{"file", name}}, 422);
        api("/api/export", {{"dir", name}}, 422);
    }
    api("/api/save", {{"file", "link"}}, 422);
    api("/api/export", {{"dir", "linkdir"}}, 422);
    // The answer says why, whatever bytes the name holds.
    EXPECT_EQ(api("/api/save", {{"file", std::string("ok\0/x", 5)}}, 422)["error"],
              "\"ok\\x00/x\" is not a plain file name (letters, digits, '_', '-' and '.', not "
              "starting with '.'); files are written only into " +
                  dir_ / "out");
    const std::string cafe = "caf\xc3\xa9";  // shown as written, not as bytes
    EXPECT_EQ(api("/api/save", {{"file", cafe}}, 422)["error"].get<std::string>().substr(0, 32),
              "\"" + cafe + "\" is not a plain file name");
    EXPECT_EQ(
        api("/api/export", {{"dir", std::string(129, 'a')}}, 422)["error"],
        "\"" + std::string(64, 'a') + "...\" is longer than 128 characters; choose a shorter name");
    EXPECT_EQ(api("/api/export", {{"dir", std::string(60, 'a') + cafe + cafe}}, 422)["error"],
              "\"" + std::string(60, 'a') +
                  "caf...\" is not a plain file name (letters, digits, "
                  "'_', '-' and '.', not starting with '.'); files are written only into " +
                  dir_ / "out");
    fs::create_directories(dir_ / "out/masks");  // nor a linked folder inside the export's
    fs::create_symlink(dir_ / "elsewhere", dir_ / "out/masks/teal");
    api("/api/export", {{"dir", "masks"}}, 422);
    EXPECT_TRUE(fs::is_empty(dir_ / "elsewhere"));
    EXPECT_FALSE(fs::exists(dir_ / "escape.clsg") || fs::exists(dir_ / "escape"));
    paint(0, {12, 20, 2, 2});  // the box around orange's marks holds unmarked pixels
    api("/api/settings", settings(0.2, 4, 5));
    const std::string path = api("/api/save", {{"file", "t"}})["path"];
    const std::string run = "echo $$; exec '" CLSG_CLI_PATH "' studio " + imagePath_ + " --tool " +
                            path + " --out " + dir_ / "o";
    FILE* studio = popen(run.c_str(), "r");  // the shell prints its pid, then becomes the program
    int pid = 0, port = 0;
    char token[33] = "";
    const char* printed = "%d clsg studio: open http://127.0.0.1:%d/?token=%32[0-9a-f]";
    ASSERT_EQ(fscanf(studio, printed, &pid, &port, token), 3);
    httplib::Client c("127.0.0.1", port);
    c.set_default_headers({{"X-Clsg-Token", token}});
    EXPECT_EQ(json::parse(c.Get("/api/state")->body)["labels"][1]["color"], "#008888");
    EXPECT_EQ(c.Get("/api/marks?i=0")->body, client_->Get("/api/marks?i=0")->body);
    const char* score = R"({"image":0,"view":"score"})";  // the same score image as this server's
    EXPECT_EQ(parseFrame(c.Post("/api/segment", score, "application/json")->body).pixels,
              segment("score").pixels);
    kill(pid, SIGINT);
    const int raw = pclose(studio);
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << raw;
    // Its address printed nowhere (standard output full, or closed: its lock file would
    // take the lines), a studio does not start (it would wait unseen); nor on a port in use.
    // It leaves no folder it made and no lock; a folder that was there stays as it was.
    const std::string unprinted =
        "cannot write to standard output, where the studio's address "
        "and token go; the studio did not start";
    const std::string busy = " -p " + std::to_string(port_) + " >/dev/null";
    fs::create_directories(dir_ / "was");
    clsgtest::writeBytes(dir_ / "was" + "/" + kSessionFile, "earlier session");
    for (const auto& [out, said] :
         std::vector<std::pair<std::string, std::string>>{{" >/dev/full", unprinted},
                                                          {" >&-", unprinted},
                                                          {busy, "cannot listen on 127.0.0.1:"}})
        for (const std::string folder : {"unseen/deeper", "was"}) {
            const int status = std::system(("timeout 20 '" CLSG_CLI_PATH "' studio " + imagePath_ +
                                            " --out " + dir_ / folder + out + " 2>" + dir_ / "said")
                                               .c_str());
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << out << " " << status;
            EXPECT_NE(clsgtest::slurp(dir_ / "said").find("clsg: error: " + said),
                      std::string::npos)
                << clsgtest::slurp(dir_ / "said");
            EXPECT_FALSE(fs::exists(dir_ / "unseen")) << out;
            EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "was"), fs::directory_iterator()),
                      1)
                << out;
            EXPECT_EQ(clsgtest::slurp(dir_ / "was" + "/" + kSessionFile), "earlier session");
        }
    // A folder's file that does not open is passed over, said; the studio starts on the
    // others (here to stop at its address), and not on none.
    fs::create_directories(dir_ / "folder");
    fs::copy_file(imagePath_, dir_ / "folder/good.png");
    clsgtest::writeBytes(dir_ / "folder/bad.jpg", "not an image");
    const auto start = [&](const std::string& images) {
        const int status = std::system(("timeout 20 '" CLSG_CLI_PATH "' studio " + images +
                                        " --out " + dir_ / "f" + " >/dev/full 2>" + dir_ / "said")
                                           .c_str());
        return std::pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                         clsgtest::slurp(dir_ / "said"));
    };
    const std::string passed = "clsg studio: warning: " + dir_ / "folder/bad.jpg" +
                               ": not a PNG, JPEG, TIFF, BMP, PPM or PGM file (not opened)\n";
    EXPECT_EQ(start(dir_ / "folder"),
              std::pair(1, passed + "clsg: error: cannot write to standard output, where the "
                                    "studio's address and token go; the studio did not start\n"));
    fs::remove(dir_ / "folder/good.png");
    fs::remove_all(dir_ / "f");
    EXPECT_EQ(start(dir_ / "folder"),
              std::pair(1, passed + "clsg: error: " + dir_ / "folder/bad.jpg" +
                               ": not a PNG, JPEG, TIFF, BMP, PPM or PGM file\n"));
    EXPECT_FALSE(fs::exists(dir_ / "f"));

    // Alone, the tool opens the image its examples name, with the marks made on it.
    StudioSession alone(dir_ / "out");
    EXPECT_EQ(alone.loadTool(path), std::vector<std::string>{});  // marks made it: they fit
    ASSERT_EQ(alone.images().size(), 1u);
    EXPECT_EQ(alone.images()[0].path, imagePath_);
    EXPECT_EQ(alone.images()[0].marks, session_.images()[0].marks);
    // A name relative to where train ran is looked for beside the tool too; an image
    // file that changed since gives way to the example's own pixels, with a warning.
    fs::create_directories(dir_ / "c");
    fs::copy_file(imagePath_, dir_ / "c/p.png");
    kv3PlanePelBuffer other = testImage();  // q's example shows none of p's pixels
    *other.plane0().pointToPel(30, 12) ^= 1;
    writeColorImage(dir_ / "c/q.png", other, ImageFormat::Png);
    ASSERT_EQ(std::system(("cd '" + dir_ / "c" +
                           "' && '" CLSG_CLI_PATH
                           "' train t3.clsg --label a=p.png@2,3,8,6 --label b=q.png@28,10,6,9 "
                           ">/dev/null")
                              .c_str()),
              0);
    fs::remove(dir_ / "c/q.png");
    fs::copy_file(imagePath_, dir_ / "c/q.png");
    StudioSession moved(dir_ / "m");
    const std::vector<std::string> said = moved.loadTool(dir_ / "c/t3.clsg");
    ASSERT_EQ(moved.images().size(), 2u);
    EXPECT_EQ(moved.images()[0].path, dir_ / "c/p.png");
    Bytes marked(kW * kH, 0);  // a's rectangle
    for (long y = 3; y < 9; ++y) std::fill_n(marked.begin() + y * kW + 2, 8, 1);
    EXPECT_EQ(moved.images()[0].marks, marked);
    EXPECT_EQ(moved.images()[1].name, "t3-example-1");
    EXPECT_EQ(moved.images()[1].marks, Bytes(6 * 9, 2));
    EXPECT_EQ(said, std::vector<std::string>{"q.png cannot be opened, or no longer shows the "
                                             "pixels of the examples taken from it; they open "
                                             "alone, as image t3-example-1"});
    // A tool the marks cannot hold as it is (two examples of a label on one image,
    // pixels of two labels) opens with a warning for each.
    const std::string made = dir_ / "made.clsg";
    ASSERT_EQ(std::system(("'" CLSG_CLI_PATH "' train " + made + " --label 'a=" + imagePath_ +
                           "@0,0,4,4," + imagePath_ + "@8,8,4,4' --label 'b=" + imagePath_ +
                           "@2,2,4,4' >/dev/null")
                              .c_str()),
              0);
    StudioSession mixed(dir_ / "mixed");
    mixed.addImage("picture", imagePath_, image_);
    const std::vector<std::string> warnings = mixed.loadTool(made);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0].rfind("label a has 2 examples on image picture, which its marks there "
                                "hold as one example; the studio trains, and saves, a tool that "
                                "segments a little differently from " +
                                    made,
                                0),
              0u)
        << warnings[0];
    EXPECT_EQ(warnings[1].rfind("4 pixels of image picture are selected by label a and by label "
                                "b, and marked for b alone",
                                0),
              0u)
        << warnings[1];
    // A label whose examples all lie under another's is left with nothing: said as more.
    const std::string under = dir_ / "under.clsg";
    ASSERT_EQ(std::system(("'" CLSG_CLI_PATH "' train " + under + " --label 'a=" + imagePath_ +
                           "@2,2,2,2' --label 'b=" + imagePath_ + "@0,0,8,8' >/dev/null")
                              .c_str()),
              0);
    StudioSession covered(dir_ / "covered");
    covered.addImage("picture", imagePath_, image_);
    const std::vector<std::string> lost = covered.loadTool(under);
    ASSERT_EQ(lost.size(), 2u);
    EXPECT_EQ(lost[1],
              "label a is left with no marks, as every pixel of its examples is marked "
              "for another label: it segments nothing, and no tool can be saved, until "
              "it is marked again");
    // An uploaded image opens too, but not a non-image.
    const auto up = post("/api/images?name=up.png", clsgtest::slurp(imagePath_), kBinary);
    EXPECT_EQ(json::parse(up->body)["images"][1]["name"], "up");
    // The page shows a file's own name; its outputs' names keep to letters and digits.
    const std::string odd = "/api/images?name=a%20%3Cb%3E%C3%A9.png";  // "a <b>é.png"
    const auto spaced = post(odd, clsgtest::slurp(imagePath_), kBinary);
    const auto again = post(odd, clsgtest::slurp(imagePath_), kBinary);
    ASSERT_EQ(code(spaced), 200);
    const json shown = json::parse(again->body)["images"];
    EXPECT_EQ(shown[2]["name"].dump() + shown[2]["title"].dump(), R"x("a__b___""a <b>é")x");
    EXPECT_EQ(shown[3]["name"].dump() + shown[3]["title"].dump(), R"x("a__b___-2""a <b>é (2)")x");
    // A name exported alike is not shown with (2); one cut short ends where a character does.
    const auto clean = post("/api/images?name=a__b___.png", clsgtest::slurp(imagePath_), kBinary);
    const auto longName = post("/api/images?name=" + std::string(199, 'a') + "%C3%A9.png",
                               clsgtest::slurp(imagePath_), kBinary);
    const json last = json::parse(longName->body)["images"];
    EXPECT_EQ(last[4]["name"].dump() + last[4]["title"].dump(), R"x("a__b___-3""a__b___")x");
    EXPECT_EQ(last[5]["title"], std::string(199, 'a'));
    std::string bytes;  // no UTF-8 at all: cut all the same, not emptied
    for (int k = 0; k < 210; ++k) bytes += "%80";
    const auto noText =
        post("/api/images?name=" + bytes + ".png", clsgtest::slurp(imagePath_), kBinary);
    EXPECT_NE(json::parse(noText->body)["images"][6]["title"], "");
    EXPECT_EQ(code(post("/api/images?name=x.png", "not an image", kBinary)), 422);

    // Two open images of the same pixels: a reopened tool's marks go to the one they came from.
    const std::string twin = dir_ / "twin/picture.png";
    fs::create_directories(dir_ / "twin");
    fs::copy_file(imagePath_, twin);
    StudioSession twins(dir_ / "t");
    twins.addImage("picture", imagePath_, image_);
    twins.addImage("twin", twin, image_);
    twins.addLabel("x");
    twins.paintMarks(1, 3, 4, 2, 2, Bytes(4, 1));
    const std::string saved = twins.saveTool("twins");
    StudioSession reopened(dir_ / "t");
    reopened.addImage("picture", imagePath_, image_);
    reopened.addImage("twin", twin, image_);
    reopened.loadTool(saved);
    EXPECT_EQ(reopened.images()[1].marks, twins.images()[1].marks);
    EXPECT_EQ(reopened.images()[0].marks, Bytes(kW * kH, 0));
    // A session in dir_/where of a copy of the image at path, with a few marks of one label.
    const auto markedCopy = [&](const std::string& where, const std::string& path) {
        fs::create_directories(fs::path(path).parent_path());
        fs::copy_file(imagePath_, path);
        auto session = std::make_unique<StudioSession>(dir_ / where);
        session->addImage(fs::path(path).stem().string(), path, image_);
        session->addLabel("x");
        session->paintMarks(0, 3, 4, 2, 2, Bytes(4, 1));
        return session;
    };
    // Exported masks never replace an open image, even one kept where a mask would go.
    const std::string inside = dir_ / "t/masks/x/twin.png";
    try {
        markedCopy("t", inside)->exportMasks("masks", 0);
        ADD_FAILURE() << "an input was written over";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("it is the input " + inside), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(clsgtest::slurp(inside), clsgtest::slurp(imagePath_));
    // A pipe left at a name the export makes is no file to write: refused, not written into
    // (held open here, so that writing into it would not wait).
    fs::create_directories(dir_ / "d/masks");
    const std::string pipe = dir_ / "d/masks/train-command.txt";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const int held = ::open(pipe.c_str(), O_RDWR | O_NONBLOCK);
    try {
        markedCopy("d", dir_ / "d/pic.png")->exportMasks("masks", 0);
        ADD_FAILURE() << "written into a pipe";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("it is a pipe (FIFO), not a file"), std::string::npos)
            << e.what();
    }
    ::close(held);
    // An image's name that holds a newline makes no command of the run line's comment.
    markedCopy("n", dir_ / "a\ntouch made\n.png")->exportMasks("masks", 0);
    const std::string text = clsgtest::slurp(dir_ / "n/masks/train-command.txt");
    const std::string tail = text.substr(text.find("\n# then"));
    EXPECT_EQ(std::count(tail.begin(), tail.end(), '\n'), 5) << text;  // the name's two too
    for (std::size_t at = 0; at + 1 < tail.size(); at = tail.find('\n', at + 1))
        EXPECT_EQ(tail.substr(at, 2), "\n#") << text;
    // The command names a label's colour as the saved tool does, asked before any segmentation.
    const auto fresh = markedCopy("c", dir_ / "c/pic.png");
    const std::string command = fresh->exportMasks("masks", 0).trainCommand;
    const uint32_t color = readToolFile(fresh->saveTool("pic")).labels[0].color;
    EXPECT_NE(command.find("x" + colorText(color)), std::string::npos) << command;
    // A saved tool names an image whose file name holds what separates examples, and alone
    // it opens that image again (it opened "a,b").
    const std::string oddPath = dir_ / "e/a,b:c@d\\e.png";
    const auto oddSession = markedCopy("e", oddPath);
    const std::string oddTool = oddSession->saveTool("odd");
    StudioSession oddAlone(dir_ / "e2");
    oddAlone.loadTool(oddTool);
    ASSERT_EQ(oddAlone.images().size(), 1u);
    EXPECT_EQ(oddAlone.images()[0].path, oddPath);
    // Beside another image of the same pixels, opened first, the marks go to the named one.
    StudioSession oddTwins(dir_ / "e3");
    oddTwins.addImage("twin", twin, image_);
    oddTwins.addImage("odd", oddPath, image_);
    oddTwins.loadTool(oddTool);
    EXPECT_EQ(oddTwins.images()[1].marks, oddSession->images()[0].marks);
    EXPECT_EQ(oddTwins.images()[0].marks, Bytes(kW * kH, 0));
    // Nor does a saved tool, though the image's file bears the tool's name.
    const std::string named = dir_ / "t/pic.clsg";
    EXPECT_THROW(markedCopy("t", named)->saveTool("pic"), FileError);
    EXPECT_EQ(clsgtest::slurp(named), clsgtest::slurp(imagePath_));
}

// Inserting a label renumbers the marks of images not open as it does those of open
// ones; the undo of a deletion (its label inserted again) gives them back theirs.
TEST_F(StudioServerTest, LabelEditsKeepTheMarksOfImagesNotOpen) {
    const std::string out = dir_ / "carried";
    kv3PlanePelBuffer other(kvPelRect(0, 0, 6, 4));
    for (kvPelBuffer<unsigned char> plane : {other.plane0(), other.plane1(), other.plane2()})
        kfPelSet(plane, 77);
    Bytes marks(6 * 4, 0);
    std::fill(marks.begin(), marks.begin() + 6, 1);
    std::fill(marks.end() - 6, marks.end(), 2);
    const Bytes painted = marks;
    {
        StudioSession first(out);
        first.addImage("a", "", image_);
        first.addImage("other", "", other);
        first.addLabel("red");
        first.addLabel("blue");
        first.paintMarks(0, 1, 1, 2, 2, Bytes(4, 1));
        first.paintMarks(1, 0, 0, 6, 4, marks);
        first.autosave();
    }
    StudioSession second(out);
    second.addImage("a", "", image_);
    EXPECT_EQ(second.findRestore(), "");
    second.restore(true);
    second.deleteLabel(0);                        // red
    second.deleteLabel(0);                        // then blue, first now
    second.insertLabel(0, "blue", std::nullopt);  // the undos, the latest first
    second.insertLabel(0, "red", std::nullopt);
    second.insertLabel(0, "green", std::nullopt);
    second.addImage("other", "", other);
    for (uint8_t& m : marks) m = m ? m + 1 : 0;
    EXPECT_EQ(second.images()[1].marks, marks);

    // Other label changes done and undone between a deletion and its undo (the
    // undo of an add is a deletion, that of a rename a rename back) keep them too.
    StudioSession third(out);
    third.addImage("a", "", image_);
    EXPECT_EQ(third.findRestore(), "");
    third.restore(true);
    third.deleteLabel(0);  // red
    third.addLabel("foo");
    third.renameLabel(0, "teal");
    third.renameLabel(0, "blue");  // the undos, the latest first
    third.deleteLabel(1);          // foo
    third.insertLabel(0, "red", std::nullopt);
    third.addImage("other", "", other);
    EXPECT_EQ(third.images()[1].marks, painted);

    // A new label named as a deleted one is no undo: it gets no marks.
    StudioSession fourth(out);
    fourth.addImage("a", "", image_);
    EXPECT_EQ(fourth.findRestore(), "");
    fourth.restore(true);
    fourth.deleteLabel(1);  // blue
    fourth.addLabel("green");
    fourth.deleteLabel(1);
    fourth.addLabel("blue");
    fourth.addImage("other", "", other);
    EXPECT_EQ(std::count(fourth.images()[1].marks.begin(), fourth.images()[1].marks.end(), 2), 0);
}

// Auto sets the settings to what clsg::suggestSegmenterParams chooses from the same marks.
TEST_F(StudioServerTest, AutoChoosesTheSettingsAsTheSearchDoesFromTheMarks) {
    label("orange");
    api("/api/auto", json::object(), 422);  // a label without marks
    label("teal", "#008888");
    paint(0, {2, 3, 8, 6}), paint(0, {2, 20, 8, 6}), paint(1, kTeal);
    const json answer = api("/api/auto", json::object());
    const auto marked = [&](auto in) {  // the whole picture, with a mask
        kvPelBuffer<unsigned char> mask(image_.window());
        for (long y = 0; y < kH; ++y)
            for (long x = 0; x < kW; ++x) *mask.pointToPel(x, y) = in(x, y) ? 255 : 0;
        return kvCompositeColorSet({kvCompositeColor(image_, mask)});
    };
    const std::vector<kvCompositeColorSet> sets = {
        marked([](long x, long y) {
            return x >= 2 && x < 10 && ((y >= 3 && y < 9) || (y >= 20 && y < 26));
        }),
        marked([&](long x, long y) {
            return x >= kTeal[0] && x < kTeal[0] + kTeal[2] && y >= kTeal[1] &&
                   y < kTeal[1] + kTeal[3];
        })};
    const SuggestReport report = suggestSegmenterParams(sets);
    const json& s = answer["settings"];
    EXPECT_EQ(s["toleranceFrac"], report.trainParams.colorToleranceFrac());
    EXPECT_EQ(s["toleranceMin"], report.trainParams.colorToleranceMin());
    EXPECT_EQ(s["neighborhood"], report.runParams.neighborhoodSize());
    EXPECT_EQ(answer["auto"]["estimate"], report.estimate);
    EXPECT_EQ(answer["auto"]["uncovered"], report.uncovered);
    EXPECT_EQ(answer["auto"]["uncoveredFraction"], report.uncoveredFraction);
    EXPECT_EQ(answer["auto"]["overBudget"], json::array());  // nothing costs too much here
    EXPECT_EQ(answer["auto"]["warnings"], json(searchWarnings({"orange", "teal"}, report)));
    const httplib::Result progress = client_->Get("/api/auto/progress");
    ASSERT_EQ(code(progress), 200);
    EXPECT_EQ(json::parse(progress->body)["done"], kSuggestTolerances);
}

// Auto keeps to the budget the studio trains under: it never chooses a tolerance
// that the studio would then refuse to train.
TEST_F(StudioServerTest, AutoSkipsTolerancesTheTrainingBudgetRefuses) {
    label("orange");
    label("teal", "#008888");
    paint(0, {2, 3, 8, 6}), paint(0, {2, 20, 8, 6}), paint(1, kTeal);
    const double free = api("/api/auto", json::object())["settings"]["toleranceFrac"];
    // Training's bytes at that fraction, for the two examples (one per label) of the marks:
    // 8 per colour cell and example, and 4 per cell once. A byte less refuses it.
    kvPelBuffer<unsigned char> all(image_.window());
    kfPelSet(all, 255);
    kvCompositeColorSegmenterTool tool;
    tool.train({kvCompositeColorSet({kvCompositeColor(image_, all)})},
               kvCompositeColorSegmenterTrainParams(free, 2));
    const uint64_t n = tool.modelSize().levelsPerChannel;
    kvCompositeColorSegmenterBudget budget;
    budget.maxBytes = (8 * 2 + 4) * n * n * n - 1;
    session_.setTrainingBudget(budget);
    const json answer = api("/api/auto", json::object());
    EXPECT_GT(answer["settings"]["toleranceFrac"].get<double>(), free);
    // The page names what was skipped: the free choice among them.
    const json& skipped = answer["auto"]["overBudget"];
    EXPECT_NE(std::find(skipped.begin(), skipped.end(),
                        json{{"toleranceFrac", free}, {"toleranceMin", 2}}),
              skipped.end())
        << skipped;
    EXPECT_EQ(code(post("/api/segment", json{{"image", 0}}.dump())), 200);  // it trains

    budget.maxBytes = 1;  // nothing
    session_.setTrainingBudget(budget);
    const json refused = api("/api/auto", json::object(), 422);
    EXPECT_NE(refused["error"].get<std::string>().find(
                  "training would cost too much at every tolerance Auto tries"),
              std::string::npos);
}

// Cancel stops the search at work, which changes nothing; a cancel with no search at
// work does not stop the next one.
TEST_F(StudioServerTest, CancelStopsTheSearchAndLaterSearchesRun) {
    // A large noisy picture, marked all over, keeps the search at work for a while.
    constexpr long kBigW = 640, kBigH = 480;
    kv3PlanePelBuffer big(kvPelRect(0, 0, kBigW, kBigH));
    std::mt19937 random(7);
    for (auto* plane : {&big.plane0(), &big.plane1(), &big.plane2()})
        for (long y = 0; y < kBigH; ++y)
            for (long x = 0; x < kBigW; ++x)
                plane->pointToRow(y)[x] =
                    static_cast<unsigned char>((x < kBigW / 2 ? 60 : 160) + random() % 64);
    writeColorImage(dir_ / "big.png", big, ImageFormat::Png);
    ASSERT_EQ(code(post("/api/images?name=big.png", clsgtest::slurp(dir_ / "big.png"), kBinary)),
              200);
    label("dark");
    label("light", "#008888");
    for (long l = 0; l < 2; ++l) {
        const Bytes values(kBigW / 2 * kBigH, uint8_t(l + 1));
        const std::string q = "/api/marks?i=1&x=" + std::to_string(l * kBigW / 2) +
                              "&y=0&w=" + std::to_string(kBigW / 2) + "&h=" + std::to_string(kBigH);
        ASSERT_EQ(code(post(q, encodeRuns(values.data(), values.size()), kBinary)), 200);
    }
    const json before = api("/api/settings", settings(0.1, 2, 3))["settings"];

    httplib::Client other("127.0.0.1", port_);
    other.set_default_headers({{"X-Clsg-Token", kToken}});
    other.set_read_timeout(60, 0);
    int status = 0;
    std::string said;
    std::thread search([&] {
        const httplib::Result r = other.Post("/api/auto", "{}", "application/json");
        status = code(r);
        if (r) said = r->body;
    });
    const auto running = [&] {
        const httplib::Result r = client_->Get("/api/auto/progress");
        return r && json::parse(r->body)["running"] == true;
    };
    for (int i = 0; i < 20000 && !running() && status == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Requests queued for the session meanwhile (edits and segmentations alike) leave
    // request threads for the cancel: as many as there are threads, some are told the
    // studio is busy.
    std::vector<std::thread> queued;
    std::atomic<int> answered{0}, busy{0};
    for (int i = 0; i < 8; ++i)
        queued.emplace_back([&, i] {
            httplib::Client waiting("127.0.0.1", port_);
            waiting.set_default_headers({{"X-Clsg-Token", kToken}});
            waiting.set_read_timeout(60, 0);
            const int got = code(i % 2 ? waiting.Get("/api/state")
                                       : waiting.Post("/api/segment", json{{"image", 0}}.dump(),
                                                      "application/json"));
            ++(got == 503 ? busy : answered);
        });
    // Cancelled once the queue is full (some were told the studio is busy).
    for (int i = 0; i < 5000 && busy == 0 && status == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    api("/api/auto/cancel", json::object());
    search.join();
    for (std::thread& t : queued) t.join();
    EXPECT_EQ(status, 409);
    EXPECT_NE(said.find("Auto was cancelled"), std::string::npos) << said;
    EXPECT_GT(busy, 0);
    EXPECT_EQ(busy + answered, 8);
    EXPECT_EQ(json::parse(client_->Get("/api/state")->body)["settings"], before);
    EXPECT_EQ(json::parse(client_->Get("/api/auto/progress")->body)["running"], false);

    // Stale cancels, with no search at work: a segmentation and the next search go on.
    api("/api/auto/cancel", json::object());
    EXPECT_EQ(code(post("/api/segment", json{{"image", 0}}.dump())), 200);
    api("/api/auto/cancel", json::object());
    // A search cancelled, and the next one asked for at once: the first is told it
    // was cancelled (not that the next took over), and the next runs whole.
    status = 0, said.clear();
    std::thread cancelled([&] {
        const httplib::Result r = other.Post("/api/auto", "{}", "application/json");
        status = code(r);
        if (r) said = r->body;
    });
    for (int i = 0; i < 20000 && !running() && status == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    api("/api/auto/cancel", json::object());
    client_->set_read_timeout(60, 0);  // a whole search: slow under the sanitizers
    const json chosen = api("/api/auto", json::object());
    cancelled.join();
    EXPECT_EQ(status, 409);
    EXPECT_NE(said.find("Auto was cancelled"), std::string::npos) << said;
    EXPECT_EQ(chosen["settings"]["toleranceFrac"], chosen["auto"]["toleranceFrac"]);
}

// Requests from other pages, in chunks, or for more than the studio holds.
TEST_F(StudioServerTest, ForeignPagesAndExcessAreRefused) {
    const std::string port = std::to_string(port_), other = std::to_string(port_ + 1);
    for (const auto& [host, status] :
         std::vector<std::pair<std::string, int>>{{"127.0.0.1:" + port, 200},
                                                  {"localhost:" + port, 200},
                                                  {"[::1]:" + port, 200},
                                                  {"localhost", 200},
                                                  {"rebound.example:" + port, 403},
                                                  {"127.0.0.1:" + other, 403},
                                                  {"localhost.example:" + port, 403},
                                                  {"", 403}})
        EXPECT_EQ(code(client_->Get("/api/state", {{"Host", host}})), status) << host;
    const std::string add = json{{"op", "add"}, {"name", "x"}}.dump();
    for (const auto& [origin, status] :
         std::vector<std::pair<std::string, int>>{{"http://rebound.example:" + port, 403},
                                                  {"null", 403},
                                                  {"http://127.0.0.1:" + other, 403},
                                                  {"https://localhost:" + port, 403},
                                                  {"http://localhost", 403},
                                                  {"http://127.0.0.1", 403},
                                                  {"http://localhost:" + port, 200}})
        EXPECT_EQ(code(client_->Post("/api/labels", {{"Origin", origin}}, add, "application/json")),
                  status)
            << origin;
    EXPECT_EQ(code(client_->Get("/api/state", {{"Origin", "http://rebound.example"}})), 200);
    // At port 80 a browser's Origin names no port.
    EXPECT_TRUE(StudioServer::loopbackHost("localhost", 80, false));
    EXPECT_TRUE(StudioServer::loopbackHost("127.0.0.1:80", 80, false));
    EXPECT_FALSE(StudioServer::loopbackHost("localhost", 8080, false));
    EXPECT_FALSE(StudioServer::loopbackHost("localhost:80", 8080, true));
    const auto chunked = client_->Post(
        "/api/images?name=a.png",
        [](std::size_t, httplib::DataSink& sink) {
            sink.write("abc", 3);
            sink.done();
            return true;
        },
        kBinary);
    // Refused before the body is read; the client may see the reset instead of the answer.
    EXPECT_TRUE(code(chunked) == 411 || code(chunked) == -1) << code(chunked);

    // Images: a count and a total of pixels; a refused upload is not decoded.
    StudioSession small(dir_ / "small", 2 * kW * kH + 5);
    small.addImage("a", "", image_), small.addImage("b", "", image_);
    EXPECT_THROW(small.addImage("c", "", image_), StudioError);
    EXPECT_EQ(small.pixelRoom(), 5u);
    const std::string png = clsgtest::slurp(imagePath_);
    for (std::size_t i = 1; i < StudioSession::kMaxImages; ++i)
        EXPECT_EQ(code(post("/api/images?name=u.png", png, kBinary)), 200) << i;
    const auto full = post("/api/images?name=u.png", png, kBinary);
    EXPECT_EQ(code(full), 422);
    EXPECT_NE(full->body.find("at most 64 images"), std::string::npos) << full->body;

    // Training within the budget of files from elsewhere: twelve labels at
    // fraction 0.001 (255 levels) would take 1.5 GB.
    for (int k = 1; k < 12; ++k) label(("l" + std::to_string(k)).c_str());
    for (int k = 0; k < 12; ++k) paint(k, {k, 0, 1, 1});
    api("/api/settings", settings(0.001, 0, 3));
    const auto r = post("/api/segment", json{{"image", 0}}.dump());
    EXPECT_EQ(code(r), 422);
    EXPECT_NE(r->body.find("training would cost too much"), std::string::npos) << r->body;
    EXPECT_NE(r->body.find("; raise the tolerance fraction (the marks fit at 0.01)"),
              std::string::npos)
        << r->body;
    api("/api/settings", settings(0.1, 2, 3));
    segment();
}

// A studio process: the shell prints its pid, does what shell says, then
// becomes the program.
struct StudioProcess {
    FILE* out = nullptr;
    int pid = 0, port = 0;
    char token[33] = "";
    std::unique_ptr<httplib::Client> client;
    explicit StudioProcess(const std::string& args, const std::string& shell = "") {
        out = popen(("echo $$; " + shell + "exec '" CLSG_CLI_PATH "' studio " + args).c_str(), "r");
        const char* printed = "%d clsg studio: open http://127.0.0.1:%d/?token=%32[0-9a-f]";
        EXPECT_EQ(fscanf(out, printed, &pid, &port, token), 3);
        client = std::make_unique<httplib::Client>("127.0.0.1", port);
        client->set_default_headers({{"X-Clsg-Token", token}});
    }
    json call(const char* path, const json& body, int expect = 200) {
        const auto r = client->Post(path, body.dump(), "application/json");
        EXPECT_EQ(code(r), expect) << path << (r ? r->body : "");
        return r ? json::parse(r->body) : json();
    }
    // Signals the process; returns its wait status and what it printed after the start.
    std::pair<int, std::string> stop(int signal) {
        kill(pid, signal);
        std::string rest;
        for (int c; (c = fgetc(out)) != EOF;) rest += static_cast<char>(c);
        return {pclose(out), rest};
    }
};

// Every change is in the session file before its answer: a kill -9 loses
// nothing, and the next studio on the same image offers it back.
TEST_F(StudioServerTest, MarksSurviveAKillAndComeBack) {
    const std::string args = imagePath_ + " --out " + dir_ / "k";
    StudioProcess first(args);
    first.call("/api/labels", {{"op", "add"}, {"name", "orange"}, {"color", "#ff8800"}});
    first.call("/api/labels", {{"op", "add"}, {"name", "teal"}});
    Bytes values(6 * 4, 2);
    std::fill(values.begin(), values.begin() + 12, 1);  // both labels marked, for Auto
    ASSERT_EQ(code(first.client->Post("/api/marks?i=0&x=20&y=5&w=6&h=4",
                                      encodeRuns(values.data(), values.size()), kBinary)),
              200);
    first.call("/api/settings", settings(0.25, 3, 7, true));
    // Auto's choice is a change of settings like any other.
    const json chosen = first.call("/api/auto", json::object())["settings"];
    ASSERT_NE(chosen, settings(0.25, 3, 7, true));
    const std::string marks = first.client->Get("/api/marks?i=0")->body;
    const auto [killed, ignored] = first.stop(SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(killed));

    StudioProcess second(args);  // a new image beside it gets no marks
    json state = json::parse(second.client->Get("/api/state")->body);
    ASSERT_FALSE(state["restore"].is_null()) << state.dump();
    EXPECT_EQ(state["restore"]["labels"], 2);
    EXPECT_EQ(state["labels"].size(), 0u);
    const std::string file = clsgtest::slurp(dir_ / "k/studio-session.clsgs");
    state = second.call("/api/restore", {{"accept", true}});
    // A restore alone writes nothing and moves nothing aside (twenty such starts
    // would push out the sessions of other images).
    EXPECT_EQ(clsgtest::slurp(dir_ / "k/studio-session.clsgs"), file);
    EXPECT_FALSE(fs::exists(dir_ / "k/studio-session.previous.clsgs"));
    EXPECT_EQ(state["labels"][0]["name"], "orange");
    EXPECT_EQ(state["labels"][0]["color"], "#ff8800");
    EXPECT_EQ(state["settings"], chosen);
    EXPECT_TRUE(state["restore"].is_null());
    EXPECT_EQ(second.client->Get("/api/marks?i=0")->body, marks);
    const auto [status, printed] = second.stop(SIGHUP);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(
        printed.find("the marks, labels and settings are in " + dir_ / "k/studio-session.clsgs"),
        std::string::npos)
        << printed;

    // Accepted after a change, which it would lose: refused, all left as it was. Started
    // with SIGHUP ignored (nohup), it outlives the terminal closing.
    StudioProcess late(args, "trap '' HUP; ");
    kill(late.pid, SIGHUP);
    usleep(200000);  // time enough to stop, were it to
    late.call("/api/labels", {{"op", "add"}, {"name", "new"}});
    EXPECT_NE(late.call("/api/restore", {{"accept", true}}, 422).dump().find("would lose"),
              std::string::npos);
    EXPECT_EQ(late.call("/api/restore", {{"accept", false}})["labels"][0]["name"], "new");
    late.stop(SIGTERM);

    // Declined, the offer ends and the old file is kept aside at the first change.
    StudioProcess third(args);
    EXPECT_EQ(third.call("/api/restore", {{"accept", false}})["labels"].size(), 0u);
    // Another window's Restore after that is told why nothing comes back.
    EXPECT_NE(third.call("/api/restore", {{"accept", true}}, 422)
                  .dump()
                  .find("another window chose to start afresh already"),
              std::string::npos);
    third.call("/api/labels", {{"op", "add"}, {"name", "new"}});
    EXPECT_TRUE(fs::exists(dir_ / "k/studio-session.previous.clsgs"));
    third.stop(SIGTERM);
    // The session saved last has labels but no marks: the one kept aside is offered (a
    // short session on other images hides no marks).
    StudioProcess fourth(args);
    EXPECT_EQ(json::parse(fourth.client->Get("/api/state")->body)["restore"]["labels"], 2);
    fourth.stop(SIGINT);

    // Marks on an image opened from the page are offered when it is opened again.
    kv3PlanePelBuffer pic(kvPelRect(0, 0, 12, 9));
    for (kvPelBuffer<unsigned char> plane : {pic.plane0(), pic.plane1(), pic.plane2()})
        kfPelSet(plane, 90);  // a handle: the picture's pels
    writeColorImage(dir_ / "other.png", pic, ImageFormat::Png);
    const std::string other = clsgtest::slurp(dir_ / "other.png"),
                      later = imagePath_ + " --out " + dir_ / "u";
    StudioProcess fifth(later);
    ASSERT_EQ(code(fifth.client->Post("/api/images?name=other.png", other, kBinary)), 200);
    fifth.call("/api/labels", {{"op", "add"}, {"name", "x"}});
    ASSERT_EQ(code(fifth.client->Post("/api/marks?i=1&x=3&y=2&w=2&h=2",
                                      encodeRuns(Bytes(4, 1).data(), 4), kBinary)),
              200);
    const std::string otherMarks = fifth.client->Get("/api/marks?i=1")->body;
    fifth.stop(SIGTERM);
    StudioProcess sixth(later);
    EXPECT_TRUE(json::parse(sixth.client->Get("/api/state")->body)["restore"].is_null());
    const httplib::Result opened = sixth.client->Post("/api/images?name=other.png", other, kBinary);
    ASSERT_EQ(code(opened), 200);
    EXPECT_EQ(json::parse(opened->body)["restore"]["images"], 1) << opened->body;
    sixth.call("/api/restore", {{"accept", true}});
    EXPECT_EQ(sixth.client->Get("/api/marks?i=1")->body, otherMarks);
    sixth.stop(SIGTERM);

    // Paths given relative to where the studio starts come back absolute in its commands.
    StudioProcess relative(fs::relative(imagePath_).string() + " --out " +
                           fs::relative(dir_ / "rel").string());
    relative.call("/api/labels", {{"op", "add"}, {"name", "x"}});
    ASSERT_EQ(code(relative.client->Post("/api/marks?i=0&x=1&y=1&w=2&h=2",
                                         encodeRuns(Bytes(4, 1).data(), 4), kBinary)),
              200);
    const std::string saved = relative.call("/api/save", {{"file", "t.clsg"}})["command"];
    EXPECT_NE(saved.find(" run " + dir_ / "rel/t.clsg" + " " + imagePath_ + " --out " +
                         dir_ / "rel/segmented"),
              std::string::npos)
        << saved;
    relative.stop(SIGTERM);

    // A folder opens its image files, by name; other files in it are passed over.
    fs::create_directories(dir_ / "folder");
    fs::copy_file(imagePath_, dir_ / "folder/b.png");
    fs::copy_file(imagePath_, dir_ / "folder/a.png");
    clsgtest::writeBytes(dir_ / "folder/notes.txt", "not an image");
    fs::copy_file(imagePath_, dir_ / "folder/a-labels.png");  // clsg run's outputs of a
    fs::copy_file(imagePath_, dir_ / "folder/a-seg-x.png");
    fs::copy_file(imagePath_, dir_ / "folder/a-legend.bmp");  // which run never writes
    StudioProcess folder(dir_ / "folder --out " + dir_ / "fo");
    const json folderImages = json::parse(folder.client->Get("/api/state")->body)["images"];
    ASSERT_EQ(folderImages.size(), 3u) << folderImages.dump();
    EXPECT_EQ(folderImages[0]["title"], "a-legend");  // in the order of file names
    EXPECT_EQ(folderImages[1]["title"], "a");
    EXPECT_EQ(folderImages[2]["title"], "b");
    folder.stop(SIGTERM);

    // A directory removed while the studio runs is made again at the next change, lock and all.
    StudioProcess removed(imagePath_ + " --out " + dir_ / "removed");
    fs::remove_all(dir_ / "removed");
    EXPECT_EQ(removed.call("/api/labels", {{"op", "add"}, {"name", "x"}})["sessionNotSaved"],
              json());
    EXPECT_TRUE(fs::exists(dir_ / "removed/.studio-session.lock"));
    removed.stop(SIGTERM);

    // A change the file could not take is not called saved at the stop.
    fs::create_directories(dir_ / "blocked/studio-session.clsgs");  // in the file's way,
    fs::create_directories(dir_ / "blocked/studio-session.previous.clsgs/full");  // not moved
    StudioProcess seventh(imagePath_ + " --out " + dir_ / "blocked");
    EXPECT_NE(seventh.call("/api/labels", {{"op", "add"}, {"name", "x"}})["sessionNotSaved"],
              json());
    const auto [done, said] = seventh.stop(SIGTERM);
    EXPECT_NE(said.find("the last changes could not be saved in " +
                        dir_ / "blocked/studio-session.clsgs"),
              std::string::npos)
        << said;
    EXPECT_TRUE(WIFEXITED(done) && WEXITSTATUS(done) == 1) << done;
    EXPECT_EQ(said.find("are in"), std::string::npos) << said;
    EXPECT_EQ(said.find("it holds"), std::string::npos) << said;  // a directory holds no marks
    // Nor, with nothing changed, is the directory said to hold them.
    const auto [unchanged, told] =
        StudioProcess(imagePath_ + " --out " + dir_ / "blocked").stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(unchanged) && WEXITSTATUS(unchanged) == 0) << unchanged;
    EXPECT_EQ(told.find("are in"), std::string::npos) << told;
    // Nor is a file reported damaged at the start, with nothing saved since.
    fs::create_directories(dir_ / "damaged");
    clsgtest::writeBytes(dir_ / "damaged/studio-session.clsgs", "clsg studio session 1\n");
    const auto [kept, noted] =
        StudioProcess(imagePath_ + " --out " + dir_ / "damaged").stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(kept) && WEXITSTATUS(kept) == 0) << kept;
    EXPECT_EQ(noted.find("are in"), std::string::npos) << noted;
    EXPECT_NE(noted.find("nothing was changed, so nothing was saved"), std::string::npos) << noted;
}

// Marks belong to their images, whichever of them a session opens: a session on
// some of the images keeps the others' marks in its file, marks follow a label
// deleted meanwhile, and identical images keep their own. A large file restores
// however few pixels are open; a second studio stays off a directory in use.
TEST_F(StudioServerTest, MarksStayWithTheirImagesAcrossSessions) {
    const std::string out = dir_ / "m";
    kv3PlanePelBuffer big(kvPelRect(0, 0, 900, 700));
    for (kvPelBuffer<unsigned char> plane : {big.plane0(), big.plane1(), big.plane2()})
        kfPelSet(plane, 60);  // a handle: the picture's pels
    const auto mark = [](StudioSession& s, std::size_t image, std::array<long, 4> r, uint8_t v) {
        s.paintMarks(image, r[0], r[1], r[2], r[3], Bytes(r[2] * r[3], v));
    };
    Bytes twin, noisy(900 * 700);
    {
        fs::create_directories(out);  // a studio killed while saving left a temporary
        clsgtest::writeBytes(out + "/.studio-session.clsgs.tmp-Ab12Cd", "half a session");
        clsgtest::writeBytes(out + "/.studio-session.clsgs.notes", "someone else's");
        const SessionLock lock(out);
        EXPECT_FALSE(fs::exists(out + "/.studio-session.clsgs.tmp-Ab12Cd"));
        EXPECT_TRUE(fs::exists(out + "/.studio-session.clsgs.notes"));
        EXPECT_THROW(SessionLock again(out), StudioError);
        try {  // the reason the output directory cannot be made, not what follows from it
            SessionLock under(imagePath_ + "/o");
            ADD_FAILURE() << "a directory under a file";
        } catch (const StudioError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("cannot create " + imagePath_ + "/o: ", 0), 0u)
                << e.what();
        }
        // A studio whose directory is removed takes the lock again at its next save,
        // and leaves its changes unsaved, saying why, when another took it meanwhile.
        const std::string gone = dir_ / "gone";
        SessionLock held(gone);
        StudioSession s(gone);
        s.setBeforeSave([&] { return held.renew(); });
        s.addImage("a", "", image_);
        s.addLabel("x");
        fs::remove_all(gone);
        s.autosave();
        EXPECT_TRUE(fs::exists(gone + "/studio-session.clsgs"));
        EXPECT_THROW(SessionLock second(gone), StudioError);
        fs::remove_all(gone);
        {
            const SessionLock other(gone);
            s.addLabel("y");
            EXPECT_THROW(s.autosave(), StudioError);
            EXPECT_NE(
                s.unsavedReason().find(gone + " was removed or replaced while this studio ran"),
                std::string::npos)
                << s.unsavedReason();
            EXPECT_FALSE(fs::exists(gone + "/studio-session.clsgs"));
            StudioSession theirs(gone);  // the other studio saves its own session there
            theirs.addLabel("theirs");
            theirs.autosave();
        }
        // Once it has stopped, this studio takes the directory again and keeps the other's
        // session aside, as at a start.
        s.autosave();
        EXPECT_NE(clsgtest::slurp(gone + "/studio-session.previous.clsgs").find("\"theirs\""),
                  std::string::npos);
        EXPECT_NE(clsgtest::slurp(gone + "/studio-session.clsgs").find("\"y\""), std::string::npos);
        StudioSession first(out);
        first.addImage("a", "", image_);
        first.addImage("big", "", big);
        first.addImage("a", "", image_);  // the same pixels, opened twice
        first.addLabel("x");
        first.addLabel("y");
        mark(first, 0, {1, 1, 3, 3}, 1);
        mark(first, 2, {5, 5, 2, 2}, 2);
        for (std::size_t i = 0; i < noisy.size(); ++i) noisy[i] = uint8_t(1 + i % 2);
        first.paintMarks(1, 0, 0, 900, 700, noisy);  // over 1 MB of runs
        first.autosave();
        twin = first.images()[2].marks;
    }
    ASSERT_GT(fs::file_size(out + "/studio-session.clsgs"), 1u << 20);
    {
        StudioSession second(out);  // one image only, and a label deleted
        second.addImage("a", "", image_);
        EXPECT_EQ(second.findRestore(), "");
        ASSERT_TRUE(second.pendingRestore());
        second.restore(true);
        EXPECT_EQ(std::count(second.images()[0].marks.begin(), second.images()[0].marks.end(), 1),
                  9);
        second.deleteLabel(0);
        second.autosave();
    }
    StudioSession third(out);
    third.addImage("a", "", image_);
    third.addImage("a", "", image_);
    EXPECT_EQ(third.findRestore(), "");
    third.restore(true);
    ASSERT_EQ(third.labels().size(), 1u);
    EXPECT_EQ(third.labels()[0].name, "y");
    EXPECT_EQ(third.images()[0].marks, Bytes(kW * kH, 0));  // its x marks went with x
    for (uint8_t& m : twin) m = m == 2 ? 1 : 0;
    EXPECT_EQ(third.images()[1].marks, twin);
    third.segment(0, StudioView::Labels);  // trained on the open images' marks
    const std::optional<uint32_t> before = third.labels()[0].mean;
    third.addImage("big", "", big);  // opened later, it gets its marks
    for (uint8_t& m : noisy) m = m == 2 ? 1 : 0;
    EXPECT_EQ(third.images()[2].marks, noisy);
    third.segment(0, StudioView::Labels);  // and they are trained on, as painted ones are
    ASSERT_TRUE(before && third.labels()[0].mean);
    EXPECT_NE(*third.labels()[0].mean, *before);
}

// A command naming a file whose name is no UTF-8 (Latin-1) is shown in a form bash reads
// back to the same bytes: JSON carried U+FFFD, and the command named no file.
TEST_F(StudioServerTest, ShownCommandsNameFilesWhoseNamesAreNoUtf8) {
    const std::string latin = dir_ / "caf\xe9.png";
    fs::copy_file(imagePath_, latin);
    StudioSession s(dir_ / "latin");
    s.setProgram(CLSG_CLI_PATH);
    s.addImage("cafe", latin, image_);
    s.addLabel("x");
    s.addLabel("y");
    s.paintMarks(0, kOrange[0], kOrange[1], kOrange[2], kOrange[3],
                 Bytes(kOrange[2] * kOrange[3], 1));
    s.paintMarks(0, kTeal[0], kTeal[1], kTeal[2], kTeal[3], Bytes(kTeal[2] * kTeal[3], 2));
    // As the page gets them: Save tool's run line, Export's train and run lines.
    StudioServer server(s, kToken);
    const int port = server.bind(0);
    std::thread serving([&server] { server.serve(); });
    httplib::Client client("127.0.0.1", port);
    client.set_default_headers({{"X-Clsg-Token", kToken}});
    const auto answer = [&](const char* path, const json& body) {
        const httplib::Result r = client.Post(path, body.dump(), "application/json");
        return r && r->status == 200 ? json::parse(r->body) : json();
    };
    const json saved = answer("/api/save", {{"file", "t.clsg"}}),
               exported = answer("/api/export", {{"dir", "ex"}});
    server.stop(), serving.join();
    for (const json& shown : {saved["command"], exported["command"], exported["runCommand"]}) {
        ASSERT_TRUE(shown.is_string()) << saved << exported;
        EXPECT_NE(shown.get<std::string>().find("caf'$'\\xe9''.png"), std::string::npos) << shown;
        clsgtest::writeBytes(dir_ / "shown.sh", shown.get<std::string>());
        EXPECT_EQ(
            std::system(("cd '" + dir_.path.string() + "' && bash shown.sh >/dev/null").c_str()), 0)
            << shown;
    }
}

// The folders a studio makes for its session are its to write into whatever the umask:
// under 0222 the second could not be made in the first, nor the session saved.
TEST_F(StudioServerTest, TheFoldersOfASessionAreItsToWriteInto) {
    const mode_t before = umask(0222);
    try {
        const SessionLock lock(dir_ / "a/b");
        umask(before);
        for (const char* made : {"a", "a/b"})
            EXPECT_EQ(fs::status(dir_ / made).permissions() & fs::perms::owner_all,
                      fs::perms::owner_all)
                << made;
        // Made one by one where the system goes: '..' after a link is the link's parent.
        fs::create_directories(dir_ / "other/sub");
        fs::create_directory_symlink(dir_ / "other/sub", dir_ / "link");
        const SessionLock linked(dir_ / "link/../new");
        EXPECT_TRUE(fs::exists(dir_ / "other/new/.studio-session.lock"));
        EXPECT_FALSE(fs::exists(dir_ / "new"));
    } catch (...) {
        umask(before);
        throw;
    }
}

// A session restored from the session file goes on in it: restarts of one
// project (restore, a change) neither fill the history with copies of it nor
// push another project's session out. Starting afresh still keeps it aside.
TEST_F(StudioServerTest, ARestoredSessionIsSavedInItsFile) {
    const std::string out = dir_ / "again";
    std::vector<kv3PlanePelBuffer> pictures;
    for (int v : {30, 90}) {
        pictures.emplace_back(kvPelRect(0, 0, 16, 12));
        for (kvPelBuffer<unsigned char> plane :
             {pictures.back().plane0(), pictures.back().plane1(), pictures.back().plane2()})
            kfPelSet(plane, v);
    }
    const auto start = [&](std::size_t picture) {
        auto s = std::make_unique<StudioSession>(out);
        s->addImage("p", "", pictures[picture]);
        EXPECT_EQ(s->findRestore(), "");
        return s;
    };
    const auto count = [&]() {
        std::size_t files = 0;
        for (const auto& entry : fs::directory_iterator(out))
            files += entry.path().extension() == ".clsgs";
        return files;
    };
    auto first = start(0);
    first->addLabel("x");
    first->paintMarks(0, 2, 2, 3, 3, Bytes(9, 1));
    first->autosave();
    for (int i = 0; i < 25; ++i) {
        auto s = start(1);
        if (s->pendingRestore())
            EXPECT_FALSE(s->restore(true));  // from the session file: nothing to save yet
        else
            s->addLabel("y");
        s->paintMarks(0, i % 10, 5, 1, 1, Bytes(1, 1));
        s->autosave();
    }
    EXPECT_EQ(count(), 2u);  // picture 1's session, and picture 0's kept aside
    auto back = start(0);
    ASSERT_TRUE(back->pendingRestore());
    EXPECT_TRUE(back->restore(true));  // from the previous file
    EXPECT_EQ(std::count(back->images()[0].marks.begin(), back->images()[0].marks.end(), 1), 9);

    auto afresh = start(1);
    ASSERT_TRUE(afresh->pendingRestore());
    afresh->restore(false);
    afresh->addLabel("z");
    afresh->autosave();
    EXPECT_EQ(count(), 3u);
    EXPECT_NE(clsgtest::slurp(out + "/studio-session.previous.clsgs").find("\"y\""),
              std::string::npos);
}

// A session restored from a file kept aside does not carry on its marks of
// images a newer file has marks for: a later studio on such an image is offered
// the newer ones. Its marks of images no newer file has marks for are carried on.
TEST_F(StudioServerTest, ARestoreFromAnOlderFileHidesNoNewerMarks) {
    const std::string out = dir_ / "newer";
    std::vector<kv3PlanePelBuffer> pictures;  // coffee, chelsea, a third
    for (int v : {30, 90, 150}) {
        pictures.emplace_back(kvPelRect(0, 0, 16, 12));
        for (kvPelBuffer<unsigned char> plane :
             {pictures.back().plane0(), pictures.back().plane1(), pictures.back().plane2()})
            kfPelSet(plane, v);
    }
    const auto start = [&](std::vector<std::size_t> open) {
        auto s = std::make_unique<StudioSession>(out);
        for (std::size_t p : open) s->addImage("p" + std::to_string(p), "", pictures[p]);
        EXPECT_EQ(s->findRestore(), "");
        return s;
    };
    const auto marked = [](const StudioSession& s, std::size_t image) {
        const Bytes& m = s.images()[image].marks;
        return std::count_if(m.begin(), m.end(), [](uint8_t v) { return v != 0; });
    };
    auto all = start({0, 1, 2});
    all->addLabel("old");
    for (std::size_t i = 0; i < 3; ++i) all->paintMarks(i, 0, 0, 2, 2, Bytes(4, 1));
    all->autosave();
    auto coffee = start({0, 2});  // the third open, and left without marks
    ASSERT_TRUE(coffee->pendingRestore());
    coffee->restore(false);
    coffee->addLabel("new");
    coffee->paintMarks(0, 5, 5, 5, 5, Bytes(25, 1));
    coffee->autosave();
    auto chelsea = start({1});
    ASSERT_TRUE(chelsea->pendingRestore());
    EXPECT_TRUE(chelsea->restore(true));  // the first session's, kept aside
    chelsea->paintMarks(0, 8, 8, 3, 3, Bytes(9, 1));
    chelsea->autosave();

    auto again = start({0});
    ASSERT_TRUE(again->pendingRestore());
    again->restore(true);
    ASSERT_EQ(again->labels().size(), 1u);
    EXPECT_EQ(again->labels()[0].name, "new");
    EXPECT_EQ(marked(*again, 0), 25);
    auto third = start({2});  // carried on in chelsea's session
    ASSERT_TRUE(third->pendingRestore());
    EXPECT_EQ(third->offeredPath(), out + "/studio-session.clsgs");
    third->restore(true);
    EXPECT_EQ(marked(*third, 0), 4);
}

// Rewrites a session file: edit changes its JSON head and the marks after it.
void editSession(const std::string& path, const std::function<void(json&, std::string&)>& edit) {
    const std::string bytes = clsgtest::slurp(path), magic = "clsg studio session 1\n";
    ASSERT_EQ(bytes.compare(0, magic.size(), magic), 0);
    uint64_t size = 0;
    for (int b = 7; b >= 0; --b)
        size = size << 8 | static_cast<unsigned char>(bytes[magic.size() + b]);
    json head = json::parse(bytes.substr(magic.size() + 8, size));
    std::string marks = bytes.substr(magic.size() + 8 + size);
    edit(head, marks);
    const std::string text = head.dump();
    std::string length;
    for (int b = 0; b < 8; ++b) length += static_cast<char>(uint64_t{text.size()} >> (8 * b));
    clsgtest::writeBytes(path, magic + length + text + marks);
}

// Sessions on other images keep the earlier ones' files (up to a number), so one
// directory serves many images; only the open images' marks are decoded; a file
// whose settings the studio refuses is not restored.
TEST_F(StudioServerTest, EarlierSessionsOnOtherImagesAreKeptAndOffered) {
    const std::string out = dir_ / "many";
    std::vector<kv3PlanePelBuffer> pictures;
    for (int v : {30, 90, 150}) {
        pictures.emplace_back(kvPelRect(0, 0, 16, 12));
        for (kvPelBuffer<unsigned char> plane :
             {pictures.back().plane0(), pictures.back().plane1(), pictures.back().plane2()})
            kfPelSet(plane, v);
    }
    const auto session = [&](std::size_t picture, uint8_t mark) {
        StudioSession s(out);
        s.addImage("p", "", pictures[picture]);
        EXPECT_EQ(s.findRestore(), "");
        s.addLabel("x");
        s.paintMarks(0, 2, 2, 3, 3, Bytes(9, mark));
        s.autosave();
    };
    session(0, 1), session(1, 1), session(2, 1);  // each on a picture of its own
    StudioSession back(out);
    back.addImage("p", "", pictures[0]);
    EXPECT_EQ(back.findRestore(), "");
    ASSERT_TRUE(back.pendingRestore());
    back.restore(true);
    EXPECT_EQ(std::count(back.images()[0].marks.begin(), back.images()[0].marks.end(), 1), 9);

    for (int i = 0; i < 25; ++i) session(1, 1);
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(out))
        files += entry.path().extension() == ".clsgs";
    EXPECT_EQ(files, 2u + 20u);  // the current, the previous and twenty older ones

    // Ten entries of 16384 x 16384 zeros for images not open: 6 bytes each.
    const std::string path = out + "/studio-session.clsgs";
    editSession(path, [](json& head, std::string& marks) {
        for (uint64_t d = 1; d <= 10; ++d) {
            head["images"].push_back({{"name", "huge"},
                                      {"width", 16384},
                                      {"height", 16384},
                                      {"digest", d},
                                      {"marks", 6}});
            marks += std::string("\0\x80\x80\x80\x80\x01", 6);
        }
    });
    const auto kib = [](const char* key) {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
        return -1L;
    };
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = kib("VmRSS:");
    StudioSession again(out);
    again.addImage("p", "", pictures[1]);
    EXPECT_EQ(again.findRestore(), "");
    EXPECT_TRUE(again.pendingRestore());
    EXPECT_LT(kib("VmHWM:") - before, 64 * 1024);
    // Restored, they are renumbered as labels come and go, still encoded.
    again.restore(true);
    again.insertLabel(0, "y", std::nullopt);
    again.deleteLabel(1);
    EXPECT_LT(kib("VmHWM:") - before, 64 * 1024);

    // Damaged so that a later step would trip over it: not restored (alone in
    // the directory, so that no older file is offered instead).
    const auto damaged = [&](const std::function<void(json&, std::string&)>& edit,
                             const std::string& why) {
        fs::remove_all(out);
        session(1, 1);
        editSession(path, edit);
        StudioSession refused(out);
        refused.addImage("p", "", pictures[1]);
        EXPECT_NE(refused.findRestore().find("is damaged (" + why + ")"), std::string::npos) << why;
        EXPECT_FALSE(refused.pendingRestore());
    };
    damaged([](json& head, std::string&) { head["settings"]["toleranceMin"] = 100000; },
            "its settings are refused: the smallest tolerance must lie between 0 and 255");
    damaged([](json& head, std::string&) { head["settings"]["neighborhood"] = 4294967299u; },
            "its setting neighborhood is out of range");  // not taken as 3
    damaged([](json&, std::string& marks) { marks += "x"; },
            "bytes after the marks its head lists");
    damaged([](json&, std::string& marks) { marks.pop_back(); }, "truncated");
    damaged([](json& head, std::string&) { head["labels"].push_back(head["labels"][0]); },
            "two labels are named x");
    damaged([](json& head, std::string&) { head["labels"][0]["color"] = uint64_t{1} << 40; },
            "a label's colour is out of range");  // not taken as black
    for (const json& when : {json(-1000000000000000000), json(int64_t{1} << 60), json("noon")})
        damaged([&](json& head, std::string&) { head["savedAt"] = when; },
                "its time of saving is out of range");
    damaged(  // an image not open whose marks name a label there is not
        [](json& head, std::string& marks) {
            const std::string runs = encodeRuns(Bytes(4, 2).data(), 4);
            head["images"].push_back({{"name", "q"},
                                      {"width", 2},
                                      {"height", 2},
                                      {"digest", 7},
                                      {"marks", runs.size()}});
            marks += runs;
        },
        "bad marks");

    // A large file of something else costs its first bytes only; a damaged head's
    // bytes are not written to the terminal as they are.
    fs::remove_all(out);
    fs::create_directories(out);
    std::ofstream(path, std::ios::binary).close();
    fs::resize_file(path, uint64_t{600} << 20);  // sparse: zeros
    std::ofstream("/proc/self/clear_refs") << "5";
    const long start = kib("VmRSS:");
    StudioSession zeros(out);
    EXPECT_EQ(zeros.findRestore(),
              path + " is damaged (not a session file); it is kept, not restored");
    std::ofstream(path, std::ios::binary | std::ios::trunc) << "clsg studio session 1\n";
    fs::resize_file(path, uint64_t{600} << 20);  // the magic line, then zeros: no head
    EXPECT_EQ(zeros.findRestore(), path + " is damaged (truncated); it is kept, not restored");
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        << "clsg studio session 1\n" + std::string("\x02\0\0\0\0\0\0\0{}", 10);
    fs::resize_file(path, uint64_t{600} << 20);  // a head of its own, then zeros
    EXPECT_NE(zeros.findRestore().find(" is damaged ([json.exception"), std::string::npos);
    EXPECT_LT(kib("VmHWM:") - start, 64 * 1024);
    const std::string head = "{\"labels\":\x9b";
    std::string raw = "clsg studio session 1\n";
    for (int i = 0; i < 8; ++i) raw += static_cast<char>(i == 0 ? head.size() : 0);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << raw + head;
    const std::string said = zeros.findRestore();
    EXPECT_NE(said.find("is damaged ("), std::string::npos) << said;
    EXPECT_EQ(said.find('\x9b'), std::string::npos) << said;
}

// The newest file with marks for the images is offered: of two moved aside
// in one second, the later (-0002), and past a damaged newer one.
// An earlier session is never replaced for want of a place to move it: with
// the previous one's name held by a folder it goes among the older ones, and
// folders named like older sessions are not counted among the twenty kept.
// The page cannot name an export or a saved tool like a session file.
TEST_F(StudioServerTest, EarlierSessionsAreMovedAsideWhateverHoldsTheirNames) {
    const std::string out = dir_ / "held";
    kv3PlanePelBuffer picture(kvPelRect(0, 0, 16, 12));
    for (kvPelBuffer<unsigned char> plane : {picture.plane0(), picture.plane1(), picture.plane2()})
        kfPelSet(plane, 60);
    const auto session = [&]() {
        StudioSession s(out);
        s.addImage("p", "", picture);
        s.findRestore();
        s.addLabel("x");
        s.paintMarks(0, 2, 2, 3, 3, Bytes(9, 1));
        s.autosave();
    };
    fs::create_directories(out + "/studio-session.previous.clsgs/inside");
    for (int i = 10; i < 35; ++i)  // newer than any session moved aside today
        fs::create_directories(out + "/studio-session.20991231-000000-00" + std::to_string(i) +
                               ".clsgs/inside");
    session(), session(), session();
    // An image opened in the page has no file to name in the run line: said there.
    StudioSession mixed(dir_ / "mixed");
    mixed.addImage("named", imagePath_, picture);
    mixed.addImage("upload", "", picture);
    const std::string line = mixed.runCommand("t.clsg");
    EXPECT_NE(line.find(" " + imagePath_ + " --out "), std::string::npos) << line;
    EXPECT_NE(line.find("  # add the files of the images opened in the page: upload"),
              std::string::npos)
        << line;
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(out))
        files += entry.is_regular_file() && entry.path().extension() == ".clsgs";
    EXPECT_EQ(files, 3u);  // the current one and both earlier ones
    for (const char* name : {"studio-session.previous.clsgs", "studio-session.clsgs", "a.clsgs"})
        EXPECT_THROW(confinedPath(out, name, ""), StudioError) << name;
    // A FIFO in a session file's place is said and passed over, not waited on.
    const std::string fifo = dir_ / "fifo";
    fs::create_directories(fifo);
    ASSERT_EQ(::mkfifo((fifo + "/studio-session.clsgs").c_str(), 0600), 0);
    StudioSession opened(fifo);
    opened.addImage("p", "", picture);
    EXPECT_EQ(opened.findRestore(),
              fifo + "/studio-session.clsgs is not a regular file; it is kept");
    opened.addLabel("x");  // nor written into
    EXPECT_THROW(opened.autosave(), StudioError);
    EXPECT_TRUE(fs::is_fifo(fifo + "/studio-session.clsgs"));
}

TEST_F(StudioServerTest, TheNewestIntactSessionIsOffered) {
    const std::string out = dir_ / "aside";
    const auto session = [&](long x) {
        StudioSession s(out);
        s.addImage("p", "", image_);
        s.addLabel("x");
        s.paintMarks(0, x, 2, 3, 3, Bytes(9, 1));
        s.autosave();
    };
    const auto offered = [&](std::string* warning = nullptr) {
        StudioSession s(out);
        s.addImage("p", "", image_);
        const std::string why = s.findRestore();
        if (warning) *warning = why;
        if (!s.pendingRestore()) return -1L;
        s.restore(true);
        const Bytes& m = s.images()[0].marks;
        return long(std::find(m.begin(), m.end(), 1) - m.begin()) - 2 * kW;
    };
    session(2), session(20);  // the current file has x 20, the previous one x 2
    fs::rename(out + "/studio-session.previous.clsgs",
               out + "/studio-session.20261209-101010.clsgs");
    fs::rename(out + "/studio-session.clsgs", out + "/studio-session.20261209-101010-0002.clsgs");
    EXPECT_EQ(offered(), 20);
    // A damaged current file is said, and the older one offered all the same.
    clsgtest::writeBytes(out + "/studio-session.clsgs", "CLSG studio session, cut short");
    std::string warning;
    EXPECT_EQ(offered(&warning), 20);
    EXPECT_NE(warning.find("studio-session.clsgs is damaged"), std::string::npos) << warning;
}

// Of two images of the same pixels, one opened alone gets its own marks back
// (not those of the other, saved first).
TEST_F(StudioServerTest, AnImageWithATwinOpenedAloneGetsItsOwnMarks) {
    const std::string out = dir_ / "twins";
    kv3PlanePelBuffer inverted = kfPelCopy(image_);
    for (kvPelBuffer<unsigned char> plane :
         {inverted.plane0(), inverted.plane1(), inverted.plane2()})
        for (long y = 0; y < kH; ++y)
            for (long x = 0; x < kW; ++x) plane.pointToRow(y)[x] ^= 0xff;
    {
        StudioSession s(out);
        s.addImage("twin", "", image_);
        s.addImage("coffee", "", image_);
        s.addImage("inverted", "", inverted);
        s.addLabel("x");
        s.paintMarks(0, 20, 2, 3, 3, Bytes(9, 1));
        s.paintMarks(1, 2, 2, 3, 3, Bytes(9, 1));
        s.paintMarks(2, 9, 9, 3, 3, Bytes(9, 1));
        s.autosave();
    }
    const auto firstMark = [](const StudioSession& s, std::size_t image) {
        const Bytes& m = s.images()[image].marks;
        return std::find(m.begin(), m.end(), 1) - m.begin();
    };
    StudioSession alone(out);
    alone.addImage("coffee", "", image_);
    EXPECT_EQ(alone.findRestore(), "");
    ASSERT_TRUE(alone.pendingRestore());
    alone.restore(true);
    EXPECT_EQ(firstMark(alone, 0), 2 * kW + 2);
    // Restored while neither is open, each gets its own when opened, the one
    // saved second first.
    StudioSession later(out);
    later.addImage("inverted", "", inverted);
    EXPECT_EQ(later.findRestore(), "");
    ASSERT_TRUE(later.pendingRestore());
    later.restore(true);
    later.addImage("coffee", "", image_);
    later.addImage("twin", "", image_);
    EXPECT_EQ(firstMark(later, 1), 2 * kW + 2);
    EXPECT_EQ(firstMark(later, 2), 2 * kW + 20);
}

// The image over the limit of open images is named in its refusal (a folder
// of many says which were left out).
TEST_F(StudioServerTest, AnImageOverTheLimitIsNamed) {
    StudioSession s(dir_ / "many");
    for (int i = 0; i < 64; ++i) s.addImage("i" + std::to_string(i), "", image_);
    try {
        s.addImage("one-too-many", "", image_);
        ADD_FAILURE() << "a 65th image opened";
    } catch (const StudioError& e) {
        EXPECT_STREQ(e.what(), "cannot open one-too-many: a studio opens at most 64 images");
    }
}

// And so is one the page sends: it lists the files that did not open.
TEST_F(StudioServerTest, AnUploadOverTheLimitIsNamed) {
    const std::string png = clsgtest::slurp(imagePath_);
    for (int i = 1; i < 64; ++i) ASSERT_EQ(code(post("/api/images?name=i.png", png, kBinary)), 200);
    const auto over = post("/api/images?name=late.png", png, kBinary);
    ASSERT_TRUE(over);
    EXPECT_NE(over->body.find("late.png: a studio opens at most 64 images"), std::string::npos)
        << over->body;
}

// A raw connection to a port on 127.0.0.1.
struct Raw {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string got;  // read and not yet taken
    bool closed = false;
    explicit Raw(int port) {
        sockaddr_in a{};
        a.sin_family = AF_INET, a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~Raw() { close(fd); }
    bool send(const std::string& s) {
        return ::send(fd, s.data(), s.size(), MSG_NOSIGNAL) == ssize_t(s.size());
    }
    // False when the server closed, or ms passed without a byte.
    bool more(int ms) {
        pollfd p{fd, POLLIN, 0};
        char b[4096];
        const ssize_t n = poll(&p, 1, ms) > 0 ? recv(fd, b, sizeof b, 0) : -2;
        closed = n == 0 || n == -1;
        if (n > 0) got.append(b, std::size_t(n));
        return n > 0;
    }
    // The next whole answer, "" when none comes.
    std::string answer() {
        for (;;) {
            const std::size_t head = got.find("\r\n\r\n"), at = got.find("Content-Length: ");
            const std::size_t size = head + 4 + (at < head ? std::stoul(got.substr(at + 16)) : 0);
            if (head != std::string::npos && got.size() >= size) {
                const std::string a = got.substr(0, size);
                return got.erase(0, size), a;
            }
            if (!more(3000)) return "";
        }
    }
    // Whether the server closes the connection with nothing more said.
    bool closes() {
        while (more(3000)) {
        }
        return closed && got.empty();
    }
};

// A stop waits neither for a slow client nor for a search; a second signal ends
// the studio at once.
TEST_F(StudioServerTest, AStopEndsWaitsAndASecondSignalEndsAtOnce) {
    using std::chrono::steady_clock;
    StudioProcess slow(imagePath_ + " --out " + dir_ / "s");
    Raw body(slow.port);  // a request thread waits for the rest of this body
    body.send(std::string("POST /api/labels HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Clsg-Token: ") +
              slow.token + "\r\nContent-Length: 100\r\n\r\n{\"op\":");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto start = steady_clock::now();
    const auto [status, printed] = slow.stop(SIGINT);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << printed;
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(5));

    // Each step of this search waits 10 s, and a stop lets it end its step.
    StudioProcess searching(imagePath_ + " --out " + dir_ / "t --auto-step-delay 10000");
    searching.call("/api/labels", {{"op", "add"}, {"name", "orange"}});
    searching.call("/api/labels", {{"op", "add"}, {"name", "teal"}});
    Bytes values(6 * 4, 2);
    std::fill(values.begin(), values.begin() + 12, 1);
    ASSERT_EQ(code(searching.client->Post("/api/marks?i=0&x=20&y=5&w=6&h=4",
                                          encodeRuns(values.data(), values.size()), kBinary)),
              200);
    std::thread search([&] { searching.client->Post("/api/auto", "{}", "application/json"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(searching.pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    start = steady_clock::now();
    const auto [killed, said] = searching.stop(SIGINT);
    EXPECT_TRUE(WIFEXITED(killed) && WEXITSTATUS(killed) == 128 + SIGINT) << killed << said;
    EXPECT_NE(said.find("stopped at once"), std::string::npos) << said;
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(3));
    search.join();

    // One signal: the search ends its step, and the page hears that the studio
    // stopped, not that someone cancelled.
    StudioProcess quick(imagePath_ + " --out " + dir_ / "q --auto-step-delay 300");
    quick.call("/api/labels", {{"op", "add"}, {"name", "orange"}});
    quick.call("/api/labels", {{"op", "add"}, {"name", "teal"}});
    ASSERT_EQ(code(quick.client->Post("/api/marks?i=0&x=20&y=5&w=6&h=4",
                                      encodeRuns(values.data(), values.size()), kBinary)),
              200);
    int searchStatus = 0;
    std::string searchBody;
    std::thread stopped([&] {
        if (auto r = quick.client->Post("/api/auto", "{}", "application/json"))
            searchStatus = r->status, searchBody = r->body;
    });
    httplib::Client watcher("127.0.0.1", quick.port);  // a second connection, while one waits
    watcher.set_default_headers({{"X-Clsg-Token", quick.token}});
    for (int i = 0; i < 20000 && searchStatus == 0; ++i) {
        const httplib::Result r = watcher.Get("/api/auto/progress");
        if (r && json::parse(r->body)["running"] == true) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    quick.stop(SIGINT);
    stopped.join();
    EXPECT_EQ(searchStatus, 503);
    EXPECT_NE(searchBody.find("the studio is stopping"), std::string::npos) << searchBody;
}

// A second signal while the studio stops, here with a tool half written into a
// pipe no one reads, ends it at once, and the tool's partial file goes with it.
TEST_F(StudioServerTest, ASecondSignalRemovesTheStudiosPartialFiles) {
    const std::string out = dir_ / "piped", tmp = dir_ / "tmp", noisy = dir_ / "noise.png";
    kv3PlanePelBuffer noise(kvPelRect(0, 0, 400, 400));  // a tool far larger than a pipe holds
    std::mt19937 random(3);
    for (kvPelBuffer<unsigned char> plane : {noise.plane0(), noise.plane1(), noise.plane2()})
        for (long y = 0; y < 400; ++y)
            for (long x = 0; x < 400; ++x) plane.pointToRow(y)[x] = uint8_t(random());
    writeColorImage(noisy, noise, ImageFormat::Png);
    fs::create_directories(out), fs::create_directories(tmp);
    ASSERT_EQ(::mkfifo((out + "/t.clsg").c_str(), 0600), 0);
    const int reader = ::open((out + "/t.clsg").c_str(), O_RDWR | O_CLOEXEC);  // never reads
    StudioProcess studio(noisy + " --out " + out, "TMPDIR='" + tmp + "' ");
    studio.call("/api/labels", {{"op", "add"}, {"name", "a"}});
    studio.call("/api/labels", {{"op", "add"}, {"name", "b"}});
    Bytes halves(400 * 400, 1);
    std::fill(halves.begin() + 200 * 400, halves.end(), 2);
    ASSERT_EQ(code(studio.client->Post("/api/marks?i=0&x=0&y=0&w=400&h=400",
                                       encodeRuns(halves.data(), halves.size()), kBinary)),
              200);
    std::thread save(
        [&] { studio.client->Post("/api/save", R"({"file":"t.clsg"})", "application/json"); });
    const auto waiting = [&] {  // the tool, written, waits for the pipe
        std::error_code ec;
        for (fs::directory_iterator it(tmp, ec), end; !ec && it != end; it.increment(ec))
            if (fs::file_size(it->path(), ec) > (64u << 10)) return true;
        return false;
    };
    for (int i = 0; i < 600 && !waiting(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(waiting());  // signalled all the same, so that the save ends
    std::this_thread::sleep_for(std::chrono::seconds(1));
    kill(studio.pid, SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto [status, said] = studio.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status << said;
    EXPECT_NE(said.find("stopped at once; finished outputs kept, partial files removed"),
              std::string::npos)
        << said;
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp), fs::directory_iterator()), 0);
    save.join();
    ::close(reader);
}

// Request heads are read at the door, many at once: clients that send them
// slowly or without end hold no request thread and little memory.
TEST_F(StudioServerTest, SlowAndEndlessHeadsHoldNoRequestThread) {
    // More trickling clients than request threads, and than the door keeps.
    std::vector<std::unique_ptr<Raw>> slow;
    for (int i = 0; i < 200; ++i) {
        slow.push_back(std::make_unique<Raw>(port_));
        slow.back()->send("GET /api/state HTTP/1.1\r\n");
    }
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        while (!done) {
            for (auto& c : slow) c->send("X-Slow: 1\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    client_->set_read_timeout(3, 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(code(client_->Get("/api/state")), 200) << i;
    done = true;
    trickle.join();

    // Limits of their own: a head too large or too slow is answered and cut;
    // an idle connection is closed.
    const std::string host = "Host: 127.0.0.1\r\n", token = std::string("X-Clsg-Token: ") + kToken;
    StudioServer small(session_, kToken,
                       {4096, std::chrono::milliseconds(300), std::chrono::milliseconds(1000), 4, 2,
                        std::chrono::milliseconds(1000)});
    const int port = small.bind(0);
    std::thread serving([&] { small.serve(); });
    Raw large(port), late(port), idle(port);
    const std::string lines = "X-Flood: " + std::string(500, 'a') + "\r\n";
    large.send("GET /api/state HTTP/1.1\r\n");
    for (int i = 0; i < 8; ++i) large.send(lines);
    late.send("GET /api/state HTTP/1.1\r\n" + host);
    EXPECT_EQ(large.answer().substr(0, 12), "HTTP/1.1 431");
    EXPECT_EQ(late.answer().substr(0, 12), "HTTP/1.1 408");
    EXPECT_TRUE(large.closes() && late.closes() && idle.closes());
    // Bodies that trickle in on both request threads are cut at their time.
    std::vector<std::unique_ptr<Raw>> bodies;
    for (int i = 0; i < 2; ++i) {
        bodies.push_back(std::make_unique<Raw>(port));
        bodies.back()->send("POST /api/labels HTTP/1.1\r\n" + host + token +
                            "\r\nContent-Length: 100\r\n\r\n{");
    }
    std::atomic<bool> cut{false};
    std::thread drip([&] {
        for (int i = 0; i < 150 && !cut; ++i) {
            for (auto& b : bodies) b->send(" ");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    httplib::Client fresh("127.0.0.1", port);
    fresh.set_default_headers({{"X-Clsg-Token", kToken}});
    fresh.set_read_timeout(8, 0);
    EXPECT_EQ(code(fresh.Get("/api/state")), 200);
    cut = true;
    drip.join();

    // Requests one after another on a connection, some in one packet; the
    // body a refusal leaves unread is never taken for a request.
    Raw kept(port);
    const std::string get = "GET /api/state HTTP/1.1\r\n" + host + token + "\r\n\r\n";
    kept.send(get + get);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(kept.answer().substr(0, 12), "HTTP/1.1 200") << i;
        if (i == 1) kept.send(get);
    }
    Raw smuggle(port);
    const std::string inner =
        "GET /api/state?token=" + std::string(kToken) + " HTTP/1.1\r\n" + host + "\r\n";
    smuggle.send("POST /api/labels HTTP/1.1\r\n" + host +
                 "Content-Length: " + std::to_string(inner.size()) + "\r\n\r\n" + inner);
    EXPECT_EQ(smuggle.answer().substr(0, 12), "HTTP/1.1 403");
    EXPECT_TRUE(smuggle.closes()) << smuggle.got;
    // A body larger than its route takes is refused before a byte of it is sent.
    for (const auto& [path, length] :
         {std::pair<std::string, std::string>{"/api/labels", "1048577"},
          {"/api/images?name=a.png", "999999999999"},
          {"/api/marks?i=0&x=0&y=0&w=3&h=2", "29"},
          {"/api/marks?i=0&x=0&y=0&w=0&h=2", "1048577"}}) {
        Raw big(port);
        big.send("POST " + path + " HTTP/1.1\r\n" + host + token + "\r\nContent-Length: " + length +
                 "\r\n\r\n");
        EXPECT_EQ(big.answer().substr(0, 12), "HTTP/1.1 413") << path;
        EXPECT_TRUE(big.closes()) << big.got;
    }
    Raw fits(port);  // a byte less is read, and its route answers for it
    fits.send("POST /api/marks?i=0&x=0&y=0&w=3&h=2 HTTP/1.1\r\n" + host + token +
              "\r\nContent-Length: 28\r\n\r\n" + std::string(28, '\x01'));
    EXPECT_NE(fits.answer().find("not a valid run encoding of 3 x 2 pixels"), std::string::npos);
    small.stop();
    serving.join();
}

// 150 MiB of headers cost the studio no more than one head's bytes.
TEST_F(StudioServerTest, AHeaderFloodIsCutOff) {
    StudioProcess studio(imagePath_ + " --out " + dir_ / "f");
    const auto peak = [&] {
        std::ifstream status("/proc/" + std::to_string(studio.pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));  // KiB
        return -1L;
    };
    const long before = peak();
    Raw flood(studio.port);
    const std::string line = "X-Flood: " + std::string(8000, 'a') + "\r\n";
    std::size_t sent = flood.send("GET /api/state HTTP/1.1\r\n") ? 0 : 1;
    while (sent < (150u << 20) && flood.send(line)) sent += line.size();
    EXPECT_LT(sent, 150u << 20) << "the flood was taken whole";
    EXPECT_LT(peak() - before, 16 * 1024) << before << " KiB before";
    EXPECT_EQ(code(studio.client->Get("/api/state")), 200);
    studio.stop(SIGTERM);
}

}  // namespace

namespace {

// The legend's region counts and the region under a pixel equal the table
// clsg run --regions writes with the saved tool on the same image.
TEST_F(StudioServerTest, RegionCountsAndAreasMatchTheCommandLine) {
    // A second image: orange with teal squares of 1 to 4 pixels a side.
    kv3PlanePelBuffer spots = kfPelCopy(image_);
    const std::array planes{&spots.plane0(), &spots.plane1(), &spots.plane2()};
    for (long y = 0; y < kH; ++y)
        for (long x = 0; x < kW; ++x) {
            const long side = 1 + (x / 8) % 4;
            const bool teal = x % 8 >= 1 && x % 8 < 1 + side && y % 6 >= 1 && y % 6 < 1 + side;
            for (int k = 0; k < 3; ++k)
                planes[k]->pointToRow(y)[x] = planes[k]->pointToRow(y)[teal ? 30 : 3];
        }
    const std::string spotsPath = dir_ / "spots.png";
    writeColorImage(spotsPath, spots, ImageFormat::Png);
    session_.addImage("spots", spotsPath, spots);
    twoLabels();
    api("/api/settings", settings(0.1, 2, 1));
    EXPECT_EQ(api("/api/region", {{"image", 1}, {"x", 3}, {"y", 4}}), json(nullptr));  // none yet
    const std::string path = api("/api/save", {{"file", "t"}})["path"];
    for (int minArea : {0, 3}) {
        const httplib::Result r = post(
            "/api/segment", json{{"image", 1}, {"view", "labels"}, {"minArea", minArea}}.dump());
        ASSERT_EQ(code(r), 200);
        const Frame frame = parseFrame(r->body);
        const std::string out = dir_ / ("run" + std::to_string(minArea));
        ASSERT_EQ(std::system(("'" CLSG_CLI_PATH "' run " + path + " " + spotsPath + " --out " +
                               out + " -n 1 --regions --min-area " + std::to_string(minArea) +
                               " --summary " + out + "/s.csv >/dev/null")
                                  .c_str()),
                  0);
        const std::string summary = clsgtest::slurp(out + "/s.csv");
        const std::vector<uint64_t> counts = frame.meta["regions"];
        ASSERT_EQ(counts.size(), 2u);
        EXPECT_NE(
            summary.find("," + std::to_string(counts[0]) + "," + std::to_string(counts[1]) + ",\n"),
            std::string::npos)
            << summary << frame.meta["regions"];
        const std::string csv = clsgtest::slurp(out + "/spots-regions.csv");
        // 5 rows of sides 1, 2, 3, 4, 1: with a minimum of 3 pixels, those of 2,
        // 3 and 4; without, some single pixels too.
        EXPECT_TRUE(minArea == 0 ? counts[1] > 15 : counts[1] == 15) << counts[1];
        EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), long(1 + counts[0] + counts[1]));
        // The page's label image, its shares and its preview are run's, small regions dropped.
        const Bytes runLabels = bytesOf(readGreyImage(out + "/spots-labels.png"));
        EXPECT_EQ(frame.pixels, runLabels);
        std::vector<uint64_t> shares(3);
        for (uint8_t v : runLabels) ++shares[std::min<uint8_t>(v, 2)];
        EXPECT_EQ(frame.meta["counts"], json(shares));
        const httplib::Result small =
            post("/api/preview", json{{"image", 1}, {"size", 1024}, {"minArea", minArea}}.dump());
        ASSERT_EQ(code(small), 200);
        const uint32_t n = uint8_t(small->body[0]) | uint8_t(small->body[1]) << 8;
        EXPECT_EQ(json::parse(small->body.substr(4, n))["counts"], json(shares));
        EXPECT_EQ(Bytes(small->body.end() - kW * kH, small->body.end()), runLabels);
        const std::string command =
            api("/api/save", {{"file", "t"}, {"minArea", minArea}})["command"];
        EXPECT_EQ(command.find(" --min-area "),
                  minArea ? command.rfind(" --min-area 3") : command.npos)
            << command;
        // Hovering: the region under a pixel, as its CSV row has it.
        const json region = api("/api/region", {{"image", 1}, {"x", 3}, {"y", 4}});
        ASSERT_TRUE(region.is_object()) << region;
        const std::string row = "orange," + std::to_string(region["id"].get<int>()) + "," +
                                std::to_string(region["area"].get<uint64_t>()) + ",";
        EXPECT_NE(csv.find("\n" + row), std::string::npos) << row << " in\n" << csv;
        // With the page's minimum, regions are numbered as run --min-area numbers them, and a
        // smaller one is no region.
        const json square =
            api("/api/region", {{"image", 1}, {"x", 9}, {"y", 1}, {"minArea", minArea}});
        ASSERT_TRUE(square.is_object()) << square;
        const std::string squareRow = "teal," + std::to_string(square["id"].get<int>()) + ",4,";
        EXPECT_NE(csv.find("\n" + squareRow), std::string::npos) << squareRow << " in\n" << csv;
        const json speck =
            api("/api/region", {{"image", 1}, {"x", 1}, {"y", 1}, {"minArea", minArea}});
        EXPECT_EQ(speck.is_null(), minArea > 1) << speck;
    }
    api("/api/region", {{"image", 1}, {"x", -1}, {"y", 4}}, 400);
    EXPECT_EQ(api("/api/region", {{"image", 1}, {"x", kW}, {"y", 4}}), json(nullptr));
    EXPECT_EQ(api("/api/region", {{"image", 0}, {"x", 3}, {"y", 4}}), json(nullptr));  // not kept
    api("/api/region", {{"image", 2}, {"x", 3}, {"y", 4}}, 422);                       // not open
    // A label image of other labels or settings is not kept: no stale region.
    ASSERT_TRUE(api("/api/region", {{"image", 1}, {"x", 3}, {"y", 4}}).is_object());
    api("/api/settings", settings(0.1, 2, 3));
    EXPECT_EQ(api("/api/region", {{"image", 1}, {"x", 3}, {"y", 4}}), json(nullptr));
    api("/api/settings", settings(0.1, 2, 1));
    ASSERT_EQ(code(post("/api/segment", json{{"image", 1}}.dump())), 200);
    api("/api/labels", {{"op", "delete"}, {"label", 0}});
    EXPECT_EQ(api("/api/region", {{"image", 1}, {"x", 3}, {"y", 4}}), json(nullptr));
}

}  // namespace
