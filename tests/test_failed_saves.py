"""A save that fails before it writes leaves an existing file as it was."""

import pathlib
import struct

import pytest

from Quorvel.tessarin_ext import SimpleImage, _writeBmp, _writePng

OLD_CONTENT = b"existing file, not an image \x00\x01\x02"


class StrSubclass(str):
    pass


def image(width=2, height=2, pixels=...):
    img = SimpleImage(2, 2, bytes(range(12)))
    img.width, img.height = width, height
    if pixels is not ...:
        img._pixels = pixels
    return img


# Each call gets the path of the existing file as a str and fails.
ARGUMENT_FAILURES = [
    ("None path", lambda img, path: img.save(None), TypeError),
    ("bytes path", lambda img, path: img.save(path.encode()), TypeError),
    ("Path path", lambda img, path: img.save(pathlib.Path(path)), TypeError),
    ("str subclass path", lambda img, path: img.save(StrSubclass(path)), TypeError),
    ("no argument", lambda img, path: img.save(), TypeError),
    ("two arguments", lambda img, path: img.save(path, path), TypeError),
    ("unexpected keyword", lambda img, path: img.save(path, format="png"), TypeError),
    ("path twice", lambda img, path: img.save(path, path=path), TypeError),
]


class BmpSaving:
    """An image whose save method is saveBmp, for reusing the argument table."""

    def __init__(self, img):
        self.saveBmp = img.saveBmp

    def __getattr__(self, name):
        if name == "save":
            return self.saveBmp
        raise AttributeError(name)


@pytest.fixture
def existing(tmp_path):
    path = tmp_path / "picture.png"
    path.write_bytes(OLD_CONTENT)
    return path


@pytest.mark.parametrize("method", ["save", "saveBmp"])
@pytest.mark.parametrize("name, call, kind", ARGUMENT_FAILURES, ids=[f[0] for f in ARGUMENT_FAILURES])
def test_argument_errors_keep_the_file(existing, method, name, call, kind):
    target = image() if method == "save" else BmpSaving(image())
    with pytest.raises(kind):
        call(target, str(existing))
    assert existing.read_bytes() == OLD_CONTENT


@pytest.mark.parametrize("method", ["save", "saveBmp"])
def test_missing_pixel_buffer_keeps_the_file(existing, method):
    with pytest.raises(TypeError):
        getattr(image(pixels=None), method)(str(existing))
    assert existing.read_bytes() == OLD_CONTENT


# The PNG encoder packs the header and compresses everything before it opens
# the file, so bad dimensions fail with nothing written.
@pytest.mark.parametrize("width, height", [(-1, 2), (2, -1), (-2, -2), (-(2**31), 1)])
def test_png_with_negative_dimensions_keeps_the_file(existing, width, height):
    with pytest.raises(struct.error):
        image(width, height).save(str(existing))
    assert existing.read_bytes() == OLD_CONTENT


UNUSABLE_PIXELS = [
    (None, TypeError),
    ("abc", TypeError),
    (3.5, TypeError),
    ([1, 2, 300], ValueError),
    ([1, 2, -1], ValueError),
    (object(), TypeError),
]


@pytest.mark.parametrize("encoder", [_writePng, _writeBmp], ids=["_writePng", "_writeBmp"])
@pytest.mark.parametrize("pixels, kind", UNUSABLE_PIXELS, ids=[repr(p[0]) for p in UNUSABLE_PIXELS])
def test_encoders_given_unusable_pixels_keep_the_file(existing, encoder, pixels, kind):
    with pytest.raises(kind):
        encoder(str(existing), 1, 1, pixels)
    assert existing.read_bytes() == OLD_CONTENT


@pytest.mark.parametrize("encoder", [_writePng, _writeBmp], ids=["_writePng", "_writeBmp"])
@pytest.mark.parametrize("width, height, kind", [
    ("1", 1, TypeError), (1, None, TypeError), (2**31, 1, OverflowError), (1, -(2**31) - 1, OverflowError),
])
def test_encoders_given_unusable_dimensions_keep_the_file(existing, encoder, width, height, kind):
    with pytest.raises(kind):
        encoder(str(existing), width, height, bytes(3))
    assert existing.read_bytes() == OLD_CONTENT


def test_failed_save_then_successful_save_replaces_the_file(existing):
    img = image()
    with pytest.raises(TypeError):
        img.save(None)
    img.save(str(existing))
    assert SimpleImage.open(existing)._pixels == bytearray(range(12))
