"""Quorvel.encode_png and save_png, and the native encoder behind them: every
file decodes to exactly the image in this module, in Pillow and in
pngcheck; the rows are filtered as the per-row choice says and compressed
by the host's zlib as the chosen settings say; a file is written only once
its bytes are complete."""
import gc
import io
import os
import pathlib
import random
import shutil
import signal
import struct
import subprocess
import sys
import time
import zlib

import pytest
from PIL import Image

from builders import OLD_CONTENT, PNG_SIGNATURE, bmp_bytes, corpus_dir, random_pixels, run_quorvel, text_pixels
import Quorvel
from Quorvel import _png_writer
from Quorvel._png import Candidate
from Quorvel._png_reduce import RGB_FORMAT as RGB
from Quorvel.tessarin_ext import SimpleImage

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "bench"))

# Per-row choices by their weights for None, Sub, Up, Average, Paeth.
ADAPTIVE = (8, 8, 8, 9, 9)
ADAPTIVE_PLAIN = (8, 8, 8, 8, 8)
MODES = [(0, 9), (1, 6), (2, 6), (3, 6), (4, 6), (ADAPTIVE, 6), (ADAPTIVE, 0), (ADAPTIVE_PLAIN, 6),
         ((1, 64, 5, 9, 2), 6), ((8, 8, 8, 0, 8), 6), ((0, 3, 3, 0, 0), 6)]


def candidate(mode, level=6, window_bits=15, memory_level=9, strategy=zlib.Z_FILTERED, handicap=0, sample_level=None,
              margin=0):
    return Candidate(mode, level, strategy, window_bits, memory_level, handicap, sample_level, margin)


def encode(image, candidates, sample=(), finalists=1, segments=1, threads=1):
    """The file and the index of the candidate chosen."""
    data, chosen, _, _ = _png_writer.encode(image._pixels, image.width, image.height, list(candidates),
                                            list(sample), finalists, segments, threads, RGB)
    return data, chosen


# --- reading the files back, independently of the module ---------------------


def chunks(data):
    """The (type, payload) pairs of a PNG file, each CRC checked."""
    assert data[:8] == PNG_SIGNATURE
    found, at = [], 8
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        tag, payload = data[at + 4:at + 8], data[at + 8:at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        assert crc == zlib.crc32(tag + payload), tag
        found.append((tag, payload))
        at += 12 + length
    return found


def image_data(data):
    """The IHDR fields and the joined IDAT payloads of a file with the one
    layout the encoder writes: IHDR, IDAT chunks, IEND."""
    parts = chunks(data)
    tags = [tag for tag, _ in parts]
    assert tags[0] == b"IHDR" and tags[-1] == b"IEND" and set(tags[1:-1]) == {b"IDAT"}
    return struct.unpack(">IIBBBBB", parts[0][1]), b"".join(payload for tag, payload in parts if tag == b"IDAT")


def filter_types(data):
    (width, height, *_), stream = image_data(data)
    raw = zlib.decompress(stream)
    return [raw[y * (width * 3 + 1)] for y in range(height)]


def assert_decodes_to(data, image):
    """The file holds exactly `image`, as this module and Pillow read it."""
    (width, height, depth, colour, *methods), _ = image_data(data)
    assert (width, height, depth, colour, methods) == (image.width, image.height, 8, 2, [0, 0, 0])
    again = SimpleImage.open(data)
    assert (again.width, again.height, again._pixels) == (image.width, image.height, image._pixels)
    with Image.open(io.BytesIO(data)) as pillow:
        assert pillow.mode == "RGB" and pillow.size == (image.width, image.height)
        assert pillow.tobytes() == bytes(image._pixels)


# --- the reference: rows filtered straight from the definitions --------------


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else b if pb <= pc else c


def filtered(filter_type, row, above):
    out = bytearray(len(row))
    for i, byte in enumerate(row):
        left = row[i - 3] if i >= 3 else 0
        up_left = above[i - 3] if i >= 3 else 0
        prediction = [0, left, above[i], (left + above[i]) // 2, paeth(left, above[i], up_left)][filter_type]
        out[i] = (byte - prediction) & 255
    return out


def reference_scanlines(width, height, pixels, mode):
    stride, raw, above = width * 3, bytearray(), bytes(width * 3)
    for y in range(height):
        row = pixels[y * stride:(y + 1) * stride]
        rows = [filtered(t, row, above) for t in range(5)]
        if isinstance(mode, tuple):
            # Ties go to None, Up, Sub, Average, Paeth in this order; a
            # weight of 0 leaves its type out.
            costs = {t: sum(min(b, 256 - b) for b in rows[t]) * mode[t] for t in (0, 2, 1, 3, 4) if mode[t]}
            mode_of_row = min(costs, key=costs.__getitem__) if costs else 0
        else:
            mode_of_row = mode
        raw.append(mode_of_row)
        raw += rows[mode_of_row]
        above = row
    return bytes(raw)


# --- contents -----------------------------------------------------------------


def content(width, height, kind, seed=0):
    """Pixels of one kind: noise; a gradient with noise (Average and Paeth
    rows); flat panels with text-like marks (None and Up rows); few colours."""
    rng = random.Random(f"{kind}-{width}-{height}-{seed}")
    if kind == "noise":
        return random_pixels(width, height, seed)
    pixels = bytearray(width * height * 3)
    for y in range(height):
        for x in range(width):
            at = (y * width + x) * 3
            if kind == "gradient":
                pixels[at:at + 3] = bytes(min(255, max(0, v + rng.randint(-3, 3)))
                                          for v in (x * 5 % 256, y * 7 % 256, (x + y) * 3 % 256))
            elif kind == "panels":
                mark = (x * 7 + y * 3) % 11 < 2 and y % 9 < 6
                pixels[at:at + 3] = b"\x14\x18\x20" if mark else bytes([240 - 60 * (x * 4 // max(width, 1))] * 3)
            else:
                pixels[at:at + 3] = [b"\x00\x00\x00", b"\xff\x00\x00", b"\x10\x80\xf0"][rng.randrange(3)]
    return bytes(pixels)


KINDS = ["noise", "gradient", "panels", "colours"]


def image_of(width, height, kind="gradient", seed=0):
    return SimpleImage(width, height, content(width, height, kind, seed))


# --- round trips ----------------------------------------------------------------


@pytest.mark.parametrize("height", [1, 2, 3])
@pytest.mark.parametrize("width", range(1, 65))
def test_random_sizes_round_trip_at_every_level(width, height):
    image = image_of(width, height, KINDS[(width + height) % 4], seed=width)
    for level in range(10):
        assert_decodes_to(Quorvel.encode_png(image, compress_level=level), image)
    assert_decodes_to(Quorvel.encode_png(image, optimize=True), image)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("mode, level", MODES)
@pytest.mark.parametrize("width, height", [(1, 1), (1, 5), (11, 3), (33, 17), (120, 40)])
def test_rows_are_filtered_as_the_reference_says(width, height, kind, mode, level):
    image = image_of(width, height, kind)
    data, chosen = encode(image, [candidate(mode, level)])
    assert chosen == 0
    _, stream = image_data(data)
    assert zlib.decompress(stream) == reference_scanlines(width, height, bytes(image._pixels), mode)
    assert_decodes_to(data, image)


@pytest.mark.parametrize("strategy", [zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED, zlib.Z_RLE, zlib.Z_HUFFMAN_ONLY])
# (Level 0's stored blocks do depend on how the input is divided.)
@pytest.mark.parametrize("level, window_bits, memory_level", [(1, 9, 1), (3, 10, 5), (6, 15, 9), (9, 12, 8)])
@pytest.mark.parametrize("width, height", [(5, 4), (700, 300)])
def test_image_data_is_one_host_zlib_stream_with_the_settings(width, height, level, window_bits, memory_level,
                                                                strategy):
    # 700x300 is several pieces of scanlines, each compressed by its own call.
    image = image_of(width, height, "gradient")
    data, _ = encode(image, [candidate(ADAPTIVE, level, window_bits, memory_level, strategy)])
    compressor = zlib.compressobj(level, zlib.DEFLATED, window_bits, memory_level, strategy)
    raw = reference_scanlines(width, height, bytes(image._pixels), ADAPTIVE) if width < 100 else \
        zlib.decompress(image_data(data)[1])
    assert image_data(data)[1] == compressor.compress(raw) + compressor.flush()


@pytest.mark.slow
def test_wide_rows_of_pieces_of_one_row(tmp_path):
    # Rows longer than a piece of scanlines go one to a piece.
    image = image_of(100_000, 2, "noise")
    assert_decodes_to(Quorvel.encode_png(image, compress_level=1), image)


def test_large_image_data_is_split_into_idat_chunks_of_one_mebibyte():
    image = image_of(800, 600, "noise")
    data = Quorvel.encode_png(image, compress_level=1)
    sizes = [len(payload) for tag, payload in chunks(data) if tag == b"IDAT"]
    assert len(sizes) > 1 and set(sizes[:-1]) == {1 << 20} and 0 < sizes[-1] <= 1 << 20
    assert_decodes_to(data, image)


@pytest.mark.parametrize("kind", ["gradient", "panels"])
def test_bench_images_round_trip(kind):
    bench_images = pytest.importorskip("bench_images")
    make = bench_images.synthetic_rgb if kind == "gradient" else bench_images.synthetic_graphics
    for width, height in [(64, 48), (256, 256), (300, 7)]:
        image = SimpleImage(width, height, make(width, height).tobytes())
        for options in [{}, {"optimize": True}, {"compress_level": 1}, {"compress_level": 9}]:
            assert_decodes_to(Quorvel.encode_png(image, **options), image)


def corpus_files():
    found = corpus_dir()
    if found is None:
        return []
    return sorted(str(path.relative_to(found)) for path in found.rglob("*")
                  if path.suffix.lower() in (".png", ".bmp") and path.is_file())


@pytest.mark.corpus
@pytest.mark.slow
@pytest.mark.parametrize("name", corpus_files())
def test_corpus_round_trip(corpus, name):
    try:
        image = SimpleImage.open(str(corpus / name))
    except (ValueError, OSError, MemoryError):
        pytest.skip("not an image this module opens (test_corpus.py covers why)")
    assert_decodes_to(Quorvel.encode_png(image), image)
    if image.width * image.height <= 300_000:
        assert_decodes_to(Quorvel.encode_png(image, optimize=True), image)


@pytest.mark.skipif(shutil.which("pngcheck") is None, reason="pngcheck not installed")
def test_pngcheck_accepts_every_kind_of_file(tmp_path):
    paths = []
    for width, height in [(1, 1), (3, 2), (64, 3), (257, 31), (800, 600)]:
        for kind in KINDS:
            image = image_of(width, height, kind)
            for options in [{}, {"optimize": True}, {"compress_level": 0}, {"compress_level": 1}]:
                path = tmp_path / f"{width}x{height}-{kind}-{len(paths)}.png"
                Quorvel.save_png(image, path, **options)
                paths.append(str(path))
    done = subprocess.run(["pngcheck", "-q", *paths], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


# --- choosing among candidates ---------------------------------------------------


def test_without_a_sample_the_smallest_candidate_is_written():
    image = image_of(90, 40, "panels")
    options = [candidate(0, 1), candidate(ADAPTIVE, 9), candidate(1, 4, strategy=zlib.Z_RLE), candidate(2, 0)]
    sizes = [len(encode(image, [option])[0]) for option in options]
    data, chosen = encode(image, options)
    assert chosen == sizes.index(min(sizes)) and len(data) == min(sizes)
    assert encode(image, [options[0], options[0]])[1] == 0


def test_a_sample_picks_the_candidate_that_compresses_it_best():
    # Stored rows against deflated ones: the sample says which is smaller,
    # and only that candidate compresses the whole image.
    image = image_of(120, 64, "gradient")
    options = [candidate(0, 0), candidate(ADAPTIVE, 6)]
    data, chosen = encode(image, options, sample=[(10, 14), (40, 44)])
    assert chosen == 1 and data == encode(image, [options[1]])[0]


def test_a_sample_is_compressed_at_the_sample_level():
    # The same settings but for the sample's level: stored, that sample loses.
    image = image_of(80, 60, "gradient")
    options = [candidate(ADAPTIVE, 9, sample_level=0), candidate(ADAPTIVE, 9)]
    data, chosen, samples, full = _png_writer.encode(image._pixels, 80, 60, options, [(20, 30)], 1, 1, 1, RGB)
    assert chosen == 1 and full == (0, len(image_data(data)[1]))
    assert samples[0] > 10 * (80 * 3 + 1) > samples[1]
    assert data == encode(image, [candidate(ADAPTIVE, 9)])[0]


def test_a_handicap_decides_a_tie_of_samples():
    image = image_of(60, 30, "noise")
    same = candidate(ADAPTIVE, 6)
    assert encode(image, [same, same], sample=[(0, 5)])[1] == 0
    assert encode(image, [candidate(ADAPTIVE, 6, handicap=1), same], sample=[(0, 5)])[1] == 1


def test_finalists_compress_the_whole_image_and_the_smallest_is_kept():
    image = image_of(90, 60, "panels")
    options = [candidate(ADAPTIVE, 6), candidate(0, 6), candidate(1, 6)]
    sizes = [len(encode(image, [option])[0]) for option in options]
    data, chosen = encode(image, options, sample=[(0, 60)], finalists=3)
    assert len(data) == min(sizes) and chosen == sizes.index(min(sizes))


@pytest.mark.parametrize("margin, whole", [(0, 1), (9, 1), (10, 2), (20, 2)])
def test_a_candidate_within_its_margin_of_the_best_sample_is_compressed_whole(margin, whole):
    # The same settings twice, the second's sample counted 1 % larger: only
    # a margin of 1 % or more has it compress the whole image too.
    image = image_of(120, 64, "gradient")
    options = [candidate(ADAPTIVE, 6), candidate(ADAPTIVE, 6, handicap=10, margin=margin)]
    data, chosen, samples, full = _png_writer.encode(image._pixels, 120, 64, options, [(10, 20)], 1, 1, 1, RGB)
    assert samples[0] == samples[1]
    assert sum(size > 0 for size in full) == whole and chosen == 0 and len(image_data(data)[1]) == full[0]


# --- segments and threads --------------------------------------------------------


@pytest.mark.parametrize("width, height, kind, segments", [
    (1, 1, "gradient", 16), (7, 3, "gradient", 2), (40, 17, "panels", 3), (33, 64, "colours", 16),
    (700, 300, "noise", 8),
])
def test_segments_make_one_stream_whichever_threads_run_them(width, height, kind, segments):
    # More segments than rows become one a row; the Adler-32 of the joined
    # stream is checked as the stream is inflated.
    image = image_of(width, height, kind)
    files = {encode(image, [candidate(ADAPTIVE, 6)], segments=segments, threads=threads)[0] for threads in (1, 2, 5)}
    assert len(files) == 1
    data = files.pop()
    assert_decodes_to(data, image)
    single, _ = encode(image, [candidate(ADAPTIVE, 6)])
    assert zlib.decompress(image_data(data)[1]) == zlib.decompress(image_data(single)[1])


@pytest.mark.parametrize("window_bits", [9, 15])
def test_a_segment_matches_back_across_the_join(window_bits):
    # Every row the same noise, unfiltered: a segment without the rows
    # before it as its dictionary would store its first row again, 1500
    # bytes a join. (A 512-byte window holds less than a row.)
    row = random_pixels(500, 1, 7)
    image = SimpleImage(500, 64, row * 64)
    option = candidate(0, 6, window_bits=window_bits)
    single, _ = encode(image, [option])
    joined, _ = encode(image, [option], segments=8, threads=2)
    assert_decodes_to(joined, image)
    assert len(joined) < len(single) + 7 * 100


@pytest.mark.parametrize("threads", [2, 3])
def test_samples_on_threads_choose_as_on_one(threads):
    image = image_of(90, 60, "panels")
    options = [candidate(0, 1), candidate(ADAPTIVE, 9), candidate(1, 4, strategy=zlib.Z_RLE), candidate(2, 6)]
    arguments = (image._pixels, 90, 60, options, [(5, 15), (40, 50)], 2, 2)
    assert _png_writer.encode(*arguments, threads, RGB) == _png_writer.encode(*arguments, 1, RGB)


@pytest.mark.parametrize("pixels, options", [
    (random_pixels(640, 580, 3), {"compress_level": 1}),
    (text_pixels(640, 580), {}),
    (text_pixels(640, 580), {"optimize": True}),
])
def test_encode_png_bytes_do_not_depend_on_the_processors(monkeypatch, pixels, options):
    # 1.1 MB of scanlines: two segments (and for the text, Pillow's
    # configuration as one).
    image = SimpleImage(640, 580, pixels)
    files = set()
    for processors in (1, 2, 4):
        monkeypatch.setattr(Quorvel._png, "_threads", lambda: processors)
        files.add(Quorvel.encode_png(image, **options))
    assert len(files) == 1
    assert_decodes_to(files.pop(), image)


# --- the native function's arguments ---------------------------------------------


@pytest.mark.parametrize("arguments, error, message", [
    ((b"\0" * 3, 1, 1, [candidate(0)], [], 1), TypeError, "encode() takes exactly 9 positional arguments (6 given)"),
    ((b"\0" * 3, 0, 1, [candidate(0)], [], 1, 1, 1, RGB), ValueError, "width must be from 1 to 2147483647, not 0"),
    ((b"\0" * 3, 1, 2**31, [candidate(0)], [], 1, 1, 1, RGB), ValueError,
     "height must be from 1 to 2147483647, not 2147483648"),
    ((b"\0" * 3, 1.0, 1, [candidate(0)], [], 1, 1, 1, RGB), TypeError, "width must be an int, not float"),
    ((b"\0" * 3, 1, 1, [], [], 1, 1, 1, RGB), ValueError, "candidates must have 1 to 16 items, not 0"),
    ((b"\0" * 3, 1, 1, [candidate(0)] * 17, [], 1, 1, 1, RGB), ValueError, "candidates must have 1 to 16 items, not 17"),
    ((b"\0" * 3, 1, 1, [(0, 6, 15, 9, 1, 0, 6, 0)], [], 1, 1, 1, RGB), AttributeError, None),
    ((b"\0" * 3, 1, 1, [candidate(0, margin=-1)], [], 1, 1, 1, RGB), ValueError,
     "candidate.finalist_margin must be from 0 to 1000, not -1"),
    ((b"\0" * 3, 1, 1, [candidate(0, sample_level=10)], [], 1, 1, 1, RGB), ValueError,
     "candidate.sample_level must be from -1 to 9, not 10"),
    ((b"\0" * 3, 1, 1, [candidate(0, strategy=1.0)], [], 1, 1, 1, RGB), TypeError,
     "candidate.strategy must be an int, not float"),
    ((b"\0" * 3, 1, 1, [candidate(5)], [], 1, 1, 1, RGB), ValueError, "a filter type must be from 0 to 4, not 5"),
    ((b"\0" * 3, 1, 1, [candidate((8, 8, 8, 8))], [], 1, 1, 1, RGB), ValueError,
     "the filter weights must have 5 fields, not 4"),
    ((b"\0" * 3, 1, 1, [candidate((8, 8, 8, 8, 65))], [], 1, 1, 1, RGB), ValueError,
     "the filter weights must be from 0 to 64, not 65"),
    ((b"\0" * 3, 1, 1, [candidate(0, window_bits=-15)], [], 1, 1, 1, RGB), ValueError,
     "candidate.window_bits must be from 9 to 15, not -15"),
    ((b"\0" * 3, 1, 1, [candidate(0)], [(0, 2)], 1, 1, 1, RGB), ValueError, "a sample strip must be from 1 to 1, not 2"),
    ((b"\0" * 6, 1, 2, [candidate(0)], [(1, 1)], 1, 1, 1, RGB), ValueError, "a sample strip must end after it starts"),
    ((b"\0" * 3, 1, 1, [candidate(0)], [], 0, 1, 1, RGB), ValueError, "finalists must be from 1 to 16, not 0"),
    ((b"\0" * 3, 1, 1, [candidate(0)], [], 1, 17, 1, RGB), ValueError, "segments must be from 1 to 16, not 17"),
    ((b"\0" * 3, 1, 1, [candidate(0)], [], 1, 1, 0, RGB), ValueError, "threads must be from 1 to 16, not 0"),
    ((b"\0" * 4, 1, 1, [candidate(0)], [], 1, 1, 1, RGB), ValueError, "Pixel data length does not match image dimensions"),
    (("abc", 1, 1, [candidate(0)], [], 1, 1, 1, RGB), TypeError, None),
    ((b"\0" * 3, 1, 1, [7], [], 1, 1, 1, RGB), AttributeError, None),
])
def test_native_arguments_are_checked(arguments, error, message):
    with pytest.raises(error) as raised:
        _png_writer.encode(*arguments)
    if message is not None:
        assert str(raised.value) == message


@pytest.mark.cpython_only("signal handlers that run inside a C call, so the resize lands while the pixels are read")
def test_the_pixels_cannot_be_resized_while_they_are_read():
    # A signal handler runs between pieces of scanlines; the buffer export
    # the encoder holds makes its resize fail, and that failure ends the call.
    pixels = bytearray(os.urandom(1000 * 1000 * 3).translate(bytes(i & 3 for i in range(256))))

    def grow(signum, frame):
        pixels.extend(b"\0")

    previous = signal.signal(signal.SIGALRM, grow)
    # With the collector off, the handler cannot run inside a collection's
    # callback (a test library's), which would swallow its error.
    gc.disable()
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(BufferError):
            _png_writer.encode(pixels, 1000, 1000, [candidate(ADAPTIVE, 9)], [], 1, 1, 1, RGB)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        gc.enable()
    assert len(pixels) == 1000 * 1000 * 3


# --- the package functions ------------------------------------------------------


@pytest.mark.parametrize("make_path", [str, pathlib.Path, os.fsencode])
def test_save_png_writes_exactly_encode_png_bytes(tmp_path, make_path):
    image = image_of(40, 30, "panels")
    path = tmp_path / "out.png"
    assert Quorvel.save_png(image, make_path(str(path)), compress_level=4) is None
    assert path.read_bytes() == Quorvel.encode_png(image, compress_level=4)


def test_save_png_replaces_an_existing_file(existing):
    image = image_of(10, 10)
    Quorvel.save_png(image, existing)
    assert existing.read_bytes() == Quorvel.encode_png(image)


@pytest.mark.parametrize("options", [{"compress_level": 10}, {"compress_level": "6"}, {"optimize": 1}])
def test_save_png_with_bad_options_keeps_the_file(existing, options):
    with pytest.raises((TypeError, ValueError)):
        Quorvel.save_png(image_of(4, 4), existing, **options)
    assert existing.read_bytes() == OLD_CONTENT


def test_save_png_of_an_image_whose_pixels_no_longer_fit_keeps_the_file(existing):
    image = image_of(4, 4)
    image.width = 5
    with pytest.raises(ValueError, match="^Pixel data length does not match image dimensions$"):
        Quorvel.save_png(image, existing)
    assert existing.read_bytes() == OLD_CONTENT


def without_pixels():
    image = image_of(2, 2)
    image._pixels = None
    return image


@pytest.mark.parametrize("call, error, message", [
    (lambda: Quorvel.encode_png(b"\0\0\0"), TypeError, "image must be a SimpleImage, not bytes"),
    (lambda: Quorvel.encode_png(image_of(1, 1), compress_level=True), TypeError,
     "compress_level must be an int, not bool"),
    (lambda: Quorvel.encode_png(image_of(1, 1), compress_level=6.0), TypeError,
     "compress_level must be an int, not float"),
    (lambda: Quorvel.encode_png(image_of(1, 1), compress_level=-1), ValueError,
     "compress_level must be from 0 to 9, not -1"),
    (lambda: Quorvel.encode_png(image_of(1, 1), optimize="yes"), TypeError, "optimize must be a bool, not str"),
    (lambda: Quorvel.encode_png(SimpleImage(0, 3, b"")), ValueError,
     "a PNG image has at least one pixel: this one is 0x3"),
    (lambda: Quorvel.encode_png(image_of(1, 1), 6), TypeError, None),
    (lambda: Quorvel.encode_png(without_pixels()), TypeError, "the image has no pixel buffer: its _pixels is None"),
])
def test_package_arguments_are_checked(call, error, message):
    with pytest.raises(error) as raised:
        call()
    if message is not None:
        assert str(raised.value) == message


def test_level_zero_stores_the_rows_unfiltered():
    image = image_of(30, 20, "gradient")
    data = Quorvel.encode_png(image, compress_level=0)
    assert set(filter_types(data)) == {0}
    assert len(image_data(data)[1]) > 20 * (30 * 3 + 1)


# Unfiltered rows of flat panels compress well already; a gradient's do not.
@pytest.mark.parametrize("kind, share", [("gradient", 0.6), ("panels", 1.0)])
def test_default_is_smaller_than_save(tmp_path, kind, share):
    image = image_of(300, 200, kind)
    image.save(str(tmp_path / "saved.png"))
    assert len(Quorvel.encode_png(image)) < share * (tmp_path / "saved.png").stat().st_size


def pillow_size(image, **options):
    out = io.BytesIO()
    Image.frombytes("RGB", image.size, bytes(image._pixels)).save(out, "PNG", **options)
    return len(out.getvalue())


# Small and graphic images, where a sample of the rows misleads: tiny ones,
# few colours, flat panels, text. Those of 700x500 have a sample and two
# segments; the panels are also compressed as Pillow's configuration.
@pytest.mark.needs("Pillow")
@pytest.mark.parametrize("width, height, kind", [
    (16, 16, "noise"), (32, 32, "colours"), (64, 48, "gradient"), (90, 40, "panels"), (700, 500, "panels"),
    (200, 120, "text"), (700, 500, "text"),
])
def test_never_larger_than_pillow(width, height, kind):
    pixels = text_pixels(width, height) if kind == "text" else content(width, height, kind)
    image = SimpleImage(width, height, pixels)
    default, optimized = Quorvel.encode_png(image), Quorvel.encode_png(image, optimize=True)
    assert len(default) <= pillow_size(image)
    assert len(optimized) <= min(pillow_size(image, optimize=True), len(default))
    assert_decodes_to(optimized, image)


# --- the command line ----------------------------------------------------------


@pytest.fixture
def bmp_source(tmp_path):
    image = image_of(90, 40, "panels")
    path = tmp_path / "source.bmp"
    path.write_bytes(bmp_bytes(image.width, image.height, bytes(image._pixels)))
    return image, path


def test_convert_writes_the_filtered_png(tmp_path, bmp_source):
    image, source = bmp_source
    result = run_quorvel("convert", source, tmp_path / "out.png")
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "out.png").read_bytes() == Quorvel.encode_png(image)


@pytest.mark.parametrize("batch", [False, True])
def test_convert_unfiltered_writes_exactly_what_save_writes(tmp_path, bmp_source, batch):
    image, source = bmp_source
    if batch:
        result = run_quorvel("convert", "--unfiltered", source, "--to", "png", "-o", tmp_path / "out", "-j", "1")
        written = tmp_path / "out" / "source.png"
    else:
        result = run_quorvel("convert", "--unfiltered", source, tmp_path / "out.png")
        written = tmp_path / "out.png"
    assert result.returncode == 0, result.stderr
    image.save(str(tmp_path / "saved.png"))
    assert written.read_bytes() == (tmp_path / "saved.png").read_bytes()


def test_convert_unfiltered_to_bmp_is_a_usage_error(tmp_path, bmp_source):
    _, source = bmp_source
    result = run_quorvel("convert", "--unfiltered", source, tmp_path / "out.bmp")
    assert result.returncode == 2
    assert "--unfiltered applies to PNG output only" in result.stderr
    assert not (tmp_path / "out.bmp").exists()


# --- interrupts -------------------------------------------------------------------


@pytest.mark.parametrize("width, height, delay, optimize, bound", [
    (2000, 1500, 0.3, False, 0.5),
    pytest.param(3000, 2000, 0.3, False, 1.0, marks=[pytest.mark.slow, pytest.mark.memory]),
    pytest.param(3000, 2000, 0.3, True, 1.0, marks=[pytest.mark.slow, pytest.mark.memory]),
])
def test_interrupted_save_png_is_prompt_and_keeps_the_file(existing, interrupt_after, width, height, delay, optimize,
                                                           bound):
    # Low-entropy noise, which the host's deflate is slowest on: over a
    # second of work even on two threads, so an interrupt answered only at
    # the end would come far too late.
    pixels = os.urandom(width * height * 3).translate(bytes(i & 3 for i in range(256)))
    image = SimpleImage(width, height, pixels)
    threads_before = len(os.listdir("/proc/self/task"))
    due = interrupt_after(delay)
    with pytest.raises(KeyboardInterrupt):
        Quorvel.save_png(image, existing, compress_level=9, optimize=optimize)
    waited = time.monotonic() - due
    assert existing.read_bytes() == OLD_CONTENT
    assert waited < bound, f"the interrupt was answered {waited:.2f} s after it came"
    # The encoder's threads have stopped: at most their last moments remain.
    while len(os.listdir("/proc/self/task")) > threads_before and time.monotonic() < due + 2:
        time.sleep(0.01)
    assert len(os.listdir("/proc/self/task")) == threads_before
