"""The colour types encode_png writes: 8-bit RGB, or with "auto" a
greyscale or palette PNG where one holds exactly the same pixels in fewer
bits (the native module finds it: src/kernels/png_reduce.hpp)."""
from __future__ import annotations

from typing import List, Tuple, Union

from Quorvel import _png_writer

COLOUR_TYPES = ("rgb", "auto")

# The rows the native encoder takes and their format record: (colour type,
# bit depth, palette).
ScanlineFormat = Tuple[int, int, bytes]
RGB_FORMAT: ScanlineFormat = (2, 8, b"")
_Scanlines = Tuple[Union[bytes, bytearray], ScanlineFormat]

_GREY = 0


def scanline_forms(pixels: bytes | bytearray, width: int, height: int, colour_type: str) -> List[_Scanlines]:
    """The forms of the image to write, the smallest file of them kept.
    Greyscale rows are one of RGB's three channels, packed where fewer bits
    hold them, and made smaller files than RGB on every grey image of the
    corpus (0.47 to 0.80x). A palette's indices take a third of RGB's bytes
    or less, but its PLTE chunk costs 3 bytes a colour and indices into a
    palette filter worse than colours do: on small images and smooth
    gradients of many colours RGB's file was smaller (up to 1.3x), so RGB is
    tried as well."""
    rgb: _Scanlines = (pixels, RGB_FORMAT)
    if colour_type == "auto":
        reduced = _png_writer.reduce(pixels, width, height)
        if reduced is not None:
            colour, depth, palette, rows = reduced
            form: _Scanlines = (rows, (colour, depth, palette))
            return [form] if colour == _GREY else [rgb, form]
    return [rgb]
