#!/usr/bin/python3
"""Draws the ground-truth label images of the test photographs.

Each truth is a greyscale PNG the size of its photograph: grey value i is
label i (in the order of the labels below, the order clsg train is given
them), 255 is "not judged". The regions are ellipses and polygons drawn by
hand from the photographs; every pixel within 5 pixels of a region boundary
is left unjudged, since a hand-drawn boundary is not exact there.

Run from the repository root:  /usr/bin/python3 data/photos/make_truth.py
"""
import numpy as np
import skimage.io
from scipy import ndimage
from skimage.draw import ellipse, polygon

IGNORE = 255
BAND = 5


def ellipse_mask(shape, cy, cx, ry, rx):
    m = np.zeros(shape, bool)
    m[ellipse(cy, cx, ry, rx, shape=shape)] = True
    return m


def polygon_mask(shape, points):
    m = np.zeros(shape, bool)
    xs, ys = zip(*points)
    m[polygon(ys, xs, shape=shape)] = True
    return m


def truth(shape, regions, unjudged):
    """regions: one mask per label, later labels drawn over earlier ones."""
    owner = np.full(shape, IGNORE, np.uint8)
    for label, mask in enumerate(regions):
        owner[mask] = label
    owner[unjudged] = IGNORE
    out = np.full(shape, IGNORE, np.uint8)
    disk = np.hypot(*np.mgrid[-BAND:BAND + 1, -BAND:BAND + 1]) <= BAND
    for label in range(len(regions)):
        inner = ndimage.binary_erosion(owner == label, structure=disk, border_value=1)
        out[inner] = label
    return out


def coffee():
    """cli/demo/coffee.png: crema, white (china), red (china), table."""
    shape = (400, 600)
    cup = ellipse_mask(shape, 111, 288, 93, 115)  # outer edge of the rim
    crema = ellipse_mask(shape, 146, 287, 44, 77)
    saucer = ellipse_mask(shape, 230, 278, 158, 201)
    spoon = polygon_mask(shape, [(395, 60), (425, 62), (412, 200), (408, 240), (410, 300),
                                 (388, 324), (345, 327), (323, 300), (328, 255), (360, 233),
                                 (385, 205)])
    stripe = polygon_mask(shape, [(180, 214), (398, 214), (394, 242), (290, 254), (184, 242)])
    dark_corner = polygon_mask(shape, [(0, 0), (165, 0), (0, 110)])
    table = ~saucer & ~cup
    red = saucer & ~cup
    white = cup & ~crema
    return truth(shape, [crema, white, red, table], spoon | stripe | dark_corner)


def chelsea():
    """data/photos/chelsea.png: fur, eye, nose, background."""
    shape = (300, 451)
    face = polygon_mask(shape, [(35, 0), (372, 0), (366, 100), (352, 200), (335, 300), (0, 300),
                                (0, 140), (28, 70)])
    eyes = ellipse_mask(shape, 117, 170, 27, 36) | ellipse_mask(shape, 137, 320, 26, 22)
    nose = polygon_mask(shape, [(238, 229), (291, 231), (283, 248), (263, 259), (248, 249)])
    background = polygon_mask(shape, [(392, 0), (451, 0), (451, 170), (395, 170), (385, 100)])
    fur = face & ~eyes & ~nose
    unjudged = polygon_mask(shape, [(0, 0), (35, 0), (28, 70), (0, 100)])
    return truth(shape, [fur, eyes, nose, background], unjudged)


if __name__ == "__main__":
    skimage.io.imsave("data/photos/coffee-truth.png", coffee(), check_contrast=False)
    skimage.io.imsave("data/photos/chelsea-truth.png", chelsea(), check_contrast=False)
