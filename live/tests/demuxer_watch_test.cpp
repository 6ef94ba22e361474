// The watch for a demuxer that gave up: a file that plays is never taken for
// one, however slowly its frames come.
#include "demuxer_watch.h"

#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() { return "leak:libglib-2.0.so\n"; }
#endif

namespace {

using clsg::GaveUp;

// Plays a launch line to its end; false on error.
bool playToEnd(const std::string& line) {
    GstElement* p = gst_parse_launch(line.c_str(), nullptr);
    if (!p) return false;
    gst_element_set_state(p, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(p);
    GstMessage* m = gst_bus_timed_pop_filtered(
        bus, 30 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool ended = m && GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS;
    if (m) gst_message_unref(m);
    gst_object_unref(bus);
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(p);
    return ended;
}

TEST(DemuxerWatch, AFilePlayingInRealTimeHasNotGivenUp) {
    gst_init(nullptr, nullptr);
    char pattern[] = "/tmp/clsg-watch-XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    // Demuxers that pull their input through typefind, which pauses its own
    // task; and a clip whose short sound track, left unlinked, ends long before
    // its frames (once the demuxer has read all, its task pauses too).
    const std::string frames =
        "videotestsrc num-buffers=40 ! video/x-raw,width=64,height=48,framerate=10/1 ! jpegenc ! ";
    const std::string sound = " audiotestsrc num-buffers=5 ! audioconvert ! vorbisenc ! m.";
    for (const char* mux : {"avimux", "matroskamux", "matroskamux name=m"}) {
        const std::string clip = dir + "/clip-" + std::to_string(std::string(mux).size());
        const bool withSound = std::string(mux).find("name=m") != std::string::npos;
        ASSERT_TRUE(
            playToEnd(frames + mux + " ! filesink location=" + clip + (withSound ? sound : "")))
            << mux;
        // Played against the clock (sync), the frames come a tenth of a second
        // apart: the gaps in which `clsg run` looks. Video only, as `clsg run` links.
        GstElement* p = gst_parse_launch(
            ("filesrc location=" + clip + " ! decodebin ! video/x-raw ! fakesink name=sink " +
             "sync=true signal-handoffs=true")
                .c_str(),
            nullptr);
        ASSERT_NE(p, nullptr);
        std::atomic<int> frames{0};
        GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "sink");
        g_signal_connect(sink, "handoff",
                         G_CALLBACK(+[](GstElement*, GstBuffer*, GstPad*, gpointer n) {
                             ++*static_cast<std::atomic<int>*>(n);
                         }),
                         &frames);
        gst_object_unref(sink);
        gst_element_set_state(p, GST_STATE_PLAYING);
        clsg::GiveUpWatch watch;
        int checks = 0;  // up to the last frame: the demuxer finishes reading just before
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (; frames < 39 && std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
            if (frames < 3) continue;
            EXPECT_EQ(clsg::demuxerGaveUp(p), GaveUp::no) << mux << " at frame " << frames;
            EXPECT_FALSE(watch.ended(p)) << mux;
            ++checks;
        }
        EXPECT_GT(checks, 20) << mux;
        gst_element_set_state(p, GST_STATE_NULL);
        gst_object_unref(p);
    }
    std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
