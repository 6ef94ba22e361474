"""Runs the clsgsegment GStreamer element from Python and prints each frame's label shares.

    python3 live_element.py TOOL.clsg                                # test pattern
    python3 live_element.py TOOL.clsg --source "v4l2src"             # a webcam
    python3 live_element.py TOOL.clsg --source "filesrc location=clip.mp4 ! decodebin"
    python3 live_element.py TOOL.clsg --source "aravissrc" --show    # a GenICam camera, on screen

GStreamer must find the plugin: install clsg with prefix /usr (cmake --install
then puts libgstclsg.so in GStreamer's plugin folder) or point GST_PLUGIN_PATH
at the build's live/ folder (or the installed plugin's). Needs Debian's python3-gst-1.0.
"""

import argparse
import sys

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("tool", help="a tool file (clsg train, or clsg.Tool.save)")
    p.add_argument("--source", default="videotestsrc pattern=smpte",
                   help="the launch text of the frames' source (default: a test pattern)")
    p.add_argument("--frames", type=int, default=100, help="stop after this many frames (0: never)")
    p.add_argument("--output", choices=("overlay", "labels", "passthrough"), default="overlay")
    p.add_argument("--threads", type=int, default=0, help="threads per frame (0: one per core)")
    p.add_argument("--show", action="store_true", help="show the output in a window")
    a = p.parse_args()

    Gst.init(None)
    if Gst.ElementFactory.find("clsgsegment") is None:
        print("GStreamer has no clsgsegment element: install clsg or set GST_PLUGIN_PATH "
              "to the build's live/ folder", file=sys.stderr)
        return 2
    sink = "videoconvert ! autovideosink" if a.show else "fakesink"
    # The test source stops by itself: num-buffers on it, whatever follows it.
    source = a.source
    if a.frames and source.startswith("videotestsrc"):
        first, bang, rest = source.partition("!")
        source = f"{first.rstrip()} num-buffers={a.frames} {bang}{rest}".rstrip()
    pipeline = Gst.parse_launch(
        f"{source} ! videoconvert ! clsgsegment name=segment output={a.output} "
        f"threads={a.threads} ! {sink}")
    pipeline.get_by_name("segment").set_property("tool", a.tool)

    bus = pipeline.get_bus()
    pipeline.set_state(Gst.State.PLAYING)
    try:
        return watch(bus, a.frames)
    except KeyboardInterrupt:  # Ctrl-C: a camera runs until stopped
        return 130
    finally:
        pipeline.set_state(Gst.State.NULL)


def watch(bus, limit: int) -> int:
    """Prints each frame's shares until the stream ends, fails or gives `limit` frames."""
    frames = 0
    while True:
        # Short waits, so that Ctrl-C is heard while no frame comes.
        message = bus.timed_pop_filtered(
            Gst.SECOND // 10,
            Gst.MessageType.ELEMENT | Gst.MessageType.ERROR | Gst.MessageType.EOS)
        if message is None:
            continue
        if message.type == Gst.MessageType.ERROR:
            error, debug = message.parse_error()
            print(f"error: {error.message}", file=sys.stderr)
            return 1
        if message.type == Gst.MessageType.EOS:
            return 0
        s = message.get_structure()
        if s is None or s.get_name() != "clsg-segment":
            continue
        names, shares = s.get_value("labels"), s.get_value("shares")
        at = s.get_value("time")  # in the stream, from 0
        time = f"{at / Gst.SECOND:8.3f} s" if at != Gst.CLOCK_TIME_NONE else "       -"
        text = ", ".join(f"{n} {100 * v:5.1f}%" for n, v in zip(names, shares))
        print(f"frame {s.get_value('frame'):5d} {time}: {text}, "
              f"unlabelled {100 * s.get_value('unlabelled'):5.1f}%")
        frames += 1
        if limit and frames >= limit:
            return 0


if __name__ == "__main__":
    sys.exit(main())
