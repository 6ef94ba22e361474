"""Reads frames with OpenCV's VideoCapture and segments each with clsg.Tool.run.

    python3 opencv_frames.py TOOL.clsg clip.mp4          # a video file
    python3 opencv_frames.py TOOL.clsg 0                 # the first webcam
    python3 opencv_frames.py TOOL.clsg clip.mp4 --out overlay.avi

Prints each frame's label shares; with --out, writes the overlay video (each
label's colour blended half and half over its pixels, as the clsg program and
the clsgsegment element draw it). The labels equal those of the element on
the same frames. Needs Debian's python3-opencv.
"""

import argparse
import sys

import cv2
import numpy as np

import clsg


def overlay(frame_rgb: np.ndarray, labels: np.ndarray, colors: np.ndarray) -> np.ndarray:
    out = frame_rgb.copy()
    hit = labels < len(colors)
    out[hit] = ((frame_rgb[hit].astype(np.uint16) + colors[labels[hit]] + 1) // 2).astype(np.uint8)
    return out


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("tool", help="a tool file (clsg train, or clsg.Tool.save)")
    p.add_argument("source", help="a video file, or a camera index such as 0")
    p.add_argument("--frames", type=int, default=0, help="stop after this many frames (0: all)")
    p.add_argument("--neighborhood", type=int, default=None)
    p.add_argument("--out", help="write the overlay video here")
    a = p.parse_args()

    tool = clsg.Tool.load(a.tool)
    colors = np.array([[int(c[i:i + 2], 16) for i in (1, 3, 5)] for c in tool.colors], np.uint16)
    capture = cv2.VideoCapture(int(a.source) if a.source.isdigit() else a.source)
    if not capture.isOpened():
        print(f"cannot open {a.source}", file=sys.stderr)
        return 1
    writer = None
    n = 0
    while not a.frames or n < a.frames:
        ok, bgr = capture.read()
        if not ok:
            break
        rgb = cv2.cvtColor(bgr, cv2.COLOR_BGR2RGB)
        labels = tool.run(rgb, neighborhood=a.neighborhood).labels
        counts = np.bincount(labels.ravel(), minlength=256)
        shares = counts[:len(tool.labels)] / labels.size
        text = ", ".join(f"{name} {100 * s:5.1f}%" for name, s in zip(tool.labels, shares))
        seconds = capture.get(cv2.CAP_PROP_POS_MSEC) / 1000
        print(f"frame {n:5d} {seconds:8.3f} s: {text}, unlabelled {100 * (1 - shares.sum()):5.1f}%")
        if a.out:
            if writer is None:
                fps = capture.get(cv2.CAP_PROP_FPS) or 25
                writer = cv2.VideoWriter(a.out, cv2.VideoWriter_fourcc(*"MJPG"), fps,
                                         (rgb.shape[1], rgb.shape[0]))
            writer.write(cv2.cvtColor(overlay(rgb, labels, colors), cv2.COLOR_RGB2BGR))
        n += 1
    capture.release()
    if writer is not None:
        writer.release()
    print(f"{n} frames")
    return 0 if n else 1


if __name__ == "__main__":
    sys.exit(main())
