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
import threading
from typing import Any, Iterator, NamedTuple, Optional, Sequence, Tuple, Union, overload

import numpy

from . import _core
from ._core import Error

__version__: str = _core.__version__

__all__ = ["Entry", "Error", "FILTERS", "Palette", "__version__", "filter", "flatten", "flatten_file", "shared_palette",
           "to_svg"]

#: The filters by the host's names: the flatten first, then the seven kernels.
FILTERS: Tuple[str, ...] = _core.FILTERS

_FILLS = ("founder", "mean")
_FORMATS = ("bmp", "png", "webp", "gif", "svg")
_PALETTE_FORMATS = ("gpl", "json", "txt")
_EFFORTS = ("fast", "default", "max")
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
    their colours, an N x 3 uint8 array; ``counts``, ``founders`` and
    ``alphas`` give the rest as arrays. ``tolerance`` is the tolerance the
    flatten ran at (the one ``colors=`` chose with ``first_fit``), or None
    where ``colors=`` chose the palette, and ``error`` then the largest
    difference of one channel it left between a pixel and its entry;
    ``transparent`` counts the fully transparent pixels, which are no
    colour and take no entry.
    """

    __slots__ = ("_table", "tolerance", "transparent", "error")

    def __init__(
        self, table: numpy.ndarray, tolerance: Optional[int] = 20, transparent: int = 0, error: Optional[int] = None
    ) -> None:
        self._table = table  # N x 5 uint64: colour 0xRRGGBB, count, x, y, alpha
        self.tolerance = tolerance
        self.transparent = transparent
        self.error = error

    def __len__(self) -> int:
        return len(self._table)

    @overload
    def __getitem__(self, index: int) -> Entry: ...
    @overload
    def __getitem__(self, index: slice) -> "Palette": ...

    def __getitem__(self, index: Union[int, slice]) -> Union[Entry, "Palette"]:
        if isinstance(index, slice):
            return Palette(self._table[index], self.tolerance, self.transparent, self.error)
        color, count, x, y = (int(v) for v in self._table[index][:4])
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
        """The pixels that took each entry, uint64; with ``transparent`` they
        sum to the picture's pixels."""
        return self._table[:, 1].copy()

    @property
    def alphas(self) -> numpy.ndarray:
        """Each entry's alpha, uint8: 255, or a palette's own alpha (tRNS),
        which keeps entries of one colour apart."""
        return self._table[:, 4].astype(numpy.uint8)

    @property
    def founders(self) -> numpy.ndarray:
        """Each entry's founding pixel as (x, y), N x 2, row 0 at the top."""
        return self._table[:, 2:4].copy()

    def __array__(self, dtype: Any = None) -> numpy.ndarray:
        colors = self.colors
        return colors if dtype is None else colors.astype(dtype)

    def __eq__(self, other: object) -> bool:
        return (
            isinstance(other, Palette)
            and numpy.array_equal(self._table, other._table)
            and (self.tolerance, self.transparent, self.error) == (other.tolerance, other.transparent, other.error)
        )

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
        return wide.astype(numpy.uint16), None, None, _key(transparency, 65535)
    key = transparency if image.mode in ("L", "RGB", "I;16") and transparency is not None else None
    if isinstance(key, int) and image.mode == "RGB":
        key = None
    if isinstance(key, int):
        key = (key,)
    return numpy.asarray(image), None, None, _key(key, 65535 if image.mode == "I;16" else 255)


def _key(key: Any, top: int) -> Any:
    """Pillow's transparent key, each sample checked: a bad one is the
    caller's ValueError, never a failed cast in the core."""
    if key is None:
        return None
    samples = tuple(key) if isinstance(key, (tuple, list)) else (key,)
    for sample in samples:
        if not isinstance(sample, (int, numpy.integer)) or isinstance(sample, bool) or not 0 <= sample <= top:
            raise ValueError("transparency: a key sample is a whole number from 0 to %d, not %r" % (top, sample))
    return tuple(int(sample) for sample in samples)


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


def _whole(value: Any, what: str, low: int, high: int) -> int:
    """An argument that takes a whole number in [low, high], or the error naming it."""
    if not isinstance(value, (int, numpy.integer)) or isinstance(value, bool):
        raise TypeError("%s must be a whole number, not %s" % (what, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s takes a whole number from %d to %d, not %r" % (what, low, high, value))
    return int(value)


def _tolerance_and_colors(tolerance: Optional[int], colors: Optional[int]) -> Tuple[int, int]:
    """The two as the host takes them: one or the other, each in its range."""
    if tolerance is not None and colors is not None:
        raise ValueError("colors chooses the tolerance: give tolerance or colors, not both")
    return (
        20 if tolerance is None else _whole(tolerance, "tolerance", 0, 255),
        0 if colors is None else _whole(colors, "colors", 1, _core.MAX_COLORS),
    )


def _palette_colours(value: Any, what: str) -> numpy.ndarray:
    """A palette given as a path (read as the tool reads --remap's file) or
    as colours, N x 3 (RGB) or N x 4 (RGBA) of 0 to 255: 0xAARRGGBB each."""
    if isinstance(value, (str, bytes, os.PathLike)):
        return _core.read_palette(_path(value, what))
    colours = numpy.asarray(value)
    if colours.size == 0:
        raise ValueError("%s takes 1 to 65,536 colours, not none" % what)
    if colours.ndim != 2 or colours.shape[1] not in (3, 4) or colours.dtype.kind not in "ui":
        raise TypeError("%s must be a path or N x 3 or N x 4 whole numbers, not %s %s"
                        % (what, colours.shape, colours.dtype))
    if not 1 <= len(colours) <= 65536 or colours.min() < 0 or colours.max() > 255:
        raise ValueError("%s takes 1 to 65,536 colours of channels 0 to 255" % what)
    colours = colours.astype(numpy.uint32)
    alpha = colours[:, 3] if colours.shape[1] == 4 else numpy.full(len(colours), 255, numpy.uint32)
    return alpha << 24 | colours[:, 0] << 16 | colours[:, 1] << 8 | colours[:, 2]


def _remapped(image: Any, pil: bool, parts: Tuple[Any, ...], given: numpy.ndarray, count: int,
              min_region: int) -> Tuple[Any, Palette]:
    array, entries, alpha, key = parts
    result, plte, alphas, table, transparent, error = _core.remap(array, given, count, entries, alpha, key, min_region)
    palette = Palette(table, None, int(transparent), int(error))
    if plte is not None:
        rgb = numpy.frombuffer(plte, numpy.uint8).reshape(-1, 3)
        if pil:
            from PIL import Image

            picture = Image.fromarray(result, "P")
            picture.putpalette(plte, "RGB")
            if alphas:
                picture.info["transparency"] = alphas
            return picture, palette
        clear = numpy.full(len(rgb), 255, numpy.uint8)
        clear[:len(alphas)] = numpy.frombuffer(alphas, numpy.uint8)
        result = rgb[result] if not alphas else numpy.concatenate([rgb, clear[:, None]], axis=1)[result]
    elif pil:
        from PIL import Image

        return Image.fromarray(result, "RGBA" if result.shape[2] == 4 else "RGB"), palette
    return result, palette


def flatten(
    image: Any,
    tolerance: Optional[int] = None,
    *,
    colors: Optional[int] = None,
    first_fit: bool = False,
    fill: str = "founder",
    palette: Any = None,
    pin: Any = None,
    min_region: Optional[int] = None,
) -> Tuple[Any, Palette]:
    """Flatten the colours of ``image``; returns ``(result, palette)``.

    ``image`` is a numpy array of shape H x W (grey), H x W x 2 (grey and
    alpha), H x W x 3 (RGB) or H x W x 4 (RGBA), of dtype uint8 or uint16,
    with any strides; or a Pillow image of mode 1, L, LA, P, RGB, RGBA,
    I;16 or I (16-bit grey, as Pillow opens it). ``result`` is of the same
    kind, shape and dtype (a Pillow image stays in its mode, a palette image
    keeps its indices); the input is not changed.

    ``tolerance`` (0 to 255, 20 by default) is the reach per channel.
    ``colors`` instead gives at most that many colours (giving both is
    refused, as the tool refuses it), as the tool's ``--colors`` does: each
    one a colour of the picture, chosen to keep the error small, and every
    pixel the nearest of them; ``palette.error`` tells the largest error
    left. With ``first_fit``, or ``fill="mean"``, ``colors`` instead chooses
    the tolerance: at most that many entries, the one below giving more;
    ``palette.tolerance`` tells which. ``fill="mean"`` gives each group its mean colour rather than its
    founder's. Alpha is each pixel's own; a palette's alpha or a transparent
    key (Pillow's ``transparency``) keeps pixels of one alpha apart.

    ``palette`` maps every pixel to the nearest of its colours instead, as
    the tool's ``--remap`` does; ``pin`` with ``colors`` makes its colours
    the first of the ``colors``, the chooser adding the rest, as ``--pin``
    does. Either is a palette file's path (.gpl, .json, .txt or .act) or
    colours, N x 3 or N x 4. Then the result holds the palette's colours: a
    Pillow image of mode P in the palette's order (RGB or RGBA beyond 256
    colours), or an array H x W x 3 of uint8, H x W x 4 where a colour has
    alpha.

    ``min_region`` then joins every region of one colour (4-connected)
    smaller than that many pixels to the neighbouring colour nearest its
    own, as the tool's ``--min-region`` does; the palette tells the pixels
    each colour is left with.

    Raises TypeError or ValueError for an image or argument it cannot take,
    quenvale.Error (a ValueError) for a picture it refuses, MemoryError.
    """
    smallest = 0 if min_region is None else _whole(min_region, "min_region", 1, 2**31 - 1)
    if palette is not None:
        if colors is not None or tolerance is not None or first_fit or fill != "founder" or pin is not None:
            raise ValueError("palette maps to its own colours: not with tolerance, colors, first_fit, fill or pin")
        given = _palette_colours(palette, "palette")
        pil, *parts = _parts(image)
        return _remapped(image, pil, tuple(parts), given, 0, smallest)
    if pin is not None:
        if colors is None or first_fit or fill != "founder":
            raise ValueError("pin goes with colors, whose chooser adds to its colours (not first_fit or fill)")
        count = _whole(colors, "colors", 1, _core.MAX_COLORS)
        given = _palette_colours(pin, "pin")
        if len(given) > count:
            raise ValueError("pin: %d colours, more than colors %d" % (len(given), count))
        pil, *parts = _parts(image)
        return _remapped(image, pil, tuple(parts), given, count, smallest)
    tolerance, count = _tolerance_and_colors(tolerance, colors)
    if fill not in _FILLS:
        raise ValueError("fill takes 'founder' or 'mean', not %r" % (fill,))
    pil, array, entries, alpha, key = _parts(image)
    if first_fit and not count:
        raise ValueError("first_fit goes with colors")
    result, new_entries, table, chosen, transparent, error = _core.flatten(
        array, tolerance, count, fill == "mean", bool(first_fit), entries, alpha, key, smallest
    )
    if chosen < 0:
        palette = Palette(table, None, int(transparent), int(error))
    else:
        palette = Palette(table, int(chosen), int(transparent))
    return (_pil_result(image, result, new_entries) if pil else result), palette


def shared_palette(images: Sequence[Any], colors: int, *, pin: Any = None) -> numpy.ndarray:
    """One palette of at most ``colors`` for all of ``images`` (the images
    ``flatten`` takes), chosen over their pixels together, as the tool's
    ``--shared-palette`` chooses it; ``pin``'s colours first. Returns the
    colours, N x 4 uint8 (RGBA), for ``flatten(image, palette=...)``, which
    then gives every image the same palette in the same order."""
    count = _whole(colors, "colors", 1, _core.MAX_COLORS)
    pinned = numpy.zeros(0, numpy.uint32) if pin is None else _palette_colours(pin, "pin")
    if len(pinned) > count:
        raise ValueError("pin: %d colours, more than colors %d" % (len(pinned), count))
    parts = [tuple(_parts(image)[1:]) for image in images]
    if not parts:
        raise ValueError("images: give at least one")
    packed = _core.shared_palette(parts, count, pinned)
    return numpy.stack([packed >> 16 & 255, packed >> 8 & 255, packed & 255, packed >> 24], axis=1).astype(numpy.uint8)


def to_svg(image: Any) -> str:
    """``image`` (a result of ``flatten``, or any image it takes) as the
    tool writes an SVG: one path for each region of one colour, along its
    pixels' edges, so that the paths neither overlap nor leave gaps and it
    renders at 1:1 to the image's own pixels; fully transparent pixels are
    left uncovered."""
    pil, array, entries, alpha, key = _parts(image)
    return _core.to_svg(array, entries, alpha, key)


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
) -> None:
    """Run the ``quenvale`` command on one file: ``input`` (BMP, PNG, JPEG or
    WebP) filtered into ``output`` by the host's own rules. The output's
    format is ``format`` (bmp, png, webp, gif or svg) or its name's; a BMP keeps its
    encoding, a PNG is the smallest lossless one unless ``keep_encoding``;
    the output is replaced whole or not at all. ``palette`` writes the
    palette (.gpl, .json or .txt, or ``palette_format``), ``layers`` a mask
    per colour into that folder, which must exist. ``max_pixels`` bounds a
    picture held in memory (the host's default otherwise). ``min_region``
    is ``--min-region``; an output named .svg (or ``format="svg"``) is the
    tool's SVG. ``effort`` ("fast", "default" or "max") is ``--effort``.

    Raises OSError (with errno and the file name) where the system failed,
    MemoryError where memory ran out, quenvale.Error (a ValueError) for a
    refused picture or set of outputs, ValueError or TypeError for arguments
    the host would not take, each naming the argument.
    """
    tolerance_given = tolerance is not None
    tolerance, count = _tolerance_and_colors(tolerance, colors)
    if not isinstance(filter, str) or filter not in FILTERS:
        raise ValueError("filter takes one of %s, not %r" % (", ".join(FILTERS), filter))
    if format is not None and format not in _FORMATS:
        raise ValueError("format takes one of %s, not %r" % (", ".join(_FORMATS), format))
    if fill not in _FILLS:
        raise ValueError("fill takes 'founder' or 'mean', not %r" % (fill,))
    if effort not in _EFFORTS:
        raise ValueError("effort takes one of %s, not %r" % (", ".join(_EFFORTS), effort))
    if palette_format is not None and palette_format not in _PALETTE_FORMATS:
        raise ValueError("palette_format takes one of %s, not %r" % (", ".join(_PALETTE_FORMATS), palette_format))
    if palette_format is not None and palette is None:
        raise ValueError("palette_format goes with palette")
    if first_fit and colors is None:
        raise ValueError("first_fit goes with colors")
    if filter != "flatten":
        for given, name in ((tolerance_given, "tolerance"), (colors is not None, "colors"),
                            (fill != "founder", "fill"), (palette is not None, "palette"),
                            (min_region is not None, "min_region"),
                            (layers is not None, "layers")):
            if given:
                raise ValueError("%s is for the flatten filter only, not %r" % (name, filter))
    palette_path = "" if palette is None else _path(palette, "palette")
    if palette is not None and palette_format is None and \
            os.path.splitext(palette_path)[1][1:].lower() not in _PALETTE_FORMATS:
        raise ValueError("palette: name a .gpl, .json or .txt file, or give palette_format")
    # The job, built from checked values: the host's own runner takes it.
    job = (
        _path(input, "input"), _path(output, "output"), filter, tolerance if tolerance_given else -1, count,
        fill == "mean", bool(first_fit), format or "", palette_path, palette_format or "",
        "" if layers is None else _path(layers, "layers"), bool(keep_encoding),
        0 if max_pixels is None else _whole(max_pixels, "max_pixels", 1, 2**64 - 1),
        0 if min_region is None else _whole(min_region, "min_region", 1, 2**31 - 1), effort,
    )
    # On a thread of its own, so that Ctrl-C reaches this one at once: the
    # call is asked to stop, stops at its next step replacing nothing, and
    # KeyboardInterrupt is raised when it has.
    # An event, not Thread.join: a join that Ctrl-C interrupts can take the
    # thread for ended while it still runs.
    cancel = _core.Cancel()
    outcome: list = []
    done = threading.Event()

    def call() -> None:
        try:
            _core.flatten_file(*job, cancel)
        except BaseException as error:  # handed to the caller's thread
            outcome.append(error)
        finally:
            done.set()

    threading.Thread(target=call, name="quenvale.flatten_file", daemon=True).start()
    try:
        while not done.wait(0.05):
            pass
    except KeyboardInterrupt:
        cancel.cancel()
        while not done.is_set():
            try:
                done.wait(0.05)
            except KeyboardInterrupt:
                pass  # asked to stop already: it is stopping
        raise
    if outcome:
        raise outcome[0]
