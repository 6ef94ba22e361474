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
    // Demuxers that pull their input through typefind, which pauses its own task.
    for (const char* mux : {"avimux", "matroskamux"}) {
        const std::string clip = dir + "/clip-" + mux;
        ASSERT_TRUE(
            playToEnd("videotestsrc num-buffers=40 ! video/x-raw,width=64,height=48,"
                      "framerate=10/1 ! jpegenc ! " +
                      std::string(mux) + " ! filesink location=" + clip))
            << mux;
        // Played against the clock (sync), the frames come a tenth of a second
        // apart: the gaps in which `clsg run` looks.
        GstElement* p = gst_parse_launch(
            ("filesrc location=" + clip + " ! decodebin ! fakesink name=sink sync=true " +
             "signal-handoffs=true")
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
        int checks = 0;
        for (; frames < 30; std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
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
