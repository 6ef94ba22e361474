#!/usr/bin/python3
"""Measures clsg on the photo set of make_set.py: the default parameters,
`clsg train --auto`, the best setting of a wide grid, and (when Debian's
python3-sklearn is installed) a k-NN on RGB given the same rectangles.
Balanced accuracy against the truth, unlabelled pixels counting wrong, 255
in the truth not judged.

    /usr/bin/python3 bench/auto_photos/make_set.py /tmp/clsg-auto-photos
    PYTHONPATH=build/default/python /usr/bin/python3 bench/auto_photos/compare.py \
        /tmp/clsg-auto-photos build/default/cli/clsg [--markdown] [--quick]

--quick leaves out the grid and the k-NN (only default and --auto). The grid's
and the k-NN's results are kept in OUTDIR/NAME-grid.json and reused (delete
them after changing the core or the set).
"""
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import clsg

FRACS = [0.02, 0.03, 0.04, 0.057, 0.08, 0.11, 0.15, 0.21, 0.3, 0.42, 0.6]
MINS = [1, 2, 5, 10, 20, 30, 45]
SIZES = [1, 3, 5, 7, 9, 11, 13, 17, 21]
KNN_K = [1, 5, 15]


def balanced_accuracy(labels, t, n):
    recalls = []
    for label in range(n):
        judged = t == label
        if judged.any():
            recalls.append(float((labels[judged] == label).mean()))
    return 100.0 * sum(recalls) / len(recalls)


def masks_of(case, shape):
    out = {}
    for label in case["labels"]:
        m = np.zeros(shape, bool)
        for x, y, w, h in label["rects"]:
            m[y:y + h, x:x + w] = True
        out[label["name"]] = m
    return out


def train(image, masks, frac, minimum):
    tool = clsg.Tool()
    tool.train({k: [(image, m)] for k, m in masks.items()}, tolerance_frac=frac,
               tolerance_min=minimum)
    return tool


def cli_auto(cli, case, workdir):
    args = [cli, "train", os.path.join(workdir, "auto.clsg"), "--auto", "--report",
            os.path.join(workdir, "report.json")]
    for label in case["labels"]:
        rects = "+".join(",".join(str(v) for v in r) for r in label["rects"])
        args += ["--label", f"{label['name']}={case['photo']}@{rects}"]
    start = time.perf_counter()
    subprocess.run(args, check=True, capture_output=True)
    wall = time.perf_counter() - start
    with open(os.path.join(workdir, "report.json")) as f:
        report = json.load(f)
    return report, wall


def knn(image, masks, t, n):
    from sklearn.neighbors import KNeighborsClassifier
    xs, ys = [], []
    for i, m in enumerate(masks.values()):
        xs.append(image[m].reshape(-1, 3))
        ys.append(np.full(int(m.sum()), i))
    x, y = np.concatenate(xs).astype(np.float32), np.concatenate(ys)
    best = None
    for k in KNN_K:
        model = KNeighborsClassifier(n_neighbors=k).fit(x, y)
        judged = t != 255
        got = np.full(t.shape, 255, np.uint8)
        got[judged] = model.predict(image[judged].reshape(-1, 3).astype(np.float32))
        score = balanced_accuracy(got, t, n)
        if best is None or score > best[0]:
            best = (score, k)
    return best


def main():
    out, cli = sys.argv[1], sys.argv[2]
    markdown, quick = "--markdown" in sys.argv, "--quick" in sys.argv
    with open(os.path.join(out, "cases.json")) as f:
        cases = json.load(f)
    rows = []
    for name, case in cases.items():
        image = clsg.read_image(case["photo"])
        t = clsg.read_image(case["truth"])[..., 0]
        n = len(case["labels"])
        masks = masks_of(case, t.shape)
        score = lambda tool, size: balanced_accuracy(tool.run(image, neighborhood=size).labels,
                                                     t, n)
        default = score(train(image, masks, 0.1, 2), 3)
        walls = []
        for _ in range(5):  # the wall time is the median of 5 runs
            with tempfile.TemporaryDirectory() as work:
                report, wall = cli_auto(cli, case, work)
            walls.append(wall)
        wall = sorted(walls)[2]
        choice = (report["chosen"]["colorToleranceFrac"], report["chosen"]["colorToleranceMin"],
                  report["chosen"]["neighborhoodSize"])
        auto = score(train(image, masks, choice[0], choice[1]), choice[2])
        estimate = 100.0 * report.get("estimate", report["heldOut"])["balancedAccuracy"]
        row = {"photo": name, "default": default, "auto": auto, "choice": choice,
               "estimate": estimate, "auto_s": wall}
        cached = os.path.join(out, name + "-grid.json")
        if not quick and os.path.exists(cached):  # the grid and k-NN do not depend on the search
            with open(cached) as f:
                row.update(json.load(f))
        elif not quick:
            best = (-1, None)
            for frac in FRACS:
                for minimum in MINS:
                    tool = train(image, masks, frac, minimum)
                    for size in SIZES:
                        s = score(tool, size)
                        if s > best[0]:
                            best = (s, (frac, minimum, size))
            row["best"] = best
            try:
                row["knn"] = knn(image, masks, t, n)
            except ImportError:
                row["knn"] = None
            with open(cached, "w") as f:
                json.dump({"best": row["best"], "knn": row["knn"]}, f)
        rows.append(row)
        print(json.dumps(row), file=sys.stderr, flush=True)
    if markdown:
        print("| photo | default (0.1, 2, N 3) | `--auto` (its choice) | best of the grid | "
              "k-NN on RGB (best k) | `--auto`'s estimate | `--auto` time |")
        print("|---|---|---|---|---|---|---|")
        for r in rows:
            c = r["choice"]
            best = r.get("best")
            knn_ = r.get("knn")
            print(f"| {r['photo']} | {r['default']:.1f} | {r['auto']:.1f} ({c[0]:g}, {c[1]}, N {c[2]})"
                  f" | {best[0]:.1f} ({best[1][0]:g}, {best[1][1]}, N {best[1][2]})" if best else
                  f"| {r['photo']} | {r['default']:.1f} | {r['auto']:.1f} ({c[0]:g}, {c[1]}, N {c[2]}) | -",
                  end="")
            print(f" | {knn_[0]:.1f} (k {knn_[1]})" if knn_ else " | -", end="")
            print(f" | {r['estimate']:.1f} | {1000 * r['auto_s']:.0f} ms |")


if __name__ == "__main__":
    main()
