"""PNG files with filtered rows, far smaller than SimpleImage.save writes,
made by the native module Quorvel._png_writer."""
from __future__ import annotations

import os
import zlib
from typing import Union

from Quorvel import _png_writer
from Quorvel.tessarin_ext import SimpleImage

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_ADAPTIVE = _png_writer.FILTER_ADAPTIVE


def _plan(width: int, height: int, compress_level: int, optimize: bool):
    return [(_ADAPTIVE, compress_level, 15, 9, zlib.Z_FILTERED)], [], 1


def encode_png(image: SimpleImage, *, compress_level: int = 6, optimize: bool = False) -> bytes:
    candidates, sample, finalists = _plan(image.width, image.height, compress_level, optimize)
    data, _ = _png_writer.encode(image._pixels, image.width, image.height, candidates, sample, finalists)
    return data


def save_png(image: SimpleImage, path: PathLike, *, compress_level: int = 6, optimize: bool = False) -> None:
    data = encode_png(image, compress_level=compress_level, optimize=optimize)
    with open(path, "wb") as file:
        file.write(data)
