"""Properties over generated images and inputs: round trips through both
encoders, and opening any bytes gives an image or a documented exception.

Examples per test: QUORVEL_PROPERTY_EXAMPLES (default 100), for example
QUORVEL_PROPERTY_EXAMPLES=5000 for a long run.
"""

import os
import pathlib
import struct
import tempfile
import zlib

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from Quorvel.tessarin_ext import SimpleImage

EXAMPLES = settings(
    max_examples=int(os.environ.get("QUORVEL_PROPERTY_EXAMPLES", "100")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

# The ValueError messages that opening can raise on its own account; the host
# services' errors (struct.error, zlib.error, OverflowError, MemoryError, the
# host's ValueError for a negative bytearray size) are checked by class.
OPEN_MESSAGES = {
    "Unsupported image format",
    "Unsupported PNG signature",
    "Unexpected EOF while reading chunk length",
    "Unexpected EOF while reading chunk type",
    "Unexpected EOF while reading chunk data",
    "Unexpected EOF while reading chunk CRC",
    "Corrupted PNG chunk detected",
    "Incomplete PNG header information",
    "Only 8-bit PNG images are supported",
    "Only RGB/RGBA PNG images are supported",
    "Unsupported PNG configuration (compression/filter/interlace)",
    "Malformed PNG image data",
    "Unsupported BMP header",
    "Corrupted BMP DIB header",
    "Only BITMAPINFOHEADER BMP files are supported",
    "Only uncompressed 24-bit BMP files are supported",
    "Incomplete BMP pixel data",
    "Pixel data length does not match image dimensions",
}
HOST_ERRORS = (struct.error, zlib.error, OverflowError, MemoryError)


def open_outcome(data: bytes) -> str:
    """Opens `data`; fails the test unless the outcome is a documented one."""
    try:
        image = SimpleImage.open(data)
    except HOST_ERRORS:
        return "host error"
    except ValueError as error:
        message = str(error)
        assert error.args == (message,)
        assert message in OPEN_MESSAGES or message.startswith("Unsupported PNG filter: ") or (
            message == "negative count"), message
        return message
    width, height = image.size
    assert type(image._pixels) is bytearray
    assert len(image._pixels) == width * height * 3
    return "image"


@st.composite
def images(draw):
    width = draw(st.integers(1, 24))
    height = draw(st.integers(1, 24))
    pixels = draw(st.one_of(
        st.binary(min_size=width * height * 3, max_size=width * height * 3),
        # Few distinct colours, as in drawings: long runs for the compressor.
        st.lists(st.sampled_from([b"\x00\x00\x00", b"\xff\xff\xff", b"\x12\x34\x56"]),
                 min_size=width * height, max_size=width * height).map(b"".join),
    ))
    return SimpleImage(width, height, pixels)


def chunk(tag: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)


@st.composite
def valid_files(draw):
    """A PNG (any filter per row, RGB or RGBA, IDAT split anywhere) or a BMP
    (bottom-up or top-down), built here from the format definitions."""
    width = draw(st.integers(1, 8))
    height = draw(st.integers(1, 8))
    if draw(st.booleans()):
        channels = draw(st.sampled_from([3, 4]))
        rows = [bytes([draw(st.integers(0, 4))]) + draw(st.binary(min_size=width * channels, max_size=width * channels))
                for _ in range(height)]
        compressed = zlib.compress(b"".join(rows))
        cut = draw(st.integers(0, len(compressed)))
        header = struct.pack(">IIBBBBB", width, height, 8, 2 if channels == 3 else 6, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", compressed[:cut])
                + chunk(b"IDAT", compressed[cut:]) + chunk(b"IEND", b""))
    stride = (width * 3 + 3) & ~3
    body = draw(st.binary(min_size=stride * height, max_size=stride * height))
    signed_height = height if draw(st.booleans()) else -height
    info = struct.pack("<iiHHIIiiII", width, signed_height, 1, 24, 0, len(body), 0, 0, 0, 0)
    return b"BM" + struct.pack("<IHHI", 54 + len(body), 0, 0, 54) + struct.pack("<I", 40) + info + body


@EXAMPLES
@given(images(), st.sampled_from(["save", "saveBmp"]))
def test_every_image_round_trips_byte_exactly(image, method):
    with tempfile.TemporaryDirectory() as tmp:
        first, second = pathlib.Path(tmp, "first"), pathlib.Path(tmp, "second")
        getattr(image, method)(str(first))
        reopened = SimpleImage.open(first)
        assert reopened.size == image.size
        assert reopened._pixels == image._pixels
        getattr(reopened, method)(str(second))
        assert second.read_bytes() == first.read_bytes()


@EXAMPLES
@given(st.binary(max_size=512))
def test_any_bytes_give_an_image_or_a_documented_error(data):
    open_outcome(data)


@EXAMPLES
@given(st.sampled_from([b"\x89PNG\r\n\x1a\n", b"BM"]), st.binary(max_size=512))
def test_any_bytes_after_a_signature_give_an_image_or_a_documented_error(signature, rest):
    open_outcome(signature + rest)


@EXAMPLES
@given(valid_files())
def test_valid_files_open(data):
    assert open_outcome(data) == "image"


@EXAMPLES
@given(valid_files(), st.data())
def test_any_mutation_of_a_valid_file_gives_an_image_or_a_documented_error(data, draw):
    buffer = bytearray(data)
    for _ in range(draw.draw(st.integers(1, 4))):
        kind = draw.draw(st.sampled_from(["set", "insert", "delete", "truncate"]))
        at = draw.draw(st.integers(0, len(buffer)))
        if kind == "set" and at < len(buffer):
            buffer[at] = draw.draw(st.integers(0, 255))
        elif kind == "insert":
            buffer[at:at] = draw.draw(st.binary(min_size=1, max_size=8))
        elif kind == "delete":
            del buffer[at:at + draw.draw(st.integers(1, 8))]
        else:
            del buffer[at:]
    open_outcome(bytes(buffer))
