"""The live-frame examples: the element from Python, and OpenCV frames through Tool.run, agree."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import clsg
from conftest import scene, train_scene

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "examples")

gi = pytest.importorskip("gi", reason="needs python3-gst-1.0")
cv2 = pytest.importorskip("cv2", reason="needs python3-opencv")
gi.require_version("Gst", "1.0")
gi.require_version("GstVideo", "1.0")
from gi.repository import Gst, GstVideo  # noqa: E402

Gst.init(None)
if Gst.ElementFactory.find("clsgsegment") is None:
    pytest.skip("GStreamer finds no clsgsegment element (GST_PLUGIN_PATH)", allow_module_level=True)


@pytest.fixture(scope="module", name="files")
def fixture_files(tmp_path_factory):
    """A trained tool file and an uncompressed clip of the scene moving, frame by frame."""
    d = tmp_path_factory.mktemp("live")
    image = scene(120, 160)
    tool = train_scene(clsg.Tool(), image)
    tool.save(str(d / "scene.clsg"))
    clip = str(d / "scene.avi")
    frames = [np.roll(image, 7 * k, axis=1) for k in range(5)]
    pipeline = Gst.parse_launch(
        "appsrc name=src format=time caps=video/x-raw,format=RGB,width=160,height=120,framerate=25/1 "
        f"! videoconvert ! video/x-raw,format=BGR ! avimux ! filesink location={clip}")
    src = pipeline.get_by_name("src")
    pipeline.set_state(Gst.State.PLAYING)
    for k, f in enumerate(frames):
        buffer = Gst.Buffer.new_wrapped(f.tobytes())
        buffer.pts = k * Gst.SECOND // 25
        src.emit("push-buffer", buffer)
    src.emit("end-of-stream")
    pipeline.get_bus().timed_pop_filtered(10 * Gst.SECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR)
    pipeline.set_state(Gst.State.NULL)
    return str(d / "scene.clsg"), clip, tool


def element_labels(tool_path, clip):
    pipeline = Gst.parse_launch(
        f"filesrc location={clip} ! decodebin ! videoconvert ! clsgsegment name=s output=labels "
        "! appsink name=out sync=false")
    pipeline.get_by_name("s").set_property("tool", tool_path)
    out = pipeline.get_by_name("out")
    pipeline.set_state(Gst.State.PLAYING)
    labels = []
    while True:
        sample = out.emit("try-pull-sample", 10 * Gst.SECOND)
        if sample is None:
            break
        caps = sample.get_caps().get_structure(0)
        w, h = caps.get_value("width"), caps.get_value("height")
        ok, info = sample.get_buffer().map(Gst.MapFlags.READ)
        stride = len(info.data) // h
        labels.append(np.frombuffer(info.data, np.uint8).reshape(h, stride)[:, :w].copy())
        sample.get_buffer().unmap(info)
    pipeline.set_state(Gst.State.NULL)
    return labels


def test_the_element_and_opencv_frames_give_the_same_labels(files):
    tool_path, clip, tool = files
    from_element = element_labels(tool_path, clip)
    capture = cv2.VideoCapture(clip)
    from_opencv = []
    while True:
        ok, bgr = capture.read()
        if not ok:
            break
        from_opencv.append(np.array(tool.run(cv2.cvtColor(bgr, cv2.COLOR_BGR2RGB)).labels))
    assert len(from_element) == len(from_opencv) == 5
    for a, b in zip(from_element, from_opencv):
        np.testing.assert_array_equal(a, b)
    assert len(np.unique(np.concatenate(from_element))) >= 3


def test_a_frame_with_padded_rows_gives_the_labels_of_its_packed_copy(files):
    tool_path, _, _ = files
    frame = scene(31, 33)  # RGB rows of 99 bytes
    padded = np.zeros((31, 104), np.uint8)
    padded[:, :99] = frame.reshape(31, 99)
    got = []
    for data, stride in ((frame.tobytes(), 99), (padded.tobytes(), 104)):
        pipeline = Gst.parse_launch(
            "appsrc name=src format=time caps=video/x-raw,format=RGB,width=33,height=31,framerate=1/1 "
            "! clsgsegment name=s output=labels ! appsink name=out sync=false")
        pipeline.get_by_name("s").set_property("tool", tool_path)
        pipeline.set_state(Gst.State.PLAYING)
        buffer = Gst.Buffer.new_wrapped(data)
        GstVideo.buffer_add_video_meta_full(buffer, GstVideo.VideoFrameFlags.NONE, GstVideo.VideoFormat.RGB,
                                            33, 31, 1, [0, 0, 0, 0], [stride, 0, 0, 0])
        buffer.pts = 0
        pipeline.get_by_name("src").emit("push-buffer", buffer)
        sample = pipeline.get_by_name("out").emit("try-pull-sample", 10 * Gst.SECOND)
        assert sample is not None, pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR).parse_error()
        ok, info = sample.get_buffer().map(Gst.MapFlags.READ)
        got.append(np.frombuffer(info.data, np.uint8).reshape(31, -1)[:, :33].copy())
        sample.get_buffer().unmap(info)
        pipeline.set_state(Gst.State.NULL)
    np.testing.assert_array_equal(got[1], got[0])
    np.testing.assert_array_equal(got[0], clsg.Tool.load(tool_path).run(frame, 3).labels)


def test_the_two_examples_print_the_same_shares(files):
    tool_path, clip, _ = files
    run = lambda *args: subprocess.run([sys.executable, *args], capture_output=True, text=True,
                                       timeout=120, check=True).stdout.splitlines()
    element = run(os.path.join(EXAMPLES, "live_element.py"), tool_path, "--frames", "0",
                  "--source", f"filesrc location={clip} ! decodebin")
    opencv = run(os.path.join(EXAMPLES, "opencv_frames.py"), tool_path, clip)
    shares = lambda lines: [line.split(": ", 1)[1] for line in lines if line.startswith("frame")]
    assert len(shares(element)) == 5
    assert shares(element) == shares(opencv)
    # The test source with caps after it stops after --frames frames.
    capped = run(os.path.join(EXAMPLES, "live_element.py"), tool_path, "--frames", "2",
                 "--source", "videotestsrc ! video/x-raw,width=32,height=24")
    assert [line.split(":")[0].split()[1] for line in capped] == ["0", "1"], capped


def test_ctrl_c_stops_the_element_example_while_no_frame_comes(files):
    """A camera that sends nothing (here a UDP port nobody writes to) still stops at Ctrl-C."""
    source = "udpsrc port=0 caps=video/x-raw,format=RGB,width=8,height=8,framerate=25/1"
    with subprocess.Popen([sys.executable, os.path.join(EXAMPLES, "live_element.py"), files[0],
                           "--source", source], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True) as child:
        time.sleep(1.5)
        child.send_signal(signal.SIGINT)
        try:
            out, err = child.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            child.kill()
            pytest.fail("the example went on waiting after Ctrl-C")
    assert child.returncode == 130, err
    assert out == ""
