from typing import Sequence, Tuple

from _typeshed import ReadableBuffer

from Quorvel._png import Candidate

MAX_THREADS: int
MAX_SEGMENTS: int
MAX_CANDIDATES: int

def encode(
    pixels: ReadableBuffer,
    width: int,
    height: int,
    candidates: Sequence[Candidate],
    sample: Sequence[Tuple[int, int]],
    finalists: int,
    segments: int,
    threads: int,
) -> Tuple[bytes, int, Tuple[int, ...], Tuple[int, ...]]: ...
