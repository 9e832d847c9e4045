"""The BMP codec: the decoder through SimpleImage._streamToImage and open, and
the file _writeBmp writes. Files are built with the helpers of builders.py.
What the two encoders share is in test_open_save.py, what a failure leaves in
test_failed_saves.py."""
import concurrent.futures
import io
import os
import random
import shutil
import struct
import subprocess
import sys

import pytest
from PIL import Image

from builders import BytesSubclass, RecordingStream, bmp_bytes as bmp, bmp_headers, corpus_dir, random_pixels
from Quorvel import tessarin_ext as m
from Quorvel.tessarin_ext import SimpleImage

EXAMPLE_1X1 = bytes.fromhex(
    "424d3a0000000000000036000000280000000100000001000000010018000000000004000000130b0000130b0000"
    "000000000000000033221100"
)


def decode(data: bytes):
    return SimpleImage._streamToImage(io.BytesIO(data))


# --- decoder: messages and their order ----------------------------------------


@pytest.mark.parametrize(
    "data, message",
    [
        (b"BM" + bytes(11), "Unsupported BMP header"),
        (b"BM", "Unsupported BMP header"),
        (b"BM" + bytes(12), "Corrupted BMP DIB header"),
        (b"BM" + bytes(12) + b"\x28\x00\x00", "Corrupted BMP DIB header"),
        (b"BM" + bytes(12) + struct.pack("<I", 12) + bytes(36), "Only BITMAPINFOHEADER BMP files are supported"),
        (b"BM" + bytes(12) + struct.pack("<I", 0), "Only BITMAPINFOHEADER BMP files are supported"),
        (bmp_headers(1, 1, header_size=108), "Only BITMAPINFOHEADER BMP files are supported"),
        (bmp_headers(1, 1, header_size=124), "Only BITMAPINFOHEADER BMP files are supported"),
        (bmp_headers(1, 1, header_size=66), "Only BITMAPINFOHEADER BMP files are supported"),
        (bmp_headers(1, 1, bpp=8), "Only uncompressed 24-bit BMP files are supported"),
        (bmp_headers(1, 1, bpp=32), "Only uncompressed 24-bit BMP files are supported"),
        (bmp_headers(1, 1, bpp=1), "Only uncompressed 24-bit BMP files are supported"),
        (bmp_headers(1, 1, compression=1), "Only uncompressed 24-bit BMP files are supported"),
        (bmp_headers(1, 1, compression=2), "Only uncompressed 24-bit BMP files are supported"),
        (bmp_headers(1, 1, compression=3), "Only uncompressed 24-bit BMP files are supported"),
        (bmp_headers(1, 1, planes=0), "Only uncompressed 24-bit BMP files are supported"),
        (bmp_headers(1, 1, planes=2, bpp=8, compression=1), "Only uncompressed 24-bit BMP files are supported"),
        (bmp_headers(1, 1), "Incomplete BMP pixel data"),
        (bmp_headers(1, 1) + b"\x01\x02\x03", "Incomplete BMP pixel data"),
        (bmp_headers(2, 2) + bytes(15), "Incomplete BMP pixel data"),
        (bmp_headers(1, 1, offset=1000) + bytes(4), "Incomplete BMP pixel data"),
    ],
)
def test_decoder_messages(data, message):
    with pytest.raises(ValueError) as caught:
        decode(data)
    assert caught.value.args == (message,)


def test_ba_signature_is_not_a_bmp_header():
    stream = RecordingStream(b"BA" + bytes(60), convert=lambda call, data: b"BM" + data[2:] if call == 1 else data)
    with pytest.raises(ValueError) as caught:
        SimpleImage._streamToImage(stream)
    assert caught.value.args == ("Unsupported BMP header",)


@pytest.mark.parametrize("length", [0, 20, 35, 37])
def test_info_header_of_wrong_length_is_a_struct_error(length):
    class Stream(RecordingStream):
        def read(self, n):
            data = super().read(n)
            return data[:length] + bytes(max(0, length - len(data))) if n == 36 else data

    with pytest.raises(struct.error):
        SimpleImage._streamToImage(Stream(bmp(1, 1, b"\x01\x02\x03")))


@pytest.mark.parametrize("width, height", [(-1, 1), (-5, -3), (-2**31, 1)])
def test_negative_width_is_the_hosts_bytearray_error(width, height):
    with pytest.raises(ValueError) as host:
        bytearray(-3)
    with pytest.raises(ValueError) as caught:
        decode(bmp_headers(width, height) + bytes(100))
    assert caught.value.args == host.value.args


def test_negative_width_without_rows():
    assert decode(bmp_headers(-5, 0)) == (-5, 0, bytearray())


def test_bytearray_rows_are_refused():
    stream = RecordingStream(bmp(1, 1, b"\x01\x02\x03"), convert=lambda call, data: bytearray(data))
    with pytest.raises(TypeError) as caught:
        SimpleImage._streamToImage(stream)
    assert caught.value.args == ("Expected bytes, got bytearray",)
    assert stream.calls[-2:] == [("seek", 54), ("read", 4)]


@pytest.mark.parametrize(
    "row, error, message",
    [
        (None, TypeError, "object of type 'NoneType' has no len()"),
        (BytesSubclass(4), TypeError, "Expected bytes, got BytesSubclass"),
        ("abcd", TypeError, "Expected bytes, got str"),
        (bytes(5), ValueError, "Incomplete BMP pixel data"),
        (bytes(3), ValueError, "Incomplete BMP pixel data"),
    ],
)
def test_row_read_results(row, error, message):
    stream = RecordingStream(bmp(1, 1, b"\x01\x02\x03"), convert=lambda call, data: row if call == 5 else data)
    with pytest.raises(error) as caught:
        SimpleImage._streamToImage(stream)
    assert caught.value.args == (message,)


def test_stream_errors_pass_through():
    class FailingSeek(RecordingStream):
        def seek(self, position):
            if position == 54:
                raise OSError("cannot seek")
            return super().seek(position)

    with pytest.raises(OSError, match="^cannot seek$"):
        SimpleImage._streamToImage(FailingSeek(bmp(1, 1, b"\x01\x02\x03")))


# --- decoder: worked examples and layout ---------------------------------------


def test_example_1x1():
    assert decode(EXAMPLE_1X1) == (1, 1, bytearray.fromhex("112233"))
    top_down = EXAMPLE_1X1[:22] + b"\xff\xff\xff\xff" + EXAMPLE_1X1[26:]
    assert decode(top_down) == (1, 1, bytearray.fromhex("112233"))


def test_example_2x2_bottom_up_and_top_down():
    stored = bytes.fromhex("09080 70c0b0a0000 0302010605040000".replace(" ", ""))
    bottom_up = bmp_headers(2, 2) + stored
    assert decode(bottom_up) == (2, 2, bytearray(range(1, 13)))
    top_down = bmp_headers(2, -2) + stored
    assert decode(top_down) == (2, 2, bytearray([9, 8, 7][::-1] + [12, 11, 10][::-1] + [3, 2, 1][::-1] + [6, 5, 4][::-1]))


def test_first_stored_row_placement():
    first = bytes([1, 2, 3, 4, 5, 6, 0xEE, 0xEE])
    rest = bytes([7, 8, 9, 10, 11, 12, 0xEE, 0xEE])
    assert decode(bmp_headers(2, 2) + first + rest)[2][6:12] == bytearray([3, 2, 1, 6, 5, 4])
    assert decode(bmp_headers(2, -2) + first + rest)[2][0:6] == bytearray([3, 2, 1, 6, 5, 4])


def test_width_4_has_no_padding():
    pixels = random_pixels(4, 3)
    stream = RecordingStream(bmp(4, 3, pixels))
    assert SimpleImage._streamToImage(stream) == (4, 3, bytearray(pixels))
    assert stream.calls[-3:] == [("read", 12)] * 3


def test_height_zero_seeks_and_reads_nothing_more():
    stream = RecordingStream(bmp_headers(5, 0, offset=77) + bytes(100))
    assert SimpleImage._streamToImage(stream) == (5, 0, bytearray())
    assert stream.calls == [("read", 8), ("seek", 0), ("read", 14), ("read", 4), ("read", 36), ("seek", 77)]


def test_width_zero_reads_every_empty_row_of_a_custom_stream():
    stream = RecordingStream(bmp_headers(0, 5))
    assert SimpleImage._streamToImage(stream) == (0, 5, bytearray())
    assert stream.calls[-6:] == [("seek", 54)] + [("read", 0)] * 5


@pytest.mark.parametrize("height", [2**31 - 1, -2**31])
def test_width_zero_with_huge_height_for_host_streams(tmp_path, height):
    path = tmp_path / "empty.bmp"
    path.write_bytes(bmp_headers(0, height))
    # In a child process, so that reading 2**31 empty rows one by one shows
    # up as a failure instead of a stalled run.
    script = f"""
import io
from Quorvel.tessarin_ext import SimpleImage
data = open({str(path)!r}, "rb").read()
assert SimpleImage._streamToImage(io.BytesIO(data)) == (0, {abs(height)}, bytearray())
with open({str(path)!r}, "rb") as stream:
    assert SimpleImage._streamToImage(stream) == (0, {abs(height)}, bytearray())
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr


def test_offset_zero_reads_rows_from_the_start():
    data = bmp_headers(1, 1, offset=0) + b"\x00\x00\x00\x00"
    assert decode(data) == (1, 1, bytearray([data[2], data[1], data[0]]))


def test_colour_table_and_ignored_fields():
    pixels = random_pixels(3, 2)
    table = bytes(random.Random(1).randrange(256) for _ in range(1024))
    rows = bmp(3, 2, pixels)[54:]
    data = bmp_headers(3, 2, offset=54 + 1024, file_size=0, reserved=(7, 65535), image_size=123456,
                       resolution=(-1, 0), colours=(256, 99)) + table + rows
    assert decode(data) == (3, 2, bytearray(pixels))


def test_bytes_after_the_last_row_are_not_read():
    stream = RecordingStream(bmp(1, 2, b"\x01\x02\x03\x04\x05\x06") + b"trailing garbage")
    assert SimpleImage._streamToImage(stream) == (1, 2, bytearray([1, 2, 3, 4, 5, 6]))
    assert stream.calls[-2:] == [("read", 4), ("read", 4)]
    assert stream.tell() == 54 + 8


def test_row_start_outside_the_signed_range_overflows():
    class Rows(RecordingStream):
        def read(self, n):
            return super().read(n) if n in (8, 14, 4, 36) else bytes(n)

    # Width 2**20 with 2**10 rows: the first stored row lands at row 1023,
    # which starts at 1023 * 3 * 2**20 bytes, past 2**31.
    with pytest.raises(OverflowError):
        SimpleImage._streamToImage(Rows(bmp_headers(1 << 20, 1 << 10)))


# --- decoder: the streams open makes ------------------------------------------
# open reads the rows of a file it opened, or of bytes it wrapped in the host's
# own BytesIO, in one call. The outcome must be exactly that of the row-by-row
# reads a caller's stream gets.


def outcome_of(decode_call):
    """The decoded (width, height, pixels), or the error's type and arguments."""
    try:
        return decode_call()
    except Exception as error:
        return type(error), error.args


def row_by_row(data: bytes):
    return outcome_of(lambda: SimpleImage._streamToImage(RecordingStream(data)))


def opened(source):
    def decode_call():
        image = SimpleImage.open(source)
        return image.width, image.height, image._pixels

    return outcome_of(decode_call)


def cut_short(data: bytes) -> list[bytes]:
    """`data` whole and cut at the places where a read can come up short."""
    ends = {len(data), len(data) - 1, (54 + len(data)) // 2, 57, 54, 40}
    return [data[:end] for end in sorted(ends) if end >= 0]


def assert_open_reads_as_rows_do(data: bytes, path):
    expected = row_by_row(data)
    path.write_bytes(data)
    for source in (str(path), data, bytearray(data), BytesSubclass(data)):
        assert opened(source) == expected, (type(source), len(data))


BMP_LAYOUTS = [(width, height) for width in (1, 2, 3, 4, 5, 7, 8, 33) for height in (1, 2, 3, 6, -1, -2, -5)]


@pytest.mark.parametrize("width, height", BMP_LAYOUTS)
def test_open_reads_as_rows_do(tmp_path, width, height):
    for data in cut_short(bmp(width, height, random_pixels(width, abs(height), seed=7))):
        assert_open_reads_as_rows_do(data, tmp_path / "image.bmp")


@pytest.mark.parametrize("data", [
    bmp(3, 2, random_pixels(3, 2), offset=1000) + bytes(2000),
    bmp_headers(3, 2, offset=1000) + bytes(100),
    bmp_headers(2, 3, offset=0) + bytes(24),
    bmp(5, -3, random_pixels(5, 3)) + b"trailing bytes",
    bmp_headers(0, 7) + bytes(10),
    bmp_headers(-2, 3) + bytes(10),
    bmp_headers(4, 0),
    # Row starts past the signed 32-bit range: the OverflowError comes after
    # the first row's read, or the short read's error before it.
    bmp_headers(1 << 20, 1 << 10) + bytes(3 << 20),
    bmp_headers(1 << 20, 1 << 10) + bytes(100),
    bmp_headers(1 << 20, -(1 << 10)) + bytes(100),
], ids=["offset-past-headers", "offset-past-end", "offset-zero", "trailing", "width-zero", "width-negative",
        "height-zero", "overflow", "overflow-short", "overflow-top-down-short"])
def test_open_reads_odd_layouts_as_rows_do(tmp_path, data):
    assert_open_reads_as_rows_do(data, tmp_path / "image.bmp")


def corpus_bmps() -> list:
    found = corpus_dir()
    return sorted(found.glob("bmp*/**/*.bmp")) if found else []


@pytest.mark.corpus
@pytest.mark.skipif(not corpus_bmps(), reason="no BMP files in the corpus")
@pytest.mark.parametrize("path", corpus_bmps(), ids=lambda path: f"{path.parent.name}/{path.name}")
def test_open_reads_corpus_files_as_rows_do(tmp_path, path):
    for data in cut_short(path.read_bytes()):
        assert_open_reads_as_rows_do(data, tmp_path / "image.bmp")


class RecordingBytesIO(io.BytesIO):
    """The host's BytesIO, logging each read, readinto and seek in `calls`."""

    def __init__(self, data, calls):
        super().__init__(data)
        self.calls = calls

    def read(self, n=-1):
        self.calls.append(("read", n))
        return super().read(n)

    def readinto(self, buffer):
        self.calls.append(("readinto", len(buffer)))
        return super().readinto(buffer)

    def seek(self, position, whence=0):
        self.calls.append(("seek", position))
        return super().seek(position, whence)


@pytest.mark.parametrize("make_stream", [RecordingBytesIO, lambda data, calls: RecordingStream(data, calls=calls)],
                         ids=["bytesio-subclass", "other-type"])
def test_a_replaced_bytesio_sees_every_row_read(monkeypatch, make_stream):
    calls = []
    monkeypatch.setattr(m, "BytesIO", lambda data: make_stream(data, calls))
    pixels = random_pixels(5, 3)
    assert SimpleImage.open(bmp(5, 3, pixels))._pixels == bytearray(pixels)
    headers = [("read", 8), ("seek", 0), ("read", 14), ("read", 4), ("read", 36), ("seek", 54)]
    assert calls == headers + [("read", 16)] * 3


def test_an_override_of_stream_to_image_sees_every_row_read(tmp_path):
    calls = []

    class Recorded(SimpleImage):
        @staticmethod
        def _streamToImage(stream):
            return SimpleImage._streamToImage(RecordingStream(stream.read(), calls=calls))

    path = tmp_path / "image.bmp"
    path.write_bytes(bmp(2, 4, random_pixels(2, 4)))
    for source in (str(path), path.read_bytes()):
        calls.clear()
        assert Recorded.open(source)._pixels == bytearray(random_pixels(2, 4))
        assert calls[-4:] == [("read", 8)] * 4


def read_system_calls() -> int:
    with open("/proc/self/io") as counters:
        return next(int(line.split()[1]) for line in counters if line.startswith("syscr:"))


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="no per-process read counts here")
@pytest.mark.cpython_only("bytearrays made without zeroing, which reading all rows at once needs")
def test_a_file_opened_by_path_is_read_in_a_few_calls(tmp_path):
    # 512 rows of 768 bytes: read row by row through the host's 8 KiB
    # buffer, about 48 system calls.
    path = tmp_path / "image.bmp"
    path.write_bytes(bmp(256, 512, random_pixels(256, 512)))
    before = read_system_calls()
    SimpleImage.open(str(path))
    assert read_system_calls() - before <= 6


# --- decoder: peers ------------------------------------------------------------

PEER_SIZES = [(1, 1), (1, 5), (2, 2), (3, 7), (4, 4), (5, 3), (37, 11)]


@pytest.mark.parametrize("width, height", PEER_SIZES)
def test_files_written_by_pillow(tmp_path, width, height):
    pixels = random_pixels(width, height, seed=5)
    path = tmp_path / "pillow.bmp"
    Image.frombytes("RGB", (width, height), pixels).save(path, "BMP")
    assert SimpleImage.open(str(path))._pixels == bytearray(pixels)
    with Image.open(path) as image:
        assert decode(path.read_bytes()) == (width, height, bytearray(image.convert("RGB").tobytes()))


def imagemagick():
    for name in ("convert-im6.q16", "convert"):
        found = shutil.which(name)
        if found:
            return found
    return None


@pytest.mark.skipif(imagemagick() is None, reason="ImageMagick not installed")
@pytest.mark.parametrize("width, height", PEER_SIZES)
def test_files_written_by_imagemagick(tmp_path, width, height):
    pixels = random_pixels(width, height, seed=6)
    source, target = tmp_path / "in.png", tmp_path / "out.bmp"
    Image.frombytes("RGB", (width, height), pixels).save(source)
    subprocess.run([imagemagick(), str(source), f"BMP3:{target}"], check=True, capture_output=True)
    with Image.open(target) as image:
        expected = image.convert("RGB").tobytes()
    assert expected == pixels
    assert decode(target.read_bytes()) == (width, height, bytearray(expected))


# --- encoder ---------------------------------------------------------------------


def test_write_example_1x1(target):
    m._writeBmp(str(target), 1, 1, bytearray.fromhex("112233"))
    assert target.read_bytes() == EXAMPLE_1X1


def test_write_example_2x2(target):
    m._writeBmp(str(target), 2, 2, bytearray(range(1, 13)))
    written = target.read_bytes()
    assert len(written) == 70
    assert written == bmp_headers(2, 2) + bytes.fromhex("0908070c0b0a00000302010605040000")


@pytest.mark.parametrize("width, height", [(0, 0), (4, 0), (0, 2), (2**31 - 1, 0)])
def test_write_headers_only(target, width, height):
    m._writeBmp(str(target), width, height, b"")
    written = target.read_bytes()
    assert written == bmp_headers(width, height, image_size=0, file_size=54)
    assert decode(written) == (width, height, bytearray())


@pytest.mark.parametrize("width, height", PEER_SIZES + [(64, 33)])
def test_write_matches_reference_and_pillow(target, width, height):
    pixels = random_pixels(width, height, seed=7)
    m._writeBmp(str(target), width, height, pixels)
    assert target.read_bytes() == bmp(width, height, pixels)
    with Image.open(target) as image:
        assert image.size == (width, height)
        assert image.convert("RGB").tobytes() == pixels


def struct_error_of(*values):
    with pytest.raises(struct.error) as caught:
        struct.pack("<IIIHHIIIIII", *values)
    return caught.value.args


def test_negative_height_struct_error_is_the_hosts():
    with pytest.raises(struct.error) as caught:
        m._writeBmp("/nonexistent-dir/x.bmp", 1, -1, b"\x00\x00\x00")
    assert caught.value.args == struct_error_of(40, 1, -1, 1, 24, 0, 0, 2835, 2835, 0, 0)


def test_struct_global_is_looked_up_at_call_time(target, monkeypatch):
    formats = []

    class RecordingStruct:
        error = struct.error

        def pack(self, fmt, *values):
            formats.append((fmt, values))
            return struct.pack(fmt, *values)

    monkeypatch.setattr(m, "struct", RecordingStruct())
    m._writeBmp(str(target), 1, 1, bytes.fromhex("112233"))
    assert formats == [("<IHHI", (58, 0, 0, 54)), ("<IIIHHIIIIII", (40, 1, 1, 1, 24, 0, 4, 2835, 2835, 0, 0))]
    assert target.read_bytes() == EXAMPLE_1X1


# The module's own files go to their descriptor in blocks of 256 KiB (rows longer than
# one, a last one partly filled); a pipe, which may wait on its reader, to the host's writer.
@pytest.mark.parametrize("width, height", [(1001, 700), (90_000, 10)])
@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="named pipes are POSIX")
def test_write_large_files_to_a_file_and_a_pipe(tmp_path, width, height):
    pixels = random_pixels(width, height, seed=3)
    os.mkfifo(tmp_path / "pipe")
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        read = pool.submit((tmp_path / "pipe").read_bytes)
        for name in ("pipe", "file"):
            m._writeBmp(str(tmp_path / name), width, height, pixels)
    assert read.result() == (tmp_path / "file").read_bytes() == bmp(width, height, pixels)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_failing_write_raises_the_hosts_error():
    with pytest.raises(OSError) as caught:
        m._writeBmp("/dev/full", 90_000, 10, bytes(90_000 * 10 * 3))
    with pytest.raises(OSError) as host_error, open("/dev/full", "wb") as full:
        full.write(bytes(1 << 16))
    assert (type(caught.value), caught.value.args) == (type(host_error.value), host_error.value.args)
