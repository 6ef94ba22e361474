// clsg run on video files, end to end: the overlay video and the per-frame
// CSV, a file that is no video beside one that is, and Ctrl-C mid-clip.
#include <fcntl.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "clsg/io/tool_file.h"
#include "test_images.h"

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
// As in the element: GLib's lifelong blocks are not this test's leaks.
extern "C" const char* __lsan_default_suppressions() { return "leak:libglib-2.0.so\n"; }
#endif

namespace {

using namespace clsg;  // the file library

struct Dir {
    fs::path path;
    Dir() {
        char pattern[] = "/tmp/clsg-video-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~Dir() { fs::remove_all(path); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs a launch line to its end; the number of buffers its fakesink saw, or -1 on error.
int runLine(const std::string& line) {
    GError* error = nullptr;
    GstElement* p =
        gst_parse_launch((line + " ! fakesink name=sink signal-handoffs=true").c_str(), &error);
    if (error) g_clear_error(&error);
    if (!p) return -1;
    int buffers = 0;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "sink");
    g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement*, GstBuffer*, GstPad*, gpointer n) {
                         ++*static_cast<int*>(n);
                     }),
                     &buffers);
    gst_object_unref(sink);
    gst_element_set_state(p, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(p);
    GstMessage* m = gst_bus_timed_pop_filtered(
        bus, 60 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool ok = m && GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS;
    if (m) gst_message_unref(m);
    gst_object_unref(bus);
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(p);
    return ok ? buffers : -1;
}

struct Ran {
    int status;
    std::string out, err;
};

Ran clsg(const Dir& dir, const std::string& args) {
    const std::string base = dir.path.string();
    const int raw = std::system(("cd '" + base + "' && '" CLSG_CLI_PATH "' " + args + " >'" + base +
                                 ".out' 2>'" + base + ".err'")
                                    .c_str());
    Ran r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(base + ".out"), slurp(base + ".err")};
    fs::remove(base + ".out"), fs::remove(base + ".err");
    return r;
}

class CliVideo : public ::testing::Test {
protected:
    void SetUp() override {
        gst_init(nullptr, nullptr);
        ToolFile file;  // red and blue bars of the test pattern, and its green
        const auto uniform = [](Rgb c) { return uniformImage(kvPelRect(0, 0, 8, 8), c); };
        file.labels = {{"red", 0xff0000, {}}, {"blue", 0x0000ff, {}}};
        file.tool.train({kvCompositeColorSet({kvCompositeColor(uniform({191, 0, 0}), {})}),
                         kvCompositeColorSet({kvCompositeColor(uniform({0, 0, 191}), {})})},
                        kvCompositeColorSegmenterTrainParams(0.2, 8));
        writeToolFile(dir / "bars.clsg", file);
    }
    Dir dir;
};

// Runs a launch line that ends in a filesink (runLine's fakesink cannot follow one).
void writeFile(const std::string& line) {
    GError* error = nullptr;
    GstElement* p = gst_parse_launch(line.c_str(), &error);
    ASSERT_TRUE(p && !error);
    gst_element_set_state(p, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(p);
    GstMessage* m = gst_bus_timed_pop_filtered(
        bus, 60 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    ASSERT_TRUE(m && GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS);
    gst_message_unref(m);
    gst_object_unref(bus);
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(p);
}

void writeClip(const std::string& path, int frames, int width, int height,
               const std::string& encode = "jpegenc ! avimux") {
    writeFile("videotestsrc num-buffers=" + std::to_string(frames) +
              " pattern=smpte horizontal-speed=3 ! video/x-raw,width=" + std::to_string(width) +
              ",height=" + std::to_string(height) + ",framerate=25/1 ! videoconvert ! " + encode +
              " ! filesink location=" + path);
}

TEST_F(CliVideo, OverlayVideoAndFrameTable) {
    writeClip(dir / "bars.avi", 12, 160, 120);
    std::ofstream(dir / "notes.mp4") << "this is not a video";
    const Ran r = clsg(dir, "run bars.clsg bars.avi notes.mp4 --out out --threads 2");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("bars.avi: 12 frames segmented in "), std::string::npos) << r.out;
    writeClip(dir / "one.avi", 1, 160, 120);
    const Ran one = clsg(dir, "run bars.clsg one.avi --out one");
    EXPECT_NE(one.out.find("one.avi: 1 frame segmented in "), std::string::npos)
        << one.out << one.err;
    // A device left at an output's name (a link to one here) is refused, as for images:
    // neither output is written.
    for (const std::string name : {"one-overlay.avi", "one-frames.csv"}) {
        fs::remove_all(dir / "dev");
        fs::create_directories(dir / "dev");
        fs::create_symlink("/dev/null", dir / ("dev/" + name));
        const Ran dev = clsg(dir, "run bars.clsg one.avi --out dev");
        EXPECT_EQ(dev.status, 1);
        EXPECT_NE(dev.err.find("clsg: error: one.avi: cannot write dev/" + name +
                               ": it is a link to a device, not a file"),
                  std::string::npos)
            << dev.err;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "dev"), fs::directory_iterator()), 1);
    }
    EXPECT_NE(r.err.find("clsg: error: notes.mp4: Could not determine type of stream (the file "
                         "holds no frame, or is damaged)."),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("1 of 2 inputs failed"), std::string::npos) << r.err;
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir / "out"))
        names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"bars-overlay.avi", "bars-frames.csv"}));
    // The clip is segmented with the tool run read, not with whatever its path
    // holds later: a tool from a pipe, read once, serves the clip too.
    const std::string piped = "cd '" + dir.path.string() +
                              "' && cat bars.clsg | '" CLSG_CLI_PATH
                              "' run /dev/stdin one.avi --out piped >/dev/null";
    EXPECT_EQ(std::system(piped.c_str()), 0);
    EXPECT_EQ(slurp(dir / "piped/one-frames.csv"), slurp(dir / "one/one-frames.csv"));

    // The table: a header, then one row per frame with its time and shares.
    std::istringstream csv(slurp(dir / "out/bars-frames.csv"));
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line, "frame,time,red,blue,unlabelled");
    int rows = 0;
    double sawRed = 0, sawBlue = 0;
    while (std::getline(csv, line)) {
        std::vector<double> v;
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, ',');) v.push_back(std::stod(f));
        ASSERT_EQ(v.size(), 5u) << line;
        EXPECT_EQ(v[0], rows);
        EXPECT_NEAR(v[1], rows / 25.0, 1e-6);
        EXPECT_NEAR(v[2] + v[3] + v[4], 1.0, 1e-5);
        sawRed += v[2], sawBlue += v[3];
        ++rows;
    }
    EXPECT_EQ(rows, 12);
    EXPECT_GT(sawRed, 0.0);  // both labels occur (the clip is compressed: a few pixels)
    EXPECT_GT(sawBlue, 0.0);
    // The overlay decodes to the same number of frames.
    EXPECT_EQ(runLine("filesrc location=" + dir / "out/bars-overlay.avi" + " ! decodebin"), 12);
    EXPECT_EQ(r.err.find("cut short"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("could not be read"), std::string::npos) << r.err;

    // Frames the decoder cannot read at the start are said: the file holds their packets.
    std::string damaged = slurp(dir / "bars.avi");
    std::size_t at = 0;
    for (int k = 0; k < 3; ++k) {  // the first three frames' pictures lose their headers
        at = damaged.find("\xff\xd8\xff", at);
        ASSERT_NE(at, std::string::npos);
        std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(at), 40, '\0');
    }
    std::ofstream(dir / "late.avi", std::ios::binary) << damaged;
    const Ran late = clsg(dir, "run bars.clsg late.avi --out late");
    EXPECT_EQ(late.status, 0) << late.err;
    EXPECT_NE(late.err.find("late.avi: its first 3 frames could not be read"), std::string::npos)
        << late.err;

    // A file cut short reads as far as it goes, and says what is missing where
    // the file states its length (an AVI's demuxer gives what it found).
    writeClip(dir / "long.mkv", 60, 64, 48, "jpegenc ! matroskamux");
    const std::string whole = slurp(dir / "long.mkv");
    std::ofstream(dir / "short.mkv", std::ios::binary) << whole.substr(0, whole.size() / 2);
    const Ran cut = clsg(dir, "run bars.clsg short.mkv --out cut");
    EXPECT_EQ(cut.status, 0) << cut.err;
    EXPECT_NE(cut.err.find("short.mkv: its frames end about "), std::string::npos) << cut.err;
    EXPECT_NE(cut.err.find(" before the 2.4 s its file states (a file cut short?)"),
              std::string::npos)
        << cut.err;
    // Whole clips beside sound, whose track gives the length the file states, and beside
    // another video track: nothing is said of frames lost at either end.
    GstElementFactory* vorbis = gst_element_factory_find("vorbisenc");
    if (vorbis) gst_object_unref(vorbis);
    const std::string video = "! video/x-raw,width=64,height=48,framerate=25/1 ! jpegenc ! m. ",
                      sound = "! audio/x-raw,rate=44100 ! vorbisenc ! m. ";
    const std::vector<std::pair<std::string, std::string>> clips = {
        // 40 s of frames, 41.5 s of sound; 2 s of frames, 3 s of sound
        {"a", "videotestsrc num-buffers=1000 " + video +
                  "audiotestsrc num-buffers=447 samplesperbuffer=4096 " + sound},
        {"b", "videotestsrc num-buffers=50 " + video +
                  "audiotestsrc num-buffers=30 samplesperbuffer=4410 " + sound},
        // frames from 0.5 s, sound from 0
        {"c", "videotestsrc num-buffers=50 timestamp-offset=500000000 " + video +
                  "audiotestsrc num-buffers=30 samplesperbuffer=4410 " + sound},
        // the first track's frames from 1 s, the second's from 0; a second track that runs on
        {"d", "videotestsrc num-buffers=50 timestamp-offset=1000000000 " + video +
                  "videotestsrc num-buffers=75 pattern=ball " + video},
        {"e", "videotestsrc num-buffers=50 " + video + "videotestsrc num-buffers=75 " + video},
        // 2 s of frames, 3 s of sound in blocks of a quarter of a second
        {"f", "videotestsrc num-buffers=50 " + video +
                  "audiotestsrc num-buffers=12 samplesperbuffer=11025 ! "
                  "audio/x-raw,rate=44100,channels=1,format=S16LE ! m. "},
        // two tracks of raw frames, which need no decoder, and one beside a coded one
        {"r",
         "videotestsrc num-buffers=50 ! video/x-raw,format=RGB,width=64,height=48 ! m. "
         "videotestsrc num-buffers=50 ! video/x-raw,format=RGB,width=32,height=32 ! m. "},
        {"s",
         "videotestsrc num-buffers=50 ! video/x-raw,format=RGB,width=64,height=48 ! m. "
         "videotestsrc num-buffers=50 " +
             video}};
    for (const auto& [name, sources] : clips) {
        if (!vorbis && sources.find("vorbisenc") != std::string::npos) continue;
        writeFile("matroskamux name=m ! filesink location=" + dir / (name + ".mkv") + " " +
                  sources);
        const Ran r = clsg(dir, "run bars.clsg " + name + ".mkv --out whole");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("clsg: warning"), std::string::npos) << name << ": " << r.err;
        // Of two video tracks one is segmented, and that is said.
        const std::set<std::string> twoTracks = {"d", "e", "r", "s"};
        EXPECT_EQ(
            r.err.find("clsg: note: " + name + ".mkv holds 2 video streams; one is segmented (" +
                       name + "-frames.csv holds its frames), the other is not") !=
                std::string::npos,
            twoTracks.count(name) == 1)
            << name << ": " << r.err;
    }
    // Cut short where only its sound goes on (2 s of frames, 5 s of sound), a clip has all
    // its frames: nothing is said of frames lost, though the file states 5 s. Cut in its
    // frames, it is said, also where the last block of sound (a second long) ends later.
    const std::string raw = "! audio/x-raw,rate=44100,channels=1,format=S16LE ! m. ";
    for (const auto& [name, frames, blocks, samples, tenths, said] :
         {std::tuple{"g", 50, 20, 11025, 9, false}, {"h", 100, 5, 44100, 6, true}}) {
        SCOPED_TRACE(name);
        writeFile("matroskamux name=m ! filesink location=" + dir / (name + std::string(".mkv")) +
                  " videotestsrc num-buffers=" + std::to_string(frames) + " " + video +
                  "audiotestsrc num-buffers=" + std::to_string(blocks) +
                  " samplesperbuffer=" + std::to_string(samples) + " " + raw);
        const std::string whole = slurp(dir / (name + std::string(".mkv")));
        std::ofstream(dir / "cut.mkv", std::ios::binary)
            << whole.substr(0, whole.size() * tenths / 10);
        const Ran cut = clsg(dir, "run bars.clsg cut.mkv --out whole");
        EXPECT_EQ(cut.status, 0) << cut.err;
        EXPECT_EQ(cut.err.find("cut.mkv: its frames end about ") != std::string::npos, said)
            << cut.err;
    }
}

// Damage to a clip's sound does not cost its frames (the sound is not
// decoded), and frames damaged at the end are said beside sound too: the
// video's own packets run on past them.
TEST_F(CliVideo, DamagedSoundIsNoFailureAndDamagedLastFramesAreSaid) {
    GstElementFactory* vorbis = gst_element_factory_find("vorbisenc");
    if (!vorbis) GTEST_SKIP() << "no Vorbis encoder to make the clip";
    gst_object_unref(vorbis);
    writeFile("matroskamux name=m ! filesink location=" + dir / "s.mkv" +
              " videotestsrc num-buffers=60 ! video/x-raw,width=64,height=48,framerate=25/1 ! "
              "jpegenc ! m. audiotestsrc num-buffers=60 samplesperbuffer=1764 ! audioconvert ! "
              "vorbisenc ! m.");
    const std::string whole = slurp(dir / "s.mkv");
    std::string sound = whole;
    const std::size_t setup = sound.find("\x05vorbis");
    ASSERT_NE(setup, std::string::npos);
    for (std::size_t i = setup + 7; i < setup + 40; ++i) sound[i] ^= 0x5a;
    std::ofstream(dir / "sound.mkv", std::ios::binary) << sound;
    const Ran r = clsg(dir, "run bars.clsg sound.mkv --out o");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("sound.mkv: 60 frames"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("clsg: warning"), std::string::npos) << r.err;
    // The last 20 frames' pictures zeroed: the decoder drops them unannounced.
    std::string tail = whole;
    std::vector<std::size_t> starts;
    for (std::size_t at = 0; (at = tail.find("\xff\xd8\xff", at)) != std::string::npos; ++at)
        starts.push_back(at);
    ASSERT_EQ(starts.size(), 60u);
    for (std::size_t f = 40; f < 60; ++f) tail.replace(starts[f], 200, 200, '\0');
    std::ofstream(dir / "tail.mkv", std::ios::binary) << tail;
    const Ran t = clsg(dir, "run bars.clsg tail.mkv --out o");
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_NE(t.out.find("tail.mkv: 40 frames"), std::string::npos) << t.out;
    EXPECT_NE(t.err.find("tail.mkv: its last 20 frames could not be read (the file holds them up "
                         "to 2.4 s, and the decoder gave none)"),
              std::string::npos)
        << t.err;
}

// Every frame reaches the overlay video, also from a clip whose frames the
// first choice of encoder cannot time (it wrote none of them from this one).
TEST_F(CliVideo, TheOverlayHoldsEveryFrame) {
    GstElementFactory* theora = gst_element_factory_find("theoraenc");
    if (!theora) GTEST_SKIP() << "no Theora encoder to make the clip";
    gst_object_unref(theora);
    writeClip(dir / "bars.ogv", 20, 160, 120, "theoraenc ! oggmux");
    const Ran r = clsg(dir, "run bars.clsg bars.ogv --out out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("bars.ogv: 20 frames"), std::string::npos) << r.out;
    EXPECT_EQ(runLine("filesrc location=" + dir / "out/bars-overlay.avi" + " ! decodebin"), 20);
    // Two clips joined end to end: the second is not followed, and that is what is said.
    writeClip(dir / "more.ogv", 5, 160, 120, "theoraenc ! oggmux");  // a stream of its own
    const std::string both = slurp(dir / "bars.ogv") + slurp(dir / "more.ogv");
    std::ofstream(dir / "joined.ogv", std::ios::binary) << both;
    const Ran joined = clsg(dir, "run bars.clsg joined.ogv --out out2");
    EXPECT_EQ(joined.status, 1);
    EXPECT_NE(joined.err.find("(after frame 20 the file's stream changes in a way clsg cannot "
                              "follow, as in files joined end to end)"),
              std::string::npos)
        << joined.err;
}

// A video's outputs never replace an input: the run stops before anything is
// read, as it does for images. A summary lists images only.
TEST_F(CliVideo, OutputsOverInputsAreRefusedFirst) {
    fs::create_directories(dir / "ov");
    writeClip(dir / "ov/a.avi", 6, 64, 48);
    fs::copy_file(dir / "ov/a.avi", dir / "ov/a-overlay.avi");
    const std::string kept = slurp(dir / "ov/a-overlay.avi");
    const Ran r = clsg(dir, "run bars.clsg ov/a.avi ov/a-overlay.avi --out ov");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("would replace the input ov/a-overlay.avi"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");  // nothing read, nothing written
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "ov"), fs::directory_iterator()), 2);
    EXPECT_EQ(slurp(dir / "ov/a-overlay.avi"), kept);
    // Nor over a file of the user's beside the clip, named as its outputs are.
    fs::remove(dir / "ov/a-overlay.avi");
    fs::create_directories(dir / "beside");
    fs::copy_file(dir / "ov/a.avi", dir / "beside/a.avi");
    std::ofstream(dir / "beside/a-frames.csv") << "notes";
    const Ran notes = clsg(dir, "run bars.clsg beside/a.avi --out beside");
    EXPECT_EQ(notes.status, 1);
    EXPECT_NE(notes.err.find("beside/a-frames.csv exists in beside, which this run reads its "
                             "inputs from"),
              std::string::npos)
        << notes.err;
    EXPECT_EQ(slurp(dir / "beside/a-frames.csv"), "notes");
    // A folder's videos are not taken as its images: the error says to name them.
    const Ran folder = clsg(dir, "run bars.clsg beside --out o4");
    EXPECT_EQ(folder.status, 1);
    EXPECT_NE(folder.err.find("beside holds no image files (.png"), std::string::npos);
    EXPECT_NE(folder.err.find("; name its videos one by one"), std::string::npos) << folder.err;
    const Ran s = clsg(dir, "run bars.clsg ov/a.avi --out o2 --summary s.csv");
    EXPECT_EQ(s.status, 2);
    EXPECT_NE(s.err.find("--summary lists a run's images"), std::string::npos) << s.err;
    // --max-pixels holds for a video's frames too.
    const Ran big = clsg(dir, "run bars.clsg ov/a.avi --out o3 --max-pixels 3071");
    EXPECT_EQ(big.status, 1);
    EXPECT_NE(big.err.find("frames of 64 x 48 pixels are more than max-pixels allows (3071)\n"),
              std::string::npos)
        << big.err;  // nothing said of the file: it is not its fault
    EXPECT_EQ(clsg(dir, "run bars.clsg ov/a.avi --out o3 --max-pixels 3072").status, 0);
    // Two clips of one name are refused before anything is read; an image of that name
    // writes other outputs and runs beside the clip.
    fs::copy_file(dir / "ov/a.avi", dir / "beside/a.mkv");
    const Ran twins = clsg(dir, "run bars.clsg ov/a.avi beside/a.mkv --out o6");
    EXPECT_EQ(twins.status, 1);
    EXPECT_NE(twins.err.find("the videos ov/a.avi and beside/a.mkv are both named a"),
              std::string::npos)
        << twins.err;
    EXPECT_FALSE(fs::exists(dir / "o6"));
    writeClip(dir / "a.png", 1, 64, 48, "pngenc");
    const Ran both = clsg(dir, "run bars.clsg ov/a.avi a.png --out o7");
    EXPECT_EQ(both.status, 0) << both.err;
    EXPECT_TRUE(fs::exists(dir / "o7/a-frames.csv") && fs::exists(dir / "o7/a-labels.png"));
    // Frames that change size: the overlay's container states one size, which is said.
    writeFile("concat name=c ! videoconvert ! vp8enc ! matroskamux ! filesink location=" +
              dir / "resized.mkv" +
              " videotestsrc num-buffers=3 ! video/x-raw,width=64,height=48,framerate=25/1 ! c."
              " videotestsrc num-buffers=3 ! video/x-raw,width=32,height=24,framerate=25/1 ! c.");
    const Ran resized = clsg(dir, "run bars.clsg resized.mkv --out o8");
    EXPECT_EQ(resized.status, 0) << resized.err;
    EXPECT_NE(
        resized.err.find("resized.mkv: its frames change size at frame 3 (64 x 48 to 32 x 24)"),
        std::string::npos)
        << resized.err;
    EXPECT_EQ(both.err.find("change size"), std::string::npos);  // not said of one size
    // A frame narrower than the neighbourhood is noted, as an image is.
    const Ran narrow = clsg(dir, "run bars.clsg resized.mkv --out o10 -n 30");
    EXPECT_NE(narrow.err.find("clsg: note: resized.mkv (frame 3) is 24 pixels tall, fewer than "
                              "the neighbourhood 30"),
              std::string::npos)
        << narrow.err;
    // A clip that holds no frame, or only its first bytes, is said to be so.
    writeFile(
        "videotestsrc num-buffers=0 ! video/x-raw,width=64,height=48 ! avimux ! "
        "filesink location=" +
        dir / "empty.avi");
    const Ran empty = clsg(dir, "run bars.clsg empty.avi --out o9");
    EXPECT_EQ(empty.status, 1);
    EXPECT_NE(empty.err.find("empty.avi: Could not demultiplex stream (the file holds no frame, "
                             "or is damaged)."),
              std::string::npos)
        << empty.err;
    // A device (or a pipe, which would wait for a writer) is no clip; a folder named like
    // one holds images.
    fs::create_symlink("/dev/zero", dir / "device.mkv");
    const Ran device = clsg(dir, "run bars.clsg device.mkv --out o10");
    EXPECT_EQ(device.status, 1);
    EXPECT_NE(device.err.find("device.mkv: not a file (a pipe, a device or a folder)"),
              std::string::npos)
        << device.err;
    fs::create_directories(dir / "shots.mp4");
    fs::copy_file(dir / "a.png", dir / "shots.mp4/b.png");
    EXPECT_EQ(clsg(dir, "run bars.clsg shots.mp4 --out o11").status, 0);
    EXPECT_TRUE(fs::exists(dir / "o11/b-labels.png"));
    // A clip that is not there is said to be so, as an image would be.
    const Ran missing = clsg(dir, "run bars.clsg nothere.avi --out o5");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("clsg: error: cannot open nothere.avi: No such file or directory"),
              std::string::npos)
        << missing.err;
}

// A clip of a few kilobytes that states frames of 12000 x 12000, in its
// container and in each JPEG frame, is refused before a decoder makes room for
// one (216 MB, and four times that once converted).
TEST_F(CliVideo, FramesStatedTooLargeAreRefusedBeforeTheyAreDecoded) {
    writeClip(dir / "small.avi", 3, 64, 48);
    std::string clip = slurp(dir / "small.avi");
    const auto put = [&](std::size_t at, uint32_t v, bool bigEndian16) {
        for (int i = 0; i < (bigEndian16 ? 2 : 4); ++i)
            clip[at + i] = static_cast<char>(bigEndian16 ? v >> (8 - 8 * i) : v >> (8 * i));
    };
    const std::size_t avih = clip.find("avih"), strf = clip.find("strf");
    ASSERT_NE(avih, std::string::npos);
    ASSERT_NE(strf, std::string::npos);
    put(avih + 40, 12000, false), put(avih + 44, 12000, false);  // the stream's size
    put(strf + 12, 12000, false), put(strf + 16, 12000, false);  // the frames' format
    int frames = 0;
    for (std::size_t at = 0; (at = clip.find("\xff\xc0\x00\x11\x08", at)) != std::string::npos;
         at += 5, ++frames)
        put(at + 5, 12000, true), put(at + 7, 12000, true);
    ASSERT_EQ(frames, 3);
    std::ofstream(dir / "claims.avi", std::ios::binary) << clip;
    const Ran r = clsg(dir, "run bars.clsg claims.avi --out o");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("claims.avi: frames of 12000 x 12000 pixels are more than max-pixels "
                         "allows (134217728)"),
              std::string::npos)
        << r.err;
#ifndef __SANITIZE_ADDRESS__  // whose shadow memory is resident too
    rusage children{};
    ::getrusage(RUSAGE_CHILDREN, &children);
    EXPECT_LT(children.ru_maxrss, 150 * 1024) << "KB";
#endif
    // Frames whose size their container does not state are refused as too
    // large (once decoded), not as frames the overlay's encoder cannot take.
    put(avih + 40, 64, false), put(avih + 44, 48, false);
    put(strf + 12, 64, false), put(strf + 16, 48, false);
    std::ofstream(dir / "frames.avi", std::ios::binary) << clip;
    const Ran frameSize = clsg(dir, "run bars.clsg frames.avi --out o --max-pixels 99999999");
    EXPECT_EQ(frameSize.status, 1);
    EXPECT_NE(frameSize.err.find("frames.avi: frames of 12000 x 12000 pixels are more than "
                                 "max-pixels allows (99999999)"),
              std::string::npos)
        << frameSize.err;
}

// Frames an AVI cannot hold fail the run, every time: GStreamer now and then
// lost the encoder's refusal, and the run waited for ever (4 runs in 10).
TEST_F(CliVideo, FramesTheOverlayCannotHoldFailEveryTime) {
    writeClip(dir / "narrow.mkv", 5, 15, 16, "jpegenc ! matroskamux");
    const std::string base = dir.path.string();
    for (int i = 0; i < 12; ++i) {
        const int raw = std::system(("cd '" + base +
                                     "' && timeout 20 '" CLSG_CLI_PATH
                                     "' run bars.clsg narrow.mkv --out o >/dev/null 2>'" +
                                     base + ".err'")
                                        .c_str());
        const std::string err = slurp(base + ".err");
        ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << "try " << i << ": " << raw;
        ASSERT_NE(err.find("does not take frames of 15 x 16 pixels"), std::string::npos) << err;
    }
    fs::remove(base + ".err");
    // The outputs an earlier run left stay, and are said not to be this run's.
    fs::create_directories(dir / "o");
    std::ofstream(dir / "o/narrow-overlay.avi") << "earlier";
    std::ofstream(dir / "o/narrow-frames.csv") << "earlier";
    // (And a format for images is said to change nothing here.)
    const Ran again = clsg(dir, "run bars.clsg narrow.mkv --out o --format pnm");
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("clsg: note: --format applies to images; a video's overlay is AVI"),
              std::string::npos)
        << again.err;
    EXPECT_NE(again.err.find("clsg: note: o/narrow-overlay.avi and 1 more are from an earlier "
                             "run, not this one's outputs of narrow.mkv"),
              std::string::npos)
        << again.err;
    EXPECT_EQ(slurp(dir / "o/narrow-frames.csv"), "earlier");
}

// Ctrl-C mid-clip: status 130, no partial overlay, table or temporary left, and
// an earlier run's table kept and said not to be this run's.
TEST_F(CliVideo, CtrlCLeavesNoPartialFiles) {
    writeClip(dir / "long.avi", 400, 640, 480);
    fs::create_directories(dir / "out");
    std::ofstream(dir / "out/long-frames.csv") << "earlier";
    const std::string line = "cd '" + dir.path.string() +
                             "' && exec '" CLSG_CLI_PATH
                             "' run bars.clsg long.avi --out out --neighborhood 7 >/dev/null 2>err";
    const pid_t pid = fork();
    if (pid == 0) execl("/bin/sh", "sh", "-c", line.c_str(), nullptr), _exit(121);
    // Signal once the overlay's temporary has grown past its first frames.
    bool writing = false;
    for (int tries = 0; tries < 4000 && !writing; ++tries, usleep(5000)) {
        std::error_code ec;
        for (fs::directory_iterator it(dir / "out", ec), end; !ec && it != end; it.increment(ec))
            if (it->path().filename().string().find(".tmp-") != std::string::npos &&
                fs::file_size(it->path(), ec) > 200000)
                writing = true;
    }
    ASSERT_TRUE(writing);
    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    EXPECT_NE(slurp(dir / "err")
                  .find("clsg: note: out/long-frames.csv is from an earlier run, "
                        "not this one's outputs of long.avi"),
              std::string::npos)
        << slurp(dir / "err");
    EXPECT_EQ(slurp(dir / "out/long-frames.csv"), "earlier");
    std::error_code ec;
    for (fs::directory_iterator it(dir / "out", ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename() != "long-frames.csv")
            ADD_FAILURE() << "left behind: " << it->path().filename();
}

}  // namespace
