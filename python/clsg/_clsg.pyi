"""Type stubs of the compiled module; the documentation is in its docstrings."""

import os
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Image = npt.NDArray[np.uint8]  # H x W x 3, RGB, any memory layout
_Mask = Union[npt.NDArray[np.uint8], npt.NDArray[np.bool_]]  # H x W, non-zero = selected

class Result:
    @property
    def labels(self) -> npt.NDArray[np.uint8]:
        """Winning label index per pixel, 255 where no label scored (read-only view)."""
    @property
    def confidence(self) -> npt.NDArray[np.uint8]:
        """(best - second) / (best + second) * 255 per pixel (read-only view)."""
    @property
    def score(self) -> npt.NDArray[np.uint8]:
        """The winner's score against a perfectly uniform neighbourhood, 0..255 (read-only view;
        made when first read, at a cost growing as the neighbourhood to the fourth power)."""
    def segmentation(self, label: Union[str, int]) -> npt.NDArray[np.uint8]:
        """One label's share of all label scores, 0..255; label is a name or an index."""
    def regions(self, min_area: int = 0, fill_holes: int = 0, connectivity: int = 8) -> Any:
        """The regions per label: a pandas DataFrame, or a dict of numpy arrays without pandas."""
    def cleaned(self, min_area: int = 0, fill_holes: int = 0,
                connectivity: int = 8) -> Tuple[np.ndarray, Any]:
        """The label image cleaned as regions() counts it, and that table."""
    def _cleaned_columns(self, min_area: int = 0, fill_holes: int = 0,
                         connectivity: int = 8) -> Tuple[np.ndarray, Dict[str, np.ndarray]]: ...
    @property
    def label_names(self) -> List[str]: ...
    @property
    def neighborhood(self) -> int: ...
    @property
    def normalize_intensity(self) -> bool: ...
    @property
    def shape(self) -> Tuple[int, int]:
        """(height, width) of the run's image."""

class Tool:
    def __init__(self) -> None:
        """An untrained tool."""
    def train(
        self,
        labels: Mapping[str, Sequence[Tuple[_Image, Optional[_Mask]]]],
        tolerance_frac: float = 0.1,
        tolerance_min: int = 2,
        colors: Optional[Dict[str, Union[str, Tuple[int, int, int]]]] = None,
    ) -> None:
        """Trains from {label name: [(image, mask or None), ...]}; label i is the i-th key.
        colors: {label name: "#rrggbb" or (r, g, b)}; the others get their colour name's colour,
        or one near their examples' mean colour, as clsg train gives them."""
    def run(
        self, image: _Image, neighborhood: Optional[int] = None, normalize_intensity: bool = False
    ) -> Result:
        """Scores every pixel of image against every label; neighborhood None: the
        tool's stored size, else 3. Warns (UserWarning) of an image narrower than a
        neighbourhood from 28 on, whose nearest pixels weigh 0."""
    def _run_quiet(self, image: _Image, neighborhood: Optional[int], normalize_intensity: bool) -> Result: ...
    def save(self, path: _Path) -> None:
        """Writes the tool file the clsg program reads."""
    @staticmethod
    def load(path: _Path) -> "Tool":
        """Reads a tool file written by save() or the clsg program."""
    @property
    def labels(self) -> List[str]:
        """Label names in label order."""
    @property
    def colors(self) -> List[str]:
        """Display colours as "#rrggbb", in label order."""
    @property
    def neighborhood(self) -> Optional[int]:
        """The neighbourhood size the tool file stores, or None (run then uses
        3): run's default, kept by save; set it to 1..255 or None (train
        removes it)."""
    @neighborhood.setter
    def neighborhood(self, size: Optional[int]) -> None: ...
    @property
    def is_trained(self) -> bool: ...
    @property
    def tolerance_frac(self) -> float:
        """The training's relative tolerance; raises NotTrainedError before one."""
    @property
    def tolerance_min(self) -> int:
        """The training's tolerance floor; raises NotTrainedError before one."""
    def __eq__(self, other: object) -> bool: ...
    def _time_runs(
        self, image: _Image, neighborhood: int = 3, normalize_intensity: bool = False, repeats: int = 5
    ) -> List[Tuple[float, float]]: ...
    def _time_tiled_runs(
        self,
        image: _Image,
        neighborhood: int = 3,
        normalize_intensity: bool = False,
        threads: int = 2,
        repeats: int = 5,
    ) -> List[float]: ...

def read_image(path: _Path) -> _Image:
    """Reads an image file as H x W x 3 uint8 (RGB)."""

def _write_file(path: _Path, data: bytes, inputs: Sequence[Union[str, bytes]]) -> None:
    """Writes data to path as every output is written, never over one of inputs."""

def _write_images(paths: Sequence[_Path], images: Sequence[npt.NDArray[np.uint8]]) -> None:
    """Writes images[i] to paths[i] as write_image does, all or none; a pipe or device there is refused."""

def write_image(path: _Path, image: npt.NDArray[np.uint8]) -> None:
    """Writes H x W (grey) or H x W x 3 (RGB) uint8; PNM by extension, PNG otherwise."""

def _suggest(
    labels: Mapping[str, Sequence[Tuple[_Image, Optional[npt.NDArray[np.generic]]]]], threads: int
) -> str:
    """The report of clsg.suggest as JSON."""

def _keep_freed_memory(mmap_threshold: int, trim_threshold: int) -> bool: ...
def _search_intensity_gain_on_sample(
    tool: Tool, sample: _Image, height: int, width: int
) -> float: ...
def _apply_intensity_gain(block: _Image, gain: float) -> _Image: ...
def _narrow_image_note(name: str, width: int, height: int, neighborhood: int) -> str: ...
