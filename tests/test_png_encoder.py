"""_writePng: the file it writes, byte for byte. What the two encoders share
is in test_open_save.py, what a failure leaves in test_failed_saves.py."""
import pathlib
import shutil
import struct
import subprocess
import zlib

import pytest
from PIL import Image

from builders import IEND, PNG_SIGNATURE, chunk, png_bytes, random_pixels
from Quorvel import tessarin_ext as m

SIZES = [(1, 1), (1, 6), (6, 1), (2, 3), (5, 5), (31, 7), (64, 48)]


def test_one_pixel_layout(target):
    m._writePng(str(target), 1, 1, bytearray([10, 20, 30]))
    written = target.read_bytes()
    compressed = zlib.compress(bytes([0, 10, 20, 30]))
    assert written[:8] == PNG_SIGNATURE
    assert written[8:33] == chunk(b"IHDR", bytes.fromhex("00000001000000010802000000"))
    assert written[33:-12] == chunk(b"IDAT", compressed)
    assert written[-12:] == IEND
    assert len(written) == 57 + len(compressed)


@pytest.mark.parametrize("width, height", SIZES + [(0, 0), (0, 4), (4, 0)])
def test_file_equals_reference(target, width, height):
    pixels = random_pixels(width, height)
    assert m._writePng(str(target), width, height, bytearray(pixels)) is None
    assert target.read_bytes() == png_bytes(width, height, pixels)


@pytest.mark.parametrize("width, height", SIZES)
def test_pillow_reads_back_the_pixels(target, width, height):
    pixels = random_pixels(width, height, seed=1)
    m._writePng(str(target), width, height, pixels)
    with Image.open(target) as image:
        assert image.mode == "RGB"
        assert image.size == (width, height)
        assert image.tobytes() == pixels


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
    assert path.read_bytes() == png_bytes(1, 1, b"\x01\x02\x03")


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
    assert target.read_bytes() == b"SIGNATUR" + png_bytes(1, 1, b"\x01\x02\x03")[8:]


@pytest.mark.skipif(not pathlib.Path("/dev/full").exists(), reason="no /dev/full")
def test_failing_write_propagates_the_hosts_error():
    with pytest.raises(OSError) as caught:
        m._writePng("/dev/full", 64, 64, bytes(64 * 64 * 3))
    assert caught.value.errno == 28
