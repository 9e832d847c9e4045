"""Small and graphic images for the PNG writer's benchmark: the kinds that
photographs say nothing about (few colours, flat areas, text, tiny sizes).

- every PngSuite image of the corpus that Pillow reads, and every file of its
  misc/ folder (a diagram, a digital painting, screenshots, icons, palette
  images), each as Pillow's convert("RGB") gives it;
- synthetic ones made here from a fixed seed: text renderings (antialiased,
  and 1-bit drawn then made RGB), flat panels, icons and screenshots.

Each is a bench_images.PngInput (the synthetic ones written once to the
benchmark's cache), so bench_images.rgb_pixels gives its pixels.
"""

from __future__ import annotations

import glob
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw, ImageFont

import bench_images

SEED = 20261210
WORDS = ("the quick brown fox jumps over a lazy dog while PNG rows are filtered and deflated into "
         "chunks 0123456789 settings window level strategy sample candidate").split()


def _font(size: int) -> ImageFont.FreeTypeFont | ImageFont.ImageFont:
    return ImageFont.load_default(size)


def _lines(rng: np.random.Generator, count: int, words: int) -> list[str]:
    return [" ".join(rng.choice(WORDS, size=int(rng.integers(2, words + 1)))) for _ in range(count)]


def text(width: int, height: int, seed: int, one_bit: bool = False) -> Image.Image:
    """Lines of text on a plain page; `one_bit` draws without antialiasing
    on a 1-bit canvas, as a scanned or faxed page is."""
    rng = np.random.default_rng(seed)
    size = int(rng.integers(11, 18))
    image = Image.new("1" if one_bit else "RGB", (width, height), 1 if one_bit else (255, 255, 255))
    draw = ImageDraw.Draw(image)
    if one_bit:
        draw.fontmode = "1"
    ink = 0 if one_bit else tuple(int(v) for v in rng.integers(0, 90, size=3))
    for row, line in enumerate(_lines(rng, height // (size + 4), 10)):
        draw.text((4, 2 + row * (size + 4)), line, fill=ink, font=_font(size))
    return image.convert("RGB")


def panels(width: int, height: int, seed: int) -> Image.Image:
    """Flat rectangles of a few colours with borders, as a chart or a slide."""
    rng = np.random.default_rng(seed)
    palette = [tuple(int(v) for v in rng.integers(0, 256, size=3)) for _ in range(6)]
    image = Image.new("RGB", (width, height), palette[0])
    draw = ImageDraw.Draw(image)
    for _ in range(12):
        x0, y0 = int(rng.integers(0, width)), int(rng.integers(0, height))
        x1, y1 = x0 + int(rng.integers(8, width // 2 + 9)), y0 + int(rng.integers(8, height // 2 + 9))
        draw.rectangle((x0, y0, x1, y1), fill=palette[int(rng.integers(1, 6))], outline=(0, 0, 0))
    return image


def icon(size: int, seed: int) -> Image.Image:
    """Antialiased shapes on a flat background: drawn four times larger and
    reduced, as icons are rendered."""
    rng = np.random.default_rng(seed)
    big = Image.new("RGB", (size * 4, size * 4), (240, 240, 240))
    draw = ImageDraw.Draw(big)
    for _ in range(4):
        x0, y0 = (int(v) for v in rng.integers(0, size * 3, size=2))
        extent = int(rng.integers(size, size * 3))
        colour = tuple(int(v) for v in rng.integers(0, 256, size=3))
        if rng.random() < 0.5:
            draw.ellipse((x0, y0, x0 + extent, y0 + extent), fill=colour, outline=(40, 40, 40), width=size // 8 + 1)
        else:
            draw.rounded_rectangle((x0, y0, x0 + extent, y0 + extent // 2), radius=size // 4, fill=colour)
    return big.resize((size, size), Image.LANCZOS)


def screenshot(width: int, height: int, seed: int) -> Image.Image:
    """A desktop window: title bar, side bar, text, buttons and a picture
    (a smooth gradient with noise) in one corner."""
    rng = np.random.default_rng(seed)
    image = Image.new("RGB", (width, height), (250, 250, 250))
    draw = ImageDraw.Draw(image)
    draw.rectangle((0, 0, width, 28), fill=(48, 56, 72))
    draw.text((10, 6), "Quorvel bench", fill=(255, 255, 255), font=_font(14))
    draw.rectangle((0, 28, width // 5, height), fill=(232, 234, 238))
    for row, line in enumerate(_lines(rng, (height - 40) // 22, 3)):
        draw.text((8, 36 + row * 22), line[:18], fill=(30, 30, 30), font=_font(12))
    for row, line in enumerate(_lines(rng, (height - 40) // 18, 12)):
        draw.text((width // 5 + 12, 36 + row * 18), line, fill=(20, 20, 20), font=_font(13))
    for button in range(4):
        x = width // 5 + 12 + button * 90
        draw.rounded_rectangle((x, height - 40, x + 80, height - 14), radius=6, fill=(66, 133, 244))
    w, h = width // 3, height // 3
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
    picture = np.stack([xs * 200 / w + 30, ys * 180 / h + 40, (xs + ys) * 100 / (w + h) + 90], axis=2)
    picture += rng.normal(0.0, 3.0, size=picture.shape)
    image.paste(Image.fromarray(np.clip(picture, 0, 255).astype(np.uint8), "RGB"), (width - w - 16, 44))
    return image


# (name, maker): each made from its own seed.
SYNTHETIC = [
    ("text 320x64", lambda s: text(320, 64, s)),
    ("text 800x600", lambda s: text(800, 600, s)),
    ("text 1-bit 640x480", lambda s: text(640, 480, s, one_bit=True)),
    ("text 1-bit 1700x2200", lambda s: text(1700, 2200, s, one_bit=True)),
    ("panels 320x240", lambda s: panels(320, 240, s)),
    ("panels 1280x800", lambda s: panels(1280, 800, s)),
    ("panels 1920x1080", lambda s: panels(1920, 1080, s)),
    ("icon 16", lambda s: icon(16, s)),
    ("icon 32", lambda s: icon(32, s)),
    ("icon 48", lambda s: icon(48, s)),
    ("icon 128", lambda s: icon(128, s)),
    ("icon 256", lambda s: icon(256, s)),
    ("screenshot 800x600", lambda s: screenshot(800, 600, s)),
    ("screenshot 1366x768", lambda s: screenshot(1366, 768, s)),
    ("screenshot 1920x1080", lambda s: screenshot(1920, 1080, s)),
]


def synthetic_inputs() -> list[bench_images.PngInput]:
    inputs = []
    for index, (name, make) in enumerate(SYNTHETIC):
        path = bench_images.CACHE_DIR / "small" / f"{name.replace(' ', '-')}-s{SEED + index}.png"
        bench_images._write_if_missing(path, lambda p: make(SEED + index).save(p, "PNG"))
        with Image.open(path) as image:
            inputs.append(bench_images.PngInput(f"small {name}", path, *image.size, "graphic"))
    return inputs


def corpus_inputs() -> list[bench_images.PngInput]:
    """The PngSuite images and misc/ files that Pillow reads (the suite's
    deliberately broken x*.png are not)."""
    corpus = bench_images._corpus_dir()
    inputs = []
    for path in sorted(glob.glob(str(corpus / "pngsuite" / "png" / "*.png"))) + \
            sorted(glob.glob(str(corpus / "misc" / "*.png"))):
        try:
            with Image.open(path) as image:
                image.load()
                size = image.size
        except (OSError, SyntaxError, ValueError):
            continue
        inputs.append(bench_images.PngInput(f"small {Path(path).stem}", Path(path), *size, "graphic"))
    return inputs


def small_inputs() -> list[bench_images.PngInput]:
    return corpus_inputs() + synthetic_inputs()
