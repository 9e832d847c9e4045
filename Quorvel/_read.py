"""Quorvel.load and Quorvel.probe: PNG files of every colour type, bit depth
and interlacing, and the BMP files in use, read into a SimpleImage or
described from their headers by the native module Quorvel._reader."""
from __future__ import annotations

import importlib
import mmap
import os
from dataclasses import dataclass
from types import ModuleType
from typing import TYPE_CHECKING, Callable, Literal, Optional, Protocol, TypeVar, Union

from Quorvel import _reader
from Quorvel._reader import ImageReadError
from Quorvel.tessarin_ext import SimpleImage

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

__all__ = ["ImageInfo", "ImageReadError", "inflaters", "load", "probe"]


class _BinaryReader(Protocol):
    def read(self) -> bytes: ...


Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, _BinaryReader]
_Result = TypeVar("_Result")


@dataclass(frozen=True, slots=True)
class ImageInfo:
    """What a PNG or BMP file is, read from its headers (see probe)."""

    format: str
    width: int
    height: int
    has_alpha: bool
    opens: bool
    open_refusal: Optional[str]
    readable: bool
    reason: Optional[str]
    colour_type: Optional[int]
    bit_depth: Optional[int]
    interlaced: Optional[bool]
    palette_size: Optional[int]
    header_size: Optional[int]
    bit_count: Optional[int]
    compression: Optional[int]
    top_down: Optional[bool]

    @property
    def pixels(self) -> int:
        return self.width * self.height


def _with_contents(source: Source, use: Callable[[ReadableBuffer], _Result]) -> _Result:
    """`use` called with the whole file: a path mapped read-only (no copy is
    made, and only the pages read are loaded), bytes-like objects as they
    are, a file object's read() from its current position."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        return use(source)
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as file:
            try:
                mapped = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
            except (ValueError, OSError):
                # An empty file, or one that cannot be mapped (a pipe, a
                # device): read as it comes.
                return use(file.read())
            with mapped:
                return use(mapped)
    read = getattr(source, "read", None)
    if callable(read):
        contents = read()
        if isinstance(contents, str):
            raise TypeError("the file object's read() returned str: open the file in binary mode")
        return use(contents)
    raise TypeError("source must be a file path, bytes, bytearray, memoryview or a binary file object, "
                    f"not {type(source).__name__}")


# The inflaters load can use, each the module it is, in the order load
# prefers them: zlib-ng's (the `fast` extra) inflates PNG data in about two
# thirds of the time the host's zlib takes, with the same bytes and the
# same errors.
_INFLATERS = {"zlib-ng": "zlib_ng.zlib_ng", "zlib": "zlib"}
# The inflater modules looked for so far: None for one not installed.
_found: dict[str, Optional[ModuleType]] = {}


def _inflater_module(name: str) -> Optional[ModuleType]:
    """Imported on first use, so that `import Quorvel` does not pay for it."""
    if name not in _found:
        try:
            _found[name] = importlib.import_module(_INFLATERS[name])
        except ImportError:
            _found[name] = None
    return _found[name]


def inflaters() -> tuple[str, ...]:
    """The names of the inflaters load can use here, the one it uses unless
    told first: "zlib-ng" where the zlib-ng package is installed
    (pip install 'Quorvel[fast]'), and "zlib", the host's, always."""
    return tuple(name for name in _INFLATERS if _inflater_module(name) is not None)


def _chosen_inflater(name: Optional[str]) -> Optional[ModuleType]:
    """The module load inflates with; None for the host's zlib, which the
    native module holds itself."""
    if name is None:
        name = inflaters()[0]
    elif name not in _INFLATERS:
        raise ValueError(f"inflater must be one of {', '.join(map(repr, _INFLATERS))} or None, not {name!r}")
    if name == "zlib":
        return None
    module = _inflater_module(name)
    if module is None:
        raise ImportError(f"the inflater {name!r} needs the {name} package: pip install 'Quorvel[fast]'")
    return module


def _decode(contents: ReadableBuffer, max_pixels: Optional[int],
            inflater: Optional[ModuleType]) -> tuple[int, int, bytearray]:
    if inflater is not None:
        try:
            return _reader.decode(contents, max_pixels, inflater)
        except ImageReadError as error:
            if not isinstance(error.__cause__, inflater.error):
                raise
    # The host's zlib; also for data the other inflater refused, so that the
    # error is zlib's, worded as zlib words it, whichever inflater was used.
    return _reader.decode(contents, max_pixels)


def load(source: Source, *, max_pixels: Optional[int] = None,
         inflater: Optional[Literal["zlib-ng", "zlib"]] = None) -> SimpleImage:
    """The PNG or BMP image in `source` as a SimpleImage of RGB pixels:
    alpha and transparency dropped without compositing, greyscale spread to
    three channels, samples under 8 bits scaled by bit replication, 16-bit
    samples cut to their high byte. `source` is a path, the file's bytes, or
    a binary file object read from its current position. An image of more
    than `max_pixels` pixels is refused before its pixels are read.
    `inflater` names what inflates PNG data, one of inflaters() ("zlib" for
    the host's zlib); None, the default, takes the first of them. Every one
    gives the same pixels and the same errors. Raises ImageReadError (a
    ValueError) naming what is wrong and where."""
    module = _chosen_inflater(inflater)
    width, height, pixels = _with_contents(source, lambda contents: _decode(contents, max_pixels, module))
    # The decoded buffer becomes the image's own, not copied.
    image = SimpleImage(0, 0, b"")
    image.width = width
    image.height = height
    image._pixels = pixels
    return image


def probe(source: Source) -> ImageInfo:
    """What the PNG or BMP file in `source` is, read from its headers alone
    (the image data is not decompressed): its size and layout, whether
    SimpleImage.open takes it and whether load reads it, and if not, why.
    Raises ImageReadError for a file that is neither, or whose headers are
    cut short or damaged."""
    return ImageInfo(*_with_contents(source, _reader.probe))
