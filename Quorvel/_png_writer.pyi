from typing import Sequence, Tuple

from _typeshed import ReadableBuffer

FILTER_ADAPTIVE: int
FILTER_ADAPTIVE_PLAIN: int

def encode(
    pixels: ReadableBuffer,
    width: int,
    height: int,
    candidates: Sequence[Tuple[int, int, int, int, int, int, int]],
    sample: Sequence[Tuple[int, int]],
    finalists: int,
    /,
) -> Tuple[bytes, int, Tuple[int, ...], Tuple[int, ...]]: ...
