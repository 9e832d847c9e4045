"""Benchmark inputs: synthetic photo-like images and the corpus photographs.

Synthetic images are made with numpy from a fixed seed, so every run (and
every machine) measures the same pixels. Encoded files are written once into
bench/.cache/ and reused while their name (size, seed, variant) matches.
"""

from __future__ import annotations

import glob
import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from PIL import Image

from Quorvel.tessarin_ext import SimpleImage

BENCH_DIR = Path(__file__).resolve().parent
CACHE_DIR = BENCH_DIR / ".cache"


def _corpus_dir() -> Path:
    """QUORVEL_CORPUS when set, else the shared corpus beside the repository."""
    if os.environ.get("QUORVEL_CORPUS"):
        return Path(os.environ["QUORVEL_CORPUS"])
    return BENCH_DIR.parent.parent / "shared" / "corpus"


CORPUS_PHOTOS = _corpus_dir() / "photos"

SEED = 20240611
QUICK_SIZES = [(256, 256), (1024, 1024)]
FULL_SIZES = [(256, 256), (1024, 1024), (4096, 3072)]


@dataclass(frozen=True)
class PngInput:
    name: str
    path: Path
    width: int
    height: int
    # Who wrote the file and how: "pillow" (adaptive filters), "filter0"
    # (our own save), "pillow-rgba", "pillow-graphics" (a screenshot-like
    # image), or "photo" for a corpus file.
    variant: str


def synthetic_rgb(width: int, height: int, seed: int = SEED) -> np.ndarray:
    """A photo-like RGB image: smooth gradients, sensor-like noise and a few hard edges."""
    rng = np.random.default_rng(seed + width * 7919 + height)
    ys = np.linspace(0.0, 1.0, height, dtype=np.float32)[:, None]
    xs = np.linspace(0.0, 1.0, width, dtype=np.float32)[None, :]
    image = np.empty((height, width, 3), dtype=np.float32)
    for channel in range(3):
        fx, fy, phase = rng.uniform(0.5, 3.0), rng.uniform(0.5, 3.0), rng.uniform(0, 2 * np.pi)
        image[:, :, channel] = (
            110.0
            + 70.0 * np.sin(2 * np.pi * fx * xs + phase) * np.cos(2 * np.pi * fy * ys)
            + 40.0 * (xs * (channel - 1) + ys * (1 - channel * 0.5))
        )
    # Hard-edged shapes: rectangles and discs in flat-ish colours.
    for _ in range(12):
        x0, y0 = int(rng.integers(0, width)), int(rng.integers(0, height))
        w, h = int(rng.integers(width // 16 + 1, width // 3 + 2)), int(rng.integers(height // 16 + 1, height // 3 + 2))
        colour = rng.uniform(0, 255, size=3).astype(np.float32)
        if rng.random() < 0.5:
            image[y0 : y0 + h, x0 : x0 + w] = 0.3 * image[y0 : y0 + h, x0 : x0 + w] + 0.7 * colour
        else:
            radius = min(w, h) / 2
            cy, cx = y0 + h / 2, x0 + w / 2
            yy, xx = np.ogrid[:height, :width]
            disc = (yy - cy) ** 2 + (xx - cx) ** 2 <= radius * radius
            image[disc] = 0.3 * image[disc] + 0.7 * colour
    image += rng.normal(0.0, 4.0, size=image.shape).astype(np.float32)
    return np.clip(image, 0, 255).astype(np.uint8)


def synthetic_graphics(width: int, height: int, seed: int = SEED) -> np.ndarray:
    """A screenshot-like RGB image: a plain background, flat panels and lines
    of text set from a small alphabet of glyphs. It compresses many times
    better than a photograph, so inflating it is cheap and everything a
    decoder does around the inflation shows."""
    rng = np.random.default_rng(seed + width * 31 + height)
    image = np.full((height, width, 3), 246, dtype=np.uint8)
    for _ in range(10):
        x0, y0 = int(rng.integers(0, width)), int(rng.integers(0, height))
        w, h = int(rng.integers(width // 10 + 1, width // 2 + 2)), int(rng.integers(height // 10 + 1, height // 3 + 2))
        image[y0 : y0 + h, x0 : x0 + w] = rng.integers(120, 256, size=3, dtype=np.uint8)
    # Glyphs are 9x6 marks in cells 7 pixels wide; one cell in seven is a space.
    glyphs = np.zeros((48, 9, 7), dtype=bool)
    glyphs[1:, :, :6] = rng.random((47, 9, 6)) < 0.4
    cells = width // 7 + 1
    for top in range(6, height - 12, 17):
        text = rng.integers(1, 48, size=cells)
        text[rng.random(cells) < 1 / 7] = 0
        ink = glyphs[text].transpose(1, 0, 2).reshape(9, cells * 7)[:, :width]
        image[top : top + 9][ink] = (20, 24, 32)
    return image


def synthetic_alpha(width: int, height: int) -> np.ndarray:
    ys = np.linspace(0, 255, height, dtype=np.float32)[:, None]
    xs = np.linspace(0, 255, width, dtype=np.float32)[None, :]
    return ((xs + ys) / 2).astype(np.uint8)


def _write_if_missing(path: Path, writer) -> Path:
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        tmp = path.with_suffix(path.suffix + ".tmp")
        writer(tmp)
        os.replace(tmp, path)
    return path


SYNTHETIC_VARIANTS = ("pillow", "filter0", "rgba", "graphics")


def synthetic_pngs(sizes, variants=SYNTHETIC_VARIANTS) -> list[PngInput]:
    """The synthetic inputs at each size, in the variants asked for (each
    one is written on first use only, which matters at 4096x3072)."""
    inputs = []
    for width, height in sizes:
        stem = f"synth-{width}x{height}-s{SEED}"
        pixels = None

        def rgb() -> np.ndarray:
            nonlocal pixels
            if pixels is None:
                pixels = synthetic_rgb(width, height)
            return pixels

        writers = {
            "pillow": lambda p: Image.fromarray(rgb(), "RGB").save(p, "PNG", compress_level=6),
            "filter0": lambda p: SimpleImage(width, height, rgb().tobytes()).save(str(p)),
            "rgba": lambda p: Image.fromarray(
                np.dstack([rgb(), synthetic_alpha(width, height)]), "RGBA"
            ).save(p, "PNG", compress_level=6),
            "graphics": lambda p: Image.fromarray(synthetic_graphics(width, height), "RGB").save(
                p, "PNG", compress_level=6
            ),
        }
        kinds = {"pillow": "pillow", "filter0": "filter0", "rgba": "pillow-rgba", "graphics": "pillow-graphics"}
        for variant in variants:
            path = _write_if_missing(CACHE_DIR / f"{stem}-{variant}.png", writers[variant])
            inputs.append(PngInput(f"synth {width}x{height} {variant}", path, width, height, kinds[variant]))
    return inputs


def photo_pngs(quick: bool) -> list[PngInput]:
    """Corpus photographs; an absent corpus simply contributes nothing."""
    paths = sorted(glob.glob(str(CORPUS_PHOTOS / "*.png")))
    large = sorted(glob.glob(str(CORPUS_PHOTOS / "large" / "*.png")))
    if quick:
        paths = paths[:2]
        large = []
    inputs = []
    for path in paths + large:
        with Image.open(path) as im:
            width, height = im.size
        inputs.append(PngInput(f"photo {Path(path).stem}", Path(path), width, height, "photo"))
    return inputs


def rgb_pixels(item: PngInput) -> bytes:
    """The RGB pixels of an input, as Pillow decodes them (the reference)."""
    with Image.open(item.path) as im:
        return im.convert("RGB").tobytes()


def bmp_for(item: PngInput) -> Path:
    """A 24-bit bottom-up BMP of the same pixels, written by Pillow."""
    target = CACHE_DIR / "bmp" / (Path(item.path).stem + ".bmp")

    def write(path: Path) -> None:
        with Image.open(item.path) as im:
            im.convert("RGB").save(path, "BMP")

    return _write_if_missing(target, write)
