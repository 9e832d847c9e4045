"""The PNG decoder, reached through SimpleImage._streamToImage and open.

Files are built with the helpers of builders.py, written by Pillow, or
filtered by a small reference encoder in this file.
"""
import io
import random
import struct
import zlib

import pytest
from PIL import Image

from builders import IEND, PNG_SIGNATURE as SIGNATURE, RGB, RGBA, RecordingStream, chunk, ihdr, png
from Quorvel import tessarin_ext as m
from Quorvel.tessarin_ext import SimpleImage


# Colour type and bytes per pixel of the two layouts read.
LAYOUTS = pytest.mark.parametrize("color_type, bpp", [(RGB, 3), (RGBA, 4)], ids=["RGB", "RGBA"])


def decode(data: bytes):
    return SimpleImage._streamToImage(io.BytesIO(data))


def raises_value_error(data: bytes, message: str):
    with pytest.raises(ValueError) as caught:
        decode(data)
    assert caught.value.args == (message,)


# --- reference filter encoder ------------------------------------------------


def paeth(left, up, up_left):
    p = left + up - up_left
    pa, pb, pc = abs(p - left), abs(p - up), abs(p - up_left)
    if pa <= pb and pa <= pc:
        return left
    return up if pb <= pc else up_left


def filter_rows(rows: list[bytes], bpp: int, filter_type) -> bytes:
    """Filters the rows as a PNG encoder would: all with one filter type, or
    row by row with the types in a list."""
    types = filter_type if isinstance(filter_type, list) else [filter_type] * len(rows)
    out = bytearray()
    previous = bytes(len(rows[0])) if rows else b""
    for row, filter_type in zip(rows, types):
        out.append(filter_type)
        for i, value in enumerate(row):
            left = row[i - bpp] if i >= bpp else 0
            up = previous[i]
            up_left = previous[i - bpp] if i >= bpp else 0
            predictor = [0, left, up, (left + up) // 2, paeth(left, up, up_left)][filter_type]
            out.append((value - predictor) & 0xFF)
        previous = row
    return bytes(out)


def test_reference_encoder_round_trips_through_a_peer():
    rows = [bytes([10, 200, 30, 40, 250, 60]), bytes([70, 8, 90, 100, 110, 1])]
    for filter_type in range(5):
        data = png(2, 2, filter_rows(rows, 3, filter_type))
        assert Image.open(io.BytesIO(data)).tobytes() == b"".join(rows)


# --- worked examples and the layout ------------------------------------------


def test_one_pixel_rgb():
    result = decode(png(1, 1, bytes([0, 10, 20, 30])))
    assert result == (1, 1, bytearray(b"\x0a\x14\x1e"))
    assert type(result) is tuple and type(result[2]) is bytearray


def test_two_pixel_rgba_sub():
    raw = bytes.fromhex("010a141eff05050500")
    assert decode(png(2, 1, raw, color_type=6)) == (2, 1, bytearray.fromhex("0a141e0f1923"))


def test_transparent_pixels_keep_their_colour():
    raw = bytes([0, 1, 2, 3, 0, 4, 5, 6, 0])
    assert decode(png(2, 1, raw, color_type=6)) == (2, 1, bytearray([1, 2, 3, 4, 5, 6]))


@pytest.mark.parametrize("color_type", [RGB, RGBA])
def test_width_zero_rows_hold_only_unexamined_filter_bytes(color_type):
    assert decode(png(0, 3, bytes([9, 200, 5]), color_type=color_type)) == (0, 3, bytearray())


@pytest.mark.parametrize("color_type", [RGB, RGBA])
def test_height_zero(color_type):
    assert decode(png(7, 0, b"", color_type=color_type)) == (7, 0, bytearray())


@pytest.mark.parametrize("filter_type", [5, 6, 127, 255])
@LAYOUTS
def test_unsupported_filter_type(filter_type, color_type, bpp):
    raw = bytes([0]) + bytes(2 * bpp) + bytes([filter_type]) + bytes(2 * bpp)
    raises_value_error(png(2, 2, raw, color_type=color_type), f"Unsupported PNG filter: {filter_type}")


@pytest.mark.parametrize("delta", [-1, 1])
@pytest.mark.parametrize("width, height, color_type", [(1, 1, 2), (3, 2, 6), (0, 4, 2)])
def test_decompressed_length_off_by_one(width, height, color_type, delta):
    stride = width * (3 if color_type == 2 else 4) + 1
    raw = bytes(stride * height + delta)
    raises_value_error(png(width, height, raw, color_type=color_type), "Malformed PNG image data")


def assert_decodes_as_pillow_does(data: bytes, width: int, height: int):
    expected = Image.open(io.BytesIO(data)).convert("RGB").tobytes()
    assert decode(data) == (width, height, bytearray(expected))


@pytest.mark.parametrize("filter_type", range(5))
@LAYOUTS
@pytest.mark.parametrize("width, height", [(1, 1), (1, 5), (2, 3), (5, 4), (13, 7)])
def test_every_filter_against_reference_encoder(filter_type, color_type, bpp, width, height):
    rng = random.Random(f"{filter_type}-{color_type}-{width}-{height}")
    rows = [bytes(rng.randrange(256) for _ in range(width * bpp)) for _ in range(height)]
    data = png(width, height, filter_rows(rows, bpp, filter_type), color_type=color_type)
    assert_decodes_as_pillow_does(data, width, height)


@LAYOUTS
def test_mixed_filters_across_inflated_pieces(color_type, bpp):
    # Runs of Average and of Paeth rows, of every length, between other
    # filters, and noise that does not compress, so the rows also straddle
    # the pieces the inflated data arrives in.
    rng = random.Random(color_type)
    rows = [rng.randbytes(173 * bpp) for _ in range(600)]
    types = [rng.choice([4, 4, 4, 3, 3, 3, 0, 1, 2]) for _ in rows]
    assert_decodes_as_pillow_does(png(173, 600, filter_rows(rows, bpp, types), color_type=color_type), 173, 600)


@LAYOUTS
def test_compression_ratio_changing_along_the_stream(color_type, bpp):
    # Bands of one colour, which inflate hundreds of times over, between bands
    # of noise, which do not compress, in IDAT chunks of uneven sizes: the
    # input is handed to the inflater in pieces sized from the ratio seen so
    # far, which each new band makes wrong in one direction or the other.
    width, height = 700, 1000
    rng = random.Random(color_type)
    rows = [
        rng.randbytes(width * bpp) if (y // 170) % 2 else bytes([y % 251]) * (width * bpp)
        for y in range(height)
    ]
    stream = zlib.compress(b"".join(b"\0" + row for row in rows))
    cuts = [0, 1, 101, 70_101, 70_104, len(stream) // 2, len(stream)]
    data = SIGNATURE + ihdr(width, height, color_type=color_type)
    data += b"".join(chunk(b"IDAT", stream[start:end]) for start, end in zip(cuts, cuts[1:]))
    data += IEND
    expected = b"".join(row if bpp == 3 else bytes(b for i, b in enumerate(row) if i % 4 != 3) for row in rows)
    assert decode(data) == (width, height, bytearray(expected))


PILLOW_CONTENT = {
    "noise": lambda rng, x, y, c: rng.randrange(256),
    "diagonal": lambda rng, x, y, c: (x * x + 3 * y * y + 40 * c) // 7 & 0xFF,
    "radial": lambda rng, x, y, c: int(((x - 10) ** 2 + (y - 6) ** 2) ** 0.5 * 9 + 30 * c) & 0xFF,
    "xor": lambda rng, x, y, c: ((13 * x) ^ (7 * y)) + c & 0xFF,
}
PILLOW_SIZES = [(1, 1), (1, 9), (3, 1), (7, 5), (33, 17), (64, 40)]
PILLOW_OPTIONS = [{}, {"optimize": True}, {"compress_level": 1}]


def pillow_png(mode, size, content, options) -> tuple[bytes, bytes]:
    rng = random.Random(f"{mode}{size}{content}")
    fill = PILLOW_CONTENT[content]
    data = bytes(
        fill(rng, x, y, c) for y in range(size[1]) for x in range(size[0]) for c in range(len(mode))
    )
    out = io.BytesIO()
    Image.frombytes(mode, size, data).save(out, "PNG", **options)
    written = out.getvalue()
    return written, Image.open(io.BytesIO(written)).convert("RGB").tobytes()


def filter_types_of(data: bytes) -> set[int]:
    width, height, _, color_type = struct.unpack(">IIBB", data[16:26])
    stream, idat = io.BytesIO(data[8:]), b""
    while True:
        length = struct.unpack(">I", stream.read(4))[0]
        chunk_type = stream.read(4)
        payload = stream.read(length)
        stream.read(4)
        if chunk_type == b"IEND":
            break
        if chunk_type == b"IDAT":
            idat += payload
    raw = zlib.decompress(idat)
    stride = width * (3 if color_type == 2 else 4) + 1
    return {raw[row * stride] for row in range(height)}


@pytest.mark.parametrize("options", PILLOW_OPTIONS, ids=lambda o: ",".join(o) or "default")
@pytest.mark.parametrize("content", sorted(PILLOW_CONTENT))
@pytest.mark.parametrize("size", PILLOW_SIZES, ids=lambda s: f"{s[0]}x{s[1]}")
@pytest.mark.parametrize("mode", ["RGB", "RGBA"])
def test_files_written_by_pillow(mode, size, content, options):
    data, expected = pillow_png(mode, size, content, options)
    assert decode(data) == (size[0], size[1], bytearray(expected))


def test_pillow_files_cover_its_filters():
    seen = set()
    for mode in ("RGB", "RGBA"):
        for size in PILLOW_SIZES:
            for content in PILLOW_CONTENT:
                seen |= filter_types_of(pillow_png(mode, size, content, {})[0])
    assert {0, 1, 2, 4} <= seen


# --- chunk structure ---------------------------------------------------------


def test_idat_split_with_text_chunk_between():
    raw = filter_rows([bytes(range(i, i + 12)) for i in range(5)], 3, 1)
    stream = zlib.compress(raw)
    pieces = [stream[:3], stream[3:4], stream[4:]]
    data = (
        SIGNATURE
        + ihdr(4, 5)
        + chunk(b"IDAT", pieces[0])
        + chunk(b"tEXt", b"Comment\x00between")
        + chunk(b"IDAT", pieces[1])
        + chunk(b"IDAT", b"")
        + chunk(b"zzZz", b"unknown")
        + chunk(b"IDAT", pieces[2])
        + IEND
    )
    assert decode(data) == decode(png(4, 5, raw))
    assert decode(data)[2] == bytearray(b"".join(bytes(range(i, i + 12)) for i in range(5)))


def test_idat_before_ihdr():
    raw = bytes([0, 1, 2, 3])
    data = SIGNATURE + chunk(b"IDAT", zlib.compress(raw)) + ihdr(1, 1) + IEND
    assert decode(data) == (1, 1, bytearray([1, 2, 3]))


def test_second_ihdr_wins():
    raw = bytes([0, 1, 2, 3, 4])
    data = SIGNATURE + ihdr(5, 9, 16, 3, 1, 1, 1) + ihdr(1, 1, color_type=6) + chunk(b"IDAT", zlib.compress(raw))
    assert decode(data + IEND) == (1, 1, bytearray([1, 2, 3]))


def test_missing_iend_decodes():
    raw = bytes([0, 1, 2, 3])
    assert decode(SIGNATURE + ihdr(1, 1) + chunk(b"IDAT", zlib.compress(raw))) == (1, 1, bytearray([1, 2, 3]))


def test_bytes_after_iend_are_never_read():
    good = png(1, 1, bytes([0, 1, 2, 3]))
    stream = RecordingStream(good + b"\xff garbage that is not a chunk")
    assert SimpleImage._streamToImage(stream) == (1, 1, bytearray([1, 2, 3]))
    # The signature twice (detection and decoder), then 4 reads per chunk.
    assert stream.read_sizes == [8, 8, 4, 4, 13, 4, 4, 4, len(zlib.compress(bytes([0, 1, 2, 3]))), 4, 4, 4, 0, 4]
    assert stream.tell() == len(good)


def test_no_idat_fails_in_decompression():
    data = SIGNATURE + ihdr(1, 1) + IEND
    with pytest.raises(zlib.error) as caught:
        decode(data)
    with pytest.raises(zlib.error) as host:
        zlib.decompress(b"")
    assert caught.value.args == host.value.args


# --- messages and their order ------------------------------------------------


@pytest.mark.parametrize("data", [b"\x89PNG\r\n\x1a\x00" + ihdr(1, 1), SIGNATURE[:5]], ids=["changed", "short"])
def test_signature_checked_by_the_decoder_itself(data):
    # Detection is shown a signature; the decoder's own read differs.
    stream = RecordingStream(data, convert=lambda number, read: SIGNATURE if number == 1 else read)
    with pytest.raises(ValueError) as caught:
        SimpleImage._streamToImage(stream)
    assert caught.value.args == ("Unsupported PNG signature",)


@pytest.mark.parametrize(
    "fields, message",
    [
        ((16, 2), "Only 8-bit PNG images are supported"),
        ((16, 3), "Only 8-bit PNG images are supported"),
        ((1, 0), "Only 8-bit PNG images are supported"),
        ((0, 2), "Only 8-bit PNG images are supported"),
        ((8, 3), "Only RGB/RGBA PNG images are supported"),
        ((8, 0), "Only RGB/RGBA PNG images are supported"),
        ((8, 4), "Only RGB/RGBA PNG images are supported"),
        ((8, 2, 1), "Unsupported PNG configuration (compression/filter/interlace)"),
        ((8, 6, 0, 1), "Unsupported PNG configuration (compression/filter/interlace)"),
        ((8, 2, 0, 0, 1), "Unsupported PNG configuration (compression/filter/interlace)"),
        ((8, 3, 0, 0, 1), "Only RGB/RGBA PNG images are supported"),
    ],
)
def test_header_checks_in_order_and_before_decompression(fields, message, monkeypatch):
    calls = []
    monkeypatch.setattr(m, "zlib", FakeZlib(calls, b""))
    data = SIGNATURE + ihdr(1, 1, *fields) + chunk(b"IDAT", b"not a zlib stream") + IEND
    raises_value_error(data, message)
    assert calls == []


def test_no_ihdr():
    raises_value_error(SIGNATURE + chunk(b"IDAT", zlib.compress(b"\0")) + IEND,
                       "Incomplete PNG header information")
    raises_value_error(SIGNATURE, "Incomplete PNG header information")


def test_header_checks_come_after_the_chunk_loop():
    broken = bytearray(chunk(b"tEXt", b"a\x00b"))
    broken[-1] ^= 1
    data = SIGNATURE + ihdr(1, 1, 16, 3) + bytes(broken)
    raises_value_error(data, "Corrupted PNG chunk detected")
    raises_value_error(SIGNATURE + ihdr(1, 1, 16, 3) + b"\x00\x00", "Unexpected EOF while reading chunk length")


@pytest.mark.parametrize("length", [0, 12, 14])
def test_ihdr_of_wrong_length_is_a_struct_error(length):
    data = SIGNATURE + chunk(b"IHDR", bytes(length)) + IEND
    with pytest.raises(struct.error):
        decode(data)


@pytest.mark.parametrize("width, height", [(2**31, 1), (1, 2**31), (2**32 - 1, 2**32 - 1)])
def test_dimensions_above_the_signed_range(width, height):
    with pytest.raises(OverflowError):
        decode(SIGNATURE + ihdr(width, height) + IEND)


# --- module globals looked up at call time -----------------------------------


class FakeZlib:
    """Stands in for the zlib module: records decompress, returns `result`."""

    error = zlib.error

    def __init__(self, calls, result):
        self._calls, self._result = calls, result

    def decompress(self, *args, **kwargs):
        self._calls.append((args, kwargs))
        return self._result

    def crc32(self, *args):
        return zlib.crc32(*args)


def test_replaced_zlib_gets_one_plain_decompress_call(monkeypatch):
    calls = []
    monkeypatch.setattr(m, "zlib", FakeZlib(calls, bytes([0, 7, 8, 9])))
    data = SIGNATURE + ihdr(1, 1) + chunk(b"IDAT", b"ab") + chunk(b"tEXt", b"") + chunk(b"IDAT", b"cd")
    assert decode(data + IEND) == (1, 1, bytearray([7, 8, 9]))
    assert calls == [((b"abcd",), {})]


def test_replaced_decompress_of_the_host_zlib_is_called_plainly(monkeypatch):
    calls = []

    def recording(*args, **kwargs):
        calls.append((args, kwargs))
        return bytes(20 * 10)  # far longer than the image needs: refused by length

    monkeypatch.setattr(zlib, "decompress", recording)
    data = SIGNATURE + ihdr(1, 1) + chunk(b"IDAT", b"payload") + IEND
    raises_value_error(data, "Malformed PNG image data")
    assert calls == [((b"payload",), {})]


def test_read_chunk_global_is_looked_up_at_call_time(monkeypatch):
    seen = []
    original = m._readChunk

    def recording(stream):
        result = original(stream)
        seen.append(result[0])
        return result

    monkeypatch.setattr(m, "_readChunk", recording)
    data = png(1, 1, bytes([0, 1, 2, 3]))
    assert decode(data) == (1, 1, bytearray([1, 2, 3]))
    assert seen == [b"IHDR", b"IDAT", b"IEND"]


def test_read_chunk_replacement_can_feed_the_decoder(monkeypatch):
    chunks = iter([(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0)),
                   (b"IDAT", zlib.compress(bytes([0, 4, 5, 6]))), (b"", b"")])
    monkeypatch.setattr(m, "_readChunk", lambda stream: next(chunks))
    assert decode(SIGNATURE) == (1, 1, bytearray([4, 5, 6]))


def test_png_signature_global_is_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(m, "PNG_SIGNATURE", b"NOTAPNG!")
    data = b"NOTAPNG!" + png(1, 1, bytes([0, 1, 2, 3]))[8:]
    assert decode(data) == (1, 1, bytearray([1, 2, 3]))


def zlib_message(data: bytes):
    with pytest.raises(zlib.error) as caught:
        zlib.decompress(data)
    return caught.value.args


def corrupt_after(prefix_length: int) -> bytes:
    """A zlib stream of `prefix_length` zero bytes whose checksum is wrong."""
    stream = bytearray(zlib.compress(bytes(prefix_length)))
    stream[-1] ^= 0xFF
    return bytes(stream)


@pytest.mark.parametrize(
    "idat",
    [
        b"not zlib at all",
        b"\x78\x9c\xff\xff\xff",
        corrupt_after(4),  # checksum wrong on an image-sized stream
        corrupt_after(3 << 20),  # checksum wrong far past the image's size
        zlib.compress(bytes(4))[:-1],  # truncated
        zlib.compress(bytes(4))[:2],
        zlib.compress(bytes(5 << 20))[:-4],  # truncated, far past the image's size
        b"",
    ],
    ids=["garbage", "bad-block", "bad-adler", "bad-adler-long", "truncated", "header-only",
         "truncated-long", "empty"],
)
def test_damaged_streams_raise_the_hosts_own_error(idat):
    data = SIGNATURE + ihdr(1, 1) + chunk(b"IDAT", idat) + IEND
    with pytest.raises(zlib.error) as caught:
        decode(data)
    assert caught.value.args == zlib_message(idat)


def test_truncated_stream_message():
    data = SIGNATURE + ihdr(1, 1) + chunk(b"IDAT", zlib.compress(bytes(4))[:-1]) + IEND
    with pytest.raises(zlib.error) as caught:
        decode(data)
    assert caught.value.args == ("Error -5 while decompressing data: incomplete or truncated stream",)


def test_trailing_bytes_after_the_zlib_stream_are_ignored_like_the_host_does():
    idat = zlib.compress(bytes([0, 1, 2, 3])) + b"trailing"
    assert zlib.decompress(idat) == bytes([0, 1, 2, 3])
    data = SIGNATURE + ihdr(1, 1) + chunk(b"IDAT", idat) + IEND
    assert decode(data) == (1, 1, bytearray([1, 2, 3]))
