import csv
import os

import numpy as np
import pytest

import clsg
from conftest import scene

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
import clsg.dask  # noqa: E402

ALL = ("labels", "confidence", "score", "segmentation:orange", "segmentation:cream")


def whole_image(tool, image, n, normalize):
    r = tool.run(image, n, normalize)
    return [r.labels, r.confidence, r.score, r.segmentation("orange"), r.segmentation("cream")]


@pytest.mark.parametrize("normalize", [False, True])
def test_blockwise_equals_the_whole_image_run(tool, normalize):
    # Darker than the training, so that normalisation finds a gain other than 1.
    image = (scene(61, 45, seed=5) * 0.7).astype(np.uint8)
    for n in (1, 2, 3, 5, 9):
        expected = whole_image(tool, image, n, normalize)
        for chunks in ((17, 30), (4, 3), (61, 45)):  # (4, 3): smaller than N = 9's halo
            # N = 3 by default: the tool stores no neighbourhood.
            out = clsg.dask.segment(da.from_array(image, chunks=chunks + (3,)), tool,
                                    None if n == 3 else n, normalize, ALL)
            assert list(out) == list(ALL)
            got = dask.compute(*out.values(), scheduler="threads")
            for name, a, b in zip(ALL, got, expected):
                np.testing.assert_array_equal(a, b, err_msg=f"{name} N={n} chunks={chunks}")
        # One output alone takes a path of its own.
        one = clsg.dask.segment(da.from_array(image, chunks=(17, 30, 3)), tool, n, normalize,
                                ("confidence",))
        assert list(one) == ["confidence"]
        np.testing.assert_array_equal(one["confidence"].compute(scheduler="threads"), expected[1])


def test_segment_refuses_bad_arrays_and_outputs(tool):
    ok = da.zeros((8, 8, 3), dtype=np.uint8)
    cases = [
        (lambda: clsg.dask.segment(da.zeros((8, 8), dtype=np.uint8), tool), clsg.BadImageError),
        (lambda: clsg.dask.segment(da.zeros((8, 8, 3), dtype=np.int16), tool), clsg.BadImageError),
        (lambda: clsg.dask.segment(ok, tool, outputs=("labels", "colour")), clsg.BadParamsError),
        (lambda: clsg.dask.segment(ok, tool, outputs=("segmentation:nope",)), clsg.BadParamsError),
        (lambda: clsg.dask.segment(ok, tool, 0), clsg.BadParamsError),
        (lambda: clsg.dask.segment(ok, clsg.Tool()), clsg.NotTrainedError),
    ]
    for call, kind in cases:
        with pytest.raises(kind):
            call()


def test_segment_files_on_a_local_cluster_reports_a_corrupt_file(tmp_path, tool):
    distributed = pytest.importorskip("distributed")
    tool_path = tmp_path / "t.clsg"
    tool.save(tool_path)
    paths = []
    for i in range(4):
        p = tmp_path / f"img{i}.png"
        clsg.write_image(p, scene(60 + i, 70, seed=i))
        paths.append(str(p))
    (tmp_path / "bad.png").write_bytes(b"\x89PNG\r\n\x1a\n broken")
    paths.insert(2, str(tmp_path / "bad.png"))
    out = tmp_path / "out"
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        records = clsg.dask.segment_files(paths, tool_path, out, client=client,
                                          outputs=("labels", "segmentation:teal"))
    assert [r["path"] for r in records] == paths
    assert [r["ok"] for r in records] == [True, True, False, True, True]
    assert "bad.png" in records[2]["error"]
    assert not [f for f in os.listdir(out) if f.startswith("bad") or f.startswith(".")]
    for r, p in zip(records, paths):
        if not r["ok"]:
            continue
        result = tool.run(clsg.read_image(p))
        stem = os.path.splitext(p)[0].replace(str(tmp_path), str(out))
        labels = clsg.read_image(stem + "-labels.png")[:, :, 0]
        np.testing.assert_array_equal(labels, result.labels)
        np.testing.assert_array_equal(clsg.read_image(stem + "-seg-teal.png")[:, :, 0],
                                      result.segmentation("teal"))
        shares = {n: np.mean(result.labels == i) for i, n in enumerate(tool.labels)}
        assert r["shares"] == pytest.approx(shares)
        assert r["unlabelled"] == pytest.approx(np.mean(result.labels == 255))
        assert (r["height"], r["width"]) == result.shape and r["seconds"] > 0

    csv_path = tmp_path / "summary.csv"
    clsg.dask.write_summary_csv(records, csv_path)
    rows = list(csv.DictReader(open(csv_path)))
    assert [row["ok"] for row in rows] == ["1", "1", "0", "1", "1"]
    assert float(rows[0]["share_teal"]) == pytest.approx(records[0]["shares"]["teal"], abs=1e-6)
    assert rows[2]["share_teal"] == "" and "bad.png" in rows[2]["error"]


def test_segment_files_without_a_cluster_flags_clashing_names(tmp_path, tool):
    tool.save(tmp_path / "t.clsg")
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    for d in ("a", "b"):
        clsg.write_image(tmp_path / d / "x.png", scene(20, 20))
    records = clsg.dask.segment_files([tmp_path / "a" / "x.png", tmp_path / "b" / "x.png"],
                                      tmp_path / "t.clsg", tmp_path / "out")
    assert [r["ok"] for r in records] == [True, False]
    assert "overwrite" in records[1]["error"]
