"""Hostile inputs are refused with a documented error at a bounded cost.

Each input is opened in a fresh interpreter, which reports the error and its
own peak resident memory. The peak is read from VmHWM of /proc/self/status,
which belongs to the new process image alone (ru_maxrss also carries the
peak of the parent that forked it). The bounds are generous on purpose: they
catch an allocation or a decompression sized by the input's claims, not
slowness.
"""

import json
import os
import pathlib
import struct
import subprocess
import sys
import textwrap
import time
import zlib

import pytest

from conftest import corpus_dir

MEMORY_LIMIT_MIB = 200
TIME_LIMIT_S = 10

PROBE = textwrap.dedent("""
    import json, sys
    from Quorvel.tessarin_ext import SimpleImage

    def peak_mib():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024

    baseline = peak_mib()
    try:
        SimpleImage.open(sys.argv[1])
        outcome = ["image", ""]
    except Exception as error:
        outcome = [type(error).__name__, str(error)]
    print(json.dumps({"outcome": outcome, "baseline": baseline, "peak": peak_mib()}))
""")


def without_sanitizer_notes(text: str) -> str:
    """`text` less the notes AddressSanitizer prints for each refused huge
    allocation (which the host then raises as MemoryError)."""
    return "".join(line for line in text.splitlines(keepends=True)
                   if "AddressSanitizer failed to allocate" not in line)


def open_in_fresh_interpreter(path: pathlib.Path) -> tuple[list[str], float, float]:
    """(exception type and message, extra peak memory in MiB, seconds)."""
    started = time.monotonic()
    done = subprocess.run([sys.executable, "-c", PROBE, str(path)], capture_output=True, text=True,
                          timeout=120)
    elapsed = time.monotonic() - started
    assert done.returncode == 0, done.stderr
    assert without_sanitizer_notes(done.stderr) == ""
    report = json.loads(done.stdout.splitlines()[-1])
    return report["outcome"], report["peak"] - report["baseline"], elapsed


def chunk(tag: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)


def bmp_claiming(width: int, height: int) -> bytes:
    info = struct.pack("<iiHHIIiiII", width, height, 1, 24, 0, 0, 0, 0, 0, 0)
    return b"BM" + struct.pack("<IHHI", 54, 0, 0, 54) + struct.pack("<I", 40) + info + bytes(12)


def png_inflating_to(size: int) -> bytes:
    """A 1x1 RGB PNG whose image data inflates to `size` zero bytes."""
    packer = zlib.compressobj(9)
    block = bytes(1 << 20)
    idat = b"".join(packer.compress(block) for _ in range(size >> 20)) + packer.flush()
    header = struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", idat) + chunk(b"IEND", b"")


# AddressSanitizer writes the shadow of every allocation, an eighth of its
# size, so a large buffer whose pages are never touched still costs resident
# memory there: the memory bound holds for ordinary builds only.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def check_bounded(path: pathlib.Path) -> list[str]:
    outcome, extra_mib, elapsed = open_in_fresh_interpreter(path)
    if not SANITIZED:
        assert extra_mib < MEMORY_LIMIT_MIB, (outcome, extra_mib)
    assert elapsed < TIME_LIMIT_S, (outcome, elapsed)
    return outcome


@pytest.mark.parametrize("width, height", [(40000, 40000), (40000, -40000), (2**31 - 1, 1), (1, 2**31 - 1)])
def test_bmp_claiming_a_huge_size_without_its_pixels(tmp_path, width, height):
    path = tmp_path / "huge.bmp"
    path.write_bytes(bmp_claiming(width, height))
    kind, message = check_bounded(path)
    # Row offsets past the signed 32-bit range raise the host's OverflowError.
    assert kind in ("MemoryError", "OverflowError") or message == "Incomplete BMP pixel data", (kind, message)


def test_png_inflating_far_beyond_its_declared_size(tmp_path):
    path = tmp_path / "bomb.png"
    path.write_bytes(png_inflating_to(1 << 30))
    assert path.stat().st_size < 2 << 20
    assert check_bounded(path) == ["ValueError", "Malformed PNG image data"]


def test_really_big_bmp_from_the_corpus():
    corpus = corpus_dir()
    path = corpus / "bmpsuite" / "b" / "reallybig.bmp" if corpus else None
    if path is None or not path.is_file():
        pytest.skip("bmpsuite's reallybig.bmp not available")
    # 3000000 x 2000000 pixels claimed: more than the address space can give.
    assert check_bounded(path)[0] in ("MemoryError", "ValueError")


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


@pytest.mark.skipif(not libpng_crashers(), reason="libpng crashers not available")
@pytest.mark.parametrize("path", libpng_crashers(), ids=lambda path: path.name)
def test_libpng_crashers(path):
    kind, message = check_bounded(path)
    # zlib.error is the host's own class, named "error".
    assert (kind == "ValueError" and message in PNG_MESSAGES) or kind == "error", (kind, message)



# Opens the file, optionally under an address-space limit of 256 MiB above
# what the interpreter already maps, and reports the outcome with the largest
# amount the host's allocator handed out meanwhile (tracemalloc counts
# allocations whose pages are never touched, which resident memory misses).
ALLOCATION_PROBE = textwrap.dedent("""
    import json, resource, sys, tracemalloc
    from Quorvel.tessarin_ext import SimpleImage

    if sys.argv[2] == "limited":
        with open("/proc/self/status") as status:
            mapped = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        limit = mapped + (256 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    data = open(sys.argv[1], "rb").read()
    tracemalloc.start()
    try:
        SimpleImage.open(data)
        outcome = ["image", ""]
    except Exception as error:
        outcome = [type(error).__name__, str(error)]
    print(json.dumps({"outcome": outcome, "peak": tracemalloc.get_traced_memory()[1]}))
""")


def open_probing_allocations(tmp_path, data: bytes, mode: str) -> tuple[list[str], int]:
    path = tmp_path / "claims.png"
    path.write_bytes(data)
    done = subprocess.run([sys.executable, "-c", ALLOCATION_PROBE, str(path), mode], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout.splitlines()[-1])
    return report["outcome"], report["peak"]


def png_claiming(width: int, height: int, color_type: int, raw: bytes) -> bytes:
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, color_type, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


# A single RGBA row of 4 GiB with three bytes of it present.
ONE_HUGE_RGBA_ROW = png_claiming(1 << 30, 1, 6, b"\x00\x01\x02")


@pytest.mark.parametrize("data", [
    ONE_HUGE_RGBA_ROW,
    # 60000 rows of 180000 bytes with one whole row present.
    png_claiming(60000, 60000, 2, bytes(60000 * 3 + 1)),
    # A huge RGBA image whose first rows arrive in full.
    png_claiming(60000, 60000, 6, bytes(60000 * 4 + 1) * 3),
], ids=["one huge RGBA row", "one RGB row of many", "three RGBA rows of many"])
def test_claims_beyond_an_address_space_limit_are_malformed(tmp_path, data):
    outcome, _ = open_probing_allocations(tmp_path, data, "limited")
    assert outcome == ["ValueError", "Malformed PNG image data"]


def test_a_row_that_never_arrives_is_never_allocated(tmp_path):
    outcome, peak = open_probing_allocations(tmp_path, ONE_HUGE_RGBA_ROW, "unlimited")
    assert outcome == ["ValueError", "Malformed PNG image data"]
    assert peak < 64 << 20
