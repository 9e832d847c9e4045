"""Writes examples/sample.png, the image the demo converts: a 64x48 colour
gradient with a white frame and a dark diagonal, drawn with SimpleImage.

Run from anywhere: python examples/make_sample.py [-o PATH]
"""
import argparse
import pathlib

from Quorvel.tessarin_ext import SimpleImage

WIDTH, HEIGHT = 64, 48
SAMPLE = pathlib.Path(__file__).resolve().parent / "sample.png"


def colour_at(x: int, y: int) -> tuple[int, int, int]:
    if x in (0, WIDTH - 1) or y in (0, HEIGHT - 1):
        return (255, 255, 255)
    if x * HEIGHT // WIDTH == y:
        return (16, 16, 16)
    return (x * 255 // (WIDTH - 1), y * 255 // (HEIGHT - 1), 128)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0].replace("\n", " "))
    parser.add_argument("-o", "--output", type=pathlib.Path, default=SAMPLE,
                        help="where to write the PNG (default: %(default)s, the tracked sample)")
    target = parser.parse_args().output
    image = SimpleImage(WIDTH, HEIGHT, bytes(WIDTH * HEIGHT * 3))
    for y in range(HEIGHT):
        for x in range(WIDTH):
            image.putPixel((x, y), colour_at(x, y))
    image.save(str(target))
    print(f"wrote {target} ({image.width}x{image.height})")


if __name__ == "__main__":
    main()
