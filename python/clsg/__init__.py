"""clsg: teach colour classes by example, then segment RGB images.

    import numpy as np, clsg
    tool = clsg.Tool()
    tool.train({"crema": [(image, crema_mask)], "table": [(image, table_mask)]})
    result = tool.run(image, neighborhood=3)
    result.labels          # H x W uint8: label index per pixel, 255 = none

Images are H x W x 3 uint8 numpy arrays; masks H x W bool or uint8 (non-zero
= selected). clsg.dask segments Dask arrays and batches of files.
"""

from ._errors import (
    AbortedError,
    BadColorSpaceError,
    BadImageError,
    BadParamsError,
    CorruptArchiveError,
    Error,
    ImageFileError,
    NotTrainedError,
    TooManyLabelsError,
    ToolFileCorruptError,
    ToolFileError,
    ToolFileVersionError,
    UnknownVersionError,
)
from ._clsg import Result, Tool, read_image, write_image
from ._measure import evaluate, suggest

__all__ = [
    "Tool",
    "Result",
    "read_image",
    "write_image",
    "suggest",
    "evaluate",
    "Error",
    "BadParamsError",
    "BadImageError",
    "BadColorSpaceError",
    "NotTrainedError",
    "TooManyLabelsError",
    "UnknownVersionError",
    "CorruptArchiveError",
    "ToolFileError",
    "ToolFileVersionError",
    "ToolFileCorruptError",
    "ImageFileError",
    "AbortedError",
]
