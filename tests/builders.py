"""Helpers shared by the tests, the fuzzers and the reference-leak check.

PNG and BMP files are built here from zlib and struct alone, independent of
the module's own chunk builder and encoders, so that a fault in those cannot
hide on both sides of a comparison. Nothing here imports pytest.
"""
import csv
import io
import os
import pathlib
import random
import struct
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
RGB, RGBA = 2, 6
# What a test puts in a file that a failing save must leave as it was.
OLD_CONTENT = b"existing file, not an image \x00\x01\x02"
SUBCLASS_NOTE = "Subclasses of built-in types are rejected; pass an instance of the exact type."

_REPO = pathlib.Path(__file__).resolve().parents[1]


CORPUS_MISSING = "image corpus not found: set QUORVEL_CORPUS, or place it in shared/corpus beside the repository"


def corpus_dir() -> pathlib.Path | None:
    """The shared corpus of images written by others, if this machine has it:
    where QUORVEL_CORPUS names it, or in shared/corpus beside the repository."""
    for candidate in (os.environ.get("QUORVEL_CORPUS"), _REPO.parent / "shared" / "corpus"):
        if candidate and (pathlib.Path(candidate) / "manifest.tsv").is_file():
            return pathlib.Path(candidate)
    return None


def corpus_manifest() -> list[dict[str, str]]:
    """The rows of the corpus's manifest.tsv (one per file: its header fields
    and what Pillow made of it); none without the corpus."""
    found = corpus_dir()
    if found is None:
        return []
    with open(found / "manifest.tsv", newline="") as table:
        return list(csv.DictReader(table, delimiter="\t"))


# --- oracles: other libraries' reading of a file, as 8-bit RGB ---------------


def pillow_rgb(path) -> tuple[tuple[int, int], bytes]:
    """Pillow's size and `convert("RGB")` bytes of the image at `path`: alpha
    dropped without compositing."""
    from PIL import Image

    with Image.open(path) as opened:
        return opened.size, opened.convert("RGB").tobytes()


def pypng_rgb(source) -> tuple[tuple[int, int], bytes]:
    """pypng's decoded samples of the PNG at `source` (a path, or the file's
    bytes), reduced to 8-bit RGB: a
    palette index past the palette's end black, alpha and tRNS dropped,
    greyscale spread to three channels, depths under 8 scaled by bit
    replication (which equals v * 255 // (2**depth - 1)), 16-bit samples cut
    to their high byte. Raises pypng's or zlib's error for a file it refuses."""
    import warnings

    import numpy
    import png as pypng

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # pypng warns of ancillary chunks out of place
        reader = pypng.Reader(bytes=source) if isinstance(source, bytes) else pypng.Reader(filename=str(source))
        width, height, rows, info = reader.read()
        samples = numpy.array([numpy.asarray(row) for row in rows], dtype=numpy.uint32)
    samples = samples.reshape(height, width, info["planes"])
    depth = info["bitdepth"]
    if not info["greyscale"] and info["planes"] == 1:
        colours = numpy.zeros((256, 3), dtype=numpy.uint32)
        palette = numpy.array([entry[:3] for entry in info["palette"]], dtype=numpy.uint32).reshape(-1, 3)
        colours[:len(palette)] = palette[:256]
        rgb = colours[samples[..., 0]]
    else:
        rgb = samples[..., :1].repeat(3, axis=2) if info["greyscale"] else samples[..., :3]
        rgb = rgb >> 8 if depth == 16 else rgb * 255 // (2**depth - 1)
    return (width, height), rgb.astype(numpy.uint8).tobytes()


# --- PNG ---------------------------------------------------------------------


def chunk(tag: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)


IEND = chunk(b"IEND", b"")


def ihdr(width, height, bit_depth=8, color_type=RGB, compression=0, filter_method=0, interlace=0) -> bytes:
    fields = struct.pack(">IIBBBBB", width, height, bit_depth, color_type, compression, filter_method, interlace)
    return chunk(b"IHDR", fields)


def png(width: int, height: int, raw: bytes, *, idat: bytes | None = None, **header) -> bytes:
    """A PNG of one IDAT chunk: `raw` (rows with their filter bytes)
    compressed, or else `idat` as it stands. `header` holds IHDR fields."""
    data = zlib.compress(raw) if idat is None else idat
    return PNG_SIGNATURE + ihdr(width, height, **header) + chunk(b"IDAT", data) + IEND


def png_bytes(width: int, height: int, pixels: bytes) -> bytes:
    """An 8-bit RGB PNG with every row unfiltered: the module's own encoder
    writes exactly these bytes."""
    stride = width * 3
    return png(width, height, b"".join(b"\x00" + pixels[y * stride:(y + 1) * stride] for y in range(height)))


def png_inflating_to(size: int) -> bytes:
    """A 1x1 RGB PNG whose image data inflates to `size` zero bytes."""
    packer = zlib.compressobj(9)
    block = bytes(1 << 20)
    idat = b"".join(packer.compress(block) for _ in range(size >> 20)) + packer.flush()
    return png(1, 1, b"", idat=idat)


# --- BMP ---------------------------------------------------------------------


def row_stride(width: int) -> int:
    return (width * 3 + 3) // 4 * 4


def bmp_headers(width, height, *, offset=54, header_size=40, planes=1, bpp=24, compression=0,
                file_size=None, reserved=(0, 0), image_size=None, resolution=(2835, 2835), colours=(0, 0)) -> bytes:
    """The 14-byte file header and the 40-byte information header; sizes not
    given are those of the padded rows."""
    pixel_bytes = max(0, row_stride(width) * abs(height)) & 0xFFFFFFFF
    file_header = b"BM" + struct.pack(
        "<IHHI", (54 + pixel_bytes) & 0xFFFFFFFF if file_size is None else file_size, *reserved, offset)
    info = struct.pack("<I", header_size) + struct.pack(
        "<iiHHIIiiII", width, height, planes, bpp, compression,
        pixel_bytes if image_size is None else image_size, *resolution, *colours)
    return file_header + info


def bmp_rows(width: int, height: int, pixels: bytes) -> bytes:
    """The pixel array for RGB `pixels` (top row first): blue-green-red,
    zero-padded, bottom-up for a positive height and top-down for a negative."""
    pad = bytes(row_stride(width) - 3 * width)
    rows = [pixels[y * 3 * width:(y + 1) * 3 * width] for y in range(abs(height))]
    stored = [b"".join(row[i:i + 3][::-1] for i in range(0, 3 * width, 3)) + pad for row in rows]
    return b"".join(reversed(stored) if height > 0 else stored)


def bmp_bytes(width: int, height: int, pixels: bytes, **headers) -> bytes:
    """A 24-bit BMP; with no `headers` given, exactly what the module's own
    encoder writes for a positive height."""
    return bmp_headers(width, height, **headers) + bmp_rows(width, height, pixels)


# --- pixels, streams and types -------------------------------------------------


def random_pixels(width: int, height: int, seed=0) -> bytes:
    return random.Random(f"{seed}-{width}-{height}").randbytes(width * height * 3)


def text_pixels(width: int, height: int, seed=0) -> bytes:
    """A page of text as a 1-bit drawing gives it in RGB: lines of glyphs,
    each a random 5x7 pattern of black dots in a cell 7 pixels wide, on
    white."""
    rng = random.Random(f"text-{seed}-{width}-{height}")
    glyphs = [[rng.random() < 0.4 for _ in range(35)] for _ in range(40)]
    pixels = bytearray(b"\xff" * (width * height * 3))
    for top in range(4, height - 7, 12):
        for left in range(4, width - 5, 7):
            glyph = glyphs[rng.randrange(len(glyphs))] if rng.random() > 0.15 else [False] * 35
            for at, ink in enumerate(glyph):
                if ink:
                    start = ((top + at // 5) * width + left + at % 5) * 3
                    pixels[start:start + 3] = b"\0\0\0"
    return bytes(pixels)


class RecordingStream:
    """A byte stream that logs each read and seek in `calls` (a list of its
    own or one it is given); `convert(number_of_the_read, data)` may change
    what a read returns."""

    def __init__(self, data: bytes, convert=None, calls: list | None = None):
        self.inner = io.BytesIO(data)
        self.convert = convert
        self.calls = [] if calls is None else calls
        self.reads = 0

    def read(self, n):
        self.calls.append(("read", n))
        self.reads += 1
        data = self.inner.read(n)
        return self.convert(self.reads, data) if self.convert else data

    def seek(self, position):
        self.calls.append(("seek", position))
        return self.inner.seek(position)

    def tell(self):
        return self.inner.tell()

    @property
    def read_sizes(self) -> list[int]:
        return [size for kind, size in self.calls if kind == "read"]


class BytesSubclass(bytes):
    pass


class BytearraySubclass(bytearray):
    pass


class StrSubclass(str):
    pass


class TupleSubclass(tuple):
    pass


class IntSubclass(int):
    pass


class PathSubclass(type(pathlib.Path())):  # type: ignore[misc]
    pass


# --- memory mappings -------------------------------------------------------------


def mapping_flags(address: int) -> list[str]:
    """The VmFlags of the mapping of this process that holds `address`, as
    /proc/self/smaps gives them ("hg": advised for huge pages)."""
    inside = False
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            first = line.split(maxsplit=1)[0]
            if "-" in first and not first.endswith(":"):
                start, end = (int(bound, 16) for bound in first.split("-"))
                inside = start <= address < end
            elif inside and first == "VmFlags:":
                return line.split()[1:]
    raise LookupError(f"no mapping holds {address:#x}")


# --- what opening may raise ------------------------------------------------------

# Opening any bytes gives an image or raises one of these: ValueError for
# content the decoders refuse, and the host services' own errors (struct.error
# for a header of the wrong length, zlib.error for a damaged stream,
# OverflowError for a size past the signed 32-bit range, MemoryError, and the
# host's ValueError "negative count" for a negative BMP width).
OPEN_ERRORS = (ValueError, OverflowError, MemoryError, struct.error, zlib.error)

# The ValueError messages that opening raises on its own account.
OPEN_MESSAGES = frozenset({
    "Unsupported image format",
    "Unsupported PNG signature",
    "Unexpected EOF while reading chunk length",
    "Unexpected EOF while reading chunk type",
    "Unexpected EOF while reading chunk data",
    "Unexpected EOF while reading chunk CRC",
    "Corrupted PNG chunk detected",
    "Incomplete PNG header information",
    "Only 8-bit PNG images are supported",
    "Only RGB/RGBA PNG images are supported",
    "Unsupported PNG configuration (compression/filter/interlace)",
    "Malformed PNG image data",
    "Unsupported BMP header",
    "Corrupted BMP DIB header",
    "Only BITMAPINFOHEADER BMP files are supported",
    "Only uncompressed 24-bit BMP files are supported",
    "Incomplete BMP pixel data",
    "Pixel data length does not match image dimensions",
    "negative count",
})


def documented_open_error(error: BaseException) -> bool:
    """Whether `error`, raised while opening some bytes, is one of the
    documented outcomes: a host service's error, or a ValueError with one of
    the exact messages as its only argument."""
    if type(error) is ValueError:
        message = str(error)
        return error.args == (message,) and (message in OPEN_MESSAGES or message.startswith("Unsupported PNG filter: "))
    return isinstance(error, OPEN_ERRORS)


def run_quorvel(*arguments, cwd=None, timeout=120, **options):
    """`python -m Quorvel` with these arguments in a child process, its output
    captured as text."""
    import subprocess
    import sys

    return subprocess.run([sys.executable, "-m", "Quorvel", *map(str, arguments)],
                          capture_output=True, text=True, cwd=cwd, timeout=timeout, **options)
