"""Quorvel.load and Quorvel.probe on hand-built files: what only the native
reader decides (chunk rules, CRCs, where data ends, memory that follows the
data, the pixel limit, no copy of the pixels) and whether probe foretells
SimpleImage.open. The corpus comparisons with pypng and Pillow live in the
corpus tests."""
import importlib.util
import io
import random
import struct
import subprocess
import sys
import zlib

import pytest

import Quorvel

from builders import IEND, PNG_SIGNATURE, RGB, RGBA, bmp_bytes, bmp_headers, chunk, ihdr, png
from Quorvel import ImageReadError, SimpleImage, load, probe

# --- PNG built sample by sample -------------------------------------------------

CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]
FORMATS = [(0, 1), (0, 2), (0, 4), (0, 8), (0, 16), (2, 8), (2, 16), (3, 1), (3, 2), (3, 4), (3, 8),
           (4, 8), (4, 16), (6, 8), (6, 16)]


def packed(pixels, depth):
    """A scanline's bytes (no filter byte) for pixels of samples at `depth`."""
    if depth >= 8:
        return b"".join(sample.to_bytes(depth // 8, "big") for pixel in pixels for sample in pixel)
    bits = "".join(format(sample, f"0{depth}b") for pixel in pixels for sample in pixel)
    bits += "0" * (-len(bits) % 8)
    return bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))


def filtered(kind, line, previous, distance):
    """The reference PNG filter of one scanline."""
    out = bytearray()
    for i, value in enumerate(line):
        a = line[i - distance] if i >= distance else 0
        b = previous[i]
        c = previous[i - distance] if i >= distance else 0
        if kind == 4:
            pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
            predicted = a if pa <= pb and pa <= pc else b if pb <= pc else c
        else:
            predicted = (0, a, b, (a + b) // 2)[kind]
        out.append((value - predicted) & 255)
    return bytes(out)


def sample_png(image, colour, depth, *, interlace=0, first_filter=0, palette=b""):
    """A PNG of `image` (rows of pixels, each a tuple of samples); the rows of
    each pass take the filter types 0 to 4 in turn from `first_filter`."""
    height, width = len(image), len(image[0])
    distance = max(1, CHANNELS[colour] * depth // 8)
    grids = ADAM7 if interlace else [(0, 0, 1, 1)]
    raw = bytearray()
    for x0, y0, dx, dy in grids:
        previous = None
        for count, y in enumerate(range(y0, height, dy)):
            line = packed(image[y][x0::dx], depth)
            if not line:
                continue
            previous = previous or bytes(len(line))
            kind = (first_filter + count) % 5
            raw += bytes([kind]) + filtered(kind, line, previous, distance)
            previous = line
    plte = chunk(b"PLTE", palette) if palette else b""
    return (PNG_SIGNATURE + ihdr(width, height, depth, colour, interlace=interlace) + plte +
            chunk(b"IDAT", zlib.compress(bytes(raw))) + IEND)


def random_image(width, height, colour, depth, seed):
    generator = random.Random(seed)
    return [[tuple(generator.randrange(1 << depth) for _ in range(CHANNELS[colour])) for _ in range(width)]
            for _ in range(height)]


def expected_rgb(image, colour, depth, palette):
    """The RGB that load gives: alpha dropped, grey spread, low depths by bit
    replication, 16 bits cut to the high byte, indices past the palette black."""
    out = bytearray()
    for row in image:
        for pixel in row:
            if colour == 3:
                out += palette[3 * pixel[0]:3 * pixel[0] + 3] or bytes(3)
                continue
            samples = [s >> 8 if depth == 16 else s * 255 // ((1 << depth) - 1) for s in pixel]
            out += bytes(samples[:1] * 3 if colour in (0, 4) else samples[:3])
    return bytes(out)


@pytest.mark.parametrize("size", [(13, 11), (3, 2)], ids=["13x11", "3x2"])
@pytest.mark.parametrize("colour, depth", FORMATS, ids=[f"c{c}d{d}" for c, d in FORMATS])
def test_every_format_filter_and_interlacing_gives_the_same_rgb(colour, depth, size):
    image = random_image(*size, colour, depth, seed=f"{colour}-{depth}-{size}")
    # A palette shorter than the indices reach, for palette images.
    palette = random.Random(depth).randbytes(3 * max(1, (1 << depth) - 2)) if colour == 3 else b""
    want = expected_rgb(image, colour, depth, palette)
    for interlace in (0, 1):
        for first_filter in range(5):
            decoded = load(sample_png(image, colour, depth, interlace=interlace, first_filter=first_filter,
                                      palette=palette))
            assert (decoded.size, bytes(decoded._pixels)) == (size, want), (interlace, first_filter)


# --- chunk rules ------------------------------------------------------------------

def broken_crc(encoded: bytes) -> bytes:
    return encoded[:-4] + bytes(b ^ 0xFF for b in encoded[-4:])


RGB_2X2 = [[(10, 20, 30), (40, 50, 60)], [(70, 80, 90), (100, 110, 120)]]
ROWS = zlib.compress(b"\x00" + bytes(range(10, 70, 10)) + b"\x00" + bytes(range(70, 130, 10)))
HEADER = PNG_SIGNATURE + ihdr(2, 2)
IDAT = chunk(b"IDAT", ROWS)
PALETTE = chunk(b"PLTE", bytes(range(12)))
# Offsets: IHDR at 8, the next chunk at 33. What probe makes of each: it
# cannot describe a file without its header (raises), it reads no image
# data (readable), else it gives the same reason.
RAISES, READABLE, REASON = "raises", "readable", "reason"
CHUNK_REFUSALS = {
    "IHDR CRC": (PNG_SIGNATURE + broken_crc(ihdr(2, 2)) + IDAT + IEND,
                 "PNG chunk 'IHDR' at offset 8: CRC mismatch", RAISES),
    "PLTE CRC": (HEADER + broken_crc(PALETTE) + IDAT + IEND, "PNG chunk 'PLTE' at offset 33: CRC mismatch", REASON),
    "IDAT CRC": (HEADER + broken_crc(IDAT) + IEND, "PNG chunk 'IDAT' at offset 33: CRC mismatch", READABLE),
    "IEND CRC": (HEADER + IDAT + broken_crc(IEND), f"PNG chunk 'IEND' at offset {33 + len(IDAT)}: CRC mismatch",
                 REASON),
    "IHDR not first": (PNG_SIGNATURE + chunk(b"tEXt", b"a\0b") + ihdr(2, 2) + IDAT + IEND,
                       "PNG chunk 'tEXt' at offset 8: the first chunk must be IHDR", RAISES),
    "PLTE after IDAT": (HEADER + IDAT + PALETTE + IEND,
                        f"PNG chunk 'PLTE' at offset {33 + len(IDAT)}: a palette after the image data", REASON),
    "two PLTE": (HEADER + PALETTE + PALETTE + IDAT + IEND, "PNG chunk 'PLTE' at offset 57: a second palette", REASON),
    "PLTE length": (HEADER + chunk(b"PLTE", bytes(4)) + IDAT + IEND,
                    "PNG chunk 'PLTE' at offset 33: length 4 is not a multiple of 3 from 3 to 768", REASON),
    "no PLTE": (PNG_SIGNATURE + ihdr(2, 2, 8, 3) + IDAT + IEND,
                "PNG chunk 'IDAT' at offset 33: a palette image needs a PLTE chunk before its image data", REASON),
    "IDAT apart": (HEADER + IDAT + chunk(b"tEXt", b"") + IDAT + IEND,
                   f"PNG chunk 'IDAT' at offset {45 + len(IDAT)}: IDAT chunks are not consecutive", REASON),
    "unknown critical": (HEADER + chunk(b"ABCD", b"") + IDAT + IEND,
                         "PNG chunk 'ABCD' at offset 33: an unknown critical chunk", REASON),
    "type not letters": (HEADER + chunk(b"ab\0d", b"") + IDAT + IEND,
                         "PNG chunk 'ab\\x00d' at offset 33: its type is not four letters", REASON),
    "no IDAT": (HEADER + IEND, "PNG chunk 'IEND' at offset 33: no IDAT chunk before it", REASON),
    "no IDAT, no IEND": (HEADER, "PNG file ends at offset 33 with no IDAT chunk", REASON),
    "CgBI": (PNG_SIGNATURE + chunk(b"CgBI", bytes(4)) + ihdr(2, 2) + IDAT + IEND,
             "PNG chunk 'CgBI' at offset 8: an Apple CgBI file (made for iOS), not a standard PNG", REASON),
    "cut in IDAT": (HEADER + IDAT[:-6], f"PNG chunk 'IDAT' at offset 33: the file ends inside it, {len(IDAT) - 6} of "
                                        f"its {len(IDAT)} bytes there", REASON),
    "cut in header": (HEADER + IDAT[:5], "PNG chunk header at offset 33: the file ends after 5 of its 8 bytes", REASON),
    "length": (HEADER + struct.pack(">I", 1 << 31) + b"IDAT",
               "PNG chunk 'IDAT' at offset 33: length 2147483648 is over 2147483647", REASON),
}


@pytest.mark.parametrize("data, message, described", CHUNK_REFUSALS.values(), ids=CHUNK_REFUSALS)
def test_chunk_rules_refuse_naming_the_chunk_and_its_offset(data, message, described):
    with pytest.raises(ImageReadError) as refused:
        load(data)
    assert refused.value.args == (message,)
    if described == RAISES:
        with pytest.raises(ImageReadError, match=f"^{message}$"):
            probe(data)
    else:
        info = probe(data)
        assert (info.width, info.height, info.reason) == (2, 2, None if described == READABLE else message)


@pytest.mark.parametrize("data", [
    HEADER + broken_crc(chunk(b"tEXt", b"key\0value")) + IDAT + IEND,  # an ancillary CRC is not checked
    HEADER + IDAT + chunk(b"zzZz", b"unknown but ancillary"),  # and no IEND
    HEADER + PALETTE + IDAT + chunk(b"tRNS", b"\0") + IEND,  # PLTE of an RGB image; tRNS
    PNG_SIGNATURE + ihdr(2, 2) + ihdr(5, 5, 16, 0) + IDAT + IEND,  # only the first IHDR counts
    # APNG: the default image, its frames skipped.
    HEADER + chunk(b"acTL", bytes(8)) + chunk(b"fcTL", bytes(26)) + IDAT + chunk(b"fdAT", bytes(4) + ROWS) + IEND,
    # Image data split over chunks, one of them empty.
    HEADER + chunk(b"IDAT", ROWS[:7]) + chunk(b"IDAT", b"") + chunk(b"IDAT", ROWS[7:]) + IEND,
], ids=["bad ancillary CRC", "unknown ancillary, no IEND", "PLTE and tRNS of RGB", "second IHDR", "APNG",
        "split IDAT"])
def test_what_the_chunk_rules_let_through(data):
    image = load(data)
    assert (image.size, bytes(image._pixels)) == ((2, 2), bytes(range(10, 130, 10)))


@pytest.mark.parametrize("fields, message", [
    ((0, 1, 8, 2), "PNG IHDR: width 0 is not valid"),
    ((1, 1 << 31, 8, 2), "PNG IHDR: height 2147483648 is over 2147483647"),
    ((1, 1, 8, 5), "PNG IHDR: colour type 5 is not valid"),
    ((1, 1, 3, 2), "PNG IHDR: bit depth 3 is not valid for colour type 2"),
    ((1, 1, 16, 3), "PNG IHDR: bit depth 16 is not valid for colour type 3"),
    ((1, 1, 8, 2, 1), "PNG IHDR: compression method 1 is not valid"),
    ((1, 1, 8, 2, 0, 1), "PNG IHDR: filter method 1 is not valid"),
    ((1, 1, 8, 2, 0, 0, 2), "PNG IHDR: interlace method 2 is not valid"),
])
def test_header_fields_refused_naming_field_and_value(fields, message):
    data = PNG_SIGNATURE + ihdr(*fields) + IDAT + IEND
    with pytest.raises(ImageReadError, match=f"^{message}$"):
        load(data)
    info = probe(data)
    assert (info.width, info.height, info.readable, info.reason) == (*fields[:2], False, message)


# --- image data ---------------------------------------------------------------------

def grey_rows(width, height, filter_type=0):
    return (bytes([filter_type]) + bytes(width)) * height


@pytest.mark.parametrize("data, message", [
    (png(4, 6, grey_rows(4, 3), color_type=0), "PNG image data ends in row 3"),
    (png(16, 16, grey_rows(2, 2) + grey_rows(1, 2), color_type=0, interlace=1), "PNG image data ends in pass 2 row 1"),
    (png(4, 2, grey_rows(4, 2) + b"\0", color_type=0),
     "PNG chunk 'IDAT' at offset 33: the image data goes on past the image's last row"),
    (png(4, 2, b"", idat=b"\x78\x9c\xff\xff", color_type=0),
     "PNG chunk 'IDAT' at offset 33: invalid zlib data (Error -3 while decompressing data: invalid block type)"),
    (png(4, 3, grey_rows(4, 2) + b"\x05" + bytes(4), color_type=0), "PNG image data: row 2 has filter type 5"),
    (png(4, 4, b"\x07" + bytes(1), color_type=0, interlace=1), "PNG image data: pass 1 row 0 has filter type 7"),
])
def test_image_data_faults_name_where(data, message):
    with pytest.raises(ImageReadError) as refused:
        load(data)
    assert refused.value.args == (message,)
    assert isinstance(refused.value.__cause__, zlib.error) == ("zlib" in message)


def test_a_complete_stream_without_its_end_is_cut_short():
    packer = zlib.compressobj()
    stream = packer.compress(grey_rows(4, 2)) + packer.flush(zlib.Z_SYNC_FLUSH)
    with pytest.raises(ImageReadError, match="^PNG chunk 'IDAT' at offset 33: the zlib stream is cut short after "
                                              "the image's last row$"):
        load(png(4, 2, b"", idat=stream, color_type=0))


# --- inflaters --------------------------------------------------------------------------

ACCELERATED = [None, pytest.param("zlib-ng", marks=pytest.mark.needs("zlib-ng package"))]


@pytest.mark.corpus
@pytest.mark.parametrize("inflater", ACCELERATED)
@pytest.mark.parametrize("name", ["photos/kodim01.png", "pngsuite/png/oi9n2c16.png", "pngsuite/png/basi3p04.png",
                                  "pngsuite/png/z00n2c08.png", "bmpsuite/q/rgb24png.bmp"])
def test_every_inflater_gives_the_pixels_of_the_hosts_zlib(corpus, inflater, name):
    # kodim01 inflates in several bounded pieces; oi9n2c16 has nine IDAT chunks.
    expected = load(corpus / name, inflater="zlib")
    image = load(corpus / name, inflater=inflater)
    assert (image.size, image._pixels) == (expected.size, expected._pixels)


@pytest.mark.parametrize("inflater", ACCELERATED)
@pytest.mark.parametrize("damaged, zlib_says", [(1, "incorrect header check"), (-1, "incorrect data check")])
def test_every_inflater_refuses_damaged_data_with_zlibs_message(inflater, damaged, zlib_says):
    stream = bytearray(zlib.compress(grey_rows(4, 2)))
    stream[damaged] ^= 1
    with pytest.raises(ImageReadError) as refused:
        load(png(4, 2, b"", idat=bytes(stream), color_type=0), inflater=inflater)
    assert refused.value.args == (f"PNG chunk 'IDAT' at offset 33: invalid zlib data (Error -3 while "
                                  f"decompressing data: {zlib_says})",)
    assert type(refused.value.__cause__) is zlib.error


def test_inflater_choice(monkeypatch):
    data = png(4, 2, grey_rows(4, 2), color_type=0)
    assert Quorvel.inflaters() == ("zlib-ng",) * bool(importlib.util.find_spec("zlib_ng")) + ("zlib",)
    with pytest.raises(ValueError, match="^inflater must be one of 'zlib-ng', 'zlib' or None, not 'gzip'$"):
        load(data, inflater="gzip")
    # Without the zlib-ng package: the host's zlib, and a clear error when
    # zlib-ng is asked for.
    monkeypatch.setitem(Quorvel._read._found, "zlib-ng", None)
    assert Quorvel.inflaters() == ("zlib",)
    with pytest.raises(ImportError, match=r"^the inflater 'zlib-ng' needs the zlib-ng package: pip install "
                                          r"'Quorvel\[fast\]'$"):
        load(data, inflater="zlib-ng")


def test_importing_the_package_imports_no_inflater():
    loaded = subprocess.run([sys.executable, "-c", "import sys, Quorvel; print('zlib_ng' in sys.modules)"],
                            capture_output=True, text=True, check=True)
    assert loaded.stdout == "False\n"


# --- memory, the pixel limit, sources -------------------------------------------------

# Red, yellow, blue.
PALETTE_3 = bytes([0, 0, 255, 0, 0, 255, 255, 0, 255, 0, 0, 0])
RED, YELLOW, BLUE = bytes([255, 0, 0]), bytes([255, 255, 0]), bytes([0, 0, 255])


def rle8(width, height, data, *, palette=PALETTE_3 + bytes(20), **headers):
    """An 8-bit run-length coded BMP, by default with 8 palette entries."""
    entries = len(palette) // 4
    return bmp_headers(width, height, bpp=8, compression=1, offset=54 + len(palette), image_size=len(data),
                       colours=(entries, 0), file_size=54 + len(palette) + len(data), **headers) + palette + data


def allocation_peak(data, **options):
    """The outcome of loading `data` and the most memory allocated meanwhile,
    pages never touched included."""
    import tracemalloc

    tracemalloc.start()
    try:
        load(data, **options)
        outcome = None
    except ImageReadError as error:
        outcome = str(error)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return outcome, peak


@pytest.mark.memory
@pytest.mark.cpython_only("tracemalloc")
@pytest.mark.parametrize("data, message", [
    (png(1 << 30, 1, b"\x00\x01\x02", color_type=RGBA), "PNG image data ends in row 0"),
    (png(32, 1 << 26, grey_rows(64, 4), bit_depth=16, color_type=0), "PNG image data ends in row 4"),
    (png(1 << 20, 1 << 20, grey_rows(1 << 17, 3), color_type=0, interlace=1), "PNG image data ends in pass 1 row 3"),
    (bmp_headers(40000, 40000, file_size=0) + bytes(120000 * 3), "BMP pixel data ends in row 39996, 360000 of its "
                                                                  "4800000000 bytes in the file"),
    (rle8(30000, 30000, b"\x00\x01"), "BMP RLE8 data of 2 bytes cannot describe 30000x30000 pixels"),
], ids=["huge RGBA row", "grey16 rows", "interlaced", "BMP rows", "BMP RLE8"])
def test_a_small_file_claiming_a_huge_image_allocates_nothing_near_it(data, message):
    outcome, peak = allocation_peak(data)
    assert outcome == message
    assert peak < 8 << 20


@pytest.mark.memory
@pytest.mark.cpython_only("reference counts and tracemalloc")
def test_the_decoded_pixels_become_the_image_without_a_copy():
    width, height = 2000, 1000
    data = png(width, height, grey_rows(3 * width, height), color_type=RGB)
    # The pixels and the inflater's pieces, not two images' worth.
    outcome, peak = allocation_peak(data)
    assert outcome is None and peak < 1.5 * width * height * 3
    image = load(data)
    # Only the image holds its buffer (the count includes the argument).
    holders = sys.getrefcount(image._pixels)
    assert holders == 2
    assert type(image._pixels) is bytearray and len(image._pixels) == width * height * 3


@pytest.mark.parametrize("limit, outcome", [
    (None, None), (24, None), (23, "PNG image of 4x6 = 24 pixels is over max_pixels 23"),
    (2 ** 80, None), (-1, ValueError("max_pixels must be at least 0, not -1")),
    (2.5, TypeError("max_pixels must be an int or None, not float")),
])
def test_max_pixels(limit, outcome):
    data = png(4, 6, grey_rows(4, 6), color_type=0)
    if outcome is None or isinstance(outcome, str):
        try:
            assert load(data, max_pixels=limit).size == (4, 6) and outcome is None
        except ImageReadError as error:
            assert str(error) == outcome
        bmp = bmp_bytes(4, 6, bytes(72))
        if outcome:
            with pytest.raises(ImageReadError, match="^BMP image of 4x6 = 24 pixels is over max_pixels 23$"):
                load(bmp, max_pixels=limit)
    else:
        with pytest.raises(type(outcome), match=f"^{outcome}$"):
            load(data, max_pixels=limit)


def test_sources(tmp_path):
    data = png(4, 6, grey_rows(4, 6, 2), color_type=0)
    path = tmp_path / "grey.png"
    path.write_bytes(data)
    stream = io.BytesIO(b"junk" + data)
    stream.seek(4)
    for source in (str(path), path, data, bytearray(data), memoryview(data), stream):
        assert load(source).size == (4, 6) and probe(source if source is not stream else data).width == 4
    empty = tmp_path / "empty.png"
    empty.write_bytes(b"")
    with pytest.raises(ImageReadError, match="^the file is empty$"):
        probe(empty)
    with open(path, "r", encoding="latin-1") as text, pytest.raises(TypeError, match="binary mode"):
        load(text)
    with pytest.raises(TypeError, match="^source must be a file path, bytes, bytearray, memoryview or a binary file "
                                        "object, not int$"):
        probe(3)
    for junk, message in [(b"GIF89a", "not a PNG or BMP file"),
                          (b"\x89PNG\r\r\n\x1a", "PNG signature is damaged: 89 50 4e 47 0d 0d 0a 1a")]:
        with pytest.raises(ImageReadError, match=f"^{message}$"):
            load(junk)


# --- BMP ----------------------------------------------------------------------------------

@pytest.mark.parametrize("data, outcome", [
    # Runs cut at the row's end are read as Pillow reads them; data that
    # ends early or at an end of bitmap leaves index 0 (here red).
    (rle8(3, 2, b"\x05\x01\x00\x00\x01\x02\x00\x01"), BLUE + RED * 2 + YELLOW * 3),
    (rle8(3, 2, b"\x02\x01"), RED * 3 + YELLOW * 2 + RED),
    (rle8(3, 2, b"\x01\x00\x00\x03\x01\x01\x01\x00\x00\x01"),
     "BMP RLE8 data: a run or delta in row 1 reaches past the row's end"),
    (rle8(3, 2, b"\x00\x02\x04\x00\x00\x01"), "BMP RLE8 data: a run or delta in row 1 reaches past the row's end"),
    (rle8(3, 2, b"\x00\x01", palette=PALETTE_3), RED * 6),
    (bmp_headers(4, 1, bpp=8, offset=66, colours=(3, 0), file_size=70, image_size=4) + PALETTE_3 + b"\x01\x00\x05\x01",
     "BMP pixel data: row 0 uses palette index 5, past the palette's 3 entries"),
    (bmp_headers(4, 1, bpp=4, offset=66, colours=(3, 0), file_size=70, image_size=4) + PALETTE_3 + b"\x10\x02\x00\x00",
     YELLOW + RED * 2 + BLUE),
    (bmp_bytes(2, 2, bytes(12), file_size=1000), "BMP header: file size 1000 is more than the file's 70 bytes"),
    (bmp_bytes(2, 2, bytes(12), image_size=17), "BMP header: image size 17 is more than the 16 bytes from the pixel "
                                                "data on"),
    (bmp_bytes(2, 2, bytes(12), resolution=(2835, 20)), "BMP header: resolutions of 2835 and 20 pixels per metre "
                                                        "across and down differ more than 100 times"),
    (bmp_bytes(2, 2, bytes(12), compression=4), "BMP holds a JPEG image (compression 4), which is not read"),
    (bmp_headers(2, 2, bpp=7), "BMP header: bit count 7 is not valid with compression 0"),
], ids=["cut run", "early end", "absolute run past row", "delta past row", "short palette unused",
        "index past palette", "4-bit", "file size", "image size", "resolution", "JPEG", "bit count"])
def test_bmp_pixels_and_refusals(data, outcome):
    if isinstance(outcome, str):
        with pytest.raises(ImageReadError) as refused:
            load(data)
        assert refused.value.args == (outcome,)
    else:
        assert bytes(load(data)._pixels) == outcome


def test_a_bmp_holding_a_png_reads_through_the_png_reader():
    inner = png(2, 2, grey_rows(6, 2), color_type=RGB)

    def holding(width, height):
        headers = bmp_headers(width, height, header_size=124, bpp=0, compression=5, offset=138,
                              image_size=len(inner), file_size=138 + len(inner))
        return headers + bytes(84) + inner

    assert load(holding(2, 2))._pixels == bytes(12)
    info = probe(holding(2, 2))
    assert (info.format, info.compression, info.readable) == ("BMP", 5, True)
    message = "BMP holds a PNG at offset 138 of 2x2 pixels, not the 3x2 of the BMP header"
    with pytest.raises(ImageReadError, match=f"^{message}$"):
        load(holding(3, 2))
    assert probe(holding(3, 2)).reason == message


# --- what SimpleImage.open would do -------------------------------------------------------

@pytest.mark.parametrize("data", [
    png(2, 2, grey_rows(6, 2)),
    png(2, 2, grey_rows(2, 2), color_type=0),
    png(2, 2, grey_rows(12, 2), bit_depth=16),
    png(2, 2, grey_rows(6, 2), interlace=1),
    # A later IHDR wins in SimpleImage.open; the first one in load.
    PNG_SIGNATURE + ihdr(2, 2) + chunk(b"IDAT", zlib.compress(grey_rows(6, 2))) + ihdr(2, 2, 16) + IEND,
    png(2, 2, grey_rows(6, 2))[:-20],
    png(2, 2, grey_rows(6, 2))[:-14],
    PNG_SIGNATURE + ihdr(1 << 31, 2) + IDAT + IEND,
    # The host's struct.error, in the words of CPython's struct module.
    pytest.param(PNG_SIGNATURE + ihdr(2, 2) + IDAT + chunk(b"IHDR", bytes(12)) + IEND,
                 marks=pytest.mark.cpython_only("struct module's wording")),
    bmp_bytes(2, 2, bytes(12)),
    bmp_bytes(2, -2, bytes(12)),
    bmp_bytes(2, 2, bytes(12))[:-1],
    bmp_headers(-2, 2) + bytes(16),
    bmp_headers(2, 2, header_size=124) + bytes(84 + 16),
    bmp_headers(2, 2, bpp=8, offset=66, colours=(3, 0)) + PALETTE_3 + bytes(8),
    rle8(3, 2, b"\x00\x01"),
], ids=["RGB", "grey", "16-bit", "interlaced", "later IHDR", "cut in data", "cut in CRC", "wide", "IHDR length",
        "BMP", "top-down BMP", "short BMP", "negative width", "BMP V5", "BMP 8-bit", "RLE8"])
def test_probe_foretells_what_simple_image_open_does(data):
    try:
        SimpleImage.open(data)
        refusal = None
    except Exception as error:  # the decoders raise the host's errors too
        refusal = str(error)
    try:
        info = probe(data)
    except ImageReadError:
        pytest.fail("probe cannot read these headers")
    assert (info.opens, info.open_refusal) == (refusal is None, refusal)


@pytest.mark.slow
def test_an_interrupt_stops_the_inflating(interrupt_after):
    packer = zlib.compressobj(9)
    # 512 MiB of image data, for an image four times as large: inflated to
    # find where it ends, which takes the host's zlib about a second (zlib-ng
    # fills runs of zeros too fast for the timer).
    idat = b"".join(packer.compress(bytes(1 << 20)) for _ in range(512)) + packer.flush()
    data = png(1 << 15, 1 << 16, b"", idat=idat, color_type=0)
    interrupt_after(0.1)
    with pytest.raises(KeyboardInterrupt) as interrupted:
        load(data, inflater="zlib")
    # Raised inside load, not once it had refused the file.
    assert interrupted.value.__context__ is None
