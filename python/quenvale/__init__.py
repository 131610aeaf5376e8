"""Flatten the colours of pictures: numpy arrays, Pillow images and files.

>>> import numpy, quenvale
>>> result, palette = quenvale.flatten(numpy.zeros((2, 2, 3), numpy.uint8))
>>> len(palette), palette[0].count
(1, 4)

Pixels are visited column by column, left to right, each column from the
bottom row up; each joins the oldest palette entry whose founding colour is
within the tolerance of it on red, green and blue, or founds a new one, and
takes its entry's founding value. Row 0 of an array is the picture's top, so
``flatten(numpy.asarray(Image.open(p)))`` gives exactly the pixels that
``quenvale p out.png`` writes.

The functions hold no state between calls and release the GIL while they
work on pixels: threads may call them at once.
"""

from __future__ import annotations

import os
import re
from typing import Any, Iterator, NamedTuple, Optional, Sequence, Tuple, Union, overload

import numpy

from . import _core
from ._core import Error

__all__ = ["Entry", "Error", "FILTERS", "Palette", "filter", "flatten", "flatten_file"]

#: The filters by the host's names: the flatten first, then the seven kernels.
FILTERS: Tuple[str, ...] = _core.FILTERS

_FILLS = ("founder", "mean")
_PIL_MODES = ("1", "L", "LA", "P", "RGB", "RGBA", "I;16", "I")


class Entry(NamedTuple):
    """One palette entry: its colour as the flatten saw it (8 bits a channel;
    16-bit samples by their top 8 bits), the pixels that took it, and its
    founding pixel's column and row (row 0 at the top)."""

    color: Tuple[int, int, int]
    count: int
    x: int
    y: int


class Palette(Sequence[Entry]):
    """The entries a flatten made, in order of creation.

    ``list(palette)`` gives them as tuples; ``numpy.asarray(palette)`` gives
    their colours, an N x 3 uint8 array; ``counts`` and ``founders`` give the
    rest as arrays.
    """

    __slots__ = ("_table",)

    def __init__(self, table: numpy.ndarray) -> None:
        self._table = table  # N x 4 uint64: colour 0xRRGGBB, count, x, y

    def __len__(self) -> int:
        return len(self._table)

    @overload
    def __getitem__(self, index: int) -> Entry: ...
    @overload
    def __getitem__(self, index: slice) -> "Palette": ...

    def __getitem__(self, index: Union[int, slice]) -> Union[Entry, "Palette"]:
        if isinstance(index, slice):
            return Palette(self._table[index])
        color, count, x, y = (int(v) for v in self._table[index])
        return Entry((color >> 16, (color >> 8) & 0xFF, color & 0xFF), count, x, y)

    def __iter__(self) -> Iterator[Entry]:
        for i in range(len(self)):
            yield self[i]

    @property
    def colors(self) -> numpy.ndarray:
        """The entries' colours, N x 3, uint8."""
        packed = self._table[:, 0]
        return numpy.stack([(packed >> 16) & 0xFF, (packed >> 8) & 0xFF, packed & 0xFF], axis=-1).astype(numpy.uint8)

    @property
    def counts(self) -> numpy.ndarray:
        """The pixels that took each entry, uint64; they sum to the picture's pixels."""
        return self._table[:, 1].copy()

    @property
    def founders(self) -> numpy.ndarray:
        """Each entry's founding pixel as (x, y), N x 2, row 0 at the top."""
        return self._table[:, 2:4].copy()

    def __array__(self, dtype: Any = None) -> numpy.ndarray:
        colors = self.colors
        return colors if dtype is None else colors.astype(dtype)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Palette) and numpy.array_equal(self._table, other._table)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        shown = ", ".join("#%02x%02x%02x x%d" % (*e.color, e.count) for e in list(self)[:8])
        more = ", ..." if len(self) > 8 else ""
        return "Palette([%s%s])" % (shown, more)


def _is_pil(image: Any) -> bool:
    module = type(image).__module__
    return module.startswith("PIL.") and hasattr(image, "mode") and hasattr(image, "getpalette")


def _check_array(image: Any) -> numpy.ndarray:
    if isinstance(image, numpy.ndarray):
        return image
    raise TypeError(
        "expected a numpy array (H x W, H x W x 2, H x W x 3 or H x W x 4, uint8 or uint16) "
        "or a Pillow Image, not %s" % type(image).__name__
    )


def _pil_parts(image: Any) -> Tuple[numpy.ndarray, Optional[bytes], Optional[bytes], Any]:
    """A Pillow image as the core takes it: its array, and for a palette its
    entries and their alpha, or for grey and RGB its transparent key."""
    if image.mode not in _PIL_MODES:
        raise TypeError(
            "expected a Pillow image of mode %s, not %s; convert it first" % (", ".join(_PIL_MODES), image.mode)
        )
    transparency = image.info.get("transparency")
    if image.mode == "P":
        entries = bytes(image.getpalette("RGB") or b"")
        alpha = None
        if isinstance(transparency, (bytes, bytearray)):
            alpha = bytes(transparency[: len(entries) // 3])
        elif isinstance(transparency, int) and transparency < len(entries) // 3:
            alpha = bytes([255] * transparency + [0])
        return numpy.asarray(image), entries, alpha, None
    if image.mode == "1":
        # Bilevel pixels are grey 0 and 255 to the flatten, as a 1-bit PNG's are.
        return numpy.asarray(image.convert("L")), None, None, None
    if image.mode == "I":
        # Pillow opens a 16-bit grey PNG as 32-bit integers.
        wide = numpy.asarray(image)
        if wide.size and (wide.min() < 0 or wide.max() > 65535):
            raise ValueError("a mode I image is taken as 16-bit grey, and this one has values outside 0 to 65535")
        return wide.astype(numpy.uint16), None, None, None if transparency is None else (transparency,)
    key = transparency if image.mode in ("L", "RGB", "I;16") and transparency is not None else None
    if isinstance(key, int) and image.mode == "RGB":
        key = None
    if isinstance(key, int):
        key = (key,)
    return numpy.asarray(image), None, None, key


def _parts(image: Any) -> Tuple[bool, numpy.ndarray, Optional[bytes], Optional[bytes], Any]:
    """Whether the image is Pillow's, and its parts as the core takes them."""
    if _is_pil(image):
        return (True, *_pil_parts(image))
    return False, _check_array(image), None, None, None


def _pil_result(source: Any, array: numpy.ndarray, entries: Optional[bytes]) -> Any:
    from PIL import Image

    if entries is not None:
        result = Image.fromarray(array, "P")
        result.putpalette(entries, "RGB")
    elif source.mode == "1" and array.ndim == 2:
        result = Image.fromarray(array, "L").convert("1", dither=Image.Dither.NONE)
    elif source.mode == "I" and array.ndim == 2:
        result = Image.fromarray(array.astype(numpy.int32), "I")
    elif array.ndim == 2:
        result = Image.fromarray(array, "I;16" if array.dtype == numpy.uint16 else "L")
    else:
        result = Image.fromarray(array, {2: "LA", 3: "RGB", 4: "RGBA"}[array.shape[2]])
    if "transparency" in source.info and result.mode == source.mode:
        result.info["transparency"] = source.info["transparency"]
    return result


def flatten(
    image: Any, tolerance: int = 20, *, colors: Optional[int] = None, fill: str = "founder"
) -> Tuple[Any, Palette]:
    """Flatten the colours of ``image``; returns ``(result, palette)``.

    ``image`` is a numpy array of shape H x W (grey), H x W x 2 (grey and
    alpha), H x W x 3 (RGB) or H x W x 4 (RGBA), of dtype uint8 or uint16,
    with any strides; or a Pillow image of mode 1, L, LA, P, RGB, RGBA,
    I;16 or I (16-bit grey, as Pillow opens it). ``result`` is of the same
    kind, shape and dtype (a Pillow image stays in its mode, a palette image
    keeps its indices); the input is not changed.

    ``tolerance`` (0 to 255) is the reach per channel. ``colors`` instead
    chooses the tolerance: at most that many entries, the one below giving
    more. ``fill="mean"`` gives each group its mean colour rather than its
    founder's. Alpha is each pixel's own; a palette's alpha or a transparent
    key (Pillow's ``transparency``) keeps pixels of one alpha apart.

    Raises TypeError or ValueError for an image or argument it cannot take,
    quenvale.Error (a ValueError) for a picture it refuses, MemoryError.
    """
    if not isinstance(tolerance, (int, numpy.integer)) or isinstance(tolerance, bool):
        raise TypeError("tolerance must be a whole number, not %s" % type(tolerance).__name__)
    if colors is not None and (
        not isinstance(colors, (int, numpy.integer)) or isinstance(colors, bool) or not 1 <= colors <= _core.MAX_COLORS
    ):
        raise ValueError("colors takes a whole number from 1 to %d, not %r" % (_core.MAX_COLORS, colors))
    if fill not in _FILLS:
        raise ValueError("fill takes 'founder' or 'mean', not %r" % (fill,))
    pil, array, entries, alpha, key = _parts(image)
    result, new_entries, table, _ = _core.flatten(
        array, int(tolerance), int(colors or 0), fill == "mean", entries, alpha, key
    )
    return (_pil_result(image, result, new_entries) if pil else result), Palette(table)


def filter(image: Any, name: str) -> Any:
    """Run one of the kernels on ``image`` by its host name: red, green, blue,
    grey, threshold, blur or darkest (``FILTERS`` lists them with flatten,
    which runs ``flatten``). Takes the images ``flatten`` takes and returns
    the host's result: the input's kind and dtype, and its layout where the
    result fits it (grey that gains colour becomes H x W x 3)."""
    if name == "flatten":
        return flatten(image)[0]
    if not isinstance(name, str):
        raise TypeError("name must be a str, not %s" % type(name).__name__)
    pil, array, entries, alpha, key = _parts(image)
    result, new_entries = _core.filter(array, name, entries, alpha, key)
    return _pil_result(image, result, new_entries) if pil else result


PathLike = Union[str, "os.PathLike[str]"]


def _path(value: Any, what: str) -> str:
    try:
        path = os.fspath(value)
    except TypeError:
        raise TypeError("%s must be a str or os.PathLike, not %s" % (what, type(value).__name__)) from None
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if "\0" in path:
        raise ValueError("%s: embedded null character in path" % what)
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError("%s: the path is not valid UTF-8, as the tool takes paths" % what) from None
    # The host reads "-" as standard input or output; here it is a file.
    return "./-" if path == "-" else path


def flatten_file(
    input: PathLike,
    output: PathLike,
    tolerance: int = 20,
    *,
    filter: str = "flatten",
    format: Optional[str] = None,
    colors: Optional[int] = None,
    fill: str = "founder",
    palette: Optional[PathLike] = None,
    palette_format: Optional[str] = None,
    layers: Optional[PathLike] = None,
    keep_encoding: bool = False,
    max_pixels: Optional[int] = None,
) -> None:
    """Run the ``quenvale`` command on one file: ``input`` (BMP, PNG, JPEG or
    WebP) filtered into ``output`` by the host's own rules. The output's
    format is ``format`` (bmp, png or webp) or its name's; a BMP keeps its
    encoding, a PNG is the smallest lossless one unless ``keep_encoding``;
    the output is replaced whole or not at all. ``palette`` writes the
    palette (.gpl, .json or .txt, or ``palette_format``), ``layers`` a mask
    per colour into that folder. ``max_pixels`` bounds a picture held in
    memory (the host's default otherwise).

    Raises OSError (with errno and the file name) where the system failed,
    quenvale.Error (a ValueError) for a refused picture, ValueError or
    TypeError for arguments the host would not take.
    """
    arguments = []
    if filter != "flatten":
        arguments += ["--filter", str(filter)]
    if tolerance != 20:
        arguments += ["--tolerance", str(tolerance)]
    if format is not None:
        arguments += ["--format", str(format)]
    if colors is not None:
        arguments += ["--colors", str(colors)]
    if fill != "founder":
        arguments += ["--fill", str(fill)]
    if palette is not None:
        arguments += ["--palette", _path(palette, "palette")]
    if palette_format is not None:
        arguments += ["--palette-format", str(palette_format)]
    if layers is not None:
        arguments += ["--layers", _path(layers, "layers")]
    if keep_encoding:
        arguments.append("--keep-encoding")
    if max_pixels is not None:
        arguments += ["--max-pixels", str(max_pixels)]
    arguments += ["-q", "--", _path(input, "input"), _path(output, "output")]
    try:
        _core.flatten_file(arguments)
    except Error:
        raise
    except ValueError as error:
        # The host's words for its options, in this function's.
        raise ValueError(
            re.sub(r"--([a-z][a-z-]*)", lambda m: m.group(1).replace("-", "_") + "=", str(error))
        ) from None
