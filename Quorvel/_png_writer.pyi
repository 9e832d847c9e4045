from typing import Optional, Sequence, Tuple, Union

from _typeshed import ReadableBuffer

# A candidate's row filter: a filter type, 0 to 4, on every row, or the
# five weights of the per-row choice. `format`: (colour type, bit depth,
# palette) of the rows in `pixels`, 8-bit RGB without it.
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
    format: Tuple[int, int, ReadableBuffer] = ...,
    /,
) -> Tuple[bytes, int, Tuple[int, ...], Tuple[int, ...]]: ...

# The greyscale or palette form of an 8-bit RGB image that holds it exactly:
# (colour type, bit depth, PLTE entries, packed rows), the last three as
# encode's `format` and `pixels` take them; None where only RGB does.
def reduce(pixels: ReadableBuffer, width: int, height: int, /) -> Optional[Tuple[int, int, bytes, bytes]]: ...
