"""The module against Pillow on any interpreter, CPython or PyPy, and what the
interpreter's own call layer costs there. Needs no numpy (PyPy has none).

    python bench/bench_hosts.py [--quick] [--json out.json]

Codecs: PNG and BMP decode and encode, this module against Pillow (when
installed), on photographs of the shared corpus and one generated image.
Pixel access: getPixel and putPixel against Pillow's pixel access object, in
loops of calls. The call layer: time per call of the same loop around a
pure-Python function, a pure-Python getPixel over a bytearray, a C getter
of this module (`image.width`), getPixel called through the class, and a
bound getPixel; on PyPy each call into C crosses its C API emulation, which
this shows next to the pure-Python calls its JIT compiles.

Method as in bench_codecs.py: the implementations of a case run in rounds, in
an order shuffled each round from a fixed seed, each sample one call timed
with the garbage collector off; medians are reported. Every implementation
gets warm-up calls first (PyPy's JIT compiles the loops then), the first of
which is checked: decoded pixels must equal Pillow's.
"""

from __future__ import annotations

import argparse
import gc
import io
import json
import os
import platform
import random
import statistics
import sys
import time
from pathlib import Path

from Quorvel.tessarin_ext import SimpleImage

try:
    from PIL import Image
except ImportError:
    Image = None

REPO = Path(__file__).resolve().parents[1]
CACHE = REPO / "bench" / ".cache" / "hosts"
WARM_UP = 5
CALLS = 20_000


def corpus_photos(quick: bool) -> list[Path]:
    corpus = Path(os.environ.get("QUORVEL_CORPUS", REPO.parent / "shared" / "corpus"))
    names = ["kodim01.png"] if quick else ["kodim01.png", "kodim12.png", "kodim23.png"]
    return [corpus / "photos" / name for name in names if (corpus / "photos" / name).is_file()]


def generated_rgb(width: int, height: int) -> bytes:
    """Smooth gradients with a little noise, as in a photograph."""
    rng = random.Random(22)
    noise = bytes(rng.randrange(8) for _ in range(4096))
    row = bytearray(width * 3)
    rows = []
    for y in range(height):
        for x in range(width):
            i = x * 3
            n = noise[(x * 7 + y * 13) & 4095]
            row[i], row[i + 1], row[i + 2] = (x + n) & 255, (y + n) & 255, ((x + y) // 2 + n) & 255
        rows.append(bytes(row))
    return b"".join(rows)


def inputs(quick: bool) -> list[tuple[str, int, int, bytes, Path, Path]]:
    """(name, width, height, RGB pixels, PNG path, BMP path) for each input.
    Files are written by Pillow (PNG with its adaptive filters) when it is
    installed, else by this module."""
    CACHE.mkdir(parents=True, exist_ok=True)
    found = []
    sources = [(path.stem, SimpleImage.open(str(path))) for path in corpus_photos(quick)]
    size = (512, 384) if quick else (2048, 1536)
    sources.append((f"generated {size[0]}x{size[1]}", SimpleImage(*size, generated_rgb(*size))))
    for name, image in sources:
        rgb = bytes(image._pixels)
        stem = CACHE / name.replace(" ", "-")
        png, bmp = stem.with_suffix(".png"), stem.with_suffix(".bmp")
        if Image is not None:
            pil = Image.frombytes("RGB", (image.width, image.height), rgb)
            pil.save(png, "PNG")
            pil.save(bmp, "BMP")
        else:
            image.save(str(png))
            image.saveBmp(str(bmp))
        found.append((name, image.width, image.height, rgb, png, bmp))
    return found


def pillow_rgb(path: Path) -> bytes:
    with Image.open(path) as im:
        return (im if im.mode == "RGB" else im.convert("RGB")).tobytes()


def out_path(name: str) -> Path:
    shm = Path("/dev/shm")
    base = shm if shm.is_dir() and os.access(shm, os.W_OK) else CACHE
    return base / f"quorvel-bench-hosts-{os.getpid()}-{name}"


def codec_cases(items) -> list[tuple[str, dict, object]]:
    """(case name, {implementation: sample}, expected pixels or None)."""
    cases = []
    for name, width, height, rgb, png, bmp in items:
        ours_image = SimpleImage(width, height, rgb)
        decode = {"png_decode": png, "bmp_decode": bmp}
        for operation, path in decode.items():
            samples = {"ours": lambda p=str(path): SimpleImage.open(p)._pixels}
            if Image is not None:
                samples["pillow"] = lambda p=path: pillow_rgb(p)
            cases.append((f"{operation} {name}", samples, rgb))
        for operation, method, pillow_format in (("png_encode", "save", "PNG"), ("bmp_encode", "saveBmp", "BMP")):
            target = out_path(f"{operation}-{name}".replace(" ", "-"))
            samples = {"ours": lambda m=getattr(ours_image, method), t=str(target): m(t)}
            if Image is not None:
                pil = Image.frombytes("RGB", (width, height), rgb)
                options = {"compress_level": 6} if pillow_format == "PNG" else {}
                samples["pillow"] = lambda i=pil, t=target, f=pillow_format, o=options: i.save(t, f, **o)
            cases.append((f"{operation} {name}", samples, None))
    return cases


def pixel_cases(width: int, height: int, rgb: bytes) -> list[tuple[str, dict, None]]:
    """Loops of CALLS calls over random coordinates, each written out as a
    plain loop so that every implementation pays the same loop."""
    rng = random.Random(7)
    coords = [(rng.randrange(width), rng.randrange(height)) for _ in range(CALLS)]
    image = SimpleImage(width, height, rgb)
    get, put = image.getPixel, image.putPixel
    colour = (12, 200, 99)
    buffer = bytearray(rgb)

    def ours_get():
        for xy in coords:
            get(xy)

    def ours_put():
        for xy in coords:
            put(xy, colour)

    def python_function(xy):
        return xy

    def python_get_pixel(xy):
        x, y = xy
        index = (y * width + x) * 3
        return buffer[index], buffer[index + 1], buffer[index + 2]

    def call_python_function():
        for xy in coords:
            python_function(xy)

    def call_python_get_pixel():
        for xy in coords:
            python_get_pixel(xy)

    def read_width():
        for _ in coords:
            image.width

    def through_the_class():
        for xy in coords:
            SimpleImage.getPixel(image, xy)

    def through_the_instance():
        for xy in coords:
            image.getPixel(xy)

    gets = {"ours": ours_get}
    puts = {"ours": ours_put}
    if Image is not None:
        pil = Image.frombytes("RGB", (width, height), rgb)
        access = pil.load()

        def pillow_get():
            for xy in coords:
                access[xy]

        def pillow_getpixel():
            for xy in coords:
                pil.getpixel(xy)

        def pillow_put():
            for xy in coords:
                access[xy] = colour

        gets.update({"pillow": pillow_get, "pillow getpixel()": pillow_getpixel})
        puts["pillow"] = pillow_put
    layer = {
        "pure-Python function f(xy)": call_python_function,
        "pure-Python getPixel over a bytearray": call_python_get_pixel,
        "C getter image.width": read_width,
        "SimpleImage.getPixel(image, xy)": through_the_class,
        "image.getPixel(xy)": through_the_instance,
        "getPixel bound once": ours_get,
    }
    return [("getPixel", gets, None), ("putPixel", puts, None), ("call layer", layer, None)]


def time_case(samples: dict, expected, rounds: int) -> dict[str, list[int]]:
    for name, sample in samples.items():
        result = sample()
        if expected is not None and bytes(result) != expected:
            raise AssertionError(f"{name}: pixels differ from the source's")
        for _ in range(WARM_UP - 1):
            sample()
    times: dict[str, list[int]] = {name: [] for name in samples}
    order = random.Random(22)
    names = list(samples)
    for _ in range(rounds):
        order.shuffle(names)
        for name in names:
            gc.disable()
            start = time.perf_counter_ns()
            samples[name]()
            times[name].append(time.perf_counter_ns() - start)
            gc.enable()
    return times


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="one photograph, a small generated image, 5 rounds")
    parser.add_argument("--json", type=Path, help="write every sample here")
    args = parser.parse_args()
    rounds = 5 if args.quick else 15
    host = f"{sys.implementation.name} {platform.python_version()}"
    print(f"{host}, Pillow {Image.__version__ if Image else 'not installed'}, {platform.machine()}; "
          f"medians of {rounds} rounds; per call: loops of {CALLS} calls")
    items = inputs(args.quick)
    name, width, height, rgb, _, _ = items[0]
    report = {"host": host, "cases": {}}
    for case, samples, expected in codec_cases(items) + pixel_cases(width, height, rgb):
        times = time_case(samples, expected, rounds)
        medians = {impl: statistics.median(values) for impl, values in times.items()}
        report["cases"][case] = times
        per_call = case in ("getPixel", "putPixel", "call layer")
        print(f"\n{case}")
        reference = medians.get("pillow")
        for impl, median in medians.items():
            shown = f"{median / CALLS:9.1f} ns/call" if per_call else f"{median / 1e6:9.2f} ms"
            ratio = f"  {median / reference:5.2f}x Pillow" if reference and case != "call layer" else ""
            print(f"  {impl:40s}{shown}{ratio}")
    if args.json:
        args.json.write_text(json.dumps(report, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
