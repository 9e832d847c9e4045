"""The BMP codec: the decoder through SimpleImage._streamToImage and open, and
_writeBmp. Files are built here with struct.pack."""
import io
import pathlib
import random
import shutil
import struct
import subprocess
import sys

import pytest
from PIL import Image

from conftest import peak_rss_mib
from Quorvel import tessarin_ext as m
from Quorvel.tessarin_ext import SimpleImage

OLD_CONTENT = b"previous content"
EXAMPLE_1X1 = bytes.fromhex(
    "424d3a0000000000000036000000280000000100000001000000010018000000000004000000130b0000130b0000"
    "000000000000000033221100"
)


def row_stride(width: int) -> int:
    return (width * 3 + 3) // 4 * 4


def bmp_headers(width, height, *, offset=54, header_size=40, planes=1, bpp=24, compression=0,
                file_size=None, reserved=(0, 0), image_size=None, resolution=(2835, 2835), colours=(0, 0)):
    pixel_bytes = max(0, row_stride(width) * abs(height))
    file_header = b"BM" + struct.pack(
        "<IHHI", (54 + pixel_bytes) & 0xFFFFFFFF if file_size is None else file_size, *reserved, offset)
    info = struct.pack("<I", header_size) + struct.pack(
        "<iiHHIIiiII", width, height, planes, bpp, compression,
        pixel_bytes & 0xFFFFFFFF if image_size is None else image_size, *resolution, *colours)
    return file_header + info


def stored_rows(width: int, rows_top_down: list[bytes], bottom_up: bool = True) -> bytes:
    """The pixel array for RGB rows: blue-green-red, zero-padded."""
    pad = bytes(row_stride(width) - 3 * width)
    stored = [b"".join(bytes(row[i:i + 3][::-1]) for i in range(0, 3 * width, 3)) + pad for row in rows_top_down]
    return b"".join(reversed(stored) if bottom_up else stored)


def bmp(width: int, height: int, pixels: bytes, **fields) -> bytes:
    rows = [pixels[y * 3 * width:(y + 1) * 3 * width] for y in range(abs(height))]
    return bmp_headers(width, height, **fields) + stored_rows(width, rows, bottom_up=height > 0)


def decode(data: bytes):
    return SimpleImage._streamToImage(io.BytesIO(data))


def random_pixels(width, height, seed=0) -> bytes:
    rng = random.Random(f"{seed}-{width}-{height}")
    return bytes(rng.randrange(256) for _ in range(width * height * 3))


class RecordingStream:
    """Logs reads and seeks; `convert(number_of_the_read, data)` may change
    what a read returns."""

    def __init__(self, data: bytes, convert=None):
        self._inner = io.BytesIO(data)
        self._convert = convert
        self.calls = []
        self.reads = 0

    def read(self, n):
        self.calls.append(("read", n))
        self.reads += 1
        data = self._inner.read(n)
        return self._convert(self.reads, data) if self._convert else data

    def seek(self, position):
        self.calls.append(("seek", position))
        return self._inner.seek(position)


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


class BytesSubclass(bytes):
    pass


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
    assert stream._inner.tell() == 54 + 8


def test_row_start_outside_the_signed_range_overflows():
    class Rows(RecordingStream):
        def read(self, n):
            return super().read(n) if n in (8, 14, 4, 36) else bytes(n)

    # Width 2**20 with 2**10 rows: the first stored row lands at row 1023,
    # which starts at 1023 * 3 * 2**20 bytes, past 2**31.
    with pytest.raises(OverflowError):
        SimpleImage._streamToImage(Rows(bmp_headers(1 << 20, 1 << 10)))


def test_huge_declared_image_fails_without_touching_memory():
    rss = peak_rss_mib(f"""
import io
from Quorvel.tessarin_ext import SimpleImage
data = {bmp_headers(40000, 40000)!r}
assert len(data) == 54
try:
    SimpleImage._streamToImage(io.BytesIO(data))
except ValueError as error:
    assert error.args == ("Incomplete BMP pixel data",), error.args
else:
    raise AssertionError("decoded")
""")
    assert rss < 150


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


@pytest.fixture
def target(tmp_path):
    return tmp_path / "out.bmp"


@pytest.fixture
def existing(tmp_path):
    path = tmp_path / "existing.bmp"
    path.write_bytes(OLD_CONTENT)
    return path


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


@pytest.mark.parametrize("seed", range(25))
def test_round_trip_of_random_images(target, seed):
    rng = random.Random(seed)
    width, height = rng.randrange(0, 40), rng.randrange(0, 40)
    pixels = random_pixels(width, height, seed=seed)
    m._writeBmp(str(target), width, height, bytearray(pixels))
    image = SimpleImage.open(str(target))
    assert (image.width, image.height, image._pixels) == (width, height, bytearray(pixels))


@pytest.mark.parametrize(
    "as_given",
    [bytes, list, bytearray, memoryview, lambda p: type("Sub", (bytearray,), {})(p)],
    ids=["bytes", "list", "bytearray", "memoryview", "bytearray-subclass"],
)
def test_pixel_containers_write_the_same_file(target, as_given):
    pixels = random_pixels(3, 2, seed=8)
    m._writeBmp(str(target), 3, 2, as_given(pixels))
    assert target.read_bytes() == bmp(3, 2, pixels)


def test_integer_pixels_write_a_black_image(target):
    m._writeBmp(str(target), 2, 2, 12)
    assert target.read_bytes() == bmp(2, 2, bytes(12))


def test_longer_buffer_ignores_the_surplus(target):
    pixels = random_pixels(2, 3)
    m._writeBmp(str(target), 2, 3, pixels + b"surplus")
    assert target.read_bytes() == bmp(2, 3, pixels)


def test_bytearray_is_not_modified(target):
    pixels = bytearray(random_pixels(5, 5))
    before = bytes(pixels)
    m._writeBmp(str(target), 5, 5, pixels)
    assert pixels == before


@pytest.mark.parametrize("path_type", [str, pathlib.Path, lambda p: str(p).encode()], ids=["str", "Path", "bytes"])
def test_path_types(target, path_type):
    m._writeBmp(path_type(target), 1, 1, bytes.fromhex("112233"))
    assert target.read_bytes() == EXAMPLE_1X1


def test_existing_file_is_replaced(existing):
    m._writeBmp(str(existing), 1, 1, bytes.fromhex("112233"))
    assert existing.read_bytes() == EXAMPLE_1X1


def struct_error_of(*values):
    with pytest.raises(struct.error) as caught:
        struct.pack("<IIIHHIIIIII", *values)
    return caught.value.args


@pytest.mark.parametrize(
    "width, height, pixels, error, message",
    [
        (1, -1, b"\x00\x00\x00", struct.error, None),
        (-1, 1, b"", struct.error, None),
        (-1, 0, b"", struct.error, None),
        (1, 1, b"\x00\x00", IndexError, "bytearray index out of range"),
        (2, 2, bytes(11), IndexError, "bytearray index out of range"),
        (3, 1000, bytes(8999), IndexError, "bytearray index out of range"),
        # Three times this width plus 3 leaves the 32-bit range; the row is
        # 2**31 bytes long, so the headers pack and the buffer is too short.
        (715827882, 1, b"", IndexError, "bytearray index out of range"),
        (2**31 - 1, 1, b"", struct.error, None),  # pixel data of 4 GiB or more
        (30000, 50000, b"", struct.error, None),
        (1, 1, None, TypeError, None),
        (1, 1, "abc", TypeError, None),
        (1, 1, [0, 0, 256], ValueError, None),
        (2**31, 1, b"", OverflowError, None),
        (1, object(), b"", TypeError, "an integer is required"),
    ],
)
def test_failures_leave_the_file_system_untouched(existing, tmp_path, width, height, pixels, error, message):
    for path in (existing, tmp_path / "new.bmp"):
        with pytest.raises(error) as caught:
            m._writeBmp(str(path), width, height, pixels)
        if message is not None:
            assert caught.value.args == (message,)
    assert existing.read_bytes() == OLD_CONTENT
    assert not (tmp_path / "new.bmp").exists()


def test_negative_height_struct_error_is_the_hosts():
    with pytest.raises(struct.error) as caught:
        m._writeBmp("/nonexistent-dir/x.bmp", 1, -1, b"\x00\x00\x00")
    assert caught.value.args == struct_error_of(40, 1, -1, 1, 24, 0, 0, 2835, 2835, 0, 0)


def test_save_bmp_failures_leave_the_file_system_untouched(existing, tmp_path):
    image = SimpleImage(1, 1, bytearray(3))
    image.width = 2
    with pytest.raises(IndexError) as caught:
        image.saveBmp(str(existing))
    assert caught.value.args == ("bytearray index out of range",)
    image.width, image.height = 1, -1
    with pytest.raises(struct.error):
        image.saveBmp(str(tmp_path / "new.bmp"))
    image.height = 1
    image._pixels = None
    with pytest.raises(TypeError):
        image.saveBmp(str(tmp_path / "new.bmp"))
    assert existing.read_bytes() == OLD_CONTENT
    assert not (tmp_path / "new.bmp").exists()


def test_missing_directory_raises_the_hosts_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        m._writeBmp(str(tmp_path / "missing" / "out.bmp"), 1, 1, b"\x00\x00\x00")


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


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "_writeBmp() takes exactly 4 positional arguments (0 given)"),
        (("p", 1, 1), {}, "_writeBmp() takes exactly 4 positional arguments (3 given)"),
        (("p", 1, 1, b""), {"height": 1}, "_writeBmp() got multiple values for keyword argument 'height'"),
        (("p", 1, 1, b""), {"depth": 1}, "_writeBmp() got an unexpected keyword argument 'depth'"),
    ],
)
def test_argument_binding(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        m._writeBmp(*args, **kwargs)
    assert caught.value.args == (message,)


def test_keyword_arguments_and_integer_conversion(target):
    m._writeBmp(pixels=bytes.fromhex("112233"), height=1.7, width=True, path=str(target))
    assert target.read_bytes() == EXAMPLE_1X1
