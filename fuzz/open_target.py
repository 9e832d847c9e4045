"""The fuzz target for SimpleImage.open on arbitrary bytes, shared by the
fuzzer (fuzz_open.py), the replayer (replay.py) and the tests.

An input passes when opening it gives a consistent image or raises one of the
documented errors (tests/builders.py: OPEN_ERRORS, and the exact ValueError
messages); anything else is a finding.
"""

from __future__ import annotations

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from builders import OPEN_ERRORS, documented_open_error  # noqa: E402

from Quorvel.tessarin_ext import SimpleImage  # noqa: E402


class Finding(Exception):
    """An outcome of opening that no caller is promised."""


def check_open(data: bytes) -> str:
    """Opens `data`; raises Finding unless the outcome is a documented one.
    Returns the outcome: "image", or the exception's class and message."""
    try:
        image = SimpleImage.open(data)
    except OPEN_ERRORS as error:
        if not documented_open_error(error):
            raise Finding(f"{type(error).__name__} {error.args!r}") from error
        return f"{type(error).__name__}: {error}"
    except BaseException as error:
        raise Finding(f"{type(error).__name__}: {error}") from error
    width, height = image.size
    pixels = image._pixels
    if type(pixels) is not bytearray or len(pixels) != width * height * 3:
        raise Finding(f"inconsistent image: {width}x{height} with {len(pixels)} bytes")
    return "image"
