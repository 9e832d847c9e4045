"""_writePng: the file it writes, byte for byte, and what a failure leaves."""
import pathlib
import random
import shutil
import struct
import subprocess
import zlib

import pytest
from PIL import Image

from Quorvel import tessarin_ext as m
from Quorvel.tessarin_ext import SimpleImage

SIGNATURE = b"\x89PNG\r\n\x1a\n"
IEND_CHUNK = bytes.fromhex("0000000049454e44ae426082")
OLD_CONTENT = b"previous content"


def chunk(chunk_type: bytes, data: bytes) -> bytes:
    crc = zlib.crc32(chunk_type + data) & 0xFFFFFFFF
    return struct.pack(">I", len(data)) + chunk_type + data + struct.pack(">I", crc)


def reference_png(width: int, height: int, pixels: bytes) -> bytes:
    row = width * 3
    raw = b"".join(b"\x00" + pixels[y * row:(y + 1) * row] for y in range(height))
    fields = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return SIGNATURE + chunk(b"IHDR", fields) + chunk(b"IDAT", zlib.compress(raw)) + IEND_CHUNK


def random_pixels(width, height, seed=0) -> bytes:
    rng = random.Random(f"{seed}-{width}-{height}")
    return bytes(rng.randrange(256) for _ in range(width * height * 3))


SIZES = [(1, 1), (1, 6), (6, 1), (2, 3), (5, 5), (31, 7), (64, 48)]


@pytest.fixture
def target(tmp_path):
    return tmp_path / "out.png"


@pytest.fixture
def existing(tmp_path):
    path = tmp_path / "existing.png"
    path.write_bytes(OLD_CONTENT)
    return path


def test_one_pixel_layout(target):
    m._writePng(str(target), 1, 1, bytearray([10, 20, 30]))
    written = target.read_bytes()
    compressed = zlib.compress(bytes([0, 10, 20, 30]))
    assert written[:8] == SIGNATURE
    assert written[8:33] == chunk(b"IHDR", bytes.fromhex("00000001000000010802000000"))
    assert written[33:-12] == chunk(b"IDAT", compressed)
    assert written[-12:] == IEND_CHUNK
    assert len(written) == 57 + len(compressed)


@pytest.mark.parametrize("width, height", SIZES + [(0, 0), (0, 4), (4, 0)])
def test_file_equals_reference(target, width, height):
    pixels = random_pixels(width, height)
    assert m._writePng(str(target), width, height, bytearray(pixels)) is None
    assert target.read_bytes() == reference_png(width, height, pixels)


@pytest.mark.parametrize("width, height", SIZES)
def test_pillow_reads_back_the_pixels(target, width, height):
    pixels = random_pixels(width, height, seed=1)
    m._writePng(str(target), width, height, pixels)
    with Image.open(target) as image:
        assert image.mode == "RGB"
        assert image.size == (width, height)
        assert image.tobytes() == pixels


@pytest.mark.parametrize("width, height", SIZES)
def test_decoder_reads_back_the_pixels(target, width, height):
    pixels = random_pixels(width, height, seed=2)
    m._writePng(str(target), width, height, pixels)
    with open(target, "rb") as stream:
        assert SimpleImage._streamToImage(stream) == (width, height, bytearray(pixels))


@pytest.mark.skipif(shutil.which("pngcheck") is None, reason="pngcheck not installed")
@pytest.mark.parametrize("width, height", SIZES)
def test_pngcheck_accepts_the_file(target, width, height):
    m._writePng(str(target), width, height, random_pixels(width, height, seed=3))
    done = subprocess.run(["pngcheck", "-q", str(target)], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("width, height", [(0, 3), (3, 0), (0, 0)])
def test_zero_dimensions_hold_valid_zlib_streams(target, width, height):
    m._writePng(str(target), width, height, b"")
    written = target.read_bytes()
    length = struct.unpack(">I", written[33:37])[0]
    assert zlib.decompress(written[41:41 + length]) == bytes(height)


@pytest.mark.parametrize(
    "as_given",
    [bytes, list, bytearray, memoryview, lambda p: type("Sub", (bytearray,), {})(p)],
    ids=["bytes", "list", "bytearray", "memoryview", "bytearray-subclass"],
)
def test_pixel_containers_write_the_same_file(target, as_given):
    pixels = random_pixels(3, 2, seed=4)
    m._writePng(str(target), 3, 2, as_given(pixels))
    assert target.read_bytes() == reference_png(3, 2, pixels)


@pytest.mark.parametrize("path_type", [str, pathlib.Path, lambda p: str(p).encode()], ids=["str", "Path", "bytes"])
def test_path_types(target, path_type):
    m._writePng(path_type(target), 1, 1, b"\x01\x02\x03")
    assert target.read_bytes() == reference_png(1, 1, b"\x01\x02\x03")


def test_bytearray_is_not_modified(target):
    pixels = bytearray(random_pixels(4, 4))
    before = bytes(pixels)
    m._writePng(str(target), 4, 4, pixels)
    assert pixels == before


def test_existing_file_is_replaced(existing):
    m._writePng(str(existing), 1, 1, b"\x01\x02\x03")
    assert existing.read_bytes() == reference_png(1, 1, b"\x01\x02\x03")


def test_longer_buffer_ignores_the_surplus(target):
    pixels = random_pixels(2, 2)
    m._writePng(str(target), 2, 2, pixels + b"surplus")
    assert target.read_bytes() == reference_png(2, 2, pixels)


@pytest.mark.parametrize("width, height, length", [(1, 1, 0), (1, 1, 2), (2, 2, 11), (5, 3, 3 * 14), (3, 1000, 8999)])
def test_short_buffer_is_refused_before_the_file_is_touched(existing, tmp_path, width, height, length):
    for path in (existing, tmp_path / "new.png"):
        with pytest.raises(ValueError) as caught:
            m._writePng(str(path), width, height, bytes(length))
        assert caught.value.args == ("Pixel data length does not match image dimensions",)
    assert existing.read_bytes() == OLD_CONTENT
    assert not (tmp_path / "new.png").exists()


@pytest.mark.parametrize(
    "width, height, pixels, error",
    [
        (-1, 1, b"", struct.error),
        (1, -1, b"", struct.error),
        (-2**31, 0, b"", struct.error),
        (1, 1, None, TypeError),
        (1, 1, "abc", TypeError),
        (1, 1, 1.5, TypeError),
        (1, 1, [1, 2, 256], ValueError),
        (1, 1, [1, 2, -1], ValueError),
        (2**31, 1, b"", OverflowError),
        ("1", 1, b"", TypeError),
    ],
)
def test_failures_leave_the_file_system_untouched(existing, tmp_path, width, height, pixels, error):
    for path in (existing, tmp_path / "new.png"):
        with pytest.raises(error):
            m._writePng(str(path), width, height, pixels)
    assert existing.read_bytes() == OLD_CONTENT
    assert not (tmp_path / "new.png").exists()


def test_negative_width_is_checked_before_the_pixels(target):
    with pytest.raises(struct.error):
        m._writePng(str(target), -1, 1, None)
    assert not target.exists()


def test_missing_directory_raises_the_hosts_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        m._writePng(str(tmp_path / "missing" / "out.png"), 1, 1, b"\x00\x00\x00")


def test_whole_file_is_prepared_before_opening(tmp_path, monkeypatch):
    path = tmp_path / "out.png"
    calls = []
    original = m._makeChunk

    def recording(chunk_type, data):
        assert not path.exists(), "file opened before its chunks were made"
        calls.append((chunk_type, data))
        return original(chunk_type, data)

    monkeypatch.setattr(m, "_makeChunk", recording)
    m._writePng(str(path), 1, 1, b"\x01\x02\x03")
    assert calls == [
        (b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0)),
        (b"IDAT", zlib.compress(b"\x00\x01\x02\x03")),
        (b"IEND", b""),
    ]
    assert path.read_bytes() == reference_png(1, 1, b"\x01\x02\x03")


def test_chunk_maker_failure_leaves_the_file_alone(existing, monkeypatch):
    original = m._makeChunk

    def failing(chunk_type, data):
        if chunk_type == b"IEND":
            raise RuntimeError("no end chunk")
        return original(chunk_type, data)

    monkeypatch.setattr(m, "_makeChunk", failing)
    with pytest.raises(RuntimeError, match="^no end chunk$"):
        m._writePng(str(existing), 1, 1, b"\x01\x02\x03")
    assert existing.read_bytes() == OLD_CONTENT


def test_missing_signature_global_leaves_the_file_alone(existing, monkeypatch):
    monkeypatch.delattr(m, "PNG_SIGNATURE")
    with pytest.raises(NameError) as caught:
        m._writePng(str(existing), 1, 1, b"\x01\x02\x03")
    assert caught.value.args == ("name 'PNG_SIGNATURE' is not defined",)
    assert existing.read_bytes() == OLD_CONTENT


def test_globals_are_looked_up_at_call_time(target, monkeypatch):
    compressed_calls = []

    class RecordingZlib:
        def compress(self, data):
            compressed_calls.append(data)
            return zlib.compress(data)

        def crc32(self, *args):
            return zlib.crc32(*args)

    monkeypatch.setattr(m, "zlib", RecordingZlib())
    monkeypatch.setattr(m, "PNG_SIGNATURE", b"SIGNATUR")
    m._writePng(str(target), 1, 1, b"\x01\x02\x03")
    assert compressed_calls == [b"\x00\x01\x02\x03"]
    assert type(compressed_calls[0]) is bytes
    assert target.read_bytes() == b"SIGNATUR" + reference_png(1, 1, b"\x01\x02\x03")[8:]


@pytest.mark.skipif(not pathlib.Path("/dev/full").exists(), reason="no /dev/full")
def test_failing_write_propagates_the_hosts_error():
    with pytest.raises(OSError) as caught:
        m._writePng("/dev/full", 64, 64, bytes(64 * 64 * 3))
    assert caught.value.errno == 28


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "_writePng() takes exactly 4 positional arguments (0 given)"),
        (("p", 1, 1), {}, "_writePng() takes exactly 4 positional arguments (3 given)"),
        (("p", 1, 1, b"", 5), {}, "_writePng() takes exactly 4 positional arguments (5 given)"),
        (("p", 1, 1, b""), {"width": 1}, "_writePng() got multiple values for keyword argument 'width'"),
        (("p", 1, 1, b""), {"colour": 1}, "_writePng() got an unexpected keyword argument 'colour'"),
        (("p",), {"width": 1, "pixels": b""}, "_writePng() takes exactly 4 positional arguments (2 given)"),
    ],
)
def test_argument_binding(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        m._writePng(*args, **kwargs)
    assert caught.value.args == (message,)


def test_keyword_arguments_and_integer_conversion(target):
    m._writePng(pixels=b"\x01\x02\x03" * 2, height=1.9, width=True, path=str(target))
    assert target.read_bytes() == reference_png(1, 1, b"\x01\x02\x03")
