"""A save that fails before it writes leaves the file system as it was: an
existing file keeps its content and no new file appears. The PNG encoder
prepares the whole file before it opens it; the BMP encoder checks the sizes
and the buffer before it opens the file."""

import struct

import pytest

from builders import OLD_CONTENT
from Quorvel import tessarin_ext as m
from Quorvel.tessarin_ext import SimpleImage

MISMATCH = "Pixel data length does not match image dimensions"
PAST_THE_BUFFER = "bytearray index out of range"


def bytearray_refusal(value) -> str:
    """The host's own message for bytearray(value)."""
    try:
        bytearray(value)
    except TypeError as error:
        return str(error)
    raise AssertionError(f"the host converted {value!r}")


def spoiled(width=2, height=2, pixels=...):
    """A 2x2 image whose width, height or buffer were reassigned since."""
    image = SimpleImage(2, 2, bytes(range(12)))
    image.width, image.height = width, height
    if pixels is not ...:
        image._pixels = pixels
    return image


def writing(writer, width, height, pixels):
    return lambda path: writer(path, width, height, pixels)


# (id, call with the path, exception, its message or None)
BOTH_WRITERS = [
    ("pixels-None", 1, 1, None, TypeError, None),
    ("pixels-str", 1, 1, "abc", TypeError, None),
    ("pixels-float", 1, 1, 3.5, TypeError, None),
    ("pixels-object", 1, 1, object(), TypeError, None),
    ("pixel-256", 1, 1, [1, 2, 300], ValueError, None),
    ("pixel-negative", 1, 1, [1, 2, -1], ValueError, None),
    ("width-str", "1", 1, bytes(3), TypeError, "an integer is required"),
    ("height-None", 1, None, bytes(3), TypeError, "an integer is required"),
    ("height-object", 1, object(), bytes(3), TypeError, "an integer is required"),
    ("width-overflow", 2**31, 1, bytes(3), OverflowError, None),
    ("height-overflow", 1, -(2**31) - 1, bytes(3), OverflowError, None),
    ("height-negative", 1, -1, bytes(3), struct.error, None),
    ("width-negative", -1, 1, b"", struct.error, None),
]
PNG_ONLY = [
    ("both-negative", -2, -2, b"", struct.error, None),
    ("width-int32-min", -(2**31), 1, b"", struct.error, None),
    ("width-int32-min-no-rows", -(2**31), 0, b"", struct.error, None),
    # The header is packed before the pixels are looked at.
    ("width-negative-pixels-None", -1, 1, None, struct.error, None),
    ("short-empty", 1, 1, b"", ValueError, MISMATCH),
    ("short-by-one", 1, 1, bytes(2), ValueError, MISMATCH),
    ("short-2x2", 2, 2, bytes(11), ValueError, MISMATCH),
    ("short-rows", 5, 3, bytes(3 * 14), ValueError, MISMATCH),
    ("short-tall", 3, 1000, bytes(8999), ValueError, MISMATCH),
]
BMP_ONLY = [
    ("width-negative-no-rows", -1, 0, b"", struct.error, None),
    ("short-by-one", 1, 1, bytes(2), IndexError, PAST_THE_BUFFER),
    ("short-2x2", 2, 2, bytes(11), IndexError, PAST_THE_BUFFER),
    ("short-tall", 3, 1000, bytes(8999), IndexError, PAST_THE_BUFFER),
    # Three times this width plus 3 leaves the 32-bit range; the row is
    # 2**31 bytes long, so the headers pack and the buffer is too short.
    ("row-of-2GiB", 715827882, 1, b"", IndexError, PAST_THE_BUFFER),
    ("pixel-data-of-4GiB", 2**31 - 1, 1, b"", struct.error, None),
    ("pixel-data-past-4GiB", 30000, 50000, b"", struct.error, None),
]
FAILURES = (
    [(f"_writePng-{name}", writing(m._writePng, *row[:3]), *row[3:]) for name, *row in BOTH_WRITERS + PNG_ONLY]
    + [(f"_writeBmp-{name}", writing(m._writeBmp, *row[:3]), *row[3:]) for name, *row in BOTH_WRITERS + BMP_ONLY]
    + [
        ("save-pixels-None", lambda path: spoiled(pixels=None).save(path), TypeError, bytearray_refusal(None)),
        ("saveBmp-pixels-None", lambda path: spoiled(pixels=None).saveBmp(path), TypeError, bytearray_refusal(None)),
        ("save-width-enlarged", lambda path: spoiled(width=3).save(path), ValueError, MISMATCH),
        ("saveBmp-width-enlarged", lambda path: spoiled(width=3).saveBmp(path), IndexError, PAST_THE_BUFFER),
        ("save-buffer-shortened", lambda path: spoiled(pixels=bytearray(11)).save(path), ValueError, MISMATCH),
        ("save-height-negative", lambda path: spoiled(height=-1).save(path), struct.error, None),
        ("saveBmp-height-negative", lambda path: spoiled(height=-1).saveBmp(path), struct.error, None),
    ]
)


@pytest.mark.parametrize("call, error, message", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_failure_leaves_the_file_system_as_it_was(existing, tmp_path, call, error, message):
    for path in (existing, tmp_path / "new"):
        with pytest.raises(error) as caught:
            call(str(path))
        if message is not None:
            assert caught.value.args == (message,)
    assert existing.read_bytes() == OLD_CONTENT
    assert list(tmp_path.iterdir()) == [existing]


def test_png_chunk_maker_failure_leaves_the_file_alone(existing, monkeypatch):
    original = m._makeChunk

    def failing(chunk_type, data):
        if chunk_type == b"IEND":
            raise RuntimeError("no end chunk")
        return original(chunk_type, data)

    monkeypatch.setattr(m, "_makeChunk", failing)
    with pytest.raises(RuntimeError, match="^no end chunk$"):
        m._writePng(str(existing), 1, 1, b"\x01\x02\x03")
    assert existing.read_bytes() == OLD_CONTENT


def test_png_missing_signature_global_leaves_the_file_alone(existing, monkeypatch):
    monkeypatch.delattr(m, "PNG_SIGNATURE")
    with pytest.raises(NameError) as caught:
        m._writePng(str(existing), 1, 1, b"\x01\x02\x03")
    assert caught.value.args == ("name 'PNG_SIGNATURE' is not defined",)
    assert existing.read_bytes() == OLD_CONTENT


def test_failed_save_then_successful_save_replaces_the_file(existing):
    image = spoiled()
    with pytest.raises(TypeError):
        image.save(None)
    image.save(str(existing))
    assert SimpleImage.open(existing)._pixels == bytearray(range(12))
