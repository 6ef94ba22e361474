import copy, csv, gc, json, os, pickle, resource, signal, subprocess, sys, time, types, warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import clsg
from conftest import RECTS, assert_same, outputs, scene, train_scene

NUMBERS = dict(zip([clsg.BadParamsError, clsg.NotTrainedError, clsg.BadImageError, clsg.TooManyLabelsError],
                   range(268472576, 268472580)))


def test_memory_layouts_and_threads_give_one_threads_c_order_result(image, tool):
    wide = np.repeat(np.repeat(np.pad(image, ((0, 0), (0, 0), (0, 1))), 2, 0), 3, 1)[::2, ::3, :3]
    others = (np.asfortranarray(image), wide, image[::-1, ::-1].copy()[::-1, ::-1])
    jobs = [(o, n) for o in others for n in (1, 2, 3, 5)] * 2
    with ThreadPoolExecutor(4) as pool:  # four threads on one tool
        for result, (other, n) in zip(pool.map(lambda job: tool.run(*job), jobs), jobs):
            assert not other.flags.c_contiguous
            assert_same(result, tool.run(image, n))
    assert all(train_scene(clsg.Tool(), other) == tool for other in others)


def test_results_are_read_only_views_that_outlive_the_result(image, tool):
    result = tool.run(image)
    labels, expected = result.labels, result.labels.copy()
    assert not labels.flags.writeable and not labels.flags.owndata
    del result
    gc.collect()
    tool.run(scene(seed=3))  # reuse of freed memory would show here
    np.testing.assert_array_equal(labels, expected)
    first = tool.run(image, 3)
    tool.run(scene(seed=4), 3)  # the same size: refills the planes the first run read
    assert_same(first, tool.run(image, 3))  # images first builds now come from its own copy


def test_bad_input_raises_clear_errors_with_the_library_number(image, tool):
    small, BI, BP, TM = image[:10, :10], clsg.BadImageError, clsg.BadParamsError, clsg.TooManyLabelsError
    seg = lambda which: lambda: tool.run(small).segmentation(which)  # noqa: E731
    run = lambda *args: lambda: tool.run(*args)  # noqa: E731
    train = lambda labels, **kw: lambda: clsg.Tool().train(labels, **kw)  # noqa: E731
    mask = lambda m=None, **kw: train({"a": [(small, m)]}, **kw)  # noqa: E731
    for call, kind, words in [
            (run(image[:, :, 0]), BI, "H x W x 3"), (run(image[:0]), BI, "empty"), (train({}), BP, "no labels"),
            (train({"a": []}), BP, "'a' has no examples"), (mask(tolerance_min=256), BP, "0..255; got 256"),
            (run(image.astype(np.float32)), BI, "float32"), (run(np.ma.masked_array(image)), BI, "masked array"),
            (mask(np.ma.masked_array(np.ones((10, 10), bool))), BI, "the mask of example 1 of 'a' is a masked array"),
            (run(image, 256), BP, "neighborhood must be 1 to 255; got 256"),
            (run(image, 2**64), BP, "got 18446744073709551616"), (seg(3), BP, "0..2"),
            (seg(2**70), BP, "1180591620717411303424 is not in 0..2"), (lambda: tool.save("a\0b"), BP, "a\\x00b"),
            (lambda: clsg.Tool.load("a\0b.clsg"), BP, "a\\x00b.clsg"),
            (lambda: clsg.read_image("/etc/hostname\0.png"), BP, "hostname\\x00.png"),
            (lambda: clsg.write_image("a.png\0b", small), BP, "a.png\\x00b"),
            (lambda: clsg.write_image("g.png", small[:, :, 0] > 0), BI, "a grey image must have dtype uint8; got bool"),
            (lambda: clsg.Tool().run(image), clsg.NotTrainedError, "trained"), (train({"a": [small]}), BP, "pair"),
            (mask(np.ones((10, 9), bool)), BI, "(10, 9)"), (mask(np.ones((10, 10))), BI, "float64"),
            (mask(np.zeros((10, 10), bool)), BI, "the mask of example 1 of 'a' selects no pixel"), (mask(tolerance_frac=1.5), BP, "tolerance_frac must be in 0..1; got 1.5"),
            (mask(tolerance_frac=0.0), BP, "label no pixel"), (mask(tolerance_frac=1e-90), BP, "got 1e-90"), (mask(tolerance_frac="0.1"), BP, "'0.1'"),
            (mask(tolerance_frac=True), BP, "tolerance_frac must be a number"),
            (mask(tolerance_frac=np.array([0.2])), BP, "tolerance_frac must be a number"),
            (run(image, np.bool_(True)), BP, "neighborhood must be an int"), (seg(np.True_), BP, "a label is a name"),
            (mask(colors={"a": b"#ff"}), BP, "must be \"#rrggbb\" or (r, g, b)"),
            (mask(tolerance_min=True), BP, "tolerance_min must be an integer"),
            (mask(tolerance_min=2.5), BP, "2.5"), (mask(tolerance_min=10**20), BP, "0..255; got 1000"),
            (mask(tolerance_frac=float("nan")), BP, "tolerance_frac"), (seg("nope"), BP, "nope"),
            (train({"a b": [(small, None)]}), BP, "a b"), (train({os.fsdecode(b"cr\xe9me"): [(small, None)]}), BP, "cr\\xe9me"),
            (mask(colors={"a": "\udce9"}), BP, "#rrggbb"), (seg("\ud800"), BP, "no label named"), (mask(colors={"a": (1, 2, 256)}), BP, "0..255"),
            (mask(colors={"b": "#010"}), BP, "'b'"), (train({str(i): [(small, None)] for i in range(255)}), TM, "too many labels: a tool takes at most 254"),
            (lambda: clsg.suggest({str(i): [(small, None)] for i in range(255)}), TM, "at most 254")]:
        with pytest.raises(kind) as info:
            call()
        assert isinstance(info.value, clsg.Error) and words in str(info.value), info.value
        assert info.value.error_number == NUMBERS[kind], info.value
    for flag in ("no", b"", [True], image, "a" + "\u00e9" * 30):  # in a line, not every argument
        with pytest.raises(TypeError, match="^normalize_intensity must be True or False; got .{1,40}$"):
            tool.run(small, 3, flag)
    for flag, truth in ((np.True_, True), (1, True), (0.0, False), (None, False), (np.array(True), True),
                        (np.array([[0.0]]), False)):  # as always taken
        assert tool.run(small, 3, flag).normalize_intensity is truth
    numpy_typed = train_scene(clsg.Tool(), image, tolerance_frac=np.float32(0.25), tolerance_min=np.uint8(3))
    assert (numpy_typed.tolerance_frac, numpy_typed.tolerance_min) == (float(np.float32(0.25)), 3)
    t = train_scene(clsg.Tool(), image)  # a failed train keeps what the tool knew
    pytest.raises(clsg.BadParamsError, t.train, {"a": [(image, None)]}, tolerance_frac=-1)
    assert t == tool


def test_numpy_integers_are_integers_and_a_tool_equals_no_other_kind(image, tool):
    r = tool.run(image, np.int64(5))
    assert_same(r, tool.run(image, 5))
    np.testing.assert_array_equal(r.segmentation(np.uint8(1)), r.segmentation(1))
    coloured = train_scene(clsg.Tool(), image, colors={"teal": (np.uint8(1), np.int64(2), 3)})
    assert coloured.colors[1] == "#010203", coloured.colors
    assert tool != None and tool != 5 and not tool == "tool" and tool in [1, tool]  # noqa: E711


class Raises:  # an array-like whose conversion fails with the given error
    def __init__(self, error):
        self.error = error

    def __array__(self, *args, **kwargs):
        raise self.error


def test_a_failing_conversion_keeps_its_error_unless_numpy_refuses_the_value(tool):
    with pytest.raises(FileNotFoundError, match="tile 17"):
        tool.run(Raises(FileNotFoundError("tile 17 is missing")))
    with pytest.raises(KeyboardInterrupt):
        tool.run(Raises(KeyboardInterrupt()))
    with pytest.raises(clsg.BadImageError, match="cannot be converted.*not an image"):
        tool.run(Raises(TypeError("not an image")))


def test_a_failed_write_keeps_the_file_it_would_replace_and_bytes_paths_are_paths(tmp_path, image, tool):
    tool.save(tmp_path / "t.clsg")
    clsg.write_image(tmp_path / "i.png", image)
    before = {n: (tmp_path / n).read_bytes() for n in ("t.clsg", "i.png")}
    bigger = train_scene(clsg.Tool(), np.ascontiguousarray(image[::-1]))
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1024, hard))  # Python ignores SIGXFSZ: writes fail
    try:
        pytest.raises(clsg.ToolFileError, bigger.save, tmp_path / "t.clsg")
        pytest.raises(clsg.ImageFileError, clsg.write_image, tmp_path / "i.png", image[::-1])
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    assert {n: (tmp_path / n).read_bytes() for n in before} == before
    assert sorted(os.listdir(tmp_path)) == ["i.png", "t.clsg"]  # no temporary left
    # A bytes path names the file with those bytes, as os.fsencode has it.
    name = os.fsencode(tmp_path) + b"/caf\xe9.clsg"
    tool.save(name)
    clsg.write_image(name[:-5] + b".png", image)
    assert clsg.Tool.load(name) == tool and (clsg.read_image(name[:-5] + b".png") == image).all()
    assert sorted(os.listdir(os.fsencode(tmp_path))) == [b"caf\xe9.clsg", b"caf\xe9.png", b"i.png", b"t.clsg"]


def test_tolerance_min_reaches_training(image):
    low, high = (train_scene(clsg.Tool(), image, tolerance_frac=0.01, tolerance_min=m) for m in (0, 40))
    assert (low.tolerance_min, high.tolerance_min) == (0, 40)
    assert (low.run(image).labels == 255).sum() > (high.run(image).labels == 255).sum()  # wider boxes claim more


UNPICKLED = """
import gc, pickle, clsg, numpy as np
from conftest import scene, train_scene
rss = lambda: int(open("/proc/self/statm").read().split()[1]) * 4096  # noqa: E731
data = pickle.dumps(train_scene(clsg.Tool(), scene(), tolerance_frac=0.004))
gc.collect()
before = rss()
tool = pickle.loads(data)
loaded = rss()
del tool
gc.collect()
print(loaded - before, rss() - before)
"""


def test_an_unpickled_tool_is_freed_when_deleted():
    out = subprocess.run([sys.executable, "-c", UNPICKLED], check=True, capture_output=True, text=True,
                         cwd=os.path.dirname(__file__)).stdout.split()
    grown, kept = map(int, out)
    assert grown > 100 << 20 and kept < grown // 4, out


def _run_in_child(tool, image):  # a worker process's task
    return tool.run(image, 5, True)


def test_results_cross_processes_whole_and_refuse_damaged_state(image, tool):
    from concurrent.futures import ProcessPoolExecutor
    import multiprocessing
    expected = tool.run(image, 5, True)
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        back = pool.submit(_run_in_child, tool, image).result()
    assert_same(back, expected)
    assert (back.label_names, back.neighborhood, back.normalize_intensity, back.shape) == \
        (expected.label_names, 5, True, image.shape[:2])
    state = expected.__getstate__()
    for damaged, kind in (((state[0][: len(state[0]) // 2],) + state[1:], clsg.CorruptArchiveError),
                          (state[:3], clsg.BadParamsError),
                          (state[:4] + (-state[4], state[5]), clsg.BadParamsError),
                          (state[:4] + (state[5], state[4]), clsg.BadParamsError),
                          (state[:1] + (state[1][:-1],) + state[2:], clsg.BadParamsError),
                          (state[:2] + (0,) + state[3:], clsg.BadParamsError)):
        pytest.raises(kind, clsg.Result.__new__(clsg.Result).__setstate__, damaged)
    # One name too many is refused on use, as any name the result does not hold.
    extra = clsg.Result.__new__(clsg.Result)
    extra.__setstate__(state[:1] + (state[1] + ["extra"],) + state[2:])
    pytest.raises(clsg.BadParamsError, extra.segmentation, "extra")
    # An object made by __new__ alone holds nothing: every use of it is refused.
    for bare, own in ((clsg.Tool.__new__(clsg.Tool), (lambda o: o == o, lambda o: o.run(image))),
                      (clsg.Result.__new__(clsg.Result), (lambda o: o.labels,))):
        for use in (repr, pickle.dumps, copy.copy, copy.deepcopy) + own:
            with pytest.raises(TypeError, match=r"^this clsg\.(Tool|Result) holds nothing: it was made by __new__ alone"):
                use(bare)


def test_tool_files_round_trip_and_refuse_bad_files(tmp_path, image, tool):
    tool.save(tmp_path / "t.clsg")  # good files round-trip in the command-line test
    retrained = train_scene(clsg.Tool(), image)  # pickles are cached per tool: follow retraining
    first = pickle.dumps(retrained)
    retrained.train({"x": [(image[:20, :20], None)]})
    assert pickle.loads(pickle.dumps(retrained)) == retrained != tool == pickle.loads(first)
    result = tool.run(image)  # every protocol, and __reduce__ called directly (0 and 1 aborted)
    for obj in (retrained, clsg.Tool(), result):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            back = pickle.loads(pickle.dumps(obj, protocol))
            assert type(back) is type(obj) and back.__getstate__() == obj.__getstate__()
        make, args, state = obj.__reduce__()[:3]
        assert state == obj.__getstate__()
    data = (tmp_path / "t.clsg").read_bytes()
    newer = data[:13] + bytes([data[13] + 7]) + data[14:]  # the version, after "clsg-tool"
    for name, content, kind in (("cut", data[: len(data) // 2], clsg.CorruptArchiveError),
                                ("other", b"x", clsg.ToolFileError), ("missing", None, clsg.ToolFileError),
                                ("newer", newer, clsg.UnknownVersionError)):
        content is None or (tmp_path / name).write_bytes(content)
        with pytest.raises(kind, match=name) as info:
            clsg.Tool.load(tmp_path / name)
        assert isinstance(info.value, OSError)
    pytest.raises(clsg.NotTrainedError, clsg.Tool().save, tmp_path / "x.clsg")
    # An empty name is said empty, not taken for a directory.
    pytest.raises(clsg.ToolFileError, tool.save, "").match("empty name")
    pytest.raises(clsg.ImageFileError, clsg.write_image, "", image).match("empty name")
    # The kind of error is not read from the path: a missing file in such a directory is no damage.
    (odd := tmp_path / "corrupt, format version 9").mkdir()
    with pytest.raises(clsg.ToolFileError) as info:
        clsg.Tool.load(odd / "missing.clsg")
    assert type(info.value) is clsg.ToolFileError, type(info.value)
    # A name of bytes that are no UTF-8 is shown escaped, in the error the call documents.
    for call in (lambda p: clsg.Tool.load(p + b".clsg"), lambda p: clsg.read_image(p + b".png"),
                 lambda p: tool.save(p + b"/t.clsg")):
        with pytest.raises((clsg.ToolFileError, clsg.ImageFileError), match=r"\\xff"):
            call(os.fsencode(tmp_path) + b"/\xff")


def test_results_and_tool_files_match_the_command_line(tmp_path, image, tool):
    cli = os.environ.get("CLSG_CLI", "")
    os.path.exists(cli) or pytest.skip("the clsg program is not built")
    run_cli = lambda *args: subprocess.run([cli, *map(str, args)], check=True)  # noqa: E731

    def labels_on(img, name):
        clsg.write_image(tmp_path / name, img)
        return [f"--label={n}{'#112233' * (n == 'teal')}={tmp_path / name}@{x},{y},{w},{h}"
                for n, x, y, w, h in RECTS]

    run_cli("train", tmp_path / "cli.clsg", *labels_on(image, "scene.png"))
    coloured = train_scene(clsg.Tool(), image, colors={"teal": (0x11, 0x22, 0x33)})
    from_cli = clsg.Tool.load(str(tmp_path / "cli.clsg"))
    assert from_cli == coloured != tool and from_cli.colors == tool.colors[:1] + ["#112233"] + tool.colors[2:]
    coloured.save(tmp_path / "py.clsg")
    for n in (2, 5):
        run_cli("run", tmp_path / "py.clsg", tmp_path / "scene.png", "--out", tmp_path / f"out{n}", "--neighborhood", n)
        for mine, name in zip(outputs(tool.run(image, n)),
                              ["labels", "confidence", "score"] + [f"seg-{label}" for label in tool.labels]):
            theirs = clsg.read_image(tmp_path / f"out{n}" / f"scene-{name}.png")[:, :, 0]
            np.testing.assert_array_equal(mine, theirs, err_msg=f"{name} N={n}")
    # train --auto's choice on this noisy scene is clsg.suggest's; its neighbourhood becomes the
    # runs' default, kept through save and pickle.
    noisy = np.clip(image + np.random.default_rng(1).integers(-40, 41, image.shape), 0, 255).astype(np.uint8)
    run_cli("train", "--auto", tmp_path / "auto.clsg", "--report", tmp_path / "auto.json", *labels_on(noisy, "n.png"))
    auto = clsg.Tool.load(tmp_path / "auto.clsg")
    yy, xx = np.indices(image.shape[:2])
    examples = {n: [(noisy, (xx >= x) & (xx < x + w) & (yy >= y) & (yy < y + h))] for n, x, y, w, h in RECTS}
    choice = clsg.suggest(examples)
    with open(tmp_path / "auto.json") as f:
        report = json.load(f)
    del report["milliseconds"]
    assert choice["report"] == report and choice["estimate"] == report["estimate"]["balancedAccuracy"]
    assert clsg.suggest(examples, threads=1)["report"] == clsg.suggest(examples, threads=3)["report"] == report
    for bad in (-1, 1.5, True, "2", 1025):
        with pytest.raises(clsg.BadParamsError, match="threads"):
            clsg.suggest(examples, threads=bad)
    with pytest.raises(clsg.BadParamsError, match="label dot has them in too few places"):
        clsg.suggest({**examples, "dot": [(noisy, (xx == 3) & (yy == 3))]})
    assert (auto.tolerance_frac, auto.tolerance_min) == (choice["tolerance_frac"], choice["tolerance_min"])
    assert auto.run(image).neighborhood == pickle.loads(pickle.dumps(auto)).neighborhood == choice["neighborhood"] > 3
    # info says which neighbourhood a run takes, also once the search's choice is unset.
    unset = pickle.loads(pickle.dumps(auto))
    unset.neighborhood = None
    unset.save(tmp_path / "unset.clsg")
    info = subprocess.run([cli, "info", str(tmp_path / "unset.clsg")], check=True, capture_output=True, text=True).stdout
    assert "stored neighbourhood size: none (run uses 3 unless given --neighborhood)" in info
    # The choice trained here and stored as clsg train --auto stores it: the same tool file.
    mine = clsg.Tool()
    mine.train(examples, choice["tolerance_frac"], choice["tolerance_min"], colors=dict(zip(auto.labels, auto.colors)))
    mine.neighborhood = choice["neighborhood"]
    assert mine.run(image).neighborhood == choice["neighborhood"]
    mine.save(tmp_path / "mine.clsg")
    assert clsg.Tool.load(tmp_path / "mine.clsg") == mine and mine.neighborhood == auto.neighborhood
    for bad in (0, 256, 2.0, "5"):
        with pytest.raises(clsg.BadParamsError, match="neighborhood"):
            mine.neighborhood = bad
    mine.neighborhood = None
    assert mine.run(image).neighborhood == 3
    mine.neighborhood = 5
    mine.train(examples)
    assert mine.neighborhood is None


def test_evaluate_counts_judged_pixels_and_no_label_as_wrong():
    truth = np.array([[0, 0, 0, 1], [1, 1, 255, 2], [7, 1, 0, 1]], np.uint8)  # 7 and 255: not judged
    labels = np.array([[0, 0, 255, 1], [1, 9, 0, 2], [0, 1, 1, 1]], np.uint8)  # 255 and 9: no label
    e = clsg.evaluate(labels, truth, n_labels=3)
    assert e["confusion"] == [[2, 1, 0, 1], [0, 4, 0, 1], [0, 0, 1, 0]] and e["pixels"] == 10
    assert e["recall"] == [0.5, 0.8, 1.0] and e["precision"] == [1.0, 0.8, 1.0]
    assert e["accuracy"] == 0.7 and e["balanced_accuracy"] == (0.5 + 0.8 + 1.0) / 3
    assert clsg.evaluate(labels, np.where(truth == 7, 255, truth))["confusion"] == e["confusion"]  # 3 by default
    for bad, words in ((truth[:2], "one shape"), (np.full_like(truth, 255), "no label index"),
                       (np.ma.masked_array(truth, truth == 7), "truth is a masked array.*filled"),
                       (np.where(truth == 7, 254, truth), "give n_labels"), (truth + 0.5, "fractions")):
        with pytest.raises(clsg.BadParamsError, match=words):
            clsg.evaluate(labels, bad)
    for n in (True, 1.5, "2", 0, 255):
        with pytest.raises(clsg.BadParamsError, match="n_labels must"):
            clsg.evaluate(labels, truth, n)
    with pytest.raises(clsg.BadParamsError, match=r"no value below n_labels \(3\): nothing to judge"):
        clsg.evaluate(labels, np.full_like(truth, 5), n_labels=3)
    assert clsg.evaluate(labels, np.where(truth == 7, 254, truth), n_labels=3) == e  # 254 not judged
    with pytest.raises(ValueError, match="labels must hold whole numbers"):  # 0.9 is no label 0
        clsg.evaluate(labels + 0.9, truth, n_labels=3)
    assert clsg.evaluate(labels.astype(float), truth.astype(float), n_labels=3) == e


def flood_counts(labels, label, connectivity):
    """Regions of one label by a plain flood fill, for checking."""
    seen, count, h, w = np.zeros(labels.shape, bool), 0, *labels.shape
    steps = [(dy, dx) for dy in (-1, 0, 1) for dx in (-1, 0, 1) if (dy or dx) and (connectivity == 8 or not (dy and dx))]
    for y0, x0 in zip(*np.nonzero(labels == label)):
        if seen[y0, x0]:
            continue
        count, stack, seen[y0, x0] = count + 1, [(y0, x0)], True
        while stack:
            y, x = stack.pop()
            for dy, dx in steps:
                if 0 <= y + dy < h and 0 <= x + dx < w and not seen[y + dy, x + dx] and labels[y + dy, x + dx] == label:
                    seen[y + dy, x + dx] = True
                    stack.append((y + dy, x + dx))
    return count


def test_regions_count_what_a_flood_fill_counts_and_match_the_command_line(tmp_path, image, tool, monkeypatch):
    result = tool.run(image, 1)
    for connectivity in (4, 8):
        table = result.regions(connectivity=connectivity)
        assert list(table) == ["label", "label_index", "id", "area", "left", "top", "width", "height",
                               "centroid_x", "centroid_y", "mean_confidence", "touches_border"]
        for i, name in enumerate(tool.labels):
            mine = table["label_index"] == i
            assert mine.sum() == flood_counts(result.labels, i, connectivity)
            assert set(table["label"][mine]) == {name} and list(table["id"][mine]) == list(range(1, mine.sum() + 1))
            assert table["area"][mine].sum() == (result.labels == i).sum()
        assert len(table["id"]) > 10  # stray pixels make many regions
    small = result.regions(min_area=20, fill_holes=10)
    assert len(small["area"]) < len(result.regions()["area"]) and small["area"].min() >= 20
    # The command line's table of the same run, row for row.
    cli = os.environ.get("CLSG_CLI", "")
    if os.path.exists(cli):
        tool.save(tmp_path / "t.clsg")
        clsg.write_image(tmp_path / "scene.png", image)
        subprocess.run([cli, "run", str(tmp_path / "t.clsg"), str(tmp_path / "scene.png"), "--out", str(tmp_path / "o"),
                        "-n", "1", "--regions", "--min-area", "20", "--fill-holes", "10"], check=True, capture_output=True)
        with open(tmp_path / "o" / "scene-regions.csv") as f:
            rows = list(csv.DictReader(f))
        cleaned, same = result.cleaned(min_area=20, fill_holes=10)  # the image run writes
        np.testing.assert_array_equal(clsg.read_image(tmp_path / "o" / "scene-labels.png")[..., 0], cleaned)
        assert list(same["area"]) == list(small["area"]) and not cleaned.flags.writeable
        assert [(r["label"], int(r["id"]), int(r["area"]), int(r["left"]), int(r["top"]), float(r["centroid_x"]))
                for r in rows] == [(n, i, a, x, y, round(c, 3)) for n, i, a, x, y, c in
                                   zip(small["label"], small["id"], small["area"], small["left"], small["top"],
                                       small["centroid_x"])]
    for bad in ({"min_area": -1}, {"fill_holes": -2}, {"connectivity": 6}, {"min_area": 2.5},
                {"connectivity": "8"}, {"connectivity": 2**70}, {"connectivity": 8.0},
                {"fill_holes": "10"}, {"min_area": True}, {"min_area": -2**70}):
        with pytest.raises(clsg.BadParamsError):
            result.regions(**bad)
    # numpy integers count; counts past 64 bits leave out every region (and fill every hole).
    assert list(result.regions(min_area=np.int64(20), fill_holes=np.uint8(10))["area"]) == list(small["area"])
    assert list(result.regions(connectivity=np.int8(4))["area"]) == list(result.regions(connectivity=4)["area"])
    for huge in (2**63, 2**64, 2**200):
        assert len(result.regions(min_area=huge)["area"]) == 0
        assert len(result.regions(fill_holes=huge)["area"]) > 0
    # With pandas, a DataFrame of the same columns.
    fake = types.ModuleType("pandas")
    fake.DataFrame = lambda columns: ("DataFrame", list(columns))
    monkeypatch.setitem(sys.modules, "pandas", fake)
    assert result.regions() == ("DataFrame", list(table))


INTERRUPTED = """
import numpy as np, clsg
noise = np.random.default_rng(0).integers(0, 256, (4000, 4000, 3), np.uint8)
(tool := clsg.Tool()).train({"a": [(noise[:40, :40], None)]})
print("training", flush=True)
try:  # some twenty seconds uninterrupted
    tool.train({"a": [(noise, None)], "b": [(noise[::-1], None)]}, tolerance_frac=0.5, tolerance_min=40)
except KeyboardInterrupt:
    print("interrupted", tool.labels, tool.run(noise[:40, :40]).labels.shape, flush=True)
    raise
"""


def test_ctrl_c_aborts_a_long_train_with_keyboard_interrupt():
    with subprocess.Popen([sys.executable, "-c", INTERRUPTED], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True) as child:
        assert child.stdout.readline() == "training\n"
        time.sleep(1)  # well inside the train
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = child.communicate(timeout=60)
        waited = time.monotonic() - sent
    # Raised by the aborted call itself; the tool kept what it knew and runs again.
    assert "KeyboardInterrupt: clsg call interrupted" in err and child.returncode != 0, err
    assert out == "interrupted ['a'] (40, 40)\n"
    assert waited < 5, waited


def test_ctrl_c_ends_a_wait_for_a_pipes_writer(tmp_path):
    os.mkfifo(tmp_path / "wait.png")
    for call in ("clsg.read_image", "clsg.Tool.load"):
        script = f"import sys, clsg\nprint('waiting', flush=True)\n{call}(sys.argv[1])"
        child = subprocess.Popen([sys.executable, "-c", script, tmp_path / "wait.png"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "waiting\n"
            time.sleep(0.3)  # at the wait
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=20)
        finally:
            child.kill()
        assert "KeyboardInterrupt: clsg call interrupted" in err, (call, err)


OUT_OF_MEMORY = """
import resource, numpy as np, clsg
tool = clsg.Tool()
tool.train({"a": [(np.zeros((8, 8, 3), np.uint8), None)]})
size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (300 << 20), resource.RLIM_INFINITY))
try:  # a copy of 1.2 GB
    tool.run(np.broadcast_to(np.zeros(3, np.uint8), (20000, 20000, 3)))
except MemoryError as e:
    print(repr(str(e)))
"""


def test_out_of_memory_is_said_in_words():
    out = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True,
                         timeout=60).stdout
    assert out == "'out of memory in a clsg call'\n"


LOAD_INTERRUPTED = """
import sys, numpy as np, clsg
noise = np.random.default_rng(0).integers(0, 256, (1200, 1200, 3), np.uint8)
tool = clsg.Tool()
tool.train({"a": [(noise, None)], "b": [(noise[::-1], None)]}, tolerance_frac=0.5, tolerance_min=40)
tool.save(sys.argv[1])
print("loading", flush=True)
clsg.Tool.load(sys.argv[1])  # trains the tool again, for a second or two
print("loaded", flush=True)
"""


KEPT_WAY = """
import os, signal, threading, numpy as np, clsg
noise = np.random.default_rng(0).integers(0, 256, (1200, 1200, 3), np.uint8)
got = []
for handler in (signal.SIG_IGN, lambda *_: got.append(1)):
    signal.signal(signal.SIGINT, handler)
    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    tool = clsg.Tool()  # trains for a second or two
    tool.train({"a": [(noise, None)], "b": [(noise[::-1], None)]}, tolerance_frac=0.5, tolerance_min=40)
    print(tool.labels, got, flush=True)
"""


def test_a_program_that_ignores_or_handles_ctrl_c_keeps_its_way():
    # Its calls run to their end (a pool's workers ignore Ctrl-C); its own handler runs after the call.
    out = subprocess.run([sys.executable, "-c", KEPT_WAY], capture_output=True, text=True, timeout=120)
    assert out.stdout == "['a', 'b'] []\n['a', 'b'] [1]\n", out


SET_DURING = """
import os, signal, threading, time, numpy as np, clsg
noise = np.random.default_rng(0).integers(0, 256, (1200, 1200, 3), np.uint8)
train = lambda: clsg.Tool().train({"a": [(noise, None)], "b": [(noise[::-1], None)]}, tolerance_frac=0.5,
                                  tolerance_min=40)
worker = threading.Thread(target=train)  # for a second or two
worker.start()
time.sleep(0.3)
signal.signal(signal.SIGINT, signal.SIG_DFL)
worker.join()
os.kill(os.getpid(), signal.SIGINT)
time.sleep(2)
print("survived", flush=True)
"""


JOINED = """
import os, signal, threading, numpy as np, clsg
noise = np.random.default_rng(0).integers(0, 256, (1200, 1200, 3), np.uint8)
def train():  # a second or two
    try:
        clsg.Tool().train({"a": [(noise, None)], "b": [(noise[::-1], None)]}, tolerance_frac=0.5,
                          tolerance_min=40)
    except KeyboardInterrupt:
        print("worker stopped", flush=True)
worker = threading.Thread(target=train)
worker.start()
threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    worker.join()
    print("carried on", flush=True)
except KeyboardInterrupt:
    worker.join()
    print("interrupted", flush=True)
"""


def test_ctrl_c_during_a_call_on_another_thread_reaches_the_main_thread():
    # A join (or a queue's wait) must not carry on as if the work were done.
    out = subprocess.run([sys.executable, "-c", JOINED], capture_output=True, text=True, timeout=120)
    assert out.stdout == "worker stopped\ninterrupted\n", out


SHORT_CALLS = """
import os, signal, threading, time, numpy as np, clsg
small = np.random.default_rng(0).integers(0, 256, (8, 8, 3), np.uint8)
(tool := clsg.Tool()).train({"a": [(small[:4], None)], "b": [(small[4:], None)]})
seen = []
for trial in range(16):
    threading.Timer(0.01 + 0.005 * trial, os.kill, (os.getpid(), signal.SIGINT)).start()
    raised = 0
    try:
        end = time.monotonic() + 1
        while time.monotonic() < end:
            tool.run(small)
    except KeyboardInterrupt:
        raised += 1
    try:
        time.sleep(0.05)
    except KeyboardInterrupt:
        raised += 1
    seen.append(raised)
print(seen, flush=True)
"""


def test_ctrl_c_between_short_calls_is_one_keyboard_interrupt():
    # Just before a call starts or just after one ends, Ctrl-C was lost in about one loop in three.
    out = subprocess.run([sys.executable, "-c", SHORT_CALLS], capture_output=True, text=True, timeout=120)
    assert out.stdout == str([1] * 16) + "\n", out


def test_a_ctrl_c_handler_set_during_a_call_stays_after_it():
    out = subprocess.run([sys.executable, "-c", SET_DURING], capture_output=True, text=True, timeout=120)
    assert out.returncode == -signal.SIGINT and out.stdout == "", out


def interrupted(script, ready, after, *args):
    """The output of script run in a child sent Ctrl-C after seconds past printing ready."""
    with subprocess.Popen([sys.executable, "-c", script, *args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as child:
        assert child.stdout.readline() == ready + "\n"
        time.sleep(after)
        child.send_signal(signal.SIGINT)
        return child.communicate(timeout=60)


def test_ctrl_c_stops_reading_a_tool_file(tmp_path):
    out, err = interrupted(LOAD_INTERRUPTED, "loading", 0.2, str(tmp_path / "t.clsg"))
    # The call itself was stopped (a finished one would leave Python's own, empty KeyboardInterrupt).
    assert "KeyboardInterrupt: clsg call interrupted" in err and out == "", (out, err)


FORKED = """
import os, signal, threading, numpy as np, clsg
noise = np.random.default_rng(0).integers(0, 256, (1500, 1500, 3), np.uint8)
(tool := clsg.Tool()).train({"a": [(noise[:40, :40], None)], "b": [(noise[40:80, :40], None)]})
stop, started = False, threading.Event()
def busy():
    while not stop:
        started.set()
        tool.run(noise, neighborhood=9)
worker = threading.Thread(target=busy)
worker.start()
started.wait()
threading.Event().wait(0.3)
pid = os.fork()  # most likely while the worker is inside a run (the GIL released)
if pid == 0:
    try:
        os.kill(os.getpid(), signal.SIGINT)
        signal.sigtimedwait([], 0.2) if hasattr(signal, "sigtimedwait") else None
        print("Ctrl-C went unseen", flush=True)
    except KeyboardInterrupt:
        print("Ctrl-C raised", tool.run(noise[:40, :40]).labels.shape, flush=True)
    os._exit(0)
os.waitpid(pid, 0)
stop = True
worker.join()
"""


def test_a_child_forked_during_a_call_on_another_thread_starts_afresh():
    out = subprocess.run([sys.executable, "-c", FORKED], capture_output=True, text=True, timeout=120)
    assert out.stdout == "Ctrl-C raised (40, 40)\n", out


WRITE_INTERRUPTED = """
import sys, numpy as np, clsg
noise = np.random.default_rng(0).integers(0, 256, (6000, 6000, 3), np.uint8)
print("writing", flush=True)
clsg.write_image(sys.argv[1], noise)  # some seconds of compression
print("written", flush=True)
"""


def test_ctrl_c_during_write_image_keeps_the_earlier_file(tmp_path):
    clsg.write_image(tmp_path / "old.png", np.zeros((2, 2, 3), np.uint8))
    old = (tmp_path / "old.png").read_bytes()
    out, err = interrupted(WRITE_INTERRUPTED, "writing", 0.5, str(tmp_path / "old.png"))
    assert "KeyboardInterrupt: clsg call interrupted" in err and out == "", (out, err)
    assert (tmp_path / "old.png").read_bytes() == old and os.listdir(tmp_path) == ["old.png"]


def test_ctrl_c_ends_the_wait_for_a_pipes_reader(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    for write in ("clsg.dask.write_summary_csv([], sys.argv[1])",
                  "(t := clsg.Tool()).train({'a': [(np.zeros((4, 4, 3), np.uint8), None)]}); t.save(sys.argv[1])"):
        script = f"import sys, numpy as np, clsg.dask; print('writing', flush=True); {write}"
        out, err = interrupted(script, "writing", 0.5, str(tmp_path / "fifo"))
        assert "KeyboardInterrupt: clsg call interrupted" in err and "OSError" not in err, (write, err)


def test_the_type_stubs_name_the_parameters_the_module_takes():
    import ast
    import inspect
    import os
    import re
    stub = ast.parse(open(os.path.join(os.path.dirname(clsg.__file__), "_clsg.pyi")).read())
    declared = {}
    for node in stub.body:
        if isinstance(node, ast.FunctionDef):
            declared[node.name] = node
        elif isinstance(node, ast.ClassDef):
            declared.update({f"{node.name}.{f.name}": f for f in node.body if isinstance(f, ast.FunctionDef)})
    checked = 0
    for name, owner in [(n, clsg._clsg) for n in dir(clsg._clsg)] + \
            [(f"{c}.{n}", getattr(clsg._clsg, c)) for c in ("Tool", "Result") for n in vars(getattr(clsg._clsg, c))]:
        attr = getattr(owner, name.split(".")[-1])
        doc = inspect.getdoc(attr) or ""
        signature = re.match(r"\w+\((.*?)\) ->", doc)
        if not callable(attr) or name.split(".")[-1].startswith("__") or not signature:
            continue  # not one of ours, or overloaded
        taken = [p.split(":")[0].strip() for p in signature.group(1).split(",") if p.strip()]
        assert name in declared, f"{name} is not in the stubs"
        stubbed = [a.arg for a in declared[name].args.args + declared[name].args.kwonlyargs]
        assert [p for p in taken if p != "self"] == [p for p in stubbed if p != "self"], name
        checked += 1
    assert checked >= 10


def test_train_warns_of_twin_labels_and_a_warning_made_an_error_leaves_the_tool(image):
    twins = {"a": [(image, None)], "b": [(image, None)]}
    with pytest.warns(UserWarning) as said:
        clsg.Tool().train(twins, colors={"a": "#123456", "b": "#123456"})
    assert [str(w.message) for w in said] == [
        "labels a and b have identical examples, so no pixel can be told to be one rather than the other",
        "labels a and b have the same colour #123456, so the overlay cannot tell them apart"]
    kept = train_scene(clsg.Tool(), image)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match="identical examples"):
            kept.train(twins)
    assert kept.labels == [r[0] for r in RECTS]
    # A tool no file could hold is said before its training (minutes, for large examples):
    # 93 one-pixel examples at 0.02 would need more memory to train again when read.
    dots = {}
    for k in range(93):
        dot = np.zeros(image.shape[:2], bool)
        dot[k // 48, k % 48] = True
        dots[f"l{k}"] = [(image, dot)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match=r"^this tool will run, but cannot be saved or pickled: "
                           r"it could not be read back \(training would need \d+ bytes"):
            kept.train(dots, 0.02)
    assert kept.labels == [r[0] for r in RECTS]
    # clsg.suggest says what clsg train --auto says, at the caller's line: of the examples as
    # the tool keeps them, cut to their masks (images that differ only outside are twins too).
    h, w = image.shape[:2]
    mask = np.zeros((h, w), np.uint8)
    mask[h // 4:3 * h // 4, w // 4:3 * w // 4] = 255
    other = image.copy()
    other[:, :w // 8] = 255 - other[:, :w // 8]
    with pytest.warns(UserWarning) as said:
        clsg.suggest({"a": [(image, mask)], "b": [(other, mask)]})
    assert str(said[0].message).startswith("labels a and b have identical examples"), said[0].message
    with pytest.warns(UserWarning) as said:
        clsg.suggest(twins)
    assert [str(w.message).split(",")[0].split(":")[0] for w in said] == [
        "labels a and b have identical examples",
        "the labels are not told apart",
        "label b gets 0.0 % of its 3139 held-out pixels"]
    assert {w.filename for w in said} == {__file__}
    with pytest.warns(UserWarning, match="with one label the search has no other colour"):
        clsg.suggest({"a": twins["a"]})
    # A run of an image narrower than a neighbourhood that weighs its nearest pixels 0: said.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        kept.run(image[:27], 27), kept.run(image[:, :28], 28)
    with pytest.warns(UserWarning, match="the image is 27 pixels tall, fewer than the neighbourhood 28"):
        kept.run(image[:27], 28)
    with pytest.warns(UserWarning, match="the image is 27 pixels wide, fewer than the neighbourhood 28"):
        kept.run(image[:, :27], 28)
    with warnings.catch_warnings():  # no run, no note: the error the call documents
        warnings.simplefilter("error")
        pytest.raises(clsg.NotTrainedError, clsg.Tool().run, image[:27], 28)
