"""The colour types encode_png writes: 8-bit RGB, or with "auto" a
greyscale or palette PNG where one holds exactly the same pixels in fewer
bits (the native module picks it: src/kernels/png_reduce.hpp)."""
from __future__ import annotations

from typing import Tuple, Union

from Quorvel import _png_writer

COLOUR_TYPES = ("rgb", "auto")

# The rows the native encoder takes, the bytes of each row, and the format
# record it takes after its other arguments: none for 8-bit RGB, else
# (colour type, bit depth, palette).
_Format = Union[Tuple[()], Tuple[Tuple[int, int, bytes]]]


def scanlines(pixels: bytes | bytearray, width: int, height: int,
              colour_type: str) -> Tuple[bytes | bytearray, int, _Format]:
    if colour_type == "auto":
        reduced = _png_writer.reduce(pixels, width, height)
        if reduced is not None:
            colour, depth, palette, rows = reduced
            return rows, len(rows) // height, ((colour, depth, palette),)
    return pixels, 3 * width, ()
