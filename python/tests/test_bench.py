"""The Python benchmark still runs: one round of its binding and Dask measurements."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
import python_bench  # noqa: E402


def test_one_round_of_each_quick_measurement(capsys):
    python_bench.overhead(rounds=1)
    python_bench.dask_segment(rounds=1)
    out = capsys.readouterr().out
    assert "median" in out and "dask (threads) vs tiled" in out
