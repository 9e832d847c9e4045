"""The package reader: Quorvel.load against Pillow, OpenCV and pyspng, side by side.

    .venv/bin/python bench/bench_reader.py [--quick] [--cpu-time] [--json out.json] [--only png,6MP,...]

Inputs, each at 1536x1024 (a 2x2 mosaic of the first four landscape
photographs of the corpus) and at 6 MP (the first photograph of photos/large):

- PNG: palette at 8 and 4 bits (Pillow's quantize), greyscale at 1 bit
  (Pillow's dithered "1"), 8 and 16 bits, RGB at 16 bits, interlaced RGB
  (pypng), RGBA, and plain 8-bit RGB;
- BMP: 8-bit palette and 32-bit (Pillow), RLE8 (written here: Pillow does
  not write it), and 24-bit behind a 124-byte header (Pillow's rows behind a
  header written here).

16-bit samples carry a noisy low byte, as a scanner's or a raw converter's
do. The files are written once into bench/.cache/reader/ and reused.

Each input is one case whose implementations run in interleaved rounds as
bench_codecs.py runs them (bench_codecs.run_case), each returning RGB bytes:

- ours: Quorvel.load(path), with its default inflater (zlib-ng where the
  package is installed);
- ours-zlib: Quorvel.load(path, inflater="zlib"), on PNG files where
  zlib-ng is installed, to show what the inflater is worth;
- open: SimpleImage.open(path), on the 8-bit RGB and RGBA PNGs it reads;
- pillow: open, convert("RGB"), tobytes (as the PNG decode cases measure it);
- opencv: cv2.imread(IMREAD_COLOR) then cvtColor to RGB;
- pyspng: PNG only, libspng's RGB8 output.

Every peer's first call is checked against ours. On 16-bit files the peers
may reduce samples otherwise than by cutting to the high byte (Pillow
clips 16-bit greyscale); such a difference is printed as a note, not a fault.
A ratio is ours / peer, the median over the rounds of the ratio within one
round (compare.paired_ratio).
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import functools
import glob
import json
import os
import platform
import struct
import sys
import time
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_codecs  # noqa: E402
import bench_images  # noqa: E402
import bench_impls  # noqa: E402
from compare import paired_ratio  # noqa: E402

import numpy as np  # noqa: E402
from PIL import Image  # noqa: E402

import Quorvel  # noqa: E402
from Quorvel.tessarin_ext import SimpleImage  # noqa: E402

OPERATION = "reader"
CACHE = bench_images.CACHE_DIR / "reader"
PEERS = ("ours-zlib", "open", "pillow", "opencv", "pyspng")
# What each size is made of, for the JSON.
SOURCES = {"1536x1024": "a 2x2 mosaic of the first four 768x512 corpus photographs",
           "6MP": "the first photograph of the corpus's photos/large"}


@dataclass(frozen=True)
class Kind:
    name: str
    suffix: str
    # Writes the file from the source photograph (an RGB Pillow image).
    write: object
    sixteen_bit: bool = False
    # SimpleImage.open reads it (8-bit RGB and RGBA PNG).
    opens: bool = False


# ---------------------------------------------------------------- inputs


def _noisy_16(samples: np.ndarray, seed: int) -> np.ndarray:
    """8-bit samples widened to 16 bits with a random low byte."""
    noise = np.random.default_rng(seed).integers(0, 256, size=samples.shape, dtype=np.uint16)
    return (samples.astype(np.uint16) << 8) | noise


def _with_alpha(image: Image.Image) -> Image.Image:
    alpha = bench_images.synthetic_alpha(*image.size)
    return Image.fromarray(np.dstack([np.asarray(image), alpha]), "RGBA")


def _pypng_rgb(path: Path, pixels: np.ndarray, bitdepth: int, interlace: bool) -> None:
    import png

    height, width, _ = pixels.shape
    writer = png.Writer(width, height, greyscale=False, bitdepth=bitdepth, interlace=interlace)
    with open(path, "wb") as f:
        writer.write(f, pixels.reshape(height, width * 3))


def _grey16(image: Image.Image, path: Path) -> None:
    grey = np.asarray(image.convert("L"))
    Image.fromarray(_noisy_16(grey, bench_images.SEED)).save(path, "PNG")


def _rle8_row(row: np.ndarray) -> bytearray:
    """One row in RLE8: a repeat of two or more as encoded runs, other
    pixels gathered into absolute runs (three or more, padded to even)."""
    out = bytearray()
    starts = np.concatenate(([0], np.flatnonzero(np.diff(row)) + 1))
    lengths = np.diff(np.concatenate((starts, [len(row)])))
    literal: list[int] = []

    def flush() -> None:
        for at in range(0, len(literal), 255):
            piece = literal[at : at + 255]
            if len(piece) >= 3:
                out.extend((0, len(piece)))
                out.extend(piece)
                if len(piece) % 2:
                    out.append(0)
            else:
                for value in piece:
                    out.extend((1, value))
        literal.clear()

    for start, length in zip(starts.tolist(), lengths.tolist()):
        value = int(row[start])
        if length == 1:
            literal.append(value)
            continue
        flush()
        while length:
            run = min(length, 255)
            out.extend((run, value))
            length -= run
    flush()
    return out


def _bmp_rle8(image: Image.Image, path: Path) -> None:
    quantized = image.quantize(256)
    indices = np.asarray(quantized)
    palette = np.asarray(quantized.getpalette()[: 256 * 3], dtype=np.uint8).reshape(-1, 3)
    palette = np.pad(palette, ((0, 256 - len(palette)), (0, 0)))
    body = bytearray()
    for row in indices[::-1]:
        body += _rle8_row(row) + b"\x00\x00"
    body[-1] = 1  # the last end of line becomes the end of the bitmap
    table = np.hstack([palette[:, ::-1], np.zeros((256, 1), np.uint8)]).tobytes()
    offset = 14 + 40 + len(table)
    width, height = image.size
    header = b"BM" + struct.pack("<IHHI", offset + len(body), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 1, len(body), 2835, 2835, 256, 0)
    path.write_bytes(header + info + table + body)


def _bmp_v5_24(image: Image.Image, path: Path) -> None:
    """Pillow's 24-bit rows behind a 124-byte header (sRGB, no masks)."""
    plain = path.with_suffix(".plain.bmp")
    image.save(plain, "BMP")
    data = plain.read_bytes()
    plain.unlink()
    offset = struct.unpack_from("<I", data, 10)[0]
    rows = data[offset:]
    width, height = image.size
    info = struct.pack("<IiiHHIIiiII", 124, width, height, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    info += struct.pack("<4I", 0, 0, 0, 0) + b"BGRs" + bytes(36) + bytes(12)
    info += struct.pack("<4I", 4, 0, 0, 0)  # intent: perceptual; no profile
    path.write_bytes(b"BM" + struct.pack("<IHHI", 14 + 124 + len(rows), 0, 0, 14 + 124) + info + rows)


KINDS = [
    Kind("png palette 8", ".png", lambda im, p: im.quantize(256).save(p, "PNG")),
    Kind("png palette 4", ".png", lambda im, p: im.quantize(16).save(p, "PNG", bits=4)),
    Kind("png grey 1", ".png", lambda im, p: im.convert("1").save(p, "PNG")),
    Kind("png grey 8", ".png", lambda im, p: im.convert("L").save(p, "PNG")),
    Kind("png grey 16", ".png", _grey16, sixteen_bit=True),
    Kind("png rgb 16", ".png", lambda im, p: _pypng_rgb(p, _noisy_16(np.asarray(im), bench_images.SEED), 16, False),
         sixteen_bit=True),
    Kind("png rgb interlaced", ".png", lambda im, p: _pypng_rgb(p, np.asarray(im), 8, True)),
    Kind("png rgba", ".png", lambda im, p: _with_alpha(im).save(p, "PNG"), opens=True),
    Kind("png rgb 8", ".png", lambda im, p: im.save(p, "PNG"), opens=True),
    Kind("bmp palette 8", ".bmp", lambda im, p: im.quantize(256).save(p, "BMP")),
    Kind("bmp 32", ".bmp", lambda im, p: _with_alpha(im).save(p, "BMP")),
    Kind("bmp rle8", ".bmp", _bmp_rle8),
    Kind("bmp v5 24", ".bmp", _bmp_v5_24),
]


@functools.cache
def sources() -> list[tuple[str, Image.Image]]:
    """(label, RGB image): the 1536x1024 mosaic, and the 6 MP photograph."""
    landscape = []
    for path in sorted(glob.glob(str(bench_images.CORPUS_PHOTOS / "*.png"))):
        with Image.open(path) as im:
            if im.size == (768, 512):
                landscape.append(im.convert("RGB"))
        if len(landscape) == 4:
            break
    if len(landscape) < 4:
        raise SystemExit(f"need four 768x512 photographs in {bench_images.CORPUS_PHOTOS}")
    mosaic = Image.new("RGB", (1536, 1024))
    for index, tile in enumerate(landscape):
        mosaic.paste(tile, ((index % 2) * 768, (index // 2) * 512))
    found = [("1536x1024", mosaic)]
    large = sorted(glob.glob(str(bench_images.CORPUS_PHOTOS / "large" / "*.png")))
    if large:
        with Image.open(large[0]) as im:
            found.append(("6MP", im.convert("RGB")))
    return found


def input_path(label: str, image: Image.Image, kind: Kind) -> Path:
    stem = f"{label}-{kind.name.replace(' ', '-')}"
    # bench_images writes into a temporary name first and renames it.
    return bench_images._write_if_missing(CACHE / f"{stem}{kind.suffix}", lambda p: kind.write(image, p))


# ---------------------------------------------------------------- cases


def load_ours(path: Path, inflater=None):
    source = str(path)
    return lambda: Quorvel.load(source, inflater=inflater)._pixels


def load_pyspng(path: Path):
    def run():
        with open(path, "rb") as f:
            return bench_impls.pyspng.load(f.read(), "RGB")

    return run


def samples_for(path: Path, kind: Kind) -> dict:
    found = {"ours": load_ours(path)}
    if kind.suffix == ".png" and Quorvel.inflaters()[0] != "zlib":
        found["ours-zlib"] = load_ours(path, "zlib")
    if kind.opens:
        found["open"] = bench_impls.png_decode_ours(path)
    found["pillow"] = bench_impls.png_decode_pillow(path)
    if bench_impls.cv2 is not None:
        found["opencv"] = bench_impls.png_decode_opencv(path)
    if bench_impls.pyspng is not None and kind.suffix == ".png":
        found["pyspng"] = load_pyspng(path)
    return found


def same_as_ours(kind: Kind):
    """Checks each peer's pixels against ours (ours runs first); a 16-bit
    difference is a note, since peers may round or clip there."""
    expected: dict[str, bytes] = {}

    def check(name: str, result) -> str | None:
        got = bytes(memoryview(result).cast("B")) if not isinstance(result, (bytes, bytearray)) else bytes(result)
        if name == "ours":
            expected["ours"] = got
            return None
        if got == expected["ours"]:
            return None
        if len(got) != len(expected["ours"]):
            return f"{len(got)} bytes where ours has {len(expected['ours'])}"
        ours = np.frombuffer(expected["ours"], np.uint8).astype(np.int16)
        delta = np.abs(np.frombuffer(got, np.uint8).astype(np.int16) - ours)
        summary = f"{np.count_nonzero(delta) / delta.size:.1%} of samples differ from ours, by up to {delta.max()}"
        return f"note: {summary}" if kind.sixteen_bit else summary

    return check


def build_cases(wanted: set[str] | None = None) -> list[bench_codecs.Case]:
    """Every case, or those named in `wanted` (only their files are written)."""
    cases = []
    for label, image in sources():
        width, height = image.size
        for kind in KINDS:
            name = f"{kind.name} {label}"
            if wanted is not None and name not in wanted:
                continue
            path = input_path(label, image, kind)
            cases.append(bench_codecs.Case(OPERATION, name, width, height, samples_for(path, kind),
                                           check=same_as_ours(kind), rgb_bytes=width * height * 3))
    return cases


# ---------------------------------------------------------------- report


def ratios(case: bench_codecs.Case) -> dict[str, float]:
    """ours / peer for every peer that ran."""
    return {name: paired_ratio(case.times_ns["ours"], case.times_ns[name])
            for name in PEERS if name in case.times_ns and "ours" in case.times_ns}


def print_results(cases: list[bench_codecs.Case]) -> None:
    print("| case | ours ms | " + " | ".join(f"{p} ms | ours / {p}" for p in PEERS) + " |")
    print("|---|---:|" + "---:|---:|" * len(PEERS))
    for case in cases:
        found = ratios(case)
        cells = [f"{case.medians_ns['ours'] / 1e6:.2f}" if "ours" in case.medians_ns else "-"]
        for name in PEERS:
            if name in case.medians_ns:
                cells += [f"{case.medians_ns[name] / 1e6:.2f}", f"{found[name]:.2f}"]
            else:
                cells += ["-", "-"]
        print(f"| {case.name} | " + " | ".join(cells) + " |")
    for case in cases:
        for name, problem in case.problems.items():
            print(f"  {case.name}: {name}: {problem}")


def inflater_versions() -> dict[str, str]:
    """The version of each accelerated inflater load can use."""
    import importlib.metadata

    return {name: importlib.metadata.version(name) for name in Quorvel.inflaters() if name != "zlib"}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer samples (bench_codecs.QUICK)")
    parser.add_argument("--only", help="comma-separated words a case's name must hold one of (png, bmp, 16, ...)")
    parser.add_argument("--cpu-time", action="store_true", help="time the thread's CPU time (see bench_codecs.py)")
    parser.add_argument("--json", type=Path, help="also write the results to this file")
    args = parser.parse_args(argv)
    policy = bench_codecs.QUICK if args.quick else bench_codecs.FULL
    if args.cpu_time:
        policy = dataclasses.replace(policy, clock=time.thread_time_ns)
    print(f"# {bench_codecs.machine_description()}; peers: " + ", ".join(
        f"{k}={'yes' if v else 'absent'}" for k, v in bench_impls.available_peers().items()), file=sys.stderr)
    load_before = os.getloadavg()
    started = time.perf_counter()
    cases = build_cases()
    if args.only:
        words = args.only.split(",")
        cases = [c for c in cases if any(w in c.name for w in words)]
    for case in cases:
        print(f"  {case.name}", file=sys.stderr)
        bench_codecs.run_case(case, policy)
    print_results(cases)
    print(f"\n# {time.perf_counter() - started:.0f} s; {bench_codecs.load_averages(load_before)}", file=sys.stderr)
    if args.json:
        args.json.write_text(json.dumps({
            "benchmark": "bench_reader.py",
            "mode": "quick" if args.quick else "full",
            "clock": "thread CPU time" if args.cpu_time else "wall time",
            "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
            "machine": bench_codecs.machine_description(),
            "python": platform.python_version(),
            "load_average": {"before": load_before, "after": os.getloadavg()},
            "versions": {**bench_impls.versions(), **inflater_versions()},
            "sources": SOURCES,
            "cases": [{"operation": c.operation, "case": c.name, "width": c.width, "height": c.height,
                       "rgb_bytes": c.rgb_bytes, "median_ns": c.medians_ns, "samples": c.counts,
                       "times_ns": c.times_ns, "problems": c.problems, "ratios": ratios(c)} for c in cases],
        }, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
