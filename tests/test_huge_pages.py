"""A large image is decoded into memory the kernel was asked to back with
huge pages, whatever it is opened from: one fault per 2 MiB rather than per
4 KiB page. The advice shows as the flag "hg" of the memory's mapping in
/proc/self/smaps, whether or not the kernel then gives huge pages."""

import ctypes
import pathlib

import pytest

from builders import RecordingStream, bmp_bytes, png_bytes
from Quorvel.tessarin_ext import SimpleImage

HUGE_PAGE = 2 << 20
# 6 MiB of pixels, so whole 2 MiB pages lie inside the buffer wherever it starts.
WIDTH, HEIGHT = 2048, 1024

pytestmark = [
    pytest.mark.skipif(not pathlib.Path("/sys/kernel/mm/transparent_hugepage").is_dir(),
                       reason="the kernel has no transparent huge pages"),
    pytest.mark.cpython_only("an image keeping the memory its pixels were decoded into"),
]


def mapping_flags(address: int) -> list[str]:
    """The VmFlags of the mapping that holds `address`."""
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


@pytest.mark.parametrize("encode", [png_bytes, bmp_bytes], ids=["png", "bmp"])
@pytest.mark.parametrize("source", ["bytes", "path", "stream"])
def test_a_large_image_is_decoded_into_memory_advised_for_huge_pages(tmp_path, encode, source):
    pixels = bytes(range(256)) * (WIDTH * HEIGHT * 3 // 256)
    data = encode(WIDTH, HEIGHT, pixels)
    if source == "stream":
        decoded = SimpleImage._streamToImage(RecordingStream(data))[2]
    elif source == "path":
        (tmp_path / "large").write_bytes(data)
        decoded = SimpleImage.open(tmp_path / "large")._pixels
    else:
        decoded = SimpleImage.open(data)._pixels
    assert decoded == pixels
    start = ctypes.addressof(ctypes.c_char.from_buffer(decoded))
    first_whole_page = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1)
    assert "hg" in mapping_flags(first_whole_page)
