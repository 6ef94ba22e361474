"""Choosing the parameters from the examples, and judging labels against a truth."""

import json
import numbers

import numpy as np

from . import _clsg
from ._errors import BadParamsError


def suggest(labels, threads=0):
    """Chooses tolerance_frac, tolerance_min and the neighbourhood for labels
    (a dict of name -> list of (image, mask or None), as Tool.train takes
    them) by cross-validation on the examples, as `clsg train --auto` does.

    Returns a dict: "tolerance_frac", "tolerance_min", "neighborhood" (the
    choice), "estimate" (the search's estimate of the balanced accuracy on the
    pictures: the held-out example pixels' balanced accuracy times the share
    of picture samples that get a label, less a tenth of those that the
    narrowest setting tried (fraction 0.02 unless that was over the training
    budget, neighbourhood 1) leaves unlabelled,
    at the best neighbourhood up
    to 9 when a wider one is chosen; the tenth is assumed, as held-out pixels
    cannot show how often a colour no example holds gets a wrong label) and
    "report" (every candidate, as
    `clsg train --auto --report` writes it). Raises BadParamsError for
    examples that cannot be split (every label needs selected pixels in more
    than one place), and KeyboardInterrupt on Ctrl-C.

    threads (0: one per core) score several tolerances at once; the choice
    and the report are the same on any number.

    The search allocates and frees colour tables of several MiB many times,
    so the first call sets glibc to keep blocks up to 32 MiB and freed memory
    up to 256 MiB in this process's heap (clsg.dask does the like on its
    workers), and asks for huge pages for it where Linux offers them.

        choice = clsg.suggest({"crema": [(image, crema_mask)], ...})
        tool.train(labels, choice["tolerance_frac"], choice["tolerance_min"])
        tool.run(image, neighborhood=choice["neighborhood"])
    """
    if isinstance(threads, bool) or not isinstance(threads, numbers.Integral) or not 0 <= threads <= 1024:
        raise BadParamsError(f"threads must be a whole number from 0 to 1024, not {threads!r}")
    report = json.loads(_clsg._suggest(labels, int(threads)))
    chosen = report["chosen"]
    return {
        "tolerance_frac": chosen["colorToleranceFrac"],
        "tolerance_min": chosen["colorToleranceMin"],
        "neighborhood": chosen["neighborhoodSize"],
        "estimate": report["estimate"]["balancedAccuracy"],
        "report": report,
    }


def evaluate(labels, truth, n_labels=None):
    """Compares a label image (Result.labels, 255 = none) with a true label
    image of the same shape: truth value i < n_labels is label i, any other
    value is not judged. n_labels defaults to one more than the largest true
    value below 255.

    Returns a dict: "pixels" (judged), "accuracy", "balanced_accuracy" (the
    mean recall over labels with true pixels; no label counts as wrong),
    "recall" and "precision" (per label, None where undefined) and
    "confusion" (n_labels rows of true labels, n_labels + 1 columns: the
    labels given, then none: no label, or a label from n_labels on, which the
    truth cannot hold; give n_labels as the tool's number of labels when the
    truth may lack the last ones). BadParamsError when no pixel is judged.
    """
    # A mask would go unread; the truth's 255 is what is not judged.
    if isinstance(truth, np.ma.MaskedArray):
        raise BadParamsError(
            "truth is a masked array, and evaluate does not read its mask; give the pixels not "
            "to judge the value 255 (truth.filled(255))"
        )
    if isinstance(labels, np.ma.MaskedArray):
        raise BadParamsError(
            "labels is a masked array, and evaluate does not read its mask; to leave its masked "
            "pixels unjudged, give truth 255 there (np.where(labels.mask, 255, truth))"
        )
    labels = np.asarray(labels)
    truth = np.asarray(truth)
    if n_labels is not None and (
        isinstance(n_labels, (bool, np.bool_)) or not isinstance(n_labels, numbers.Integral)
    ):
        raise BadParamsError(f"n_labels must be a whole number from 1 to 254; got {n_labels!r}")
    if labels.shape != truth.shape or labels.ndim != 2:
        raise BadParamsError(
            f"labels and truth must be 2-D arrays of one shape; got {labels.shape} and {truth.shape}"
        )
    for name, values in (("labels", labels), ("truth", truth)):
        if values.dtype.kind == "f" and not np.all(np.isnan(values) | (values == np.floor(values))):
            raise BadParamsError(f"{name} must hold whole numbers (label indices); it holds fractions")
    if n_labels is None:
        present = truth[(truth >= 0) & (truth < 255)]
        if not present.size:
            raise BadParamsError("truth holds no label index (0..254): nothing to judge")
        n_labels = int(present.max()) + 1
        if n_labels > 254:
            raise BadParamsError("truth holds 254, a 255th label; give n_labels to judge fewer "
                             "labels (values from n_labels on are not judged)")
    if not 0 < n_labels < 255:
        raise BadParamsError(f"n_labels must lie in 1..254; got {n_labels}")
    judged = (truth >= 0) & (truth < n_labels)
    t = truth[judged].astype(np.int64)
    got = labels[judged].astype(np.int64)
    got = np.where((got >= 0) & (got < n_labels), got, n_labels)
    confusion = np.zeros((n_labels, n_labels + 1), np.int64)
    np.add.at(confusion, (t, got), 1)
    rows = confusion.sum(axis=1)
    columns = confusion[:, :n_labels].sum(axis=0)
    diagonal = np.diag(confusion[:, :n_labels])
    recall = [float(diagonal[i] / rows[i]) if rows[i] else None for i in range(n_labels)]
    precision = [float(diagonal[i] / columns[i]) if columns[i] else None for i in range(n_labels)]
    known = [r for r in recall if r is not None]
    total = int(rows.sum())
    # A measure over no pixel would read as a pass.
    if not total:
        raise BadParamsError(f"truth holds no value below n_labels ({n_labels}): nothing to judge")
    return {
        "pixels": total,
        "accuracy": float(diagonal.sum() / total),
        "balanced_accuracy": sum(known) / len(known) if known else None,
        "recall": recall,
        "precision": precision,
        "confusion": confusion.tolist(),
    }
