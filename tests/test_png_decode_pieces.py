"""PNG decoding of images whose data inflates in many pieces.

The decoder inflates with the host's zlib a bounded piece at a time and
reconstructs each row as soon as it is complete, so pieces begin and end
anywhere in a row; the result and the errors must be those of inflating and
reconstructing the whole data at once, and all of it happens on the calling
thread.
"""
import io
import os
import random
import subprocess
import sys
import textwrap
import threading
import zlib

import pytest
from PIL import Image

from builders import IEND, PNG_SIGNATURE, RGB, RGBA, chunk, ihdr, png
from Quorvel.tessarin_ext import SimpleImage


def filtered_noise(width, height, bpp, filter_types, seed=0) -> bytes:
    """Rows of noise behind the filter types given (repeated down the image):
    any bytes are a valid filtered row, and noise does not compress, so the
    inflated pieces end anywhere in a row."""
    rng = random.Random(seed)
    stride = width * bpp
    return b"".join(bytes([filter_types[y % len(filter_types)]]) + rng.randbytes(stride) for y in range(height))


def decode(data: bytes):
    return SimpleImage._streamToImage(io.BytesIO(data))


# Images of over 3 MB of image data: ten pieces or more.
BIG = 1100, 1000


FILTER_PATTERNS = {
    "Paeth": [4],
    "Average": [3],
    "Average and Paeth in turn": [3, 4],
    "runs cut by Sub and Up": [4, 4, 4, 3, 3, 1, 4, 2, 3, 0],
    "None": [0],
}


@pytest.mark.parametrize("pattern", FILTER_PATTERNS.values(), ids=FILTER_PATTERNS.keys())
@pytest.mark.parametrize("color_type, bpp", [(RGB, 3), (RGBA, 4)], ids=["RGB", "RGBA"])
def test_rows_as_a_peer_decodes_them(pattern, color_type, bpp):
    width, height = BIG[0] + 3, BIG[1] - 3
    data = png(width, height, filtered_noise(width, height, bpp, pattern), color_type=color_type)
    expected = Image.open(io.BytesIO(data)).convert("RGB").tobytes()
    assert decode(data) == (width, height, bytearray(expected))


def test_idat_chunks_of_every_size():
    # Payloads from one byte to hundreds of kilobytes, so that pieces begin
    # and end anywhere.
    width, height = BIG
    raw = filtered_noise(width, height, 3, [4, 1, 3], seed=1)
    stream = zlib.compress(raw, 1)
    cuts = sorted({0, 1, 2, 4099, 65_536, 300_001, 300_002, len(stream) - 1, len(stream)})
    data = PNG_SIGNATURE + ihdr(width, height)
    data += b"".join(chunk(b"IDAT", stream[start:end]) for start, end in zip(cuts, cuts[1:])) + IEND
    assert decode(data) == decode(png(width, height, raw))


@pytest.mark.parametrize("damage, error, message", [
    ("filter type 7 on a late row", ValueError, "Unsupported PNG filter: 7"),
    ("one byte too many", ValueError, "Malformed PNG image data"),
    ("one byte too few", ValueError, "Malformed PNG image data"),
    ("stream cut short", zlib.error, "Error -5 while decompressing data: incomplete or truncated stream"),
])
def test_errors_found_deep_in_the_image(damage, error, message):
    width, height = BIG
    clean = filtered_noise(width, height, 3, [4, 3, 1])
    raw = bytearray(clean)
    if damage.startswith("filter"):
        raw[(height - 5) * (width * 3 + 1)] = 7
    idat = zlib.compress(raw + b"\0" if "many" in damage else raw[:-1] if "few" in damage else raw, 1)
    if "cut" in damage:
        idat = idat[: len(idat) * 3 // 4]
    with pytest.raises(error) as caught:
        decode(png(width, height, b"", idat=idat))
    assert caught.value.args == (message,)
    # Nothing is left behind: the next image decodes.
    good = png(width, height, clean)
    assert decode(good) == (width, height, bytearray(Image.open(io.BytesIO(good)).convert("RGB").tobytes()))


def test_images_decoded_on_several_threads_at_once():
    # The host's inflate lets other threads run between and during pieces.
    width, height = BIG
    files = [png(width, height, filtered_noise(width, height, 3, [4, 0, 3], seed=s)) for s in range(4)]
    expected = [decode(f) for f in files]
    results: list = [None] * len(files)

    def work(index):
        for _ in range(3):
            results[index] = decode(files[index])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(files))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == expected


def test_interrupted_decode_leaves_nothing_behind(interrupt_after):
    # A large image of runs of one value inflates slowly enough to be caught
    # between pieces.
    width, height = 2000, 2000
    rows = b"".join(b"\x04" + bytes([y & 0xFF]) * (width * 3) for y in range(height))
    data = png(width, height, rows)
    interrupt_after(0.005)
    with pytest.raises(KeyboardInterrupt):
        for _ in range(100):
            decode(data)
    image = png(*BIG, filtered_noise(*BIG, 3, [4, 3], seed=2))
    assert decode(image) == (*BIG, bytearray(Image.open(io.BytesIO(image)).convert("RGB").tobytes()))


CHILD = textwrap.dedent("""
    import io, os, sys
    from Quorvel.tessarin_ext import SimpleImage
    data = sys.stdin.buffer.read()
    before = len(os.listdir("/proc/self/task"))
    for _ in range(3):
        SimpleImage._streamToImage(io.BytesIO(data))
    print(before, len(os.listdir("/proc/self/task")))
""")


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc to count threads")
def test_decoding_starts_no_thread():
    # In a process of its own, so that no other test's threads come or go.
    width, height = BIG
    data = png(width, height, filtered_noise(width, height, 3, [4, 3]))
    done = subprocess.run([sys.executable, "-c", CHILD], input=data, capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode()
    before, after = done.stdout.split()
    assert before == after
