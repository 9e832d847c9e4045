from typing import Optional, Sequence, Tuple

from _typeshed import ReadableBuffer

from Quorvel._png import Candidate

MAX_THREADS: int
MAX_SEGMENTS: int
MAX_CANDIDATES: int

# `format`: (colour type, bit depth, palette) of the rows in `pixels`:
# (2, 8, b"") for 8-bit RGB, else greyscale (0) or palette (3) at 1, 2, 4
# or 8 bits with its PLTE entries.
def encode(
    pixels: ReadableBuffer,
    width: int,
    height: int,
    candidates: Sequence[Candidate],
    sample: Sequence[Tuple[int, int]],
    finalists: int,
    segments: int,
    threads: int,
    format: Tuple[int, int, ReadableBuffer],
) -> Tuple[bytes, int, Tuple[int, ...], Tuple[int, ...]]: ...

# The greyscale or palette form of an 8-bit RGB image that holds it exactly:
# (colour type, bit depth, PLTE entries, packed rows), the last three as
# encode's `format` and `pixels` take them; None where only RGB does.
def reduce(pixels: ReadableBuffer, width: int, height: int, /) -> Optional[Tuple[int, int, bytes, bytes]]: ...
