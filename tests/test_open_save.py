"""Opening images from paths and bytes, format recognition by content, and
saving through the module's encoders: what the two encoders share."""
import gc
import io
import os
import pathlib
import warnings

import pytest
from PIL import Image

from builders import (
    PNG_SIGNATURE, BytearraySubclass, BytesSubclass, PathSubclass, StrSubclass, bmp_bytes, png_bytes, random_pixels)
from Quorvel import tessarin_ext
from Quorvel.tessarin_ext import SimpleImage

WIDTH, HEIGHT = 5, 3
# Row-major RGB, top row first; every byte differs so that a swapped channel,
# a flipped row or a shifted column shows.
PIXELS = bytes((7 * i + 3) % 256 for i in range(WIDTH * HEIGHT * 3))


def png_with_bad_crc() -> bytes:
    data = bytearray(png_bytes(WIDTH, HEIGHT, PIXELS))
    data[-20] ^= 0xFF  # last byte of the IDAT CRC
    return bytes(data)


@pytest.fixture
def png_file(tmp_path: pathlib.Path) -> pathlib.Path:
    path = tmp_path / "image.png"
    path.write_bytes(png_bytes(WIDTH, HEIGHT, PIXELS))
    return path


def open_file_descriptors_to(path: pathlib.Path) -> list[str]:
    descriptors = []
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{name}") == str(path):
                descriptors.append(name)
        except OSError:
            pass
    return descriptors


# --- accepted and refused sources -------------------------------------------

@pytest.mark.parametrize("make_source", [
    str, StrSubclass, pathlib.Path, PathSubclass,
    lambda path: path.read_bytes(),
    lambda path: bytearray(path.read_bytes()),
    lambda path: BytesSubclass(path.read_bytes()),
    lambda path: BytearraySubclass(path.read_bytes()),
], ids=["str", "str-subclass", "Path", "Path-subclass", "bytes", "bytearray", "bytes-subclass",
        "bytearray-subclass"])
@pytest.mark.parametrize("encode", [png_bytes, bmp_bytes], ids=["png", "bmp"])
def test_every_accepted_source_gives_the_same_image(tmp_path, make_source, encode):
    path = tmp_path / "image"
    path.write_bytes(encode(WIDTH, HEIGHT, PIXELS))
    image = SimpleImage.open(make_source(path))
    assert type(image) is SimpleImage
    assert (image.width, image.height, image._pixels) == (WIDTH, HEIGHT, bytearray(PIXELS))
    assert type(image._pixels) is bytearray


class PathLike:
    def __fspath__(self) -> str:
        return "image.png"


@pytest.mark.parametrize("make_source", [
    lambda path: memoryview(path.read_bytes()),
    lambda path: pathlib.PurePosixPath(path),
    lambda path: PathLike(),
    lambda path: None,
    lambda path: list(path.read_bytes()),
    lambda path: 0,
], ids=["memoryview", "PurePosixPath", "os.PathLike", "None", "list", "int"])
def test_other_sources_are_refused(png_file, make_source):
    with pytest.raises(TypeError) as caught:
        SimpleImage.open(make_source(png_file))
    assert caught.value.args == ("source must be a file path or raw bytes",)


def test_open_file_object_is_refused(png_file):
    with open(png_file, "rb") as stream:
        with pytest.raises(TypeError, match="^source must be a file path or raw bytes$"):
            SimpleImage.open(stream)


def test_source_by_keyword_and_missing_file(tmp_path, png_file):
    assert SimpleImage.open(source=str(png_file)).size == (WIDTH, HEIGHT)
    with pytest.raises(FileNotFoundError):
        SimpleImage.open(str(tmp_path / "missing.png"))
    with pytest.raises(IsADirectoryError):
        SimpleImage.open(tmp_path)


# --- recognition by content ---------------------------------------------------

@pytest.mark.parametrize("data", [
    b"", b"\x89", b"B", b"bm", b"MB" + bytes(60), PNG_SIGNATURE[:7], PNG_SIGNATURE[:7] + b"\x00",
    PNG_SIGNATURE[:7] + b"\x0b" + png_bytes(1, 1, b"abc")[8:],
], ids=["empty", "one-byte", "B", "lowercase-bm", "MB", "7-signature-bytes", "7-signature-bytes-and-zero",
        "last-signature-byte-wrong"])
def test_unrecognised_content(tmp_path, data):
    path = tmp_path / "image.png"
    path.write_bytes(data)
    for source in (data, str(path)):
        with pytest.raises(ValueError) as caught:
            SimpleImage.open(source)
        assert caught.value.args == ("Unsupported image format",)


@pytest.mark.parametrize("data, message", [
    (b"BM", "Unsupported BMP header"),
    (PNG_SIGNATURE, "Incomplete PNG header information"),
], ids=["bm-only", "png-signature-only"])
def test_content_goes_to_the_decoder_its_signature_names(data, message):
    with pytest.raises(ValueError) as caught:
        SimpleImage.open(data)
    assert caught.value.args == (message,)


@pytest.mark.parametrize("data, error, message", [
    (png_with_bad_crc(), ValueError, "Corrupted PNG chunk detected"),
    (b"BM" + bytes(12), ValueError, "Corrupted BMP DIB header"),
    (b"GIF89a", ValueError, "Unsupported image format"),
    (png_bytes(WIDTH, HEIGHT, PIXELS), None, None),
], ids=["png-bad-crc", "bmp-cut-short", "unknown", "good"])
def test_file_is_closed_on_every_path(tmp_path, data, error, message):
    path = tmp_path / "image.png"
    path.write_bytes(data)
    with warnings.catch_warnings(record=True) as caught_warnings:
        warnings.simplefilter("always")
        if error is None:
            SimpleImage.open(str(path))
        else:
            with pytest.raises(error) as caught:
                SimpleImage.open(str(path))
            assert caught.value.args == (message,)
            del caught
        gc.collect()
        assert open_file_descriptors_to(path) == []
    assert [w for w in caught_warnings if issubclass(w.category, ResourceWarning)] == []


def test_detection_reads_at_the_current_position_decoding_starts_at_zero():
    first, second = png_bytes(WIDTH, HEIGHT, PIXELS), png_bytes(1, 1, b"xyz")
    stream = io.BytesIO(first + second)
    stream.seek(len(first))
    assert SimpleImage._streamToImage(stream) == (WIDTH, HEIGHT, bytearray(PIXELS))

    stream = io.BytesIO(first + bmp_bytes(1, 1, b"xyz"))
    stream.seek(len(first))
    with pytest.raises(ValueError, match="^Unsupported BMP header$"):
        SimpleImage._streamToImage(stream)

    stream = io.BytesIO(first)
    stream.seek(8)
    with pytest.raises(ValueError, match="^Unsupported image format$"):
        SimpleImage._streamToImage(stream)


def test_stream_to_image_returns_the_decoded_values_on_class_and_instance():
    image = SimpleImage(1, 1, b"abc")
    for owner in (SimpleImage, image):
        for call in (lambda: owner._streamToImage(io.BytesIO(bmp_bytes(WIDTH, HEIGHT, PIXELS))),
                     lambda: owner._streamToImage(stream=io.BytesIO(png_bytes(WIDTH, HEIGHT, PIXELS)))):
            width, height, pixels = call()
            assert (width, height, pixels) == (WIDTH, HEIGHT, bytearray(PIXELS))
            assert type(pixels) is bytearray


# --- subclasses and overrides --------------------------------------------------

class Recording(SimpleImage):
    streams: list = []

    @staticmethod
    def _streamToImage(stream):
        Recording.streams.append(stream)
        return 1, 1, bytearray(b"abc")


def test_subclass_open_returns_the_subclass_and_uses_its_override(png_file):
    assert type(type("Plain", (SimpleImage,), {}).open(png_file.read_bytes())).__name__ == "Plain"
    Recording.streams = []
    for source in (str(png_file), png_file, b"not an image", bytearray(b"")):
        image = Recording.open(source)
        assert type(image) is Recording
        assert (image.size, image._pixels) == ((1, 1), bytearray(b"abc"))
    file_stream, path_stream, bytes_stream, bytearray_stream = Recording.streams
    assert file_stream.closed and path_stream.closed
    assert bytes_stream.getvalue() == b"not an image" and type(bytearray_stream) is io.BytesIO


@pytest.mark.parametrize("make_result, message", [
    (lambda: (1, 1), "need more than 2 values to unpack"),
    (lambda: [1], "need more than 1 value to unpack"),
    (lambda: (), "need more than 0 values to unpack"),
    (lambda: (1, 1, b"abc", None), "too many values to unpack (expected 3)"),
    (lambda: iter([1, 1, b"abc", None]), "too many values to unpack (expected 3)"),
    (lambda: iter([1, 1]), "need more than 2 values to unpack"),
], ids=["tuple-2", "list-1", "empty", "tuple-4", "iterator-4", "iterator-2"])
def test_override_returning_other_than_three_values(png_file, make_result, message):
    class Override(SimpleImage):
        @staticmethod
        def _streamToImage(stream):
            return make_result()

    for source in (b"", str(png_file)):
        with pytest.raises(ValueError) as caught:
            Override.open(source)
        assert caught.value.args == (message,)


def test_override_returning_an_iterator_of_three_values():
    class Override(SimpleImage):
        @staticmethod
        def _streamToImage(stream):
            return iter([2, 1, b"abcdef"])

    assert Override.open(b"").getPixel((1, 0)) == (100, 101, 102)


def test_class_call_must_give_a_simple_image():
    class Elsewhere(SimpleImage):
        def __new__(cls, *args):
            return 42

    class Nothing(SimpleImage):
        def __new__(cls, *args):
            return None

    with pytest.raises(TypeError) as caught:
        Elsewhere.open(png_bytes(1, 1, b"abc"))
    assert caught.value.args == ("Cannot convert int to Quorvel.tessarin_ext.SimpleImage",)
    assert Nothing.open(png_bytes(1, 1, b"abc")) is None


def test_decoded_length_is_checked_against_the_dimensions():
    class Override(SimpleImage):
        @staticmethod
        def _streamToImage(stream):
            return 2, 2, bytearray(11)

    with pytest.raises(ValueError, match="^Pixel data length does not match image dimensions$"):
        Override.open(b"")


# --- saving ----------------------------------------------------------------------

def sample_image(pixels: bytes = PIXELS) -> SimpleImage:
    return SimpleImage(WIDTH, HEIGHT, pixels)


def pillow_rgb(path) -> tuple[tuple[int, int], bytes]:
    with Image.open(path) as opened:
        return opened.size, opened.convert("RGB").tobytes()


@pytest.mark.parametrize("method, file_name, start", [
    ("save", "image.bmp", PNG_SIGNATURE),
    ("save", "image", PNG_SIGNATURE),
    ("saveBmp", "image.png", b"BM"),
    ("saveBmp", "image.PNG", b"BM"),
])
def test_format_is_chosen_by_the_method_not_the_extension(tmp_path, method, file_name, start):
    path = tmp_path / file_name
    getattr(sample_image(), method)(str(path))
    assert path.read_bytes().startswith(start)
    assert pillow_rgb(path) == ((WIDTH, HEIGHT), PIXELS)


def test_save_changes_nothing_in_the_image(tmp_path):
    image = sample_image()
    pixels = image._pixels
    image.save(str(tmp_path / "a"))
    image.saveBmp(str(tmp_path / "b"))
    assert image._pixels is pixels and pixels == bytearray(PIXELS) and image.size == (WIDTH, HEIGHT)


# Each encoder with the reference file of its format.
WRITERS = pytest.mark.parametrize("writer, reference", [
    (tessarin_ext._writePng, png_bytes), (tessarin_ext._writeBmp, bmp_bytes)], ids=["png", "bmp"])


@WRITERS
@pytest.mark.parametrize("as_given", [bytes, list, bytearray, memoryview, BytearraySubclass],
                         ids=["bytes", "list", "bytearray", "memoryview", "bytearray-subclass"])
def test_pixel_containers_write_the_same_file(target, writer, reference, as_given):
    pixels = random_pixels(3, 2)
    writer(str(target), 3, 2, as_given(pixels))
    assert target.read_bytes() == reference(3, 2, pixels)


@WRITERS
def test_integer_pixels_write_a_black_image(target, writer, reference):
    writer(str(target), 2, 2, 12)
    assert target.read_bytes() == reference(2, 2, bytes(12))


@WRITERS
def test_buffer_is_left_as_it_was_and_its_surplus_ignored(target, writer, reference):
    pixels = bytearray(random_pixels(2, 3) + b"surplus")
    before = bytes(pixels)
    writer(str(target), 2, 3, pixels)
    assert target.read_bytes() == reference(2, 3, before[:-7])
    assert pixels == before


@WRITERS
@pytest.mark.parametrize("path_type", [str, pathlib.Path, os.fsencode], ids=["str", "Path", "bytes"])
def test_path_types(target, writer, reference, path_type):
    writer(path_type(target), 1, 1, b"\x01\x02\x03")
    assert target.read_bytes() == reference(1, 1, b"\x01\x02\x03")


@WRITERS
def test_an_existing_file_is_replaced_whole(existing, writer, reference):
    writer(str(existing), 40, 30, bytes(40 * 30 * 3))
    writer(str(existing), 1, 1, b"\x01\x02\x03")
    assert existing.read_bytes() == reference(1, 1, b"\x01\x02\x03")


@WRITERS
def test_missing_directory_raises_the_hosts_error(tmp_path, writer, reference):
    with pytest.raises(FileNotFoundError):
        writer(str(tmp_path / "missing" / "out"), 1, 1, b"\x00\x00\x00")
