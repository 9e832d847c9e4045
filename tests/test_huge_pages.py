"""A large image's pixels go to memory the kernel was asked to back with
huge pages, whether decoded, constructed or copied: one fault per 2 MiB
rather than per 4 KiB page. The advice shows as the flag "hg" of the
memory's mapping in /proc/self/smaps, whether or not the kernel then gives
huge pages; where advice leaves no flag even on a mapping of the test's own
(under emulation, say), the tests are skipped (conftest.py)."""

import ctypes
import mmap

import pytest

from builders import RecordingStream, bmp_bytes, mapping_flags, png_bytes
from Quorvel.tessarin_ext import SimpleImage

HUGE_PAGE = 2 << 20
# 6 MiB of pixels, so whole 2 MiB pages lie inside the buffer wherever it starts.
WIDTH, HEIGHT = 2048, 1024
PIXELS = bytes(range(256)) * (WIDTH * HEIGHT * 3 // 256)


pytestmark = [
    pytest.mark.needs("huge-page advice"),
    pytest.mark.cpython_only("an image keeping the memory its pixels were decoded into"),
]


def assert_advised(buffer: bytearray) -> None:
    start = ctypes.addressof(ctypes.c_char.from_buffer(buffer))
    first_whole_page = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1)
    assert "hg" in mapping_flags(first_whole_page)


@pytest.mark.parametrize("encode", [png_bytes, bmp_bytes], ids=["png", "bmp"])
@pytest.mark.parametrize("source", ["bytes", "path", "stream"])
def test_a_large_image_is_decoded_into_memory_advised_for_huge_pages(tmp_path, encode, source):
    data = encode(WIDTH, HEIGHT, PIXELS)
    if source == "stream":
        decoded = SimpleImage._streamToImage(RecordingStream(data))[2]
    elif source == "path":
        (tmp_path / "large").write_bytes(data)
        decoded = SimpleImage.open(tmp_path / "large")._pixels
    else:
        decoded = SimpleImage.open(data)._pixels
    assert decoded == PIXELS
    assert_advised(decoded)


@pytest.mark.parametrize("make", [
    lambda: SimpleImage(WIDTH, HEIGHT, PIXELS),
    lambda: SimpleImage(WIDTH, HEIGHT, bytearray(PIXELS)),
    lambda: SimpleImage(WIDTH, HEIGHT, PIXELS).copy(),
], ids=["from bytes", "from bytearray", "copy"])
def test_a_large_image_made_in_memory_is_advised_for_huge_pages(make):
    image = make()
    assert image._pixels == PIXELS
    assert_advised(image._pixels)


def test_the_probe_skips_where_advice_leaves_no_flag(monkeypatch):
    # As under qemu: madvise succeeds and the mapping shows nothing.
    import conftest

    class IgnoringAdvice(mmap.mmap):
        def madvise(self, *arguments):
            pass

    monkeypatch.setattr(mmap, "mmap", IgnoringAdvice)
    assert conftest.huge_page_advice() == "huge-page advice leaves no flag on the mapping advised (emulation, say)"
