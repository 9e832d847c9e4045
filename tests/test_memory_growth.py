"""No entry point leaks: resident memory stays flat over many thousands of
calls. Reference counts and tracemalloc are CPython's; this check needs
neither, so it also runs where there are none (PyPy, where an object the
module keeps alive by mistake keeps its host object alive too).

Each case is called in rounds with a collection after each. The first rounds
let the host's heap, caches and JIT settle. A leak then grows resident
memory by the same amount in every round after them, a few bytes a call
making hundreds of kilobytes a round, while a heap still settling grows less
from round to round and a steady one moves by a page or two at most.
"""

import gc
import io
import pathlib

import pytest

from builders import bmp_bytes, chunk, png_bytes, random_pixels
from Quorvel import tessarin_ext
from Quorvel.tessarin_ext import SimpleImage

SETTLING_ROUNDS = 3
MEASURED_ROUNDS = 3
# Growth in each measured round that counts as a leak.
LEAK_PER_ROUND = 512 << 10


def resident_bytes() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS in /proc/self/status")


def cases(folder: pathlib.Path) -> dict[str, tuple[int, object]]:
    """Each case: calls per round and the call, which may raise."""
    pixels = random_pixels(8, 8)
    image = SimpleImage(8, 8, pixels)
    png, bmp = png_bytes(8, 8, pixels), bmp_bytes(8, 8, pixels)
    png_path, bmp_path = str(folder / "image.png"), str(folder / "image.bmp")
    chunk_stream = chunk(b"tEXt", b"a" * 40)
    return {
        "getPixel": (50_000, lambda: image.getPixel((3, 2))),
        "getPixel-out-of-bounds": (20_000, lambda: image.getPixel((8, 0))),
        "getPixel-float": (20_000, lambda: image.getPixel((1.0, 2.0))),
        "putPixel": (50_000, lambda: image.putPixel((3, 2), (1, 300, -1))),
        "putPixel-iterated": (20_000, lambda: image.putPixel((1, 1), iter((1.5, "2", 3)))),
        "construct": (20_000, lambda: SimpleImage(8, 8, pixels)),
        "construct-mismatch": (20_000, lambda: SimpleImage(8, 9, pixels)),
        "copy": (20_000, image.copy),
        "open-png": (5_000, lambda: SimpleImage.open(png)),
        "open-bmp": (5_000, lambda: SimpleImage.open(bmp)),
        "open-png-damaged": (5_000, lambda: SimpleImage.open(png[:-20])),
        "open-path": (2_000, lambda: SimpleImage.open(png_path)),
        "save": (2_000, lambda: image.save(png_path)),
        "saveBmp": (2_000, lambda: image.saveBmp(bmp_path)),
        "readChunk": (20_000, lambda: tessarin_ext._readChunk(io.BytesIO(chunk_stream))),
        "makeChunk": (20_000, lambda: tessarin_ext._makeChunk(b"tEXt", b"a" * 40)),
        "bad-argument": (20_000, lambda: image.getPixel([0, 0])),
    }


CASE_NAMES = list(cases(pathlib.Path("unused")))


@pytest.mark.slow
@pytest.mark.memory
@pytest.mark.parametrize("name", CASE_NAMES)
def test_resident_memory_stays_flat(tmp_path, name):
    image = SimpleImage(8, 8, random_pixels(8, 8))
    image.save(str(tmp_path / "image.png"))
    calls, call = cases(tmp_path)[name]

    def one_round() -> int:
        for _ in range(calls):
            try:
                call()
            except (ValueError, TypeError):
                pass
        gc.collect()
        return resident_bytes()

    for _ in range(SETTLING_ROUNDS):
        one_round()
    sizes = [resident_bytes()] + [one_round() for _ in range(MEASURED_ROUNDS)]
    growth = [after - before for before, after in zip(sizes, sizes[1:])]
    assert min(growth) < LEAK_PER_ROUND, f"resident memory after each measured round: {sizes}"
