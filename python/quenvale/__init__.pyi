# Types of the quenvale package, for editors and type checkers.
import os
from typing import Any, Iterator, NamedTuple, Optional, Sequence, Tuple, Union, overload

import numpy
import numpy.typing

__all__ = ["Entry", "Error", "FILTERS", "Palette", "filter", "flatten", "flatten_file", "shared_palette", "to_svg"]

FILTERS: Tuple[str, ...]

class Error(ValueError): ...

__version__: str

class Entry(NamedTuple):
    color: Tuple[int, int, int]
    count: int
    x: int
    y: int

class Palette(Sequence[Entry]):
    tolerance: Optional[int]
    transparent: int
    error: Optional[int]
    def __init__(
        self, table: numpy.ndarray, tolerance: Optional[int] = 20, transparent: int = 0, error: Optional[int] = None
    ) -> None: ...
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> Entry: ...
    @overload
    def __getitem__(self, index: slice) -> Palette: ...
    def __iter__(self) -> Iterator[Entry]: ...
    @property
    def colors(self) -> numpy.typing.NDArray[numpy.uint8]: ...
    @property
    def counts(self) -> numpy.typing.NDArray[numpy.uint64]: ...
    @property
    def founders(self) -> numpy.typing.NDArray[numpy.uint64]: ...
    @property
    def alphas(self) -> numpy.typing.NDArray[numpy.uint8]: ...
    def __array__(self, dtype: Any = ...) -> numpy.ndarray: ...

# An image: a numpy array (uint8 or uint16; H x W, H x W x 2, x 3 or x 4)
# or a Pillow image; the result is of the same kind.
_Image = Any
PathLike = Union[str, os.PathLike[str]]

def flatten(
    image: _Image,
    tolerance: Optional[int] = None,
    *,
    colors: Optional[int] = None,
    first_fit: bool = False,
    fill: str = "founder",
    palette: Any = None,
    pin: Any = None,
    min_region: Optional[int] = None,
) -> Tuple[_Image, Palette]: ...
def to_svg(image: _Image) -> str: ...
def filter(image: _Image, name: str) -> _Image: ...
def shared_palette(images: Sequence[_Image], colors: int, *, pin: Any = None) -> numpy.ndarray: ...
def flatten_file(
    input: PathLike,
    output: PathLike,
    tolerance: Optional[int] = None,
    *,
    filter: str = "flatten",
    format: Optional[str] = None,
    colors: Optional[int] = None,
    first_fit: bool = False,
    fill: str = "founder",
    palette: Optional[PathLike] = None,
    palette_format: Optional[str] = None,
    layers: Optional[PathLike] = None,
    keep_encoding: bool = False,
    max_pixels: Optional[int] = None,
    min_region: Optional[int] = None,
    effort: str = "default",
) -> None: ...
