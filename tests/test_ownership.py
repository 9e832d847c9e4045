"""Who owns a pixel buffer: an image never shares one with code that can
still reach it, and the writers never change what a file object was given."""

import subprocess
import sys
import textwrap

import pytest

from builders import bmp_bytes
from Quorvel.tessarin_ext import SimpleImage


def test_open_copies_what_a_subclass_decoder_still_holds():
    held = bytearray(b"\x01\x02\x03")

    class Holding(SimpleImage):
        @staticmethod
        def _streamToImage(stream):
            return 1, 1, held

    image = Holding.open(b"anything")
    assert type(image) is Holding
    assert image._pixels == held and image._pixels is not held
    held[0] = 99
    assert image.getPixel((0, 0)) == (1, 2, 3)


def test_images_opened_or_copied_share_no_buffer():
    data = bmp_bytes(2, 1, bytes(range(6)))
    first, second = SimpleImage.open(data), SimpleImage.open(data)
    copied = first.copy()
    assert len({id(first._pixels), id(second._pixels), id(copied._pixels)}) == 3
    first.putPixel((0, 0), (9, 9, 9))
    assert second.getPixel((0, 0)) == copied.getPixel((0, 0)) == (0, 1, 2)


# The built-in open is cached when the module is imported: replacing it
# before the import makes the writers write to an object of the test's.
KEEPING_WRITER = """
    import importlib.metadata, builtins
    kept = []

    class Keeping:
        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return False

        def write(self, data):
            kept.append(data)
            return len(data)

    real_open = builtins.open
    builtins.open = lambda path, *args, **kwargs: (
        Keeping() if path == "ignored.bmp" else real_open(path, *args, **kwargs))
    from Quorvel.tessarin_ext import SimpleImage
    builtins.open = real_open

    width, height = 1000, 200  # blocks of 87 rows: two of one size, then a shorter one
    pixels = bytes((x + 7 * y) % 256 for y in range(height) for x in range(width * 3))
    SimpleImage(width, height, pixels).saveBmp("ignored.bmp")
    with open({output!r}, "wb") as output:
        output.write(b"".join(bytes(piece) for piece in kept))
"""


def test_bmp_blocks_handed_to_a_file_that_keeps_them_stay_as_written(tmp_path):
    output = tmp_path / "kept.bmp"
    script = textwrap.dedent(KEEPING_WRITER).format(output=str(output))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    width, height = 1000, 200
    pixels = bytes((x + 7 * y) % 256 for y in range(height) for x in range(width * 3))
    SimpleImage(width, height, pixels).saveBmp(str(tmp_path / "real.bmp"))
    assert output.read_bytes() == (tmp_path / "real.bmp").read_bytes()
