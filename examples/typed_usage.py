"""Every public part of SimpleImage in one short program, checked by mypy in
the tests: open, the attributes, pixel access, copy and both writers; and
the package's reader, Quorvel.load and Quorvel.probe.

Run: python examples/typed_usage.py
"""
import pathlib
import tempfile

import Quorvel
from Quorvel.tessarin_ext import SimpleImage

SAMPLE = pathlib.Path(__file__).resolve().parent / "sample.png"


class Thumbnail(SimpleImage):
    """open() on a subclass gives the subclass."""


def invert(image: SimpleImage) -> SimpleImage:
    inverted = image.copy()
    for y in range(inverted.height):
        for x in range(inverted.width):
            red, green, blue = inverted.getPixel((x, y))
            inverted.putPixel((x, y), (255 - red, 255 - green, 255 - blue))
    return inverted


def summary(info: Quorvel.ImageInfo) -> str:
    """One line from the headers: PNG and BMP each have fields of their own,
    None for the other format."""
    if not info.readable:
        return f"{info.format}: cannot be read: {info.reason}"
    depth = info.bit_depth if info.format == "PNG" else info.bit_count
    return f"{info.format}, {info.width}x{info.height} ({info.pixels} pixels), {depth}-bit"


def main() -> None:
    from_path: SimpleImage = SimpleImage.open(SAMPLE)
    from_bytes = SimpleImage.open(SAMPLE.read_bytes())
    thumbnail: Thumbnail = Thumbnail.open(str(SAMPLE))
    width, height = from_path.size
    assert (width, height) == (from_bytes.width, from_bytes.height) == thumbnail.size

    loaded: SimpleImage = Quorvel.load(SAMPLE, max_pixels=1 << 20)
    with open(SAMPLE, "rb") as file:
        assert Quorvel.load(file)._pixels == Quorvel.load(memoryview(SAMPLE.read_bytes()))._pixels
    assert loaded._pixels == from_path._pixels
    print(summary(Quorvel.probe(str(SAMPLE))))
    try:
        Quorvel.load(b"not an image")
    except Quorvel.ImageReadError as error:
        assert isinstance(error, ValueError)

    blank = SimpleImage(2, 1, bytearray(6))
    blank.putPixel((1, 0), [10, 20, 30])
    pixels = blank._pixels
    assert pixels is not None and pixels[3:] == b"\x0a\x14\x1e"
    blank.height = 1

    with tempfile.TemporaryDirectory() as directory:
        png_path = str(pathlib.Path(directory) / "inverted.png")
        bmp_path = str(pathlib.Path(directory) / "inverted.bmp")
        inverted = invert(from_path)
        inverted.save(png_path)
        inverted.saveBmp(bmp_path)
        again = SimpleImage.open(bmp_path)
        print(f"{SAMPLE.name}: {width}x{height}, first pixel {from_path.getPixel((0, 0))}, "
              f"inverted {again.getPixel((0, 0))}")


if __name__ == "__main__":
    main()
