"""An interrupt (Ctrl-C) during a save is answered promptly and never costs
the file that was at the path; large scanline data is compressed in pieces
that give exactly the bytes of one zlib.compress call."""

import os
import signal
import struct
import time
import zlib

import pytest

from Quorvel import tessarin_ext as m
from Quorvel.tessarin_ext import SimpleImage

OLD_CONTENT = b"the file that was here \x00\x01" * 100


def low_entropy_pixels(size):
    """Random bytes of four values: the content the host's deflate is slowest on."""
    return bytearray(os.urandom(size).translate(bytes(i & 3 for i in range(256))))


def idat_payload(png):
    (length,) = struct.unpack(">I", png[33:37])
    assert png[37:41] == b"IDAT"
    return png[41:41 + length]


def scanlines(width, height, pixels):
    row = width * 3
    return b"".join(b"\x00" + pixels[y * row:(y + 1) * row] for y in range(height))


# Widths and heights around the piece size (256 KiB of scanline data) and
# well past it, over contents that compress to very different lengths.
PIECE = 256 * 1024
SHAPES = [
    (1, PIECE // 4),          # one byte short of a piece
    (1, PIECE // 4 + 1),      # three bytes past it
    (87381, 1),               # one row of exactly one piece
    (1000, 600),              # several pieces, the last one partial
    (1, 3 * PIECE // 4 + 1),  # many tiny rows across the boundaries
]
CONTENTS = {
    "zeros": lambda size: bytearray(size),
    "noise": lambda size: bytearray(os.urandom(size)),
    "four values": low_entropy_pixels,
    "gradient": lambda size: bytearray(i * 7 // 5 & 255 for i in range(size)),
}


@pytest.mark.parametrize("width, height", SHAPES)
@pytest.mark.parametrize("content", CONTENTS)
def test_compression_in_pieces_equals_one_zlib_compress(tmp_path, width, height, content):
    pixels = CONTENTS[content](width * height * 3)
    path = tmp_path / "out.png"
    m._writePng(str(path), width, height, pixels)
    assert idat_payload(path.read_bytes()) == zlib.compress(scanlines(width, height, pixels))


def test_a_replaced_zlib_compress_is_called_once_with_all_the_data(tmp_path, monkeypatch):
    calls = []
    host_compress = zlib.compress

    def recording_compress(data):
        calls.append(data)
        return host_compress(data)

    monkeypatch.setattr(zlib, "compress", recording_compress)
    pixels = bytearray(os.urandom(600 * 1000 * 3))
    m._writePng(str(tmp_path / "out.png"), 1000, 600, pixels)
    assert calls == [scanlines(1000, 600, pixels)]


@pytest.mark.slow
@pytest.mark.memory
def test_interrupted_png_save_is_prompt_and_keeps_the_file(tmp_path, interrupt_after):
    # About 36 MB of scanlines that the host's deflate takes seconds over,
    # so an interrupt answered only after compressing would come far too late.
    image = SimpleImage(4000, 3000, low_entropy_pixels(4000 * 3000 * 3))
    path = tmp_path / "picture.png"
    path.write_bytes(OLD_CONTENT)
    due = interrupt_after(0.2)
    with pytest.raises(KeyboardInterrupt):
        image.save(str(path))
    waited = time.monotonic() - due
    assert path.read_bytes() == OLD_CONTENT
    assert waited < 1.0, f"the interrupt was answered {waited:.2f} s after it came"


@pytest.mark.parametrize("method", ["saveBmp", "save"])
def test_interrupt_during_a_save_leaves_the_old_file_or_the_whole_new_one(tmp_path, interrupt_after, method):
    # Interrupts at several moments of a save, measured first: the host's
    # writer runs the signal handlers after each system write it makes, and
    # the file must never be left cut short between two of them.
    image = SimpleImage(2000, 1500, (bytes(range(251)) * (2000 * 1500 * 3 // 251 + 1))[:2000 * 1500 * 3])
    save = getattr(image, method)
    path = tmp_path / "picture"
    started = time.monotonic()
    save(str(path))
    duration = time.monotonic() - started
    whole = path.read_bytes()
    for share in (0.1, 0.3, 0.5, 0.7, 0.9):
        path.write_bytes(OLD_CONTENT)
        try:
            try:
                interrupt_after(duration * share)
                save(str(path))
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
        except KeyboardInterrupt:
            pass
        content = path.read_bytes()
        ending = {OLD_CONTENT: "old file", whole: "new file"}.get(content, f"{len(content)} of {len(whole)} bytes")
        assert ending in ("old file", "new file"), f"an interrupt at {share} of the save left {ending}"


@pytest.mark.parametrize("writer", [m._writePng, m._writeBmp], ids=["_writePng", "_writeBmp"])
def test_interrupt_before_the_file_is_opened_keeps_the_file(tmp_path, interrupt_after, writer):
    # Converting a long list of ints runs in the host's C code, which does
    # not look for signals: an interrupt that comes during it is still
    # pending when the writer is about to open the file, and must be raised
    # there, leaving the old file. On a busy machine the alarm may come only
    # once the file is being written (where the host's own writes may raise
    # it) or after the writer returned: such an attempt is made again with an
    # earlier alarm, and only an interrupt raised before the file was opened
    # passes.
    size = 1200 * 1000 * 3
    pixels = [7] * size
    path = tmp_path / "picture"
    started = time.monotonic()
    bytearray(pixels)
    conversion = time.monotonic() - started
    for share in (4, 8, 16, 32):
        path.write_bytes(OLD_CONTENT)
        finished = False
        try:
            try:
                interrupt_after(conversion / share)
                writer(str(path), 1200, 1000, pixels)
                finished = True
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
        except KeyboardInterrupt:
            if not finished and path.read_bytes() == OLD_CONTENT:
                return
    pytest.fail("no interrupt was raised before the file was opened")
