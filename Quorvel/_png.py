"""PNG files with filtered rows, made by the native module
Quorvel._png_writer: far smaller than SimpleImage.save writes, and no larger
than Pillow's, in less time."""
from __future__ import annotations

import os
import zlib
from typing import List, NamedTuple, Optional, Tuple, Union

from Quorvel import _png_writer
from Quorvel._png_reduce import COLOUR_TYPES, RGB_FORMAT, ScanlineFormat, scanline_forms
from Quorvel.tessarin_ext import SimpleImage

StrOrBytesPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_RowFilter = Union[int, Tuple[int, int, int, int, int]]


class Candidate(NamedTuple):
    """One way to write an image, as the native encoder reads it (by these
    names): how its rows are filtered, a filter type (0 to 4) on every row or
    the five weights of the per-row choice; the arguments of
    zlib.compressobj for the whole image; and for the sample, a handicap in
    thousandths its size is taken with (negative favours the candidate), the
    zlib level it is compressed at (None: `level`), and a margin in
    thousandths (0: none) within which a sample behind the smallest still
    has the whole image compressed."""
    row_filter: _RowFilter
    level: int
    strategy: int
    window_bits: int = 15
    memory_level: int = 9
    sample_handicap: int = 0
    sample_level: Optional[int] = None
    finalist_margin: int = 0


_Plan = Tuple[List[Candidate], List[Tuple[int, int]], int, int]

# At most this many threads; and segments, fewer than the native encoder
# takes: on the photographs more joins gain nothing on up to 8 processors,
# and the number is part of what makes a file's bytes.
_MAX_THREADS = _png_writer.MAX_THREADS
_MAX_SEGMENTS = min(8, _png_writer.MAX_SEGMENTS)
# An image is compressed in segments of at least this many bytes of
# scanlines, each joined to the one before at a cost of some tens of bytes.
_SEGMENT_BYTES = 512 * 1024

# Row filters: one type on every row, or the per-row choice by the smallest
# sum of the filtered bytes' magnitudes, each type's sum weighted in eighths
# (None, Sub, Up, Average, Paeth). Counting Average and Paeth an eighth
# heavier suits deflate: their small residuals repeat less than Sub's and
# Up's, so it finds fewer matches in them than their sums suggest (about 1 %
# smaller files on the corpus photographs). Some photographs, with long
# horizontal structures, do better with Sub favoured too; noise, where
# deflate finds no matches, does best with the plain sums.
_NONE, _SUB = 0, 1
_WEIGHTED = (8, 8, 8, 9, 9)
_SUB_FAVOURED = (8, 7, 8, 9, 9)
_PLAIN = (8, 8, 8, 8, 8)
# Pillow's default save chooses each row's filter by the plain sums over
# None, Up, Sub and Paeth (Average only with optimize), ties going to them
# in that order as here, and compresses with Z_FILTERED and the full window.
_PILLOW_ROWS = (8, 8, 8, 0, 8)

# Images of at most this many bytes of scanlines have every candidate
# compress them whole: a sample of a small image ranks candidates poorly,
# and trying them all costs a few milliseconds at most.
_WHOLE_BYTES = 128 * 1024
# A sample that deflates to less than this share of its scanlines (flat
# areas, few colours, text) ranks the candidates poorly too: where Pillow's
# configuration came within _CLOSE of the smallest sample on such an image,
# the image is also compressed with it, whole and as one segment, and the
# smaller file kept. No photograph comes near that share (a third or more);
# the worst misjudgement seen on graphic images was a sample 5 % smaller
# for a whole 0.2 % larger.
_GRAPHIC_SHARE = 0.25
_CLOSE = 1.10


def _candidates(compress_level: int, optimize: bool) -> List[Candidate]:
    """Ways to write an image that suit different kinds of images, measured
    on the corpus photographs and the benchmark's synthetic images (see
    docs/png_writer.md):

    - most photographs: the weighted per-row choice, or for some Sub
      favoured in it, with Z_FILTERED, which keeps deflate to longer matches;
    - photographs with much fine texture: Z_DEFAULT_STRATEGY, whose short
      matches pay there, at compress_level or, faster, two below;
    - photographs with long horizontal structures: Sub on every row;
    - screenshots and drawings: no filter at all, whose rows repeat exactly;
    - noise: run-length matching only, at a tenth of the time.

    By default the filtered rows are compressed with a 16 KiB window, whose
    files are a few tenths of a percent larger than the full window's in
    two thirds of the time, and the Z_FILTERED candidates one level above
    compress_level, which more than makes up for it. A much cheaper
    candidate wins near ties with a costlier one (a negative handicap); the
    riskier Sub-only rows only win clearly. `optimize` raises the Z_FILTERED
    candidates to level 9 with the full window, and compresses the cheap
    choice three below compress_level; that one also compresses the whole
    image when its sample is within 2 % of the best, where a sample cannot
    rank them and its whole size costs little to learn."""
    level = compress_level
    if optimize:
        strong, window, cheap, plain_rows = 9, 15, max(level - 3, 1), level
    else:
        strong, window, cheap = min(level + 1, 9), 14, max(level - 2, 1)
        plain_rows = cheap
    return [
        Candidate(_WEIGHTED, strong, zlib.Z_FILTERED, window),
        Candidate(_SUB_FAVOURED, strong, zlib.Z_FILTERED, window, sample_handicap=3 if optimize else 0),
        Candidate(_SUB, plain_rows, zlib.Z_DEFAULT_STRATEGY, window, sample_handicap=10),
        Candidate(_WEIGHTED, level, zlib.Z_DEFAULT_STRATEGY, window),
        Candidate(_WEIGHTED, cheap, zlib.Z_DEFAULT_STRATEGY, window, sample_handicap=-10,
                  finalist_margin=20 if optimize else 0),
        Candidate(_NONE, plain_rows, zlib.Z_DEFAULT_STRATEGY, sample_handicap=-40),
        Candidate(_PLAIN, 1, zlib.Z_RLE),
    ]


def _pillows(compress_level: int, optimize: bool) -> Candidate:
    """Pillow's configuration for its save with these options: made as one
    segment, its stream is Pillow's, byte for byte (with the same zlib), and
    the file no larger, since Pillow splits the stream in more chunks."""
    if optimize:
        return Candidate(_PLAIN, 9, zlib.Z_FILTERED)
    return Candidate(_PILLOW_ROWS, compress_level, zlib.Z_FILTERED)


def _reduced_rows_candidate(compress_level: int) -> Candidate:
    """A candidate added for greyscale and palette rows, which are a third
    of RGB's bytes or fewer: unfiltered rows (filters predict indices into a
    palette poorly) one level above compress_level with the full window. On
    the corpus' palette drawings it made files 3 to 5 % smaller than the RGB
    candidates alone (paletted-zune 1,211,987 bytes to 1,147,145)."""
    return Candidate(_NONE, min(compress_level + 1, 9), zlib.Z_DEFAULT_STRATEGY, sample_handicap=-40,
                     finalist_margin=50)


def _sample(scanline_bytes: int, height: int) -> List[Tuple[int, int]]:
    """Two strips of rows, each a 64th of the image and at least 8 rows (or
    16 KiB, for wide ones), centred a quarter and three quarters down; none
    when the image is small or they would cover half of it: every candidate
    then compresses it whole. `scanline_bytes`: a row's bytes with its
    filter type."""
    rows = max(height // 64, min(8, -(-16384 // scanline_bytes)))
    if 4 * rows >= height or scanline_bytes * height <= _WHOLE_BYTES:
        return []
    return [(centre - rows // 2, centre - rows // 2 + rows) for centre in (height // 4, 3 * height // 4)]


def _segments(scanline_bytes: int, height: int) -> int:
    """How many runs of rows the image is compressed in, each by a
    compressor of its own, so that they can run on several processors: a
    power of two, for an even share on two, four or eight. It depends on
    the image alone, so that a file's bytes do not depend on the machine."""
    count = scanline_bytes * height // _SEGMENT_BYTES
    segments = 1
    while segments * 2 <= min(count, _MAX_SEGMENTS):
        segments *= 2
    return segments


def _threads() -> int:
    """The processors this process may run on."""
    count: int | None
    if hasattr(os, "process_cpu_count"):
        count = os.process_cpu_count()
    elif hasattr(os, "sched_getaffinity"):
        count = len(os.sched_getaffinity(0))
    else:
        count = os.cpu_count()
    return max(1, min(count or 1, _MAX_THREADS))


def _plan(scanline_bytes: int, height: int, compress_level: int, optimize: bool, reduced: bool) -> _Plan:
    if compress_level == 0:
        return [Candidate(_NONE, 0, zlib.Z_DEFAULT_STRATEGY)], [], 1, 1
    # Pillow's configuration comes first, so that it wins ties.
    candidates = [_pillows(compress_level, optimize)] + _candidates(compress_level, optimize)
    if reduced:
        candidates.append(_reduced_rows_candidate(compress_level))
    return candidates, _sample(scanline_bytes, height), 1, _segments(scanline_bytes, height)


def _needs_floor(scanline_bytes: int, sample: List[Tuple[int, int]], segments: int, sample_sizes: Tuple[int, ...],
                 chosen: int) -> bool:
    """Whether the file may be larger than Pillow's configuration makes: an
    image whose sample says it is graphic and finds Pillow's configuration
    close to the best, unless that was written as one segment; or one of
    several segments with no sample."""
    if not sample:
        return segments > 1
    sample_bytes = sum(end - first for first, end in sample) * scanline_bytes
    smallest = min(sample_sizes)
    return (smallest < _GRAPHIC_SHARE * sample_bytes and sample_sizes[0] <= _CLOSE * smallest
            and (chosen != 0 or segments > 1))


def _encode(rows: Union[bytes, bytearray], width: int, height: int, scanline_format: ScanlineFormat,
            compress_level: int, optimize: bool) -> bytes:
    """The best file the plan's candidates make of `rows`, and no larger
    than Pillow's configuration makes where the plan may miss it."""
    scanline_bytes = len(rows) // height + 1
    candidates, sample, finalists, segments = _plan(scanline_bytes, height, compress_level, optimize,
                                                    scanline_format != RGB_FORMAT)
    threads = _threads()
    data, chosen, sample_sizes, _ = _png_writer.encode(pixels=rows, width=width, height=height,
                                                       candidates=candidates, sample=sample, finalists=finalists,
                                                       segments=segments, threads=threads, format=scanline_format)
    if compress_level and _needs_floor(scanline_bytes, sample, segments, sample_sizes, chosen):
        floor, _, _, _ = _png_writer.encode(pixels=rows, width=width, height=height,
                                            candidates=[_pillows(compress_level, optimize)], sample=[], finalists=1,
                                            segments=1, threads=threads, format=scanline_format)
        if len(floor) < len(data):
            return floor
    return data


def _check_options(image: object, compress_level: object, optimize: object, colour_type: object) -> None:
    if not isinstance(image, SimpleImage):
        raise TypeError(f"image must be a SimpleImage, not {type(image).__name__}")
    if not isinstance(compress_level, int) or isinstance(compress_level, bool):
        raise TypeError(f"compress_level must be an int, not {type(compress_level).__name__}")
    if not 0 <= compress_level <= 9:
        raise ValueError(f"compress_level must be from 0 to 9, not {compress_level}")
    if not isinstance(optimize, bool):
        raise TypeError(f"optimize must be a bool, not {type(optimize).__name__}")
    if not isinstance(colour_type, str):
        raise TypeError(f"colour_type must be a str, not {type(colour_type).__name__}")
    if colour_type not in COLOUR_TYPES:
        raise ValueError(f"colour_type must be one of {', '.join(map(repr, COLOUR_TYPES))}, not {colour_type!r}")
    if image.width < 1 or image.height < 1:
        raise ValueError(f"a PNG image has at least one pixel: this one is {image.width}x{image.height}")


def encode_png(image: SimpleImage, *, compress_level: int = 6, optimize: bool = False,
               colour_type: str = "rgb") -> bytes:
    """The bytes of an 8-bit RGB PNG file of `image`, its rows filtered.
    `compress_level` (0 to 9) says how hard to work, as zlib's levels do: 0
    stores the rows as they are, 1 is the fastest, 9 the smallest. At each
    level a few ways to write the image are tried on a sample of its rows and
    the best writes the whole. `optimize` works harder still, as Pillow's
    option of that name does. `colour_type="auto"` writes a greyscale or
    palette PNG instead where one holds the same pixels in fewer bits."""
    _check_options(image, compress_level, optimize, colour_type)
    pixels = image._pixels
    if pixels is None:
        raise TypeError("the image has no pixel buffer: its _pixels is None")
    files = []
    for rows, scanline_format in scanline_forms(pixels, image.width, image.height, colour_type):
        files.append(_encode(rows, image.width, image.height, scanline_format, compress_level, False))
        if optimize and compress_level:
            # The default's file is one of optimize's: it is never larger.
            files.append(_encode(rows, image.width, image.height, scanline_format, compress_level, True))
    return min(files, key=len)


def save_png(image: SimpleImage, path: StrOrBytesPath, *, compress_level: int = 6, optimize: bool = False,
             colour_type: str = "rgb") -> None:
    """Writes encode_png(image, ...) to the file `path`, created or replaced.
    The whole file is made before the file is opened, so a failure or an
    interrupt while encoding leaves any file at `path` as it was."""
    data = encode_png(image, compress_level=compress_level, optimize=optimize, colour_type=colour_type)
    with open(path, "wb") as file:
        file.write(data)


__all__ = ["encode_png", "save_png"]
