"""The fuzz target for decoding arbitrary bytes, shared by the fuzzers
(fuzz_decode.cpp through fuzz_one, fuzz_open.py), the replayer (replay.py)
and the tests.

An input passes when four checks hold:
- SimpleImage.open(data) gives a consistent image or raises one of the
  documented errors (tests/builders.py: OPEN_ERRORS, and the exact ValueError
  messages);
- SimpleImage._streamToImage over a stream whose reads return bytearrays
  (the decoders' paths for objects other than exact bytes) ends as open did;
- open with the module globals zlib and _readChunk rebound to stand-ins that
  call the host's functions ends as open did: the PNG decoder then reads each
  chunk through a Python call and inflates the joined image data with one
  zlib.decompress, the definition that its piecewise inflater must match;
- an image that open accepts and Pillow decodes as a non-interlaced 8-bit RGB
  or RGBA PNG, or as an uncompressed 24-bit BMP, has exactly Pillow's pixels.
Anything else is a finding. Pillow 9.4 (Debian 12's) and later are supported;
where Pillow cannot be asked as this target asks it, the target fails rather
than stop comparing.
"""

from __future__ import annotations

import io
import itertools
import pathlib
import struct
import sys
import types
import warnings
import zlib

from PIL import Image

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from builders import OPEN_ERRORS, documented_open_error  # noqa: E402

import Quorvel.tessarin_ext as tessarin_ext  # noqa: E402
from Quorvel.tessarin_ext import SimpleImage  # noqa: E402

# What the PNG decoder needs of zlib, as a namespace that is not the module.
ZLIB_STAND_IN = types.SimpleNamespace(crc32=zlib.crc32, decompress=zlib.decompress)
# The BMP decoder takes its rows only as exact bytes: its documented error for
# the stream of bytearrays.
ROWS_NOT_BYTES = ("TypeError", "Expected bytes, got bytearray")
# How Pillow refuses a file it cannot read: anything else from it is a fault
# of this target or of Pillow, and ends the check.
PILLOW_REFUSALS = (OSError, ValueError, SyntaxError, EOFError, struct.error, Image.DecompressionBombError,
                   MemoryError)


class Finding(Exception):
    """An outcome of decoding that no caller is promised."""


class ByteArrayStream:
    """A byte stream over `data` whose reads return bytearrays."""

    def __init__(self, data: bytes) -> None:
        self._data = data
        self._position = 0

    def read(self, count: int) -> bytearray:
        end = len(self._data) if count < 0 else self._position + count
        chunk = bytearray(self._data[self._position:end])
        self._position += len(chunk)
        return chunk

    def seek(self, position: int) -> int:
        if position < 0:
            raise ValueError(f"negative seek value {position}")
        self._position = position
        return position


def _error(error: BaseException, also: tuple[str, str] | None = None) -> tuple[str, str]:
    """The outcome of `error`, which must be documented (or be `also`)."""
    outcome = type(error).__name__, str(error)
    if outcome == also and error.args == (outcome[1],):
        return outcome
    if not isinstance(error, OPEN_ERRORS):
        raise Finding(f"{type(error).__name__}: {error}") from error
    if not documented_open_error(error):
        raise Finding(f"{type(error).__name__} {error.args!r}") from error
    return outcome


def _checked_image(image: SimpleImage) -> SimpleImage:
    width, height = image.size
    pixels = image._pixels
    if type(pixels) is not bytearray or len(pixels) != width * height * 3:
        raise Finding(f"inconsistent image: {width}x{height} with {len(pixels)} bytes")
    return image


def _open(data: bytes) -> SimpleImage | tuple[str, str]:
    try:
        return _checked_image(SimpleImage.open(data))
    except BaseException as error:  # noqa: BLE001 - every outcome is judged
        return _error(error)


def _stream_to_image(data: bytes) -> SimpleImage | tuple[str, str]:
    try:
        width, height, pixels = SimpleImage._streamToImage(ByteArrayStream(data))
        return _checked_image(SimpleImage(width, height, pixels))
    except BaseException as error:  # noqa: BLE001
        return _error(error, also=ROWS_NOT_BYTES)


def _open_through_stand_ins(data: bytes) -> SimpleImage | tuple[str, str]:
    host_zlib, read_chunk = tessarin_ext.zlib, tessarin_ext._readChunk
    tessarin_ext.zlib = ZLIB_STAND_IN
    tessarin_ext._readChunk = lambda stream: read_chunk(stream)
    try:
        return _open(data)
    finally:
        tessarin_ext.zlib, tessarin_ext._readChunk = host_zlib, read_chunk


def _described(outcome: SimpleImage | tuple[str, str]) -> str:
    if isinstance(outcome, SimpleImage):
        return "image {}x{}".format(*outcome.size)
    return "{}: {}".format(*outcome)


def _same(first: SimpleImage | tuple[str, str], second: SimpleImage | tuple[str, str]) -> bool:
    if isinstance(first, SimpleImage) and isinstance(second, SimpleImage):
        return first.size == second.size and first._pixels == second._pixels
    return first == second


def read_alike_by_pillow(data: bytes) -> bool:
    """Whether `data` is laid out so that Pillow reads the same image from
    it as the module: one IHDR, the first chunk, and the IDAT chunks in one
    run. The module lets a later IHDR win and joins IDAT payloads across
    other chunks; Pillow keeps the first IHDR and ends the image data at the
    first chunk after IDAT, keeping short images without complaint."""
    tags = []
    position = 8
    while position + 8 <= len(data):
        (length,) = struct.unpack_from(">I", data, position)
        tag = data[position + 4:position + 8]
        if tag == b"IEND":
            break
        tags.append(tag)
        position += 12 + length
    idat_runs = [tag for tag, _ in itertools.groupby(tags) if tag == b"IDAT"]
    return tags[:1] == [b"IHDR"] and tags.count(b"IHDR") == 1 and len(idat_runs) == 1


def pillow_rgb(data: bytes) -> tuple[tuple[int, int], bytes] | None:
    """Pillow's size and RGB pixels for `data` when Pillow decodes it as a
    non-interlaced 8-bit RGB or RGBA PNG whose chunks it reads alike, or as
    an uncompressed 24-bit BMP whose rows it reads from the stored pixel-data
    offset; None for anything else, Pillow's refusals included."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            image = Image.open(io.BytesIO(data))
        except PILLOW_REFUSALS:
            return None
        with image:
            # A tile is a plain tuple in older Pillow (9.4 among them) and a
            # named one in newer: (codec name, extents, offset, arguments).
            codec_name, _, offset, arguments = image.tile[0] if len(image.tile) == 1 else (None,) * 4
            if image.format == "PNG":
                wanted = (arguments in ("RGB", "RGBA") and not image.info.get("interlace")
                          and read_alike_by_pillow(data))
            elif image.format == "BMP":
                # Pillow reads the rows of a file whose pixel-data offset is 0
                # from the end of the headers; the module from the offset as
                # stored, the start of the file.
                wanted = (codec_name == "raw" and arguments[0] == "BGR" and image.info.get("compression") == 0
                          and offset == struct.unpack_from("<I", data, 10)[0])
            else:
                wanted = False
            if not wanted:
                return None
            try:
                image.load()
                return image.size, image.convert("RGB").tobytes()
            except PILLOW_REFUSALS:
                return None


def check_open(data: bytes) -> str:
    """Runs the four checks on `data`; raises Finding unless every outcome
    is a documented one. Returns the outcome of open: "image", or the
    exception's class and message."""
    opened = _open(data)
    streamed = _stream_to_image(data)
    if not _same(opened, streamed) and not (data.startswith(b"BM") and streamed == ROWS_NOT_BYTES):
        raise Finding(f"open gave {_described(opened)} but _streamToImage over bytearrays gave "
                      f"{_described(streamed)}")
    if data.startswith(b"\x89PNG"):
        plain = _open_through_stand_ins(data)
        if not _same(opened, plain):
            raise Finding(f"open gave {_described(opened)} but with zlib and _readChunk rebound it gave "
                          f"{_described(plain)}")
    if not isinstance(opened, SimpleImage):
        return "{}: {}".format(*opened)
    reference = pillow_rgb(data)
    if reference is not None:
        size, pixels = reference
        if opened.size != size or opened._pixels != pixels:
            raise Finding(f"image {opened.size} differs from Pillow's {size}")
    return "image"


def fuzz_one(data: bytes) -> None:
    """The entry of the libFuzzer target fuzz/fuzz_decode.cpp."""
    check_open(data)
