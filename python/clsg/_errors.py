"""The exceptions clsg raises. Every one derives from clsg.Error."""

from __future__ import annotations

from typing import Optional


class Error(Exception):
    """Base of every clsg failure.

    ``message`` is the library's own text (it may be empty, as for a tool
    that is not trained); ``error_number`` is the library's fixed number of
    the failure, or None for failures that have none (files, archives,
    aborts)."""

    default_text = "clsg failed"

    def __init__(self, message: str = "", error_number: Optional[int] = None) -> None:
        super().__init__(message or self.default_text)
        self.message = message
        self.error_number = error_number

    def __reduce__(self):  # keeps both fields across processes (Dask workers)
        return (type(self), (self.message, self.error_number))


class BadParamsError(Error, ValueError):
    """Invalid parameters or training input."""

    default_text = "invalid parameters"


class BadImageError(Error, ValueError):
    """An image or mask that cannot be used: wrong shape or dtype, empty, a
    mask that selects no pixel."""

    default_text = "an image or mask cannot be used"


class BadColorSpaceError(BadImageError):
    """An image that is not RGB."""

    default_text = "the image is not RGB"


class NotTrainedError(Error):
    """The tool has not been trained."""

    default_text = "the tool is not trained"


class TooManyLabelsError(Error, ValueError):
    """More than 254 labels."""

    default_text = "too many labels (at most 254)"


class UnknownVersionError(Error):
    """A stored record of a version this clsg does not read."""

    default_text = "unknown archive version"


class CorruptArchiveError(Error):
    """A stored tool or result that is truncated or malformed."""

    default_text = "corrupt archive"


class ToolFileError(Error, OSError):
    """A tool file that cannot be read or written: missing, of another format
    or a newer version, or corrupt. The message names the file."""


class ToolFileVersionError(ToolFileError, UnknownVersionError):
    """A tool file of a format version this clsg does not read."""


class ToolFileCorruptError(ToolFileError, CorruptArchiveError):
    """A tool file that is truncated or damaged."""


class ImageFileError(Error, OSError):
    """An image file that cannot be read or written. The message names the
    file."""


class AbortedError(Error):
    """A call stopped by an abort request that was not a Ctrl-C."""

    default_text = "operation aborted"
