import numpy as np
import pytest

import clsg

RECTS = [("orange", 5, 5, 30, 30), ("teal", 50, 10, 30, 30), ("cream", 95, 60, 30, 30)]


def scene(height=97, width=131, seed=7):  # three noisy bands, a darker lower half, stray pixels
    rng = np.random.default_rng(seed)
    img = np.zeros((height, width, 3), np.int32)
    for i, colour in enumerate([(235, 140, 25), (25, 150, 160), (230, 220, 190)]):
        img[:, i * width // 3 : (i + 1) * width // 3] = colour
    img[height // 2 :] = (img[height // 2 :] * 0.8).astype(np.int32)
    img += rng.integers(-12, 13, img.shape)
    img[rng.random((height, width)) < 0.02] = rng.integers(0, 256, 3)
    return np.clip(img, 0, 255).astype(np.uint8)


def train_scene(tool, image, **options):
    yy, xx = np.indices(image.shape[:2])
    tool.train({n: [(image, (xx >= x) & (xx < x + w) & (yy >= y) & (yy < y + h))]
                for n, x, y, w, h in RECTS}, **options)
    return tool


image = pytest.fixture(scope="session", name="image")(lambda: scene())
tool = pytest.fixture(scope="session", name="tool")(lambda image: train_scene(clsg.Tool(), image))


def outputs(r):
    return [r.labels, r.confidence, r.score] + [r.segmentation(i) for i in range(len(r.label_names))]


def assert_same(a, b):
    list(map(np.testing.assert_array_equal, outputs(a), outputs(b)))
