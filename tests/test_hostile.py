"""Hostile inputs are refused with a documented error, or opened, at a bounded
cost in memory.

Each input is opened in a fresh interpreter, which reports the outcome and
its own peak resident memory. The peak is read from VmHWM of
/proc/self/status, which belongs to the new process image alone (ru_maxrss
also carries the peak of the parent that forked it). The bounds are generous
on purpose: they catch an allocation or a decompression sized by the input's
claims. How long each input takes is measured by bench/bench_hostile.py.
"""

import functools
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import zlib

import pytest

from builders import (PNG_SIGNATURE, RGB, RGBA, bmp_headers, corpus_dir, ihdr, png, png_bytes, png_inflating_to,
                      random_pixels)
from Quorvel.tessarin_ext import SimpleImage

MEMORY_LIMIT_MIB = 200

PEAK_MIB = """
    def peak_mib():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
"""

PROBE = textwrap.dedent("""
    import json, sys
    from Quorvel.tessarin_ext import SimpleImage
""" + PEAK_MIB + """
    source = sys.argv[1] if sys.argv[2] == "path" else open(sys.argv[1], "rb").read()
    baseline = peak_mib()
    try:
        image = SimpleImage.open(source)
        outcome = ["image", "%dx%d %d" % (image.width, image.height, len(image._pixels))]
    except Exception as error:
        outcome = [type(error).__name__, str(error)]
    print(json.dumps({"outcome": outcome, "baseline": baseline, "peak": peak_mib()}))
""")

# AddressSanitizer writes the shadow of every allocation, an eighth of its
# size, so a large buffer whose pages are never touched still costs resident
# memory there: the memory bound holds for ordinary builds only.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def without_sanitizer_notes(text: str) -> str:
    """`text` less the notes AddressSanitizer prints for each refused huge
    allocation (which the host then raises as MemoryError)."""
    return "".join(line for line in text.splitlines(keepends=True)
                   if "AddressSanitizer failed to allocate" not in line)


# How much memory the host's file object takes for read(1 GiB) of a file of
# a few bytes.
READ_COST_PROBE = textwrap.dedent("""
    import sys
""" + PEAK_MIB + """
    with open(sys.argv[1], "rb") as file:
        baseline = peak_mib()
        file.read(1 << 30)
    print(peak_mib() - baseline)
""")


@functools.cache
def file_reads_take_what_they_ask_for() -> bool:
    """Whether the host's file read(n) takes n bytes of memory before it
    reads (PyPy's does). A chunk whose header claims a gigabyte then costs
    that much in the host's own read, whatever the module does."""
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "short"
        path.write_bytes(b"few bytes")
        done = subprocess.run([sys.executable, "-c", READ_COST_PROBE, str(path)], capture_output=True, text=True,
                              timeout=120, check=True)
    return float(done.stdout) > MEMORY_LIMIT_MIB


def open_bounded(path: pathlib.Path) -> list[str]:
    """Opens `path` in a fresh interpreter (from its bytes, where the host's
    file reads take what they ask for); checks that it printed nothing and
    stayed within the memory bound; returns [outcome, detail]: "image" and
    the size, or the exception's type name and message."""
    source = "bytes" if file_reads_take_what_they_ask_for() else "path"
    done = subprocess.run([sys.executable, "-c", PROBE, str(path), source], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    assert without_sanitizer_notes(done.stderr) == ""
    report = json.loads(done.stdout.splitlines()[-1])
    if not SANITIZED:
        assert report["peak"] - report["baseline"] < MEMORY_LIMIT_MIB, report
    return report["outcome"]


def hostile_file(tmp_path: pathlib.Path, data: bytes) -> pathlib.Path:
    path = tmp_path / "hostile"
    path.write_bytes(data)
    return path


@pytest.mark.bigmem
@pytest.mark.parametrize("width, height", [(40000, 40000), (40000, -40000), (2**31 - 1, 1), (1, 2**31 - 1)])
def test_bmp_claiming_a_huge_size_without_its_pixels(tmp_path, width, height):
    kind, message = open_bounded(hostile_file(tmp_path, bmp_headers(width, height)))
    # Row offsets past the signed 32-bit range raise the host's OverflowError.
    assert kind in ("MemoryError", "OverflowError") or message == "Incomplete BMP pixel data", (kind, message)


@pytest.mark.slow
def test_png_inflating_far_beyond_its_declared_size(tmp_path):
    path = hostile_file(tmp_path, png_inflating_to(1 << 30))
    assert path.stat().st_size < 2 << 20
    assert open_bounded(path) == ["ValueError", "Malformed PNG image data"]


@pytest.mark.parametrize("color_type", [RGB, RGBA])
def test_png_of_a_huge_width_without_rows_allocates_nothing(tmp_path, color_type):
    data = png(2**31 - 1, 0, b"", color_type=color_type)
    assert open_bounded(hostile_file(tmp_path, data)) == ["image", f"{2**31 - 1}x0 0"]


@pytest.mark.parametrize("color_type", [RGB, RGBA])
def test_png_claiming_many_rows_with_a_few_present(tmp_path, color_type):
    # Four whole rows of 32 pixels arrive, of the 2**26 the header claims.
    row = bytes(1 + 32 * (3 if color_type == RGB else 4))
    data = png(32, 1 << 26, row * 4, color_type=color_type)
    assert open_bounded(hostile_file(tmp_path, data)) == ["ValueError", "Malformed PNG image data"]


def test_png_claiming_a_huge_size_with_little_data(tmp_path):
    data = png(2**31 - 1, 2**31 - 1, b"\0" * 1000, color_type=RGBA)
    assert open_bounded(hostile_file(tmp_path, data)) == ["ValueError", "Malformed PNG image data"]


@pytest.mark.corpus
@pytest.mark.bigmem
def test_really_big_bmp_from_the_corpus(corpus):
    path = corpus / "bmpsuite" / "b" / "reallybig.bmp"
    if not path.is_file():
        pytest.skip("bmpsuite's reallybig.bmp not available")
    # 3000000 x 2000000 pixels claimed: more than the address space can give.
    assert open_bounded(path)[0] in ("MemoryError", "ValueError")


def libpng_crashers() -> list[pathlib.Path]:
    corpus = corpus_dir()
    folder = corpus / "pngsuite" / "libpng" / "testpngs" / "crashers" if corpus else None
    return sorted(folder.glob("*.png")) if folder and folder.is_dir() else []


PNG_MESSAGES = {
    "Unexpected EOF while reading chunk data",
    "Corrupted PNG chunk detected",
    "Only 8-bit PNG images are supported",
    "Only RGB/RGBA PNG images are supported",
    "Malformed PNG image data",
}


@pytest.mark.corpus
@pytest.mark.skipif(not libpng_crashers(), reason="libpng crashers not available")
@pytest.mark.parametrize("path", libpng_crashers(), ids=lambda path: path.name)
def test_libpng_crashers(path):
    kind, message = open_bounded(path)
    if path.name == "huge_IDAT.png":
        # A valid header with an IDAT that declares 1 GiB and ends: the chunk is cut short.
        assert (kind, message) == ("ValueError", "Unexpected EOF while reading chunk data")
    # zlib.error is the host's own class, named "error".
    assert (kind == "ValueError" and message in PNG_MESSAGES) or kind == "error", (kind, message)


# Opens the file, optionally under an address-space limit of 256 MiB above
# what the interpreter already maps, and reports the outcome with the largest
# amount the host's allocator handed out meanwhile: tracemalloc counts
# allocations whose pages are never touched, which resident memory misses.
# A host without tracemalloc (PyPy) zeroes what it allocates, so there the
# growth of the resident peak counts it all.
ALLOCATION_PROBE = textwrap.dedent("""
    import json, resource, sys, zlib
    from Quorvel.tessarin_ext import SimpleImage
    try:
        import tracemalloc
    except ImportError:
        tracemalloc = None
""" + PEAK_MIB + """
    if sys.argv[2] == "limited":
        with open("/proc/self/status") as status:
            mapped = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        limit = mapped + (256 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    source = sys.argv[1] if sys.argv[3] == "path" else open(sys.argv[1], "rb").read()
    if tracemalloc:
        tracemalloc.start()
    baseline = peak_mib()
    try:
        image = SimpleImage.open(source)
        outcome = ["image", zlib.crc32(image._pixels)]
    except Exception as error:
        outcome = [type(error).__name__, str(error)]
    peak = tracemalloc.get_traced_memory()[1] if tracemalloc else (peak_mib() - baseline) * (1 << 20)
    print(json.dumps({"outcome": outcome, "peak": peak}))
""")


def open_probing_allocations(tmp_path, data: bytes, mode: str, source: str = "bytes") -> tuple[list, int]:
    """Opens `data` in a fresh interpreter, as bytes or from its file's
    path (`source`), under an address-space limit or not (`mode`)."""
    path = hostile_file(tmp_path, data)
    done = subprocess.run([sys.executable, "-c", ALLOCATION_PROBE, str(path), mode, source], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout.splitlines()[-1])
    return report["outcome"], report["peak"]


# A single RGBA row of 4 GiB with three bytes of it present.
ONE_HUGE_RGBA_ROW = png(1 << 30, 1, b"\x00\x01\x02", color_type=RGBA)
# A huge RGBA image whose first three rows arrive in full.
THREE_RGBA_ROWS_OF_MANY = png(60000, 60000, bytes(60000 * 4 + 1) * 3, color_type=RGBA)


# Under a sanitizer, its shadow of the address space defeats the limit.
@pytest.mark.memory
@pytest.mark.parametrize("data", [
    ONE_HUGE_RGBA_ROW,
    # 60000 rows of 180000 bytes with one whole row present.
    png(60000, 60000, bytes(60000 * 3 + 1), color_type=RGB),
    THREE_RGBA_ROWS_OF_MANY,
], ids=["one huge RGBA row", "one RGB row of many", "three RGBA rows of many"])
def test_claims_beyond_an_address_space_limit_are_malformed(tmp_path, data):
    outcome, _ = open_probing_allocations(tmp_path, data, "limited")
    assert outcome == ["ValueError", "Malformed PNG image data"]


# Chunks whose length claims 4 GiB, with three bytes or 1.5 MB present, and
# an image whose one chunk of 1.5 MB is whole. The host's file reader would
# reserve the claimed length before reading, which the limit refuses; where
# the module opened the file, it reads no more than the file holds.
LARGE_PIXELS = random_pixels(1024, 512)
CUT_SHORT = ["ValueError", "Unexpected EOF while reading chunk data"]


@pytest.mark.needs("address-space limit")
@pytest.mark.parametrize("source", ["bytes", "path"])
@pytest.mark.parametrize("data, outcome", [
    (PNG_SIGNATURE + ihdr(1, 1) + b"\xff\xff\xff\xffIDATabc", CUT_SHORT),
    (PNG_SIGNATURE + ihdr(1, 1) + b"\xff\xff\xff\xffIDAT" + LARGE_PIXELS, CUT_SHORT),
    (png_bytes(1024, 512, LARGE_PIXELS), ["image", zlib.crc32(LARGE_PIXELS)]),
], ids=["claim of 4 GiB, 3 bytes", "claim of 4 GiB, 1.5 MB", "whole chunk of 1.5 MB"])
def test_a_file_opened_by_path_reads_as_its_bytes_under_an_address_space_limit(tmp_path, source, data, outcome):
    assert open_probing_allocations(tmp_path, data, "limited", source)[0] == outcome


# A row that never arrives, and images whose compressed data is too short
# to fill them: four whole rows of 32 pixels of the 2**26 the header claims.
@pytest.mark.memory
@pytest.mark.parametrize("data", [
    ONE_HUGE_RGBA_ROW,
    png(32, 1 << 26, bytes(1 + 32 * 3) * 4, color_type=RGB),
    png(32, 1 << 26, bytes(1 + 32 * 4) * 4, color_type=RGBA),
    THREE_RGBA_ROWS_OF_MANY,
], ids=["one huge RGBA row", "RGB rows", "RGBA rows", "three RGBA rows of many"])
def test_memory_the_data_cannot_fill_is_never_allocated(tmp_path, data):
    outcome, peak = open_probing_allocations(tmp_path, data, "unlimited")
    assert outcome == ["ValueError", "Malformed PNG image data"]
    assert peak < 64 << 20


@pytest.mark.parametrize("color_type", [RGB, RGBA])
def test_an_image_deflated_at_the_highest_ratio_opens(color_type):
    # Zero rows at level 9 inflate to about 1028 times their stream's size,
    # near the most deflate can reach.
    width, height = 1024, 2048
    stride = width * (3 if color_type == RGB else 4)
    idat = zlib.compress(bytes((stride + 1) * height), 9)
    assert (stride + 1) * height / len(idat) > 1020
    image = SimpleImage.open(png(width, height, b"", idat=idat, color_type=color_type))
    assert (image.width, image.height) == (width, height)
    assert image._pixels == bytes(width * height * 3)
