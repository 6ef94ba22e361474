"""segment_files on a cluster of separate processes, started as the README
says: a scheduler and workers run as `python -m distributed.cli...` by the
interpreter that has clsg, on loopback."""
import os, subprocess, sys, time

import numpy as np
import pytest

import clsg
from conftest import scene

distributed = pytest.importorskip("distributed")
import clsg.dask  # noqa: E402


def start(*args, env):
    return subprocess.Popen([sys.executable, "-m", *args], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def test_segment_files_on_scheduler_and_worker_processes(tmp_path, tool):
    tool.save(tmp_path / "t.clsg")
    paths = [str(tmp_path / f"img{i}.png") for i in range(3)]
    for i, p in enumerate(paths):
        clsg.write_image(p, scene(40 + i, 50, seed=i))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))  # the workers import clsg as we do
    file = str(tmp_path / "scheduler.json")
    procs = [start("distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
                   "--no-dashboard", "--scheduler-file", file, env=env)]
    try:
        deadline = time.monotonic() + 60
        while not os.path.exists(file) and time.monotonic() < deadline:
            time.sleep(0.1)
        procs.append(start("distributed.cli.dask_worker", "--scheduler-file", file, "--nworkers", "2",
                           "--nthreads", "1", "--no-dashboard", "--host", "127.0.0.1", env=env))
        with distributed.Client(scheduler_file=file, timeout=60) as client:
            client.wait_for_workers(2, timeout=60)
            records = clsg.dask.segment_files(paths, tmp_path / "t.clsg", tmp_path / "out", client=client)
            workers = {w["id"] for w in client.scheduler_info()["workers"].values()}
    finally:
        for p in reversed(procs):
            p.terminate()
            p.wait(30)
    assert len(workers) == 2 and [r["ok"] for r in records] == [True] * 3, records
    for k, p in enumerate(paths):
        labels = clsg.read_image(tmp_path / "out" / f"img{k}-labels.png")[..., 0]
        np.testing.assert_array_equal(labels, tool.run(clsg.read_image(p)).labels)
