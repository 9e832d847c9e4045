"""encode_png(colour_type="auto"): a greyscale PNG at the smallest exact
bit depth, or a palette PNG, where one holds the image; every file decodes
to the image's own RGB pixels in this module, in Pillow and in pngcheck, and
is never larger than the RGB file."""
import io
import random
import struct
import subprocess
import zlib

import pytest
from PIL import Image

from builders import PNG_SIGNATURE, bmp_bytes, run_quorvel
import Quorvel
from Quorvel import _png_writer
from Quorvel._png import Candidate
from Quorvel.tessarin_ext import SimpleImage

GREY, RGB, PALETTE = 0, 2, 3


def header(data):
    """The colour type, the bit depth and the number of PLTE entries, read
    from the chunks with every CRC checked."""
    assert data[:8] == PNG_SIGNATURE
    at, fields, entries = 8, None, 0
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        tag, payload = data[at + 4:at + 8], data[at + 8:at + 8 + length]
        assert struct.unpack(">I", data[at + 8 + length:at + 12 + length])[0] == zlib.crc32(tag + payload)
        if tag == b"IHDR":
            fields = (payload[9], payload[8])
        if tag == b"PLTE":
            entries = length // 3
        at += 12 + length
    return (*fields, entries)


def image_of(width, height, colours, seed=0):
    """An image whose pixels are drawn at random from `colours`."""
    chooser = random.Random(seed)
    return SimpleImage(width, height, b"".join(bytes(chooser.choice(colours)) for _ in range(width * height)))


def greys(*values):
    return [(value, value, value) for value in values]


def distinct_colours(count, seed=1):
    return random.Random(seed).sample([(r, g, 77) for r in range(256) for g in range(256)], count)


def assert_same_pixels(data, image):
    assert Quorvel.load(data)._pixels == image._pixels
    assert Image.open(io.BytesIO(data)).convert("RGB").tobytes() == bytes(image._pixels)


# (colours, the colour type, bit depth and palette entries expected)
CASES = {
    "grey 1-bit": (greys(0, 255), (GREY, 1, 0)),
    "grey 2-bit": (greys(0, 85, 170, 255), (GREY, 2, 0)),
    "grey 4-bit": (greys(*range(0, 256, 17)), (GREY, 4, 0)),
    "grey 8-bit, an odd value among many": (greys(*range(0, 256, 15), 128), (GREY, 8, 0)),
    "few greys 4 bits cannot hold": (greys(0, 128, 255), (PALETTE, 2, 3)),
    "2 colours": (distinct_colours(2), (PALETTE, 1, 2)),
    "4 colours": (distinct_colours(4), (PALETTE, 2, 4)),
    "16 colours": (distinct_colours(16), (PALETTE, 4, 16)),
    "256 colours": (distinct_colours(256), (PALETTE, 8, 256)),
    "257 colours": (distinct_colours(257), (RGB, 8, 0)),
}


@pytest.mark.needs("pngcheck")
@pytest.mark.parametrize("width", [1, 7, 133])
@pytest.mark.parametrize("name", CASES)
def test_reduced_files_hold_the_same_pixels(name, width, tmp_path):
    colours, expected = CASES[name]
    image = image_of(width, max(1, 2000 // width), colours)
    data = Quorvel.encode_png(image, colour_type="auto")
    rgb = Quorvel.encode_png(image)
    assert len(data) <= len(rgb)
    # Where the palette's chunk costs more than its indices save, RGB stays.
    if width == 133 or expected[0] != PALETTE:
        assert header(data) == expected
    assert_same_pixels(data, image)
    path = tmp_path / "reduced.png"
    path.write_bytes(data)
    done = subprocess.run(["pngcheck", str(path)], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("options", [{"compress_level": 0}, {"compress_level": 1}, {"optimize": True}])
def test_every_level_and_segments_and_samples_keep_the_pixels(options, tmp_path):
    # Tall enough for sample strips, and over 1 MiB of greyscale rows, so
    # that the rows are compressed in segments joined at a distance of one
    # byte a pixel.
    image = SimpleImage(1024, 1100, bytes(value for y in range(1100) for x in range(1024)
                                          for value in ((x * 3 + y * 5 + (x * y) % 7) & 0xff,) * 3))
    data = Quorvel.encode_png(image, colour_type="auto", **options)
    assert header(data) == (GREY, 8, 0)
    assert_same_pixels(data, image)


def test_by_default_a_grey_image_is_written_as_rgb():
    assert header(Quorvel.encode_png(image_of(8, 8, greys(0, 255))))[:2] == (RGB, 8)


@pytest.mark.parametrize("colour_type, error, message", [
    ("grey", ValueError, "colour_type must be one of 'rgb', 'auto', not 'grey'"),
    (None, TypeError, "colour_type must be a str, not NoneType"),
])
def test_colour_type_is_checked(colour_type, error, message):
    with pytest.raises(error) as raised:
        Quorvel.encode_png(image_of(2, 2, greys(0)), colour_type=colour_type)
    assert str(raised.value) == message


# The native encoder's format record: (colour type, bit depth, palette).
@pytest.mark.parametrize("scanline_format", [
    (1, 8, b""), (RGB, 4, b""), (GREY, 3, b""), (GREY, 8, b"\0\0\0"), (PALETTE, 1, b""),
    (PALETTE, 1, b"\0" * 9), (PALETTE, 2, b"\0" * 4),
])
def test_native_format_records_are_checked(scanline_format):
    candidate = Candidate(0, 6, zlib.Z_DEFAULT_STRATEGY)
    with pytest.raises(ValueError) as raised:
        _png_writer.encode(b"\0", 1, 1, [candidate], [], 1, 1, 1, scanline_format)
    assert str(raised.value) == "the format is not 8-bit RGB, greyscale or a palette at 1, 2, 4 or 8 bits"


# One row of indices; the last byte's bits past the width are padding.
@pytest.mark.parametrize("bit_depth, width, rows, entries, accepted", [
    (2, 4, bytes([0b00011011]), 3, False), (2, 4, bytes([0b00011000]), 3, True), (2, 3, bytes([0b00011011]), 3, True),
    (2, 4, bytes([0b00011011]), 4, True), (8, 4, bytes([0, 5, 2, 1]), 5, False), (8, 4, bytes([0, 4, 2, 1]), 5, True),
    (1, 8, bytes([0b1010]), 1, False),
])
def test_native_palette_indices_must_name_an_entry(bit_depth, width, rows, entries, accepted):
    arguments = (rows, width, 1, [Candidate(0, 6, zlib.Z_DEFAULT_STRATEGY)], [], 1, 1, 1, (PALETTE, bit_depth, b"\1\2\3" * entries))
    if accepted:
        assert header(_png_writer.encode(*arguments)[0]) == (PALETTE, bit_depth, entries)
    else:
        with pytest.raises(ValueError, match="^a palette index is past the palette's end$"):
            _png_writer.encode(*arguments)


def test_convert_writes_the_reduced_file(tmp_path):
    image = image_of(40, 30, greys(0, 85, 255))
    source = tmp_path / "grey.bmp"
    source.write_bytes(bmp_bytes(40, 30, bytes(image._pixels)))
    done = run_quorvel("convert", source, tmp_path / "grey.png", "--colour-type", "auto")
    assert done.returncode == 0, done.stderr
    data = (tmp_path / "grey.png").read_bytes()
    assert header(data) == (GREY, 2, 0)
    assert Quorvel.load(data)._pixels == image._pixels
