from typing import Sequence, Tuple, Union

from _typeshed import ReadableBuffer

# A candidate's row filter: a filter type, 0 to 4, on every row, or the
# five weights of the per-row choice.
_RowFilter = Union[int, Tuple[int, int, int, int, int]]

def encode(
    pixels: ReadableBuffer,
    width: int,
    height: int,
    candidates: Sequence[Tuple[_RowFilter, int, int, int, int, int, int, int]],
    sample: Sequence[Tuple[int, int]],
    finalists: int,
    segments: int,
    threads: int,
    /,
) -> Tuple[bytes, int, Tuple[int, ...], Tuple[int, ...]]: ...
