#!/usr/bin/python3
"""Teaches each photo of make_set.py's set with other rectangles, drawn at
random inside each label's truth, and measures what `clsg train --auto`'s
wide stage does there: its choice against the lead (the best neighbourhood up
to 9, whose score is the estimate) and against the best neighbourhood of the
chosen tolerance, all against the truth (balanced accuracy, %); and how far
its estimate is from the truth. With --grid, also against the best setting
of compare.py's grid and the k-NN (when python3-sklearn is installed), both
chosen with the truth in hand, as compare.py does for the set's own teachings.
Each line also splits what --auto's choice loses against the truth into
wrong labels and unlabelled pixels (balanced, as the accuracy is), beside
what the estimate is made of: the held-out pixels' balanced accuracy and the
share of the picture samples of colours no example shows.

    PYTHONPATH=build/default/python /usr/bin/python3 bench/auto_photos/teachings.py \
        /tmp/clsg-auto-photos build/default/cli/clsg [--seed S] [--per-photo K] [--grid]

One line per teaching, then a summary. The same seed draws the same
rectangles.
"""
import argparse
import json
import os
import statistics
import tempfile

import numpy as np
from scipy import ndimage

import clsg
from compare import FRACS, MINS, balanced_accuracy, cli_auto, knn, masks_of, train

SIZES = [1, 3, 5, 7, 9, 13, 17, 21]


def draw_rects(rng, region, count, low, high):
    """count rectangles of sides low to high - 1 wholly inside region."""
    ys, xs = np.nonzero(region)
    rects = []
    for _ in range(count):
        for _attempt in range(400):
            w, h = (int(v) for v in rng.integers(low, high, 2))
            i = rng.integers(len(ys))
            x, y = int(xs[i]) - w // 2, int(ys[i]) - h // 2
            if x >= 0 and y >= 0 and region[y:y + h, x:x + w].shape == (h, w) \
                    and region[y:y + h, x:x + w].all():
                rects.append([x, y, w, h])
                break
    return rects


def teaching(rng, case, t):
    """The case's labels with 1 or 2 random rectangles each; a label too thin
    for rectangles of 10 to 40 gets ones of 3 to 10."""
    labels = []
    for index, label in enumerate(case["labels"]):
        count = int(rng.integers(1, 3))
        rects = []
        for erode, low, high in ((7, 10, 40), (3, 3, 10)):
            region = ndimage.binary_erosion(t == index, np.ones((erode, erode)))
            rects = draw_rects(rng, region, count, low, high) if region.any() else []
            if rects:
                break
        if not rects:
            return None
        labels.append({"name": label["name"], "rects": rects})
    return {"photo": case["photo"], "labels": labels}


def losses(labels, t, n):
    """Balanced shares (%) of the truth's pixels given another label, and
    given none."""
    wrong, none = [], []
    for label in range(n):
        judged = t == label
        if judged.any():
            got = labels[judged]
            none.append(float((got >= n).mean()))
            wrong.append(float(((got != label) & (got < n)).mean()))
    return 100 * statistics.mean(wrong), 100 * statistics.mean(none)


def grid_best(image, masks, t, n):
    """The best balanced accuracy of the grid, and the k-NN's (None without
    python3-sklearn)."""
    best = max(balanced_accuracy(tool.run(image, neighborhood=size).labels, t, n)
               for tool in (train(image, masks, f, m) for f in FRACS for m in MINS)
               for size in SIZES)
    try:
        return best, knn(image, masks, t, n)[0]
    except ImportError:
        return best, None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("cli")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--per-photo", type=int, default=3)
    parser.add_argument("--grid", action="store_true")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    with open(os.path.join(args.out, "cases.json")) as f:
        cases = json.load(f)
    over_lead, under_best, estimate_error, peers, lost = [], [], [], [], []
    for name, case in cases.items():
        image = clsg.read_image(case["photo"])
        t = clsg.read_image(case["truth"])[..., 0]
        for k in range(args.per_photo):
            alt = teaching(rng, case, t)
            if alt is None:
                print(f"{name} {k}: a label has no room for a rectangle")
                continue
            with tempfile.TemporaryDirectory() as work:
                report, _ = cli_auto(args.cli, alt, work)
            chosen, lead = report["chosen"], report["estimate"]["neighborhoodSize"]
            tool = train(image, masks_of(alt, t.shape), chosen["colorToleranceFrac"],
                         chosen["colorToleranceMin"])
            acc = {n: balanced_accuracy(tool.run(image, neighborhood=n).labels, t,
                                        len(alt["labels"])) for n in SIZES}
            best = max(acc, key=acc.get)
            got = acc[chosen["neighborhoodSize"]]
            estimate = 100 * report["estimate"]["balancedAccuracy"]
            n = len(alt["labels"])
            wrong, none = losses(tool.run(image, neighborhood=chosen["neighborhoodSize"]).labels,
                                 t, n)
            lost.append((wrong, none))
            estimate_error.append(estimate - got)
            over_lead.append(got - acc[lead])
            under_best.append(acc[best] - got)
            print(f"{name} {k}: ({chosen['colorToleranceFrac']:g}, {chosen['colorToleranceMin']})"
                  f" lead N {lead} {acc[lead]:.1f}, --auto N {chosen['neighborhoodSize']} {got:.1f},"
                  f" best N {best} {acc[best]:.1f}, estimate {estimate:.1f}"
                  f" (held-out {100 * report['estimate']['heldOutBalancedAccuracy']:.1f},"
                  f" uncovered {100 * report['estimate']['uncovered']:.0f} %),"
                  f" lost: wrong {wrong:.1f}, unlabelled {none:.1f}", end="")
            if args.grid:
                grid, peer = grid_best(image, masks_of(alt, t.shape), t, len(alt["labels"]))
                peers.append((got, grid, peer))
                print(f", grid {grid:.1f}" + (f", k-NN {peer:.1f}" if peer is not None else ""),
                      end="")
            print(flush=True)
    if over_lead:
        print(f"{len(over_lead)} teachings: --auto against its lead {statistics.mean(over_lead):+.2f}"
              f" on average ({sum(d > 0.05 for d in over_lead)} better, "
              f"{sum(d < -0.05 for d in over_lead)} worse, worst {min(over_lead):+.1f}); "
              f"{statistics.mean(under_best):.2f} under the best size of its tolerance")
        print(f"estimate within 3 points of the truth on {sum(abs(e) <= 3 for e in estimate_error)}"
              f" of {len(estimate_error)}; off by {statistics.median(map(abs, estimate_error)):.1f}"
              f" (median), too high by {statistics.mean(estimate_error):+.1f} on average")
        print(f"--auto's choice loses {statistics.mean(w for w, _ in lost):.1f} points to wrong"
              f" labels and {statistics.mean(u for _, u in lost):.1f} to unlabelled pixels on"
              f" average")
    if peers:
        under = [grid - got for got, grid, _ in peers]
        print(f"--auto {statistics.mean(under):.2f} under the grid's best on average, within 1 point"
              f" on {sum(u <= 1 for u in under)} of {len(under)}", end="")
        knns = [(got, peer) for got, _, peer in peers if peer is not None]
        if knns:
            print(f"; at least as good as the k-NN on {sum(g >= p for g, p in knns)} of {len(knns)}"
                  f" ({statistics.mean(g - p for g, p in knns):+.2f} on average)", end="")
        print()


if __name__ == "__main__":
    main()
