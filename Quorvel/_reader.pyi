from types import ModuleType
from typing import Optional, Tuple

from _typeshed import ReadableBuffer

class ImageReadError(ValueError): ...

# The fields of Quorvel.ImageInfo, in its order: format, width, height,
# has_alpha, opens, open_refusal, readable, reason, colour_type, bit_depth,
# interlaced, palette_size, header_size, bit_count, compression, top_down.
_InfoFields = Tuple[
    str, int, int, bool, bool, Optional[str], bool, Optional[str],
    Optional[int], Optional[int], Optional[bool], Optional[int],
    Optional[int], Optional[int], Optional[int], Optional[bool],
]

def probe(data: ReadableBuffer, /) -> _InfoFields: ...
# inflater: None for the host's zlib, or a module with zlib's decompressobj()
# and error (zlib_ng.zlib_ng).
def decode(
    data: ReadableBuffer, max_pixels: Optional[int] = None, inflater: Optional[ModuleType] = None, /
) -> Tuple[int, int, bytearray]: ...
