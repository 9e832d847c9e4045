"""Quorvel.load and Quorvel.probe: PNG files of every colour type, bit depth
and interlacing, and the BMP files in use, read into a SimpleImage or
described from their headers by the native module Quorvel._reader."""
from __future__ import annotations

import mmap
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, Optional, Protocol, TypeVar, Union

from Quorvel import _reader
from Quorvel._reader import ImageReadError
from Quorvel.tessarin_ext import SimpleImage

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

__all__ = ["ImageInfo", "ImageReadError", "load", "probe"]


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


def load(source: Source, *, max_pixels: Optional[int] = None) -> SimpleImage:
    """The PNG or BMP image in `source` as a SimpleImage of RGB pixels:
    alpha and transparency dropped without compositing, greyscale spread to
    three channels, samples under 8 bits scaled by bit replication, 16-bit
    samples cut to their high byte. `source` is a path, the file's bytes, or
    a binary file object read from its current position. An image of more
    than `max_pixels` pixels is refused before its pixels are read. Raises
    ImageReadError (a ValueError) naming what is wrong and where."""
    width, height, pixels = _with_contents(source, lambda contents: _reader.decode(contents, max_pixels))
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
