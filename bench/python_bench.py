"""Speed of the Python package: the binding's overhead, segment_files on 1
and 2 workers, clsg.dask.segment against the tiled C++ runner.

    PYTHONPATH=build/default/python /usr/bin/python3 bench/python_bench.py [overhead|files|dask]

Images are the demo photograph tiled to the size each measurement names,
segmented by a 3-label tool taught from rectangles of it (N = 3). Every figure
is the best and the median of several runs, ratios from this one process.
"""

import os
import statistics
import sys
import tempfile
import time

import numpy as np

import clsg

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PHOTO = os.path.join(ROOT, "cli", "demo", "coffee.png")


def photo(height, width):
    img = clsg.read_image(PHOTO)
    reps = (-(-height // img.shape[0]), -(-width // img.shape[1]), 1)
    return np.ascontiguousarray(np.tile(img, reps)[:height, :width])


def demo_tool():
    img = clsg.read_image(PHOTO)
    rects = {"crema": [(250, 120, 75, 45)], "red": [(100, 190, 50, 90), (415, 180, 40, 70)],
             "table": [(470, 20, 110, 60)]}
    labels = {}
    for name, boxes in rects.items():
        mask = np.zeros(img.shape[:2], bool)
        for x, y, w, h in boxes:
            mask[y:y + h, x:x + w] = True
        labels[name] = [(img, mask)]
    tool = clsg.Tool()
    tool.train(labels)
    return tool


def show(name, seconds):
    print(f"{name:56s} best {min(seconds) * 1e3:9.1f} ms   median "
          f"{statistics.median(seconds) * 1e3:9.1f} ms   ({len(seconds)} runs)", flush=True)
    return min(seconds), statistics.median(seconds)


def keep_heap():
    """Keeps freed blocks in glibc's heap (as clsg train --auto does), so that
    neither side of a comparison pays for faulting fresh pages in."""
    from clsg._clsg import _keep_freed_memory
    _keep_freed_memory(64 << 20, 1 << 30)


def overhead(rounds=200):
    """Wall-clock and CPU time of this thread, interleaved rounds: on a busy
    machine the CPU figures (what the call itself costs) are the steadier.
    Measured under glibc's default heap settings, then with the heap kept:
    the defaults give back and fault in the run's tens of MB differently on
    the two sides."""
    tool, img = demo_tool(), photo(1024, 1024)
    for heap in ("default heap", "heap kept"):
        if heap == "heap kept":
            keep_heap()
        wall = {"py": [], "cpp": []}
        cpu = {"py": [], "cpp": []}
        for _ in range(rounds):  # interleaved, so that load changes hit both alike
            start, cpu_start = time.perf_counter(), time.thread_time()
            tool.run(img, 3).labels
            wall["py"].append(time.perf_counter() - start)
            cpu["py"].append(time.thread_time() - cpu_start)
            (w, c), = tool._time_runs(img, 3, False, 1)
            wall["cpp"].append(w)
            cpu["cpp"].append(c)
        for clock, t in (("wall", wall), ("CPU", cpu)):
            b1, m1 = show(f"1 MP run + labels, C++ call ({clock}, {heap})", t["cpp"])
            b2, m2 = show(f"1 MP run + labels, from Python ({clock}, {heap})", t["py"])
            paired = statistics.median(p / c for p, c in zip(t["py"], t["cpp"]))
            print(f"binding overhead ({clock}, {heap}): best {100 * (b2 / b1 - 1):+.1f} %, "
                  f"median {100 * (m2 / m1 - 1):+.1f} %, median of rounds "
                  f"{100 * (paired - 1):+.1f} %")


def files(count=24, rounds=6, batches=2):
    """segment_files on a LocalCluster of 1 and one of 2 single-threaded
    worker processes, timed in alternate rounds (so that the machine's other
    load falls on both alike). Only the measured cluster is up: an idle
    cluster's processes would take CPU from the 2 workers (which use both
    cores) but not from the 1 (which leaves a core free). Each cluster is
    started, and its workers load the tool and segment a first file, before
    the timing of its batches starts."""
    from distributed import Client, LocalCluster

    import clsg.dask

    tool = demo_tool()
    with tempfile.TemporaryDirectory() as work:
        tool_path = os.path.join(work, "t.clsg")
        tool.save(tool_path)
        img = photo(800, 1200)
        paths = []
        for i in range(count):
            p = os.path.join(work, f"img{i:02d}.png")
            clsg.write_image(p, np.roll(img, 37 * i, axis=1))
            paths.append(p)
        seconds = {1: [], 2: []}
        busy = []  # seconds the 2 workers spent on files per second of the batch
        for r in range(rounds):
            for workers in ((1, 2) if r % 2 == 0 else (2, 1)):
                with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, Client(cluster) as client:
                    client.wait_for_workers(workers)
                    clsg.dask.segment_files(paths[:workers], tool_path,
                                            os.path.join(work, "warm"), client=client)
                    for b in range(batches):
                        start = time.perf_counter()
                        records = clsg.dask.segment_files(
                            paths, tool_path, os.path.join(work, f"out{r}-{workers}-{b}"),
                            client=client)
                        seconds[workers].append(time.perf_counter() - start)
                        assert all(rec["ok"] for rec in records)
                        if workers == 2:
                            busy.append(sum(rec["seconds"] for rec in records) / seconds[2][-1])
        best = {w: show(f"segment_files, {count} x 0.96 MP, {w} worker(s)", seconds[w])
                for w in (1, 2)}
        paired = statistics.median(a / b for a, b in zip(seconds[1], seconds[2]))
        print(f"2 workers vs 1: best {best[1][0] / best[2][0]:.2f} x, "
              f"median {best[1][1] / best[2][1]:.2f} x, median of rounds {paired:.2f} x")
        print(f"2 workers busy on files: best {max(busy):.2f}, median {statistics.median(busy):.2f} "
              f"of 2 (below 2: time outside the files, or a machine with other work)")


def dask_segment(rounds=5):
    """Threads: 2 worker threads of Dask's local scheduler. Cluster: a
    LocalCluster of 2 single-threaded worker processes holding the array
    (persisted there first), the label image gathered back; each round
    includes building its graph."""
    import dask.array as da
    from distributed import Client, LocalCluster, wait

    import clsg.dask

    tool, img = demo_tool(), photo(3000, 4000)
    expected = tool.run(img, 3).labels
    arr = da.from_array(img, chunks=(750, 2000, 3))
    labels = clsg.dask.segment(arr, tool, 3)["labels"]
    np.testing.assert_array_equal(labels.compute(scheduler="threads", num_workers=2), expected)
    threads, tiled = [], []
    for _ in range(rounds):
        start = time.perf_counter()
        labels.compute(scheduler="threads", num_workers=2)
        threads.append(time.perf_counter() - start)
        tiled += tool._time_tiled_runs(img, 3, False, 2, 1)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        held = client.persist(arr)
        wait(held)
        np.testing.assert_array_equal(clsg.dask.segment(held, tool, 3)["labels"].compute(),
                                      expected)
        cluster_s = []
        for _ in range(rounds):
            start = time.perf_counter()
            # A new graph each round (new keys), so that no round finds the
            # blocks of the one before still held by the cluster.
            clsg.dask.segment(held, tool, 3)["labels"].compute()
            cluster_s.append(time.perf_counter() - start)
    b1, m1 = show("12 MP labels, tiled C++ runner, 2 threads", tiled)
    b2, m2 = show("12 MP labels, clsg.dask.segment, 2 threads", threads)
    b3, m3 = show("12 MP labels, clsg.dask.segment, 2-process cluster", cluster_s)
    print(f"dask (threads) vs tiled: best {b2 / b1:.2f} x, median {m2 / m1:.2f} x")
    print(f"dask (cluster) vs tiled: best {b3 / b1:.2f} x, median {m3 / m1:.2f} x")


if __name__ == "__main__":
    which = sys.argv[1:] or ["overhead", "files", "dask"]
    for w in which:
        {"overhead": overhead, "files": files, "dask": dask_segment}[w]()
