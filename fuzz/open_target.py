"""The fuzz target for SimpleImage.open on arbitrary bytes, shared by the
fuzzer (fuzz_open.py), the replayer (replay.py) and tests/test_crashers.py.

An input passes when opening it gives a consistent image or raises one of the
exception classes that the decoders document; anything else is a finding.
"""

from __future__ import annotations

import struct
import zlib

from Quorvel.tessarin_ext import SimpleImage

ALLOWED_ERRORS = (ValueError, TypeError, OverflowError, MemoryError, IndexError, struct.error, zlib.error)


class Finding(Exception):
    """An outcome of opening that no caller is promised."""


def check_open(data: bytes) -> str:
    """Opens `data`; raises Finding unless the outcome is a documented one.
    Returns the outcome: "image", or the exception's class and message."""
    try:
        image = SimpleImage.open(data)
    except ALLOWED_ERRORS as error:
        return f"{type(error).__name__}: {error}"
    except BaseException as error:
        raise Finding(f"{type(error).__name__}: {error}") from error
    width, height = image.size
    pixels = image._pixels
    if type(pixels) is not bytearray or len(pixels) != width * height * 3:
        raise Finding(f"inconsistent image: {width}x{height} with {len(pixels)} bytes")
    return "image"
