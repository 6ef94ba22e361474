import copy, csv, os, subprocess, sys, types, warnings

import numpy as np
import pytest

import clsg
from conftest import RECTS, outputs, scene, train_scene

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
import clsg.dask  # noqa: E402

ALL = ("labels", "confidence", "score", "segmentation:orange", "segmentation:cream")


@pytest.mark.parametrize("normalize", [False, True])
def test_blockwise_equals_the_whole_image_run(tool, normalize):
    image = (scene(61, 45, seed=5) * 0.7).astype(np.uint8)  # darker: a gain other than 1
    for n in (2, 3, 9):
        expected = [o for i, o in enumerate(outputs(tool.run(image, n, normalize))) if i != 4]
        for chunks, names in (((17, 30), ALL), ((4, 3), ALL), ((17, 30), ("confidence",))):
            # (4, 3): smaller than N = 9's halo; one output takes a path of its own; None: 3.
            out = clsg.dask.segment(da.from_array(image, (*chunks, 3)), tool, None if n == 3 else n, normalize, names)
            for name, a in zip(names, dask.compute(*out.values(), scheduler="threads")):
                np.testing.assert_array_equal(a, expected[ALL.index(name)], err_msg=f"{name} N={n} chunks={chunks}")
    # Chunks of no rows or columns are allowed; at N = 1 no halo hides them.
    for chunks in (((20, 0, 41), (45,), (3,)), ((61,), (0, 45), (3,))):
        for names in (ALL, ("labels",)):
            out = clsg.dask.segment(da.from_array(image, chunks=chunks), tool, 1, normalize, names)
            expected = [o for i, o in enumerate(outputs(tool.run(image, 1, normalize))) if i != 4]
            for name, a in zip(names, dask.compute(*out.values(), scheduler="threads")):
                np.testing.assert_array_equal(a, expected[ALL.index(name)], err_msg=f"{name} chunks={chunks}")


def test_arrays_narrower_than_the_halo_and_a_gain_searched_on_the_sample_alone(tool):
    for shape, n in (((50, 1), 9), ((1, 50), 9), ((1, 1), 255), ((3, 3), 255), ((40, 7), 21)):
        image = scene(*shape, seed=3)
        out = clsg.dask.segment(da.from_array(image, (17, 4, 3)), tool, n, True, ALL)
        expected = [o for i, o in enumerate(outputs(tool.run(image, n, True))) if i != 4]
        for name, a, e in zip(ALL, dask.compute(*out.values(), scheduler="threads"), expected):
            np.testing.assert_array_equal(a, e, err_msg=f"{name} {shape} N={n}")
    # Only the 10 x 10 subsample is held: 1.2 GB of pixels cost far less than that.
    grown = subprocess.run([sys.executable, "-c", SEARCHED], check=True, capture_output=True, text=True,
                           cwd=os.path.dirname(__file__)).stdout
    assert int(grown) < 300 << 20, grown


SEARCHED = """
import resource, clsg, clsg.dask, dask.array as da, numpy as np
from conftest import scene, train_scene
tool = train_scene(clsg.Tool(), scene())
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss << 10
assert clsg.dask._search_gain(da.zeros((20000, 20000, 3), dtype=np.uint8, chunks=(2000, 2000, 3)), tool) > 0
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss << 10) - peak)
"""


def test_a_narrow_array_is_warned_of_once_and_no_block_of_a_wide_one_is(tool):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # blocks of one row, at the edges narrower than N
        out = clsg.dask.segment(da.from_array(scene(45, 61, seed=5), (1, 7, 3)), tool, 31)
        dask.compute(*out.values(), scheduler="threads")
    with pytest.warns(UserWarning) as said:
        out = clsg.dask.segment(da.from_array(scene(20, 61, seed=5), (1, 7, 3)), tool, 31)
        dask.compute(*out.values(), scheduler="threads")
    assert len(said) == 1 and str(said[0].message).startswith(
        "the array is 20 pixels tall, fewer than the neighbourhood 31"), [str(w.message) for w in said]


def test_a_graph_segments_with_the_tool_as_it_was_when_made(image):
    mine = train_scene(clsg.Tool(), image)
    graph = clsg.dask.segment(da.from_array(image, chunks=(32, 32, 3)), mine,
                              outputs=("labels", "segmentation:orange"))
    before = mine.run(image)
    # Trained again before compute: the same names in another order.
    mine.train({n: [(image[y:y + h, x:x + w], None)] for n, x, y, w, h in RECTS[::-1]})
    assert mine.labels != before.label_names
    np.testing.assert_array_equal(graph["labels"].compute(), before.labels)
    np.testing.assert_array_equal(graph["segmentation:orange"].compute(), before.segmentation(0))
    copied = copy.copy(mine)  # a copy keeps what the tool knew, and trains alone
    mine.train({"x": [(image[:8, :8], None)]})
    assert copied.labels == [n for n, *_ in RECTS[::-1]] and mine.labels == ["x"]


def test_segment_refuses_bad_arrays_and_outputs(tool):
    ok, BP, BI = da.zeros((8, 8, 3), dtype=np.uint8), clsg.BadParamsError, clsg.BadImageError
    for args, kind in [((ok[:, :, 0], tool), BI), ((ok.astype(np.int16), tool), BI), ((ok, tool, 0), BP),
                       ((ok, tool, 3, False, ("labels", "colour")), BP), ((ok, clsg.Tool()), clsg.NotTrainedError),
                       ((ok, tool, 3, False, ("segmentation:nope",)), BP)]:
        with pytest.raises(kind):
            clsg.dask.segment(*args)
    # A flag is True or False: the string "False" is true, and would normalise.
    for flag in ("False", [1]):
        with pytest.raises(TypeError, match="normalize_intensity must be True or False"):
            clsg.dask.segment(ok, tool, 3, flag)
    for flag in (np.bool_(False), 0, None, np.array([0])):  # as Tool.run takes them
        assert clsg.dask.segment(ok, tool, 3, flag)["labels"].shape == (8, 8)
    masked = da.ma.masked_equal(ok, 0)  # its mask would go unseen
    with pytest.raises(BI, match="dask.array.ma.getdata"):
        clsg.dask.segment(masked, tool)
    unknown = ok[da.from_array(np.ones(8, bool), chunks=4)]  # rows picked by a mask
    with pytest.raises(BI, match="compute_chunk_sizes"):
        clsg.dask.segment(unknown, tool)


def test_segment_files_on_a_local_cluster_reports_a_corrupt_file(tmp_path, tool):
    distributed = pytest.importorskip("distributed")
    tool.save(tmp_path / "t.clsg")
    paths = [str(tmp_path / n) for n in ("img0.png", "bad.png", "img1.png")]
    results = [tool.run(clsg.write_image(p, scene(60 + i, 70, seed=i)) or clsg.read_image(p))
               for i, p in enumerate(paths[::2])]
    (tmp_path / "bad.png").write_bytes(b"\x89PNG\r\n\x1a\n broken")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        records = clsg.dask.segment_files(paths, tmp_path / "t.clsg", tmp_path / "out",
                                          client=client, outputs=("labels", "segmentation:teal"))
    assert [(r["path"], r["ok"]) for r in records] == list(zip(paths, [True, False, True]))
    assert "bad.png" in records[1]["error"] and sorted(os.listdir(tmp_path / "out")) == [
        "img0-labels.png", "img0-seg-teal.png", "img1-labels.png", "img1-seg-teal.png"]
    for k, (r, result) in enumerate(zip(records[::2], results)):
        for suffix, mine in (("labels", result.labels), ("seg-teal", result.segmentation(1))):
            np.testing.assert_array_equal(clsg.read_image(tmp_path / "out" / f"img{k}-{suffix}.png")[..., 0], mine)
        assert r["shares"] == pytest.approx({n: np.mean(result.labels == i) for i, n in enumerate(tool.labels)})
        assert (r["unlabelled"], r["height"], r["width"]) == pytest.approx((np.mean(result.labels == 255),) + result.shape)
        counts = np.bincount(result.regions()["label_index"], minlength=3)
        assert r["regions"] == {n: counts[i] for i, n in enumerate(tool.labels)} and counts.min() > 0
    clsg.dask.write_summary_csv(records, tmp_path / "summary.csv")
    rows = [(row["ok"], row["share_teal"], row["regions_teal"]) for row in csv.DictReader(open(tmp_path / "summary.csv"))]
    assert rows == [("1", "%.6f" % records[0]["shares"]["teal"], str(records[0]["regions"]["teal"])), ("0", "", ""),
                    ("1", "%.6f" % records[2]["shares"]["teal"], str(records[2]["regions"]["teal"]))]
    photo = open(paths[0], "rb").read()  # a summary never replaces an input
    with pytest.raises(OSError, match="is the input"):
        clsg.dask.write_summary_csv(records, paths[0])
    tool_bytes, output = (tmp_path / "t.clsg").read_bytes(), records[2]["outputs"][1]
    written = open(output, "rb").read()  # nor an output, nor the tool
    with pytest.raises(OSError, match="img1.png's output"):
        clsg.dask.write_summary_csv(records, output)
    with pytest.raises(OSError, match="tool file"):
        clsg.dask.write_summary_csv(records, tmp_path / "t.clsg")
    assert open(paths[0], "rb").read() == photo and open(output, "rb").read() == written
    assert (tmp_path / "t.clsg").read_bytes() == tool_bytes
    # Without a cluster (local threads); a second input named alike would overwrite the first.
    (tmp_path / "sub").mkdir()
    clsg.write_image(tmp_path / "sub/img0.png", scene(20, 20))
    again = clsg.dask.segment_files([paths[0], tmp_path / "sub/img0.png"], tmp_path / "t.clsg", tmp_path / "o2")
    assert [r["ok"] for r in again] == [True, False] and "overwrite" in again[1]["error"]
    with pytest.raises(NotADirectoryError, match="out_dir is a file"):
        clsg.dask.segment_files([paths[0]], tmp_path / "t.clsg", paths[2])
    with pytest.raises(TypeError, match="normalize_intensity must be True or False"):
        clsg.dask.segment_files([paths[0]], tmp_path / "t.clsg", tmp_path / "o3", normalize_intensity="yes")
    with pytest.raises(clsg.ToolFileError, match="missing.clsg"):  # a clsg.Error, as Tool.load's
        clsg.dask.segment_files([paths[0]], tmp_path / "missing.clsg", tmp_path / "o3")
    assert not (tmp_path / "o3").exists()
    clsg.write_image(tmp_path / "fresh.png", scene(4, 4))  # outputs get the usual mode
    assert os.stat(tmp_path / "o2/img0-labels.png").st_mode == os.stat(tmp_path / "fresh.png").st_mode
    # Outputs never replace an input (nor the tool file): that file fails, the others go on.
    clsg.write_image(tmp_path / "sub/img0-labels.png", scene(20, 20, seed=9))
    kept = (tmp_path / "sub/img0-labels.png").read_bytes()
    inputs = [tmp_path / "sub/img0.png", tmp_path / "sub/img0-labels.png"]
    again = clsg.dask.segment_files(inputs, tmp_path / "t.clsg", tmp_path / "sub")
    assert [r["ok"] for r in again] == [False, True] and "would replace the input" in again[0]["error"]
    assert (tmp_path / "sub/img0-labels.png").read_bytes() == kept
    assert sorted(os.listdir(tmp_path / "sub")) == ["img0-labels-labels.png", "img0-labels.png", "img0.png"]
    (tmp_path / "sub/img0-labels.png").unlink()
    os.link(tmp_path / "t.clsg", tmp_path / "sub/img0-labels.png")  # the tool, by another name
    again = clsg.dask.segment_files(inputs[:1], tmp_path / "t.clsg", tmp_path / "sub")
    assert not again[0]["ok"] and "t.clsg" in again[0]["error"], again
    # Nor a photo of the user's named like an output, in a folder the inputs are read from.
    (tmp_path / "sub/img0-labels.png").unlink()
    clsg.write_image(tmp_path / "sub/img0-labels.png", scene(20, 20, seed=9))
    again = clsg.dask.segment_files(inputs[:1], tmp_path / "t.clsg", tmp_path / "sub")
    assert not again[0]["ok"] and "exists in" in again[0]["error"], again
    assert (tmp_path / "sub/img0-labels.png").read_bytes() == kept
    # A directory in the way of one output: the file fails and none of its outputs is replaced.
    (tmp_path / "o2/img0-score.png").mkdir()
    before = (tmp_path / "o2/img0-labels.png").read_bytes()
    again = clsg.dask.segment_files(paths[:1], tmp_path / "t.clsg", tmp_path / "o2",
                                    outputs=("labels", "confidence", "score"))
    assert not again[0]["ok"] and "img0-score.png: it names a directory" in again[0]["error"], again
    assert (tmp_path / "o2/img0-labels.png").read_bytes() == before
    assert not (tmp_path / "o2/img0-confidence.png").exists()
    # Nor is a pipe or device left at an output's name (a link to one too), as the user's own
    # path given to write_image would be: that file fails, the others go on. The pipe has a
    # reader, so that writing into it would not wait.
    (tmp_path / "piped").mkdir()
    os.mkfifo(tmp_path / "piped/img0-labels.png")
    os.symlink("/dev/null", tmp_path / "piped/img1-labels.png")
    reader = os.open(tmp_path / "piped/img0-labels.png", os.O_RDONLY | os.O_NONBLOCK)
    try:
        piped = clsg.dask.segment_files([paths[0], paths[2], tmp_path / "fresh.png"],
                                        tmp_path / "t.clsg", tmp_path / "piped")
        assert os.read(reader, 16) == b""  # no writer came
    finally:
        os.close(reader)
    assert [r["ok"] for r in piped] == [False, False, True], piped
    assert "img0-labels.png: it is a pipe (FIFO), not a file" in piped[0]["error"]
    assert "img1-labels.png: it is a link to a device, not a file" in piped[1]["error"]
    assert sorted(os.listdir(tmp_path / "piped")) == ["fresh-labels.png", "img0-labels.png", "img1-labels.png"]
    # Inputs of other names may still share an output: a.png's a-seg-score.png (a label named
    # "score") is a-seg.png's score image. The later input fails; the file is the earlier one's.
    picture = scene()
    (named := clsg.Tool()).train({"score": [(picture[:, :40], None)], "rest": [(picture[:, 50:], None)]})
    named.save(tmp_path / "named.clsg")
    pair = [str(tmp_path / "sub/a.png"), str(tmp_path / "sub/a-seg.png")]
    clsg.write_image(pair[0], picture)
    clsg.write_image(pair[1], picture[::-1].copy())
    again = clsg.dask.segment_files(pair, tmp_path / "named.clsg", tmp_path / "o3",
                                    outputs=("score", "segmentation:score"))
    assert [r["ok"] for r in again] == [True, False] and "overwrite those of " + pair[0] in again[1]["error"]
    np.testing.assert_array_equal(clsg.read_image(tmp_path / "o3/a-seg-score.png")[..., 0],
                                  named.run(picture).segmentation(0))


def test_segment_files_takes_names_as_the_system_gives_them(tmp_path, tool):
    tool.save(tmp_path / "t.clsg")
    latin = os.path.join(os.fsencode(tmp_path), b"\xe9t\xe9.png")  # not UTF-8, as bytes
    clsg.write_image(latin, scene(20, 30))
    clsg.write_image(tmp_path / "a.png", scene(20, 30))
    records = clsg.dask.segment_files([latin], tmp_path / "t.clsg", tmp_path / "out")
    assert records[0]["ok"], records
    assert os.listdir(os.fsencode(tmp_path / "out")) == [b"\xe9t\xe9-labels.png"]
    clsg.dask.write_summary_csv(records, tmp_path / "s.csv")
    assert b"/\xe9t\xe9.png,1,," in (tmp_path / "s.csv").read_bytes()
    # A pipe named like an image is a file that fails (read, it would wait for ever).
    os.mkfifo(tmp_path / "pipe.png")
    piped = clsg.dask.segment_files([tmp_path / "pipe.png", tmp_path / "a.png"], tmp_path / "t.clsg",
                                    tmp_path / "piped")
    assert [r["ok"] for r in piped] == [False, True], piped
    assert piped[0]["error"] == (f"ImageFileError: {tmp_path / 'pipe.png'}: not a file (a pipe, a device "
                                 "or a folder); segment_files reads image files")
    # One path is one file, not a list of its letters.
    one = clsg.dask.segment_files(str(tmp_path / "a.png"), tmp_path / "t.clsg", tmp_path / "one")
    assert [r["ok"] for r in one] == [True] and os.listdir(tmp_path / "one") == ["a-labels.png"]
    with pytest.raises(TypeError, match="tool must be a clsg.Tool .*; got str"):
        clsg.dask.segment(da.zeros((4, 4, 3), dtype=np.uint8), str(tmp_path / "t.clsg"))


def test_a_summarys_shares_give_their_pixel_counts_back(tmp_path):
    # One pixel in three million is written as such, not as 0.000000.
    record = {"path": "wide.png", "ok": True, "error": None, "width": 3000, "height": 1000,
              "seconds": 0.5, "shares": {"red": 1 / 3e6, "blue": 1 - 1 / 3e6}, "unlabelled": 0.0,
              "regions": {"red": 1, "blue": 1}, "outputs": []}
    clsg.dask.write_summary_csv([record], tmp_path / "s.csv")
    row = next(csv.DictReader(open(tmp_path / "s.csv")))
    assert (row["share_red"], row["share_blue"], row["seconds"]) == ("0.0000003", "0.9999997", "0.500000")


def test_segment_files_cleans_as_the_command_line_does(tmp_path, tool, monkeypatch):
    # With min_area, the labels output, the shares and the counts are all of the cleaned image.
    tool.save(tmp_path / "t.clsg")
    clsg.write_image(tmp_path / "a.png", scene(60, 70, seed=3))
    result = tool.run(clsg.read_image(tmp_path / "a.png"))
    cleaned, table = result.cleaned(min_area=30)
    assert (cleaned != result.labels).any()  # specks were dropped
    [r] = clsg.dask.segment_files([tmp_path / "a.png"], tmp_path / "t.clsg", tmp_path / "o", min_area=30)
    np.testing.assert_array_equal(clsg.read_image(tmp_path / "o/a-labels.png")[..., 0], cleaned)
    assert r["unlabelled"] == pytest.approx(np.mean(cleaned == 255))
    assert r["shares"] == pytest.approx({n: np.mean(cleaned == i) for i, n in enumerate(tool.labels)})
    counts = np.bincount(table["label_index"], minlength=3)
    assert r["regions"] == {n: counts[i] for i, n in enumerate(tool.labels)}
    # A worker never needs pandas (one half imported by another thread failed every file).
    half_made = types.ModuleType("pandas")
    monkeypatch.setitem(sys.modules, "pandas", half_made)
    [again] = clsg.dask.segment_files([tmp_path / "a.png"], tmp_path / "t.clsg", tmp_path / "o2",
                                      min_area=30)
    assert again["ok"] and again["regions"] == r["regions"], again
    # What clsg run notes of a narrow image is the record's note, with its name; not a warning
    # (a worker's would go to its stderr), so warnings made errors fail no file.
    clsg.write_image(tmp_path / "n.png", scene(20, 70, seed=3))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        wide, narrow = clsg.dask.segment_files([tmp_path / "a.png", tmp_path / "n.png"], tmp_path / "t.clsg",
                                               tmp_path / "o2", neighborhood=28)
    assert wide["ok"] and wide["note"] is None and narrow["ok"], (wide, narrow)
    assert narrow["note"].startswith(f"{tmp_path / 'n.png'} is 20 pixels tall, fewer than the neighbourhood 28")


def test_segment_files_returns_a_record_for_a_file_whose_worker_was_killed(tmp_path, tool):
    distributed = pytest.importorskip("distributed")
    tool.save(tmp_path / "t.clsg")
    paths = [str(tmp_path / n) for n in ("a.png", "huge.png", "b.png")]
    clsg.write_image(paths[0], scene(30, 40))
    clsg.write_image(paths[2], scene(30, 40, seed=2))
    clsg.write_image(paths[1], np.full((6000, 6000, 3), 128, np.uint8))  # its run needs about 1 GB
    # One task on the worker at a time (none queued there), so that only the huge file is lost with it.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0, "distributed.scheduler.worker-saturation": 1.0}), \
            distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, memory_limit="300MB",
                                     dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        records = clsg.dask.segment_files(paths, tmp_path / "t.clsg", tmp_path / "out", client=client)
    assert [r["ok"] for r in records] == [True, False, True], records
    assert "KilledWorker" in records[1]["error"] and records[1]["path"] == paths[1]
    assert sorted(os.listdir(tmp_path / "out")) == ["a-labels.png", "b-labels.png"]


COMPUTE_INTERRUPTED = """
import os, signal, threading, time, dask, numpy as np, clsg
noise = np.random.default_rng(0).integers(0, 256, (400, 600, 3), np.uint8)
(tool := clsg.Tool()).train({"a": [(noise[:40, :40], None)], "b": [(noise[40:80, :40], None)]})
tasks = [dask.delayed(lambda: tool.run(noise, neighborhood=5).score)() for _ in range(200)]
threading.Timer(0.8, os.kill, (os.getpid(), signal.SIGINT)).start()
raised, after = 0, None
try:
    dask.compute(*tasks, scheduler="threads")
except KeyboardInterrupt:
    raised += 1
    after = tool.run(noise[:50, :50], neighborhood=1).labels.shape  # as a handler saving the work
for _ in range(3):
    try:
        time.sleep(0.5)
    except KeyboardInterrupt:
        raised += 1
print(raised, after, flush=True)
"""


SECOND_CTRL_C = """
import os, signal, threading, time, numpy as np, clsg
noise = np.random.default_rng(0).integers(0, 256, (400, 600, 3), np.uint8)
(tool := clsg.Tool()).train({"a": [(noise[:40, :40], None)], "b": [(noise[40:80, :40], None)]})
wide = np.zeros((16, 3000000, 3), np.uint8)  # a call that takes a second or more to stop
def run(image, n):
    try:
        while True:
            tool.run(image, neighborhood=n)
    except KeyboardInterrupt:
        pass
quick = threading.Thread(target=run, args=(noise[:50, :50], 1))  # stopped at once: tells main
worker = threading.Thread(target=run, args=(wide, 31))
quick.start(), worker.start()
time.sleep(0.5)
raised = 0
try:
    os.kill(os.getpid(), signal.SIGINT)
    for _ in range(500):  # short sleeps: the interrupt told to the main thread wakes none
        time.sleep(0.01)
except KeyboardInterrupt:
    raised += 1
    try:  # pressed again while the stopped call is still ending
        time.sleep(0.05)
        os.kill(os.getpid(), signal.SIGINT)
        while worker.is_alive():
            time.sleep(0.01)
        time.sleep(0.2)
    except KeyboardInterrupt:
        raised += 1
quick.join(), worker.join()
print(raised, flush=True)
"""


def test_a_second_ctrl_c_while_stopped_calls_end_is_a_second_keyboard_interrupt():
    out = subprocess.run([sys.executable, "-c", SECOND_CTRL_C], capture_output=True, text=True, timeout=120)
    assert out.stdout == "2\n", out


def test_one_ctrl_c_is_one_keyboard_interrupt_from_a_compute():
    # The main thread raised a worker's KeyboardInterrupt, then, once the last call had left,
    # its own as well. A call in the handler was stopped too while the stopped calls ended.
    for _ in range(3):
        out = subprocess.run([sys.executable, "-c", COMPUTE_INTERRUPTED], capture_output=True, text=True,
                             timeout=120)
        assert out.stdout == "1 (50, 50)\n", out
