#!/usr/bin/python3
"""The README's live pipelines, run from a scratch folder as a reader would run them.

Usage: readme_pipelines_test.py README CLSG PLUGIN_DIR

Every gst-launch-1.0 line of the README's "Live frames" section runs with the tool file that
`clsg demo` leaves in demo-out/. What the test changes, because there is neither a display nor a
camera here: window sinks become fakesink, -m is added (each frame's clsg-segment message is the
evidence that frames went through), the video file is a clip made here, the GenICam line runs
on aravis's fake camera on loopback (camera-name=127.0.0.1, num-buffers=5 so that it ends), and
the webcam line runs only where /dev/video0 exists (num-buffers=5). Anything else in a line is
run as written. Exits 0 when every line that could run ran and segmented frames."""
import os
import subprocess
import sys
import tempfile
import time

CAMERA = "/usr/bin/arv-fake-gv-camera-0.8"


def readme_pipelines(readme):
    text = open(readme, encoding="utf-8").read()
    section = text.split("\n## Live frames\n", 1)[1].split("\n## ", 1)[0]
    return [line for line in section.splitlines() if line.startswith("gst-launch-1.0 ")]


def has_element(name):
    return subprocess.run(["gst-inspect-1.0", name], capture_output=True).returncode == 0


def make_clip(path):
    subprocess.run(["gst-launch-1.0", "-q", "videotestsrc", "num-buffers=15", "!",
                    "video/x-raw,width=320,height=240", "!", "videoconvert", "!", "avenc_mpeg4",
                    "!", "mp4mux", "!", "filesink", "location=" + path], check=True)


def adapt(line):
    """The line as run here, or None with the reason it cannot run."""
    words = line.split()
    if "-m" not in words:
        words.insert(1, "-m")
    words = ["fakesink" if w == "autovideosink" else w for w in words]
    if "v4l2src" in words:
        if not os.path.exists("/dev/video0"):
            return None, "no webcam (/dev/video0)"
        words.insert(words.index("v4l2src") + 1, "num-buffers=5")
    if "aravissrc" in words:
        if not (os.path.exists(CAMERA) and has_element("aravissrc")):
            return None, "needs aravis-tools and libaravis-0.8-0"
        words[words.index("aravissrc") + 1:words.index("aravissrc") + 1] = [
            "camera-name=127.0.0.1", "num-buffers=5"]
    return words, None


def main():
    readme, clsg, plugins = (os.path.abspath(a) for a in sys.argv[1:4])
    lines = readme_pipelines(readme)
    if len(lines) < 4:
        print("expected the test pattern, webcam, file and GenICam lines; found", len(lines))
        return 1
    env = dict(os.environ, GST_PLUGIN_PATH=plugins)
    failures = 0
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run([clsg, "demo", "--out", os.path.join(scratch, "demo-out")], check=True,
                       stdout=subprocess.DEVNULL)
        make_clip(os.path.join(scratch, "clip.mp4"))
        for line in lines:
            words, why = adapt(line)
            if words is None:
                print("SKIPPED (%s): %s" % (why, line))
                continue
            camera = None
            if "aravissrc" in words:
                camera = subprocess.Popen([CAMERA, "-i", "127.0.0.1", "-s", "CLSGREADME"],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(0.5)
            try:
                run = subprocess.run(words, cwd=scratch, env=env, capture_output=True, text=True,
                                     timeout=60)
            finally:
                if camera:
                    camera.terminate()
                    camera.wait()
            frames = run.stdout.count("clsg-segment")
            ok = run.returncode == 0 and frames > 0
            print("%s (%d frames): %s" % ("ran" if ok else "FAILED", frames, " ".join(words)))
            if not ok:
                failures += 1
                print(run.stdout[-2000:], run.stderr[-2000:])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
