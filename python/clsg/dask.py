"""Dask: segment arrays larger than one image in memory, and batches of files
on a cluster.

``segment`` runs a tool blockwise over a Dask array with a halo as wide as the
neighbourhood reaches (``map_overlap``), so the outputs are byte-identical to
one run of the whole image. ``segment_files`` spreads a list of image files
over a ``dask.distributed`` cluster (or the local scheduler) and returns one
summary record per file.
"""

from __future__ import annotations

import copy
import csv
import errno
import io
import math
import os
import threading
import time
import warnings
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

import numpy as np

import dask
import dask.array as da

from ._clsg import Tool, _narrow_image_note, _write_file, _write_images, read_image
from ._errors import BadImageError, BadParamsError, ImageFileError

__all__ = ["segment", "segment_files", "write_summary_csv", "output_names"]

_IMAGE_OUTPUTS = ("labels", "confidence", "score")
_SEGMENTATION = "segmentation:"
_TOOL_FILE_START = b"\x09\0\0\0clsg-tool"  # how every tool file begins


def output_names(tool: Tool, outputs: Iterable[str]) -> List[Tuple[str, Any]]:
    """Checks the requested outputs against the tool: "labels", "confidence",
    "score" or "segmentation:NAME" for a label NAME of the tool. Returns
    (output, what) pairs, what being the image's name or the label index."""
    labels = tool.labels
    if isinstance(outputs, str):
        outputs = (outputs,)
    checked: List[Tuple[str, Any]] = []
    for out in outputs:
        if out in _IMAGE_OUTPUTS:
            checked.append((out, out))
        elif isinstance(out, str) and out.startswith(_SEGMENTATION):
            name = out[len(_SEGMENTATION):]
            if name not in labels:
                raise BadParamsError(f"no label named {name!r} for output {out!r}")
            checked.append((out, labels.index(name)))
        else:
            raise BadParamsError(
                f"unknown output {out!r}: choose from labels, confidence, score, "
                f"segmentation:NAME")
        if [o for o, _ in checked].count(out) > 1:
            raise BadParamsError(f"output {out!r} is requested twice")
    if not checked:
        raise BadParamsError("no output requested")
    return checked


def _images(result, wanted: Sequence[Tuple[str, Any]]) -> Dict[str, np.ndarray]:
    images = {}
    for out, what in wanted:
        images[out] = getattr(result, what) if isinstance(what, str) else result.segmentation(what)
    return images


def _flag(value, name: str) -> bool:
    """A flag as Tool.run takes it: None (False) and whatever has a truth of
    its own (bools, numbers, numpy's bools and one-element arrays); not a
    string (where "False" would be true)."""
    if value is None:
        return False
    if hasattr(type(value), "__bool__"):
        try:
            return bool(value)
        except (TypeError, ValueError):  # an array of several values, say
            pass
    raise TypeError(f"{name} must be True or False; got {value!r}")


def _check_tool(tool) -> None:
    if not isinstance(tool, Tool):
        raise TypeError(f"tool must be a clsg.Tool (clsg.Tool.load reads a tool file); got "
                        f"{type(tool).__name__}")


def _probe(tool: Tool, neighborhood: Optional[int]):
    """A run of one pixel: the tool's and the neighbourhood's errors, now."""
    return tool._run_quiet(np.zeros((1, 1, 3), np.uint8), neighborhood, False)


def _segment_block(block: np.ndarray, tool: Tool, neighborhood: int, gain: Optional[float],
                   wanted: Sequence[Tuple[str, Any]], record: Optional[np.dtype]) -> np.ndarray:
    out = np.empty(block.shape[:2], np.uint8 if record is None else record)
    if block.size == 0:  # a chunk of no rows or columns, which Dask allows: nothing to run
        return out
    if gain is not None:
        block = _apply_gain(block, gain)
    result = tool._run_quiet(block, neighborhood, False)  # segment() judges the whole image
    if record is None:  # one output: its image as it is
        return _images(result, wanted)[wanted[0][0]]
    for name, image in _images(result, wanted).items():
        out[name] = image
    return out


def _apply_gain(block: np.ndarray, gain: float) -> np.ndarray:
    from ._clsg import _apply_intensity_gain
    return _apply_intensity_gain(block, gain)


def _search_gain(array: da.Array, tool: Tool) -> float:
    """The gain a normalised run of the whole array would apply. The search
    reads only every tenth pixel of every tenth row (from the top-left
    corner), so only those are computed."""
    from ._clsg import _search_intensity_gain_on_sample
    sample = np.ascontiguousarray(array[::10, ::10].compute())
    return _search_intensity_gain_on_sample(tool, sample, array.shape[0], array.shape[1])


def segment(array, tool: Tool, neighborhood: Optional[int] = None,
            normalize_intensity: bool = False,
            outputs: Sequence[str] = ("labels",)) -> Dict[str, da.Array]:
    """Segments an H x W x 3 uint8 Dask array blockwise.

    neighborhood None takes the size the tool stores (tool.neighborhood),
    else 3, as Tool.run does.

    Returns a dict of lazy H x W uint8 Dask arrays, one per requested output:
    "labels", "confidence", "score" or "segmentation:NAME". Each block runs
    with a halo of the neighbourhood's reach, so the outputs equal a run of
    the whole image byte for byte, whatever the chunks. With
    normalize_intensity the brightness gain is searched once on the whole
    array (on its 10 x 10 subsample, computed now) and every block runs on
    the gain-mapped pixels. All outputs share one pass over the blocks when
    computed together (dask.compute(*result.values())).
    """
    normalize_intensity = _flag(normalize_intensity, "normalize_intensity")
    _check_tool(tool)
    size: int = _probe(tool, neighborhood).neighborhood
    array = da.asarray(array)
    if isinstance(getattr(array, "_meta", None), np.ma.MaskedArray):
        raise BadImageError("array is a masked array, and clsg does not read its mask; pass "
                            "dask.array.ma.getdata(array) or dask.array.ma.filled(array, value)")
    if array.ndim != 3 or array.shape[2] != 3:
        raise BadImageError(f"array must be H x W x 3 (RGB); got shape {array.shape}")
    if any(math.isnan(c) for axis in array.chunks for c in axis):
        raise BadImageError(f"array's chunk sizes are not known (shape {array.shape}); "
                            "call its compute_chunk_sizes() first")
    if array.dtype != np.uint8:
        raise BadImageError(f"array must have dtype uint8; got {array.dtype}")
    if array.shape[0] == 0 or array.shape[1] == 0:
        raise BadImageError(f"array is empty: shape {array.shape}")
    # Said once, of the whole image, as Tool.run says it (its blocks say nothing).
    note = _narrow_image_note("the array", array.shape[1], array.shape[0], size)
    if note:
        warnings.warn(note, UserWarning, stacklevel=2)
    # The outputs are named after the tool as it is now: the graph keeps this
    # tool, whatever training the caller's gets before compute().
    tool = copy.copy(tool)
    wanted = output_names(tool, outputs)
    # Several outputs come out of one pass as the fields of a record.
    record = np.dtype([(out, np.uint8) for out, _ in wanted]) if len(wanted) > 1 else None
    dtype = np.dtype(np.uint8) if record is None else record
    if len(array.chunks[2]) != 1:
        array = array.rechunk({2: 3})
    gain = _search_gain(array, tool) if normalize_intensity else None
    # A halo never reaches past the array: rows (or columns) further away than
    # the array is long do not exist, and Dask refuses a deeper overlap.
    halo = size // 2
    depth = {0: min(halo, array.shape[0] - 1), 1: min(halo, array.shape[1] - 1), 2: 0}
    blocks = da.map_overlap(
        _segment_block, array, depth=depth, boundary="none", trim=True,
        drop_axis=2, dtype=dtype, meta=np.empty((0, 0), dtype), tool=tool,
        neighborhood=size, gain=gain, wanted=wanted, record=record)
    if record is None:
        return {wanted[0][0]: blocks}
    return {out: blocks[out] for out, _ in wanted}


# ---- batches of files ----

_tools: Dict[Tuple[str, int, int], Tool] = {}
_tools_lock = threading.Lock()


def _load_tool(tool_path: str) -> Tool:
    """The tool of tool_path, loaded once per process (per worker) and kept
    while the file stays the same."""
    try:
        st = os.stat(tool_path)
    except OSError:
        return Tool.load(tool_path)  # which says why, as Tool.load does anywhere
    key = (os.path.abspath(tool_path), st.st_mtime_ns, st.st_size)
    with _tools_lock:
        tool = _tools.get(key)
        if tool is None:
            tool = Tool.load(tool_path)
            _tools.clear()
            _tools[key] = tool
        return tool


_heap_checked = False


def _keep_heap_on_worker() -> None:
    """In a worker process started by a dask.distributed nanny, keeps freed
    image-sized blocks (up to 32 MiB) in the heap for the next file, holding
    up to 128 MiB of freed memory. The nanny starts its workers with
    MALLOC_TRIM_THRESHOLD_ set, which also stops glibc from adapting: every
    image and score buffer of every file is then mapped afresh and its pages
    faulted in, which costs about as much as segmenting the file. Other
    processes (local threads, a worker inside the client's process) keep
    their settings."""
    global _heap_checked
    if _heap_checked:
        return
    _heap_checked = True
    try:
        from distributed import get_worker
        worker = get_worker()
    except (ImportError, ValueError):
        return
    if worker.nanny is not None:
        from ._clsg import _keep_freed_memory
        _keep_freed_memory(32 << 20, 128 << 20)


def _shown(path: str) -> str:
    """path as text: bytes of a name that are not UTF-8 become escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def _stem(path: str) -> str:
    return os.path.splitext(os.path.basename(path))[0]


def _output_path(out_dir: str, path: str, output: str) -> str:
    return os.path.join(out_dir, f"{_stem(path)}-{output.replace(_SEGMENTATION, 'seg-')}.png")


def _identity(path: str) -> Optional[Tuple[int, int]]:
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


def _replaced_input(path: str, out_dir: str, wanted: Sequence[Tuple[str, Any]],
                    inputs: Mapping[Tuple[int, int], str], reads_out_dir: bool) -> Optional[str]:
    """Why path's outputs would replace one of the inputs (or the tool
    file), or, when out_dir is a folder the inputs are read from, any file
    there (a photo of the user's named like an output); None when none would."""
    for out, _ in wanted:
        final = _output_path(out_dir, path, out)
        replaced = inputs.get(_identity(final))  # type: ignore[arg-type]
        if replaced is not None:
            return (f"its output {final} would replace the input {replaced}; segment_files "
                    "never writes over its inputs: choose another out_dir")
        if reads_out_dir and os.path.lexists(final):
            return (f"its output {final} exists in {out_dir}, which this batch reads its inputs "
                    "from; segment_files never writes over files among its inputs: choose "
                    "another out_dir, or remove the earlier outputs first")
    return None


def _segment_file(path: str, given: str, tool_path: str, out_dir: str,
                  neighborhood: Optional[int],
                  normalize_intensity: bool, outputs: Sequence[str],
                  regions: Mapping[str, int]) -> Dict[str, Any]:
    """Segments one file into out_dir; never raises: a failure becomes the
    record's error. A file's outputs appear all together or not at all."""
    record: Dict[str, Any] = {"path": given, "ok": False, "error": None, "width": None,
                              "height": None, "seconds": None, "shares": {},
                              "unlabelled": None, "regions": {}, "outputs": [], "note": None}
    start = time.perf_counter()
    try:
        _keep_heap_on_worker()
        tool = _load_tool(tool_path)  # once per worker; not the image's time
        start = time.perf_counter()
        wanted = output_names(tool, outputs)
        # A pipe would wait for its writer, and hold up every file after it.
        if os.path.exists(path) and not os.path.isfile(path):
            raise ImageFileError(f"{_shown(given)}: not a file (a pipe, a device or a folder); "
                                 "segment_files reads image files")
        image = read_image(path)
        # In the record, with the file's name: a worker's warning would go to its stderr.
        result = tool._run_quiet(image, neighborhood, normalize_intensity)
        record["note"] = _narrow_image_note(_shown(given), image.shape[1], image.shape[0],
                                            result.neighborhood) or None
        images = _images(result, wanted)
        # As clsg run: the cleaned label image (the label image itself when
        # nothing is cleaned) stands for it in the output, the shares and the counts.
        # The counts without pandas: a worker importing it here, while another
        # of its threads was importing it too, found it half made ("module
        # 'pandas' has no attribute 'DataFrame'") and failed every file.
        labels, table = result._cleaned_columns(**regions)
        if "labels" in images:
            images["labels"] = labels
        # All of the file's outputs, or none (none is replaced when one cannot be written).
        _write_images([_output_path(out_dir, path, out) for out in images], list(images.values()))
        counts = np.bincount(labels.ravel(), minlength=256)
        total = labels.size
        per_label = np.bincount(np.asarray(table["label_index"], dtype=np.intp),
                                minlength=len(tool.labels))
        record.update(
            ok=True, width=image.shape[1], height=image.shape[0],
            shares={name: counts[i] / total for i, name in enumerate(tool.labels)},
            unlabelled=counts[255] / total,
            regions={name: int(per_label[i]) for i, name in enumerate(tool.labels)},
            outputs=[_output_path(out_dir, path, o) for o in images])
    except Exception as e:  # reported per file; the batch goes on
        record["error"] = f"{type(e).__name__}: {e}"
    finally:
        record["seconds"] = time.perf_counter() - start
    return record


def _failed(path: str, error: str) -> Dict[str, Any]:
    return {"path": path, "ok": False, "error": error, "width": None, "height": None,
            "seconds": 0.0, "shares": {}, "unlabelled": None, "regions": {}, "outputs": [],
            "note": None}


def segment_files(paths: Iterable[str], tool_path: str, out_dir: str, client=None,
                  neighborhood: Optional[int] = None, normalize_intensity: bool = False,
                  outputs: Sequence[str] = ("labels",), min_area: int = 0,
                  fill_holes: int = 0, connectivity: int = 8) -> List[Dict[str, Any]]:
    """Segments image files on a dask.distributed cluster.

    Every worker process loads the tool file once, and a worker started by a
    nanny keeps up to 128 MiB of freed image buffers in its heap for the next
    file instead of mapping them afresh for every file (as the nanny's
    MALLOC_TRIM_THRESHOLD_ would have it). For each input NAME.EXT
    the outputs go to out_dir as NAME-labels.png, NAME-confidence.png,
    NAME-score.png, NAME-seg-LABEL.png (those requested). A file that fails
    (unreadable, corrupt, one whose outputs an earlier input writes too,
    such as a second input with the same NAME, one whose outputs would
    replace one of the inputs or the tool file, or any file in out_dir when
    out_dir is a folder the inputs are read from, or one whose
    workers died: out of memory, a crash) gets a record with its error and
    does not stop the batch.

    client: a distributed.Client; None uses Dask's current scheduler (a
    Client made earlier in this process, else local threads). neighborhood
    None takes the size the tool file stores, else 3.

    Returns one record per path, in order: path, ok, error (None or the
    message), width, height, seconds (reading, running and writing), shares
    (label name -> share of the pixels it won), unlabelled (share of pixels
    no label won), regions (label name -> number of regions, as
    Result.regions(min_area, fill_holes, connectivity) counts them), outputs
    (the files written), note (None, or what clsg run notes of the file: an
    image narrower than a neighbourhood from 28 on; a record, not a warning).
    With min_area or fill_holes, the labels output, the
    shares and unlabelled are of the cleaned label image (Result.cleaned), as
    clsg run --min-area and --fill-holes give them. Workers get absolute paths,
    so on a real cluster the files must lie where every worker sees them by
    the same path.
    """
    # One path is one file, not a list of its letters; bytes are names as the
    # system gives them (os.fsdecode).
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    paths = [os.fsdecode(p) for p in paths]
    tool_path = os.path.abspath(os.fsdecode(tool_path))
    out_dir = os.path.abspath(os.fsdecode(out_dir))
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise NotADirectoryError(errno.ENOTDIR, "out_dir is a file, not a folder", out_dir)
    if isinstance(outputs, str):
        outputs = (outputs,)
    outputs = tuple(outputs)
    # Bad arguments fail here, not per file.
    normalize_intensity = _flag(normalize_intensity, "normalize_intensity")
    tool = _load_tool(tool_path)
    wanted = output_names(tool, outputs)
    regions = {"min_area": min_area, "fill_holes": fill_holes, "connectivity": connectivity}
    _probe(tool, neighborhood)._cleaned_columns(**regions)
    os.makedirs(out_dir, exist_ok=True)

    inputs: Dict[Tuple[int, int], str] = {}
    for p in [tool_path, *paths]:
        identity = _identity(p)
        if identity is not None:
            inputs.setdefault(identity, p)
    folders = {_identity(os.path.dirname(os.path.abspath(p))) for p in paths}
    reads_out_dir = _identity(out_dir) in folders
    # Output file -> the input that writes it. Two inputs of one NAME clash, and
    # so do a.png's a-seg-score.png and a-seg.png's (label "score").
    claimed: Dict[str, str] = {}
    todo: List[int] = []
    records: List[Optional[Dict[str, Any]]] = [None] * len(paths)
    for i, p in enumerate(paths):
        mine = [_output_path(out_dir, p, out) for out, _ in wanted]
        clash = next((claimed[f] for f in mine if f in claimed), None)
        replaced = _replaced_input(p, out_dir, wanted, inputs, reads_out_dir)
        if clash is not None:
            records[i] = _failed(p, f"its outputs would overwrite those of {clash}")
        elif replaced is not None:
            records[i] = _failed(p, replaced)
        else:
            claimed.update((f, p) for f in mine)
            todo.append(i)
    args = (tool_path, out_dir, neighborhood, normalize_intensity, outputs, regions)
    if client is None:
        try:  # a Client made earlier in this process is Dask's current scheduler
            from distributed import default_client
            client = default_client()
        except (ImportError, ValueError):
            client = None
    if client is not None:
        from distributed import wait
        futures = client.map(_segment_file, [os.path.abspath(paths[i]) for i in todo],
                             [paths[i] for i in todo], *[[a] * len(todo) for a in args],
                             pure=False)
        # Not gather: one task whose workers all died (out of memory, a crash)
        # would raise there and lose every other file's record.
        wait(futures)
        for i, future in zip(todo, futures):
            try:
                records[i] = future.result()
            except Exception as e:
                records[i] = _failed(paths[i], f"{type(e).__name__}: {e}")
    else:
        tasks = [dask.delayed(_segment_file, pure=False)(os.path.abspath(paths[i]), paths[i], *args)
                 for i in todo]
        for i, record in zip(todo, dask.compute(*tasks)):
            records[i] = record
    return records  # type: ignore[return-value]


def write_summary_csv(records: Sequence[Mapping[str, Any]], path) -> None:
    """Writes segment_files' records as CSV: one row per file with path, ok,
    error, width, height, seconds, one share column per label (share_NAME),
    unlabelled and one region count column per label (regions_NAME).
    OSError when path is one of the records' images or outputs, or a tool
    file: none is ever written over."""
    labels: List[str] = []
    for r in records:
        for name in r.get("shares", {}):
            if name not in labels:
                labels.append(name)
    f = io.StringIO(newline="")
    w = csv.writer(f)
    w.writerow(["path", "ok", "error", "width", "height", "seconds"] +
               [f"share_{n}" for n in labels] + ["unlabelled"] +
               [f"regions_{n}" for n in labels])
    for r in records:
        def fmt(v, decimals=6):
            return "" if v is None else f"{v:.{decimals}f}"
        # A share has the decimals that give its pixel count back: a label
        # present is never written as 0.
        pixels = (r["width"] or 0) * (r["height"] or 0)
        places = max(6, len(str(pixels)))
        w.writerow([r["path"], int(bool(r["ok"])), r["error"] or "",
                    "" if r["width"] is None else r["width"],
                    "" if r["height"] is None else r["height"], fmt(r["seconds"])] +
                   [fmt(r["shares"].get(n), places) if r["ok"] else "" for n in labels] +
                   [fmt(r["unlabelled"], places)] +
                   [r.get("regions", {}).get(n, "") if r["ok"] else "" for n in labels])
    # Like every output: the old file stays whole if the write fails, and
    # neither an input nor an output of the batch, nor its tool, is written over.
    path = os.fspath(path)
    _refuse_outputs_and_tools(path, records)
    # A name that is not UTF-8 keeps its bytes, as clsg run writes it.
    _write_file(path, f.getvalue().encode("utf-8", "surrogateescape"),
                [os.fsencode(r["path"]) for r in records])


def _refuse_outputs_and_tools(path: str, records: Sequence[Mapping[str, Any]]) -> None:
    target = _identity(path)
    for r in records:
        for out in r.get("outputs", ()):
            if target is not None and _identity(os.fspath(out)) == target:
                raise OSError(f"cannot write {path}: it is {r['path']}'s output {out}, which a "
                              "summary never writes over; nothing was written")
    if _is_tool_file(path):
        raise OSError(f"cannot write {path}: it is a clsg tool file, which a summary never "
                      "writes over; nothing was written")


def _is_tool_file(path: str) -> bool:
    if not os.path.isfile(path):  # reading a pipe would wait for its writer
        return False
    try:
        with open(path, "rb") as f:
            return f.read(len(_TOOL_FILE_START)) == _TOOL_FILE_START
    except OSError:
        return False
