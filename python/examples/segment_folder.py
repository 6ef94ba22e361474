"""Segments every image of a folder on a Dask cluster and writes a summary.

    python3 segment_folder.py PHOTOS TOOL.clsg OUT            # 2 local workers
    python3 segment_folder.py PHOTOS TOOL.clsg OUT --scheduler tcp://HOST:8786

Without --scheduler it starts a LocalCluster of 2 worker processes on this
machine. With --scheduler it uses a running cluster (started elsewhere with
`dask-scheduler` and `dask-worker tcp://HOST:8786`); the workers then read the
images and the tool file and write the outputs by the same paths, so PHOTOS,
TOOL.clsg and OUT must lie on a file system every worker sees.
"""

import argparse
import os
import sys

from distributed import Client, LocalCluster

import clsg.dask

IMAGE_TYPES = (".png", ".jpg", ".jpeg", ".tif", ".tiff", ".bmp", ".ppm", ".pgm", ".pnm")


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("folder", help="the images to segment")
    p.add_argument("tool", help="a tool file (clsg train, or clsg.Tool.save)")
    p.add_argument("out", help="the output folder")
    p.add_argument("--scheduler", help="address of a running Dask scheduler")
    p.add_argument("--workers", type=int, default=2, help="local workers (default 2)")
    p.add_argument("--neighborhood", type=int,
                   help="neighbourhood size (default: the tool's stored size, else 3)")
    a = p.parse_args()

    paths = sorted(os.path.join(a.folder, f) for f in os.listdir(a.folder)
                   if f.lower().endswith(IMAGE_TYPES) and os.path.isfile(os.path.join(a.folder, f)))
    if a.scheduler:
        client = Client(a.scheduler)
    else:
        client = Client(LocalCluster(n_workers=a.workers, threads_per_worker=1,
                                     dashboard_address=None))
    with client:
        records = clsg.dask.segment_files(paths, a.tool, a.out, client=client,
                                          neighborhood=a.neighborhood,
                                          outputs=("labels", "confidence"))
    for r in records:
        if r["ok"]:
            shares = ", ".join(f"{n} {100 * s:.1f}%" for n, s in r["shares"].items())
            print(f"{os.path.basename(r['path'])}: {r['width']} x {r['height']}, "
                  f"{1e3 * r['seconds']:.0f} ms; {shares}, unlabelled {100 * r['unlabelled']:.1f}%")
        else:
            print(f"{os.path.basename(r['path'])}: FAILED: {r['error']}")
    summary = os.path.join(a.out, "summary.csv")
    clsg.dask.write_summary_csv(records, summary)
    failed = sum(not r["ok"] for r in records)
    print(f"{len(records) - failed} of {len(records)} images segmented; summary in {summary}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
