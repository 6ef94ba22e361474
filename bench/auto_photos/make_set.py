#!/usr/bin/python3
"""Builds the photo set that bench/auto_photos/compare.py measures clsg on.

Writes into OUTDIR (default /tmp/clsg-auto-photos), for every photograph:
NAME.png (the photograph), NAME-truth.png (grey i = label i, 255 = not
judged), NAME-check.png (the truth blended over the photograph with the
teaching rectangles outlined, for a person to check), and cases.json with the
labels and their teaching rectangles.

The photographs are read at run time from the installed Debian package
python3-skimage (scikit-image's sample data; none is copied into the
repository). Their licences, as the package's skimage/data/_fetchers.py states
them: coffee, chelsea and retina CC0; astronaut and rocket public domain.
coffee and chelsea use the committed truths of data/photos; the other truths
are drawn here in code: a hand-placed polygon per label, narrowed by a colour
rule, cleaned by morphology, and every pixel within BAND pixels of another
label's region (or of an unjudged part) left unjudged.

Harder cases than the committed two: dark classes (the black collar, visor and
table of astronaut; the rocket's towers against the night sky; retina's black
surround), shading (the suit's folds, the sky's gradient, retina's dark
fovea), many classes (astronaut has 7) and labels taught by one small
rectangle (hair, flag blue; retina's disc and vessel).

Run from the repository root: /usr/bin/python3 bench/auto_photos/make_set.py
"""
import json
import os
import sys

import numpy as np
import skimage.io
from scipy import ndimage
from skimage.color import rgb2hsv
from skimage.draw import ellipse, polygon
from skimage.transform import rescale

DATA = "/usr/lib/python3/dist-packages/skimage/data"
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
IGNORE = 255


def poly(shape, points):
    m = np.zeros(shape, bool)
    xs, ys = zip(*points)
    m[polygon(ys, xs, shape=shape)] = True
    return m


def ell(shape, cy, cx, ry, rx):
    m = np.zeros(shape, bool)
    m[ellipse(cy, cx, ry, rx, shape=shape)] = True
    return m


def clean(mask, size=2):
    """Opens then closes a mask with a square of side 2 * size + 1."""
    s = np.ones((2 * size + 1,) * 2, bool)
    return ndimage.binary_closing(ndimage.binary_opening(mask, s), s)


def truth(regions, unjudged, band):
    """regions: one mask per label, later labels drawn over earlier ones.
    A pixel is judged when every pixel within band of it has its label."""
    shape = regions[0].shape
    owner = np.full(shape, IGNORE, np.uint8)
    for label, mask in enumerate(regions):
        owner[mask] = label
    owner[unjudged] = IGNORE
    out = np.full(shape, IGNORE, np.uint8)
    disk = np.hypot(*np.mgrid[-band:band + 1, -band:band + 1]) <= band
    for label in range(len(regions)):
        inner = ndimage.binary_erosion(owner == label, structure=disk, border_value=1)
        out[inner] = label
    return out


def read(name):
    return skimage.io.imread(os.path.join(DATA, name))[..., :3]


def committed(name, photo, labels):
    image = skimage.io.imread(os.path.join(REPO, photo))[..., :3]
    t = skimage.io.imread(os.path.join(REPO, "data/photos", name + "-truth.png"))
    return image, t, labels


def coffee():
    return committed("coffee", "cli/demo/coffee.png", [
        ("crema", [(250, 120, 75, 45)]),
        ("white", [(250, 45, 80, 30), (180, 95, 12, 40)]),
        ("red", [(100, 190, 50, 90), (415, 180, 40, 70), (265, 215, 50, 30)]),
        ("table", [(470, 20, 110, 60), (10, 350, 120, 45), (15, 180, 50, 100), (100, 40, 60, 40)]),
    ])


def chelsea():
    return committed("chelsea", "data/photos/chelsea.png", [
        ("fur", [(60, 150, 60, 40), (230, 20, 60, 40), (150, 230, 50, 40)]),
        ("eye", [(150, 105, 30, 25), (310, 125, 15, 20)]),
        ("nose", [(250, 234, 25, 10)]),
        ("background", [(405, 20, 40, 100)]),
    ])


def astronaut():
    """Suit, skin, hair, black, wall, flag red, flag blue."""
    im = read("astronaut.png")
    shape = im.shape[:2]
    hsv = rgb2hsv(im)
    h, s, v = hsv[..., 0], hsv[..., 1], hsv[..., 2]
    r, g, b = (im[..., i].astype(int) for i in range(3))
    suit_area = poly(shape, [(25, 300), (60, 240), (110, 215), (150, 225), (200, 250), (300, 250),
                             (350, 230), (365, 330), (330, 345), (290, 380), (270, 512),
                             (20, 512)])
    suit = suit_area & (r > 120) & (r - b > 70) & (g < r - 40)
    suit &= ~ell(shape, 385, 180, 50, 50)  # the mission patch
    head = poly(shape, [(150, 60), (165, 25), (215, 12), (270, 20), (300, 60), (300, 130),
                        (270, 160), (250, 180), (190, 180), (160, 140)])
    face = ell(shape, 120, 226, 50, 40)
    skin = face & (r > 140) & (r - g < 70) & (v < 0.95)
    hair = head & ~ndimage.binary_dilation(face, iterations=4) & (v > 0.1) & (g > b + 10)
    hair[150:] = False  # the chin and neck
    black_area = (poly(shape, [(175, 170), (270, 170), (275, 235), (175, 235)])
                  | ell(shape, 440, 390, 75, 95)
                  | poly(shape, [(370, 280), (512, 280), (512, 340), (370, 340)]))
    black = black_area & (v < 0.16)
    wall_area = (poly(shape, [(60, 0), (350, 0), (380, 150), (360, 260), (150, 150), (100, 200),
                              (60, 150)]) & ~head & ~poly(shape, [(370, 0), (470, 0), (470, 290),
                                                                   (350, 290)]))
    wall = wall_area & (s < 0.2) & (v > 0.6)
    flag = poly(shape, [(0, 0), (60, 0), (100, 200), (105, 300), (25, 310), (0, 330)])
    flag_red = flag & ~suit_area & (r > 80) & (g < 0.25 * r) & (b < 0.4 * r)
    flag_blue = poly(shape, [(0, 0), (55, 0), (60, 120), (0, 125)]) & (b > r + 20) & (v < 0.5)
    regions = [clean(m, 1) for m in (suit, skin, hair, black, wall, flag_red, flag_blue)]
    labels = [
        ("suit", [(60, 300, 40, 40), (150, 460, 40, 30)]),
        ("skin", [(195, 110, 15, 15), (245, 125, 12, 12)]),
        ("hair", [(200, 25, 40, 15)]),
        ("black", [(200, 195, 40, 25), (420, 280, 60, 30)]),
        ("wall", [(300, 20, 50, 60), (100, 120, 30, 50)]),
        ("flag_red", [(8, 135, 25, 12), (40, 190, 20, 10)]),
        ("flag_blue", [(5, 40, 12, 12)]),
    ]
    return im, truth(regions, np.zeros(shape, bool), 3), labels


def rocket():
    """Sky, rocket, tower (the launch towers' dark lattice)."""
    im = read("rocket.jpg")
    shape = im.shape[:2]
    r, g, b = (im[..., i].astype(int) for i in range(3))
    towers = (poly(shape, [(0, 0), (95, 0), (85, 400), (0, 400)])
              | poly(shape, [(555, 0), (640, 0), (640, 400), (560, 400)])
              | poly(shape, [(170, 180), (210, 180), (205, 380), (165, 380)])
              | poly(shape, [(435, 180), (470, 180), (475, 380), (435, 380)]))
    lights = np.zeros(shape, bool)
    for cx, cy in [(80, 350), (150, 375), (110, 410), (190, 395), (365, 395), (435, 395),
                   (450, 415)]:
        lights |= ell(shape, cy, cx, 30, 30)
    body = poly(shape, [(310, 140), (335, 140), (337, 400), (308, 400)])
    rocket_ = poly(shape, [(312, 150), (333, 150), (333, 390), (311, 390)]) & (r > 90) & (r > b)
    sky = (b > r + 20) & (b > 50) & ~body & ~lights
    sky &= ~ndimage.binary_dilation(towers & (b < r + 15), iterations=2)
    tower = towers & ((b < r + 12) | (b < 45)) & ~lights
    low = np.zeros(shape, bool)
    low[345:, :] = True
    regions = [clean(sky, 1), rocket_, tower]
    return im, truth(regions, low | lights, 1), [
        ("sky", [(250, 30, 40, 40), (470, 240, 40, 40)]),
        ("rocket", [(316, 190, 12, 60)]),
        ("tower", [(6, 306, 6, 12), (602, 0, 6, 12)]),
    ]


def retina():
    """Surround (black), tissue, vessel, disc; at half size."""
    full = read("retina.jpg")
    im = (rescale(full, 0.5, channel_axis=2, anti_aliasing=True) * 255 + 0.5).astype(np.uint8)
    shape = im.shape[:2]
    r, g, b = (im[..., i].astype(float) for i in range(3))
    v = np.max(im, axis=2)
    eye = v > 40
    inner = ndimage.binary_erosion(eye, iterations=6)
    # Vessels are darker than their surroundings in green.
    local = ndimage.grey_closing(g, size=(15, 15))
    vessel = inner & (local - g > 18)
    vessel = ndimage.binary_opening(vessel, np.ones((2, 2), bool))
    disc = ell(shape, 320, 115, 50, 45) & inner & (g > 150) & ~vessel
    tissue = inner & ~vessel & ~ndimage.binary_dilation(vessel, iterations=3)
    tissue &= ~ndimage.binary_dilation(ell(shape, 320, 115, 60, 55), iterations=2)
    surround = ~ndimage.binary_dilation(eye, iterations=4)
    notch = poly(shape, [(560, 60), (620, 60), (620, 110), (560, 110)])
    regions = [surround, tissue, vessel, clean(disc, 2)]
    t = truth(regions, notch, 1)
    t[(t == 2) & ~vessel] = IGNORE
    return im, t, [
        ("surround", [(10, 10, 60, 60), (640, 640, 50, 50)]),
        ("tissue", [(450, 450, 60, 60), (300, 280, 40, 30)]),
        ("vessel", [(242, 158, 20, 4)]),
        ("disc", [(118, 310, 15, 20)]),
    ]


PHOTOS = {"coffee": coffee, "chelsea": chelsea, "astronaut": astronaut, "rocket": rocket,
          "retina": retina}

COLOURS = np.array([(230, 60, 60), (60, 200, 60), (60, 90, 230), (230, 200, 40), (200, 60, 220),
                    (40, 210, 210), (255, 140, 0), (140, 80, 40)], np.uint8)


def check_image(image, t, labels):
    out = image.astype(float) * 0.35
    for label in range(len(labels)):
        out[t == label] = 0.3 * image[t == label] + 0.7 * COLOURS[label]
    out = out.astype(np.uint8)
    for label, (_, rects) in enumerate(labels):
        for x, y, w, h in rects:
            out[y, x:x + w] = out[y + h - 1, x:x + w] = 255
            out[y:y + h, x] = out[y:y + h, x + w - 1] = 255
    return out


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "/tmp/clsg-auto-photos"
    os.makedirs(out, exist_ok=True)
    cases = {}
    for name, make in PHOTOS.items():
        image, t, labels = make()
        photo = os.path.join(out, name + ".png")
        skimage.io.imsave(photo, image, check_contrast=False)
        skimage.io.imsave(os.path.join(out, name + "-truth.png"), t, check_contrast=False)
        skimage.io.imsave(os.path.join(out, name + "-check.png"), check_image(image, t, labels),
                          check_contrast=False)
        for label, (lname, rects) in enumerate(labels):
            for x, y, w, h in rects:
                inside = t[y:y + h, x:x + w]
                assert inside.shape == (h, w), (name, lname)
        cases[name] = {"photo": photo, "truth": os.path.join(out, name + "-truth.png"),
                       "labels": [{"name": n, "rects": r} for n, r in labels]}
        counts = [int((t == i).sum()) for i in range(len(labels))]
        print(f"{name}: {image.shape[1]} x {image.shape[0]}, judged per label {counts}")
    with open(os.path.join(out, "cases.json"), "w") as f:
        json.dump(cases, f, indent=1)


if __name__ == "__main__":
    main()
