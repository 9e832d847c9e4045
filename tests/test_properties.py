"""Properties over generated images and inputs: round trips through both
encoders, and opening any bytes gives an image or a documented exception.

Examples per test: QUORVEL_PROPERTY_EXAMPLES (default 100), for example
QUORVEL_PROPERTY_EXAMPLES=5000 for a long run.
"""

import os
import pathlib
import tempfile
import zlib

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from builders import IEND, PNG_SIGNATURE, RGB, RGBA, bmp_headers, chunk, ihdr
from open_target import check_open as open_outcome
from Quorvel.tessarin_ext import SimpleImage

EXAMPLES = settings(
    max_examples=int(os.environ.get("QUORVEL_PROPERTY_EXAMPLES", "100")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


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
        return (PNG_SIGNATURE + ihdr(width, height, color_type=RGB if channels == 3 else RGBA)
                + chunk(b"IDAT", compressed[:cut]) + chunk(b"IDAT", compressed[cut:]) + IEND)
    stride = (width * 3 + 3) & ~3
    body = draw(st.binary(min_size=stride * height, max_size=stride * height))
    return bmp_headers(width, height if draw(st.booleans()) else -height) + body


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
