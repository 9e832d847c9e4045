"""The checks of the fuzz target (fuzz/open_target.py) catch what they are
there for: an exception outside the documented set, _streamToImage over
another stream or with stand-ins for zlib and _readChunk ending otherwise
than open, and pixels unlike Pillow's."""

import io
import struct
import types
import zlib

import open_target
import pytest
from builders import bmp_bytes, chunk, png_bytes

import Quorvel.tessarin_ext as tessarin_ext
from Quorvel.tessarin_ext import SimpleImage

WIDTH, HEIGHT = 3, 2
PIXELS = bytes(range(7, 7 + WIDTH * HEIGHT * 3))
IMAGES = {"png": png_bytes(WIDTH, HEIGHT, PIXELS), "bmp": bmp_bytes(WIDTH, HEIGHT, PIXELS)}


def decoding_with(monkeypatch, stream_to_image):
    """Makes the target decode through a subclass whose _streamToImage is
    `stream_to_image(stream)`."""
    class Altered(SimpleImage):
        _streamToImage = staticmethod(stream_to_image)
    monkeypatch.setattr(open_target, "SimpleImage", Altered)


@pytest.mark.parametrize("kind", IMAGES)
def test_a_sound_image_passes(kind):
    assert open_target.check_open(IMAGES[kind]) == "image"


@pytest.mark.parametrize("kind", IMAGES)
def test_pixels_unlike_pillows_are_a_finding(monkeypatch, kind):
    def off_by_one(stream):
        width, height, pixels = SimpleImage._streamToImage(stream)
        pixels[4] ^= 1
        return width, height, pixels
    decoding_with(monkeypatch, off_by_one)
    with pytest.raises(open_target.Finding, match="differs from Pillow"):
        open_target.check_open(IMAGES[kind])


def tiles_made(monkeypatch, make):
    """Makes Pillow's images in the target carry the tiles `make(tile)`."""
    host_open = open_target.Image.open

    def opening(*arguments, **options):
        image = host_open(*arguments, **options)
        image.tile = [make(tile) for tile in image.tile]
        return image
    monkeypatch.setattr(open_target.Image, "open", opening)


@pytest.mark.parametrize("kind", IMAGES)
def test_pillows_plain_tuple_tiles_are_read(monkeypatch, kind):
    # Pillow 9.4 (Debian 12's) gives tiles as plain tuples.
    tiles_made(monkeypatch, tuple)
    assert open_target.pillow_rgb(IMAGES[kind]) == ((WIDTH, HEIGHT), PIXELS)


def test_a_comparison_that_cannot_run_fails_loudly(monkeypatch):
    # Rather than pass every image uncompared, as the comparison once did
    # when Pillow's tiles lacked the attributes it read.
    tiles_made(monkeypatch, lambda tile: tile[:1])
    with pytest.raises(ValueError, match="not enough values to unpack"):
        open_target.check_open(IMAGES["png"])


@pytest.mark.parametrize("kind", IMAGES)
def test_an_undocumented_exception_is_a_finding(monkeypatch, kind):
    def fails(stream):
        raise RuntimeError("not promised")
    decoding_with(monkeypatch, fails)
    with pytest.raises(open_target.Finding, match="RuntimeError: not promised"):
        open_target.check_open(IMAGES[kind])


@pytest.mark.parametrize("outcome", ["image", "error"])
def test_streams_ending_differently_are_a_finding(monkeypatch, outcome):
    def differs_off_bytesio(stream):
        width, height, pixels = SimpleImage._streamToImage(stream)
        if isinstance(stream, io.BytesIO):
            return width, height, pixels
        if outcome == "error":
            raise ValueError("Malformed PNG image data")
        return width, height, bytearray(len(pixels))
    decoding_with(monkeypatch, differs_off_bytesio)
    with pytest.raises(open_target.Finding, match="_streamToImage over bytearrays"):
        open_target.check_open(IMAGES["png"])


def test_the_same_error_both_ways_passes():
    damaged = IMAGES["png"][:-20]
    assert open_target.check_open(damaged).startswith("ValueError: ")


def test_bmp_rows_need_exact_bytes_from_streams():
    with pytest.raises(TypeError, match="Expected bytes, got bytearray"):
        SimpleImage._streamToImage(open_target.ByteArrayStream(IMAGES["bmp"]))
    assert open_target.check_open(IMAGES["bmp"]) == "image"


def test_bmp_with_pixel_offset_zero_is_not_compared_with_pillow():
    # The module reads the rows from the start of the file, headers included;
    # Pillow from the end of the headers. Found by fuzz_decode.
    data = bytearray(IMAGES["bmp"])
    struct.pack_into("<I", data, 10, 0)
    assert open_target.pillow_rgb(bytes(data)) is None
    assert open_target.check_open(bytes(data)) == "image"


def test_png_read_otherwise_by_pillow_is_not_compared():
    # A second IHDR wins in the module and loses in Pillow; a chunk between
    # IDAT chunks ends Pillow's image data. Found by fuzz_decode.
    data = IMAGES["png"]
    header_end = 8 + 25
    taller = chunk(b"IHDR", struct.pack(">IIBBBBB", WIDTH, HEIGHT + 1, 8, 2, 0, 0, 0))
    two_headers = data[:8] + taller + data[header_end:-12] + data[8:header_end] + data[-12:]
    assert open_target.check_open(two_headers) == "image"
    assert open_target.pillow_rgb(two_headers) is None
    assert open_target.read_alike_by_pillow(data)
    idat = data[header_end:-12]
    payload = idat[8:-4]
    split = (data[:header_end] + chunk(b"IDAT", payload[:5]) + chunk(b"tEXt", b"a\x00b")
             + chunk(b"IDAT", payload[5:]) + data[-12:])
    assert open_target.check_open(split) == "image"
    assert not open_target.read_alike_by_pillow(split)


@pytest.mark.parametrize("cut", [0, 30])
def test_stand_in_globals_are_put_back(cut):
    read_chunk = tessarin_ext._readChunk
    data = IMAGES["png"]
    open_target.check_open(data[:len(data) - cut])
    assert tessarin_ext.zlib is zlib
    assert tessarin_ext._readChunk is read_chunk


def test_stand_ins_ending_otherwise_are_a_finding(monkeypatch):
    def one_byte_more(data):
        return zlib.decompress(data) + b"\0"
    stand_in = types.SimpleNamespace(crc32=zlib.crc32, decompress=one_byte_more)
    monkeypatch.setattr(open_target, "ZLIB_STAND_IN", stand_in)
    with pytest.raises(open_target.Finding, match="rebound it gave ValueError: Malformed"):
        open_target.check_open(IMAGES["png"])
