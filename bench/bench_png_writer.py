"""PNG writing: Quorvel.save_png against Pillow, OpenCV and pypng, side by side.

    .venv/bin/python bench/bench_png_writer.py [--quick] [--cpu] [--json out.json]
    .venv/bin/python bench/bench_png_writer.py --sizes [--quick | --small]

Inputs: every photograph of the corpus (photos/ and photos/large/), the
benchmark's synthetic images, photo-like and screenshot-like, at 256x256,
1024x1024 and 4096x3072, and the small and graphic images of
small_images.py (--quick: two photographs, the two smaller sizes and no
small images; --small: the small images only). Each input is one case whose implementations run in
interleaved rounds as bench_codecs.py runs them, each writing its file to
/dev/shm:

- quorvel: Quorvel.save_png(image, path), its default (compress_level 6);
- pillow: Image.save(path, "PNG"), Pillow's default (compress_level 6,
  a filter per row, zlib's Z_FILTERED strategy);
- quorvel-opt, pillow-opt: the same with optimize=True;
- quorvel-auto: save_png(image, path, colour_type="auto"), greyscale or a
  palette where that holds the image (no target: Pillow writes RGB);
- opencv: cv2.imwrite(path, image) with its default settings;
- pypng: pure Python, run on images of up to 1024x1024 only.

The untimed first call of each also gives its file's size, and Pillow
decodes every file the two Quorvel modes write, which must give the image.
A time ratio is the median over the rounds of the ratio within one round
(compare.paired_ratio). Targets, per photograph and synthetic image:
quorvel's file no larger than pillow's in at most 0.8x its time;
quorvel-opt's no larger than pillow-opt's in less time. On the small
images: on each, quorvel's file no larger than pillow's and quorvel-opt's
no larger than pillow-opt's or quorvel's; in all (the sums of the median
times), quorvel no slower than pillow. Ours runs on as many threads as the
process has processors; --cpu times the calling thread's CPU time instead
of wall time, which a busy machine stretches unevenly, with ours kept to
that thread, so that the time is all of its work.

--sizes writes every input once with each of Quorvel's and Pillow's two
modes, untimed, and counts the inputs where quorvel's file is larger than
pillow's, and where quorvel-opt's is larger than pillow-opt's or
quorvel's; it exits with 1 when either count is not 0.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import shutil
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_codecs  # noqa: E402
import bench_images  # noqa: E402
import bench_impls  # noqa: E402
import small_images  # noqa: E402
from compare import paired_ratio  # noqa: E402

from PIL import Image  # noqa: E402

import Quorvel  # noqa: E402
from Quorvel import _png  # noqa: E402
from Quorvel.tessarin_ext import SimpleImage  # noqa: E402

OPERATION = "png_write"
# (ours, reference, size bound, time bound, time strictly below), on each
# photograph and synthetic image.
TARGETS = [
    ("quorvel", "pillow", 1.0, 0.8, False),
    ("quorvel-opt", "pillow-opt", 1.0, 1.0, True),
]
# The small images' cases are named so.
SMALL_PREFIX = "small "


def quorvel_writer(optimize: bool, one_thread: bool = False, colour_type: str = "rgb"):
    """`one_thread` keeps the encoder to the calling thread, whose CPU time
    is then all of its work (the file is the same)."""
    def factory(width: int, height: int, rgb: bytes, out: Path):
        image = SimpleImage(width, height, rgb)

        def run():
            if not one_thread:
                Quorvel.save_png(image, out, optimize=optimize, colour_type=colour_type)
                return out
            processors = _png._threads
            _png._threads = lambda: 1
            try:
                Quorvel.save_png(image, out, optimize=optimize, colour_type=colour_type)
            finally:
                _png._threads = processors
            return out

        return run

    return factory


def pillow_optimize(width: int, height: int, rgb: bytes, out: Path):
    image = Image.frombytes("RGB", (width, height), rgb)

    def run():
        image.save(out, "PNG", optimize=True)
        return out

    return run


def opencv_default(width: int, height: int, rgb: bytes, out: Path):
    import numpy as np

    bgr = np.ascontiguousarray(np.frombuffer(rgb, dtype=np.uint8).reshape(height, width, 3)[:, :, ::-1])
    target = str(out)

    def run():
        if not bench_impls.cv2.imwrite(target, bgr):
            raise OSError(f"cv2.imwrite failed for {target}")
        return out

    return run


def writers(pixels: int, one_thread: bool) -> dict:
    found = {
        "quorvel": quorvel_writer(False, one_thread),
        "pillow": bench_impls.png_encode_pillow,
        "quorvel-opt": quorvel_writer(True, one_thread),
        "pillow-opt": pillow_optimize,
        "quorvel-auto": quorvel_writer(False, one_thread, "auto"),
    }
    if bench_impls.cv2 is not None:
        found["opencv"] = opencv_default
    if bench_impls.pypng is not None and pixels <= bench_impls.PURE_PYTHON_MAX_PIXELS:
        found["pypng"] = bench_impls.png_encode_pypng
    return found


def case_for(item, out_dir: Path, one_thread: bool) -> tuple[bench_codecs.Case, dict[str, int]]:
    """The case of one input, and the dictionary its check fills with each
    implementation's file size."""
    rgb = bench_images.rgb_pixels(item)
    sizes: dict[str, int] = {}
    factories = writers(item.width * item.height, one_thread)
    outputs = {name: out_dir / f"{name}.png" for name in factories}
    samples = {name: factory(item.width, item.height, rgb, outputs[name]) for name, factory in factories.items()}

    def check(name: str, result) -> str | None:
        sizes[name] = Path(result).stat().st_size
        if not name.startswith("quorvel"):
            return None
        with Image.open(result) as written:
            if written.convert("RGB").tobytes() != rgb or (written.mode != "RGB" and name != "quorvel-auto"):
                return "the file does not decode to the image"
        return None

    return bench_codecs.Case(OPERATION, item.name, item.width, item.height, samples, check=check,
                             rgb_bytes=len(rgb)), sizes


def gate_case(item, out_dir: Path) -> bench_codecs.Case:
    """The performance gate's case: Quorvel.save_png's default ("ours")
    against Pillow's default save, whose file ours must not outgrow. The
    gate times the calling thread's CPU, so ours runs on that thread only."""
    rgb = bench_images.rgb_pixels(item)
    outputs = {name: out_dir / f"gate-{name}.png" for name in ("pillow", "ours")}
    # Pillow's warm-up call comes first, so its size is known when ours is checked.
    samples = {"pillow": bench_impls.png_encode_pillow(item.width, item.height, rgb, outputs["pillow"]),
               "ours": quorvel_writer(False, one_thread=True)(item.width, item.height, rgb, outputs["ours"])}

    def check(name: str, result) -> str | None:
        if name != "ours":
            return None
        ours, pillow = outputs["ours"].stat().st_size, outputs["pillow"].stat().st_size
        return f"file larger than Pillow's ({ours:,} vs {pillow:,} bytes)" if ours > pillow else None

    return bench_codecs.Case(OPERATION, item.name, item.width, item.height, samples, check=check,
                             rgb_bytes=len(rgb))


def ratios(case: bench_codecs.Case, sizes: dict[str, int], ours: str, reference: str) -> dict | None:
    if ours not in case.times_ns or reference not in case.times_ns:
        return None
    return {"size": sizes[ours] / sizes[reference],
            "time": paired_ratio(case.times_ns[ours], case.times_ns[reference])}


def size_losses(sizes: dict[str, dict[str, int]]) -> tuple[list[str], list[str]]:
    """The inputs where quorvel's file is larger than pillow's, and where
    quorvel-opt's is larger than pillow-opt's or quorvel's, from each
    input's file sizes per writer."""
    default = [name for name, s in sizes.items() if s["quorvel"] > s["pillow"]]
    optimize = [name for name, s in sizes.items()
                if s["quorvel-opt"] > min(s["pillow-opt"], s["quorvel"])]
    return default, optimize


def in_all(results: list[dict]) -> dict[str, dict[str, float]]:
    """Per writer, its bytes and the sum of its median times over the
    results, where every writer ran on every one."""
    names = set.intersection(*(set(r["median_ns"]) for r in results)) if results else set()
    return {name: {"bytes": sum(r["bytes"][name] for r in results),
                   "seconds": sum(r["median_ns"][name] for r in results) / 1e9} for name in sorted(names)}


def evaluate_small(results: list[dict]) -> list[dict]:
    """The small images' targets: sizes on each, time in all."""
    small = [r for r in results if r["case"].startswith(SMALL_PREFIX)]
    if not small:
        return []
    default, optimize = size_losses({r["case"]: r["bytes"] for r in small})
    totals = in_all(small)
    time_ratio = totals["quorvel"]["seconds"] / totals["pillow"]["seconds"]
    return [
        {"target": "small images: quorvel size <= pillow on each", "cases": len(small), "failing": default,
         "met": not default},
        {"target": "small images: quorvel-opt size <= min(pillow-opt, quorvel) on each", "cases": len(small),
         "failing": optimize, "met": not optimize},
        {"target": "small images: quorvel time <= pillow in all", "cases": len(small),
         "time_in_all": round(time_ratio, 3), "failing": [] if time_ratio <= 1.0 else ["in all"],
         "met": time_ratio <= 1.0},
    ]


def evaluate(results: list[dict]) -> list[dict]:
    """Each target with its worst input for size and for time."""
    found = []
    results_each = [r for r in results if not r["case"].startswith(SMALL_PREFIX)]
    for ours, reference, size_bound, time_bound, strict in TARGETS:
        pairs = [(r["case"], r["ratios"][f"{ours}/{reference}"]) for r in results_each
                 if r["ratios"].get(f"{ours}/{reference}")]
        if not pairs:
            found.append({"target": f"{ours} vs {reference}", "status": "no data"})
            continue
        time_ok = (lambda t: t < time_bound) if strict else (lambda t: t <= time_bound)
        failing = [name for name, r in pairs if r["size"] > size_bound or not time_ok(r["time"])]
        worst_size = max(pairs, key=lambda p: p[1]["size"])
        worst_time = max(pairs, key=lambda p: p[1]["time"])
        found.append({
            "target": f"{ours}: size <= {size_bound:g}x {reference}, time {'<' if strict else '<='} "
                      f"{time_bound:g}x {reference}",
            "cases": len(pairs), "failing": failing, "met": not failing,
            "worst_size": [worst_size[0], round(worst_size[1]["size"], 4)],
            "worst_time": [worst_time[0], round(worst_time[1]["time"], 3)],
        })
    return found + evaluate_small(results)


def print_results(results: list[dict]) -> None:
    header = f"{'case':<28} {'impl':<12} {'n':>3} {'median ms':>10} {'bytes':>11}"
    print(header + "   size, time vs pillow (or pillow-opt)")
    print("-" * (len(header) + 36))
    for result in results:
        for name, median in result["median_ns"].items():
            reference = "pillow-opt" if name.endswith("-opt") else "pillow"
            pair = result["ratios"].get(f"{name}/{reference}")
            shown = f"   {pair['size']:6.4f}  {pair['time']:5.2f}" if pair else ""
            print(f"{result['case']:<28} {name:<12} {result['samples'][name]:>3} {median / 1e6:10.2f} "
                  f"{result['bytes'].get(name, 0):>11,}{shown}")
        for name, problem in result["problems"].items():
            print(f"{result['case']:<28} {name:<12} !! {problem}")
    small = [r for r in results if r["case"].startswith(SMALL_PREFIX)]
    if small:
        totals = in_all(small)
        print(f"\nsmall images in all ({len(small)}):")
        for name, total in totals.items():
            reference = totals["pillow-opt" if name.endswith("-opt") else "pillow"]
            print(f"  {name:<12} {total['bytes']:>12,} bytes {total['seconds']:8.3f} s   "
                  f"{total['bytes'] / reference['bytes']:6.4f}  {total['seconds'] / reference['seconds']:5.2f}")


def count_sizes(inputs) -> int:
    """--sizes: each input written once by Quorvel's and Pillow's two modes."""
    import io

    sizes = {}
    for item in inputs:
        rgb = bench_images.rgb_pixels(item)
        image = SimpleImage(item.width, item.height, rgb)
        pillow = Image.frombytes("RGB", (item.width, item.height), rgb)
        written = {"quorvel": len(Quorvel.encode_png(image)),
                   "quorvel-opt": len(Quorvel.encode_png(image, optimize=True))}
        for name, optimize in (("pillow", False), ("pillow-opt", True)):
            out = io.BytesIO()
            pillow.save(out, "PNG", optimize=optimize)
            written[name] = len(out.getvalue())
        sizes[item.name] = written
    default, optimize = size_losses(sizes)
    for name, written in sizes.items():
        if name in default or name in optimize:
            print(f"{name:<40} " + "  ".join(f"{k} {v:,}" for k, v in written.items()))
    totals = {k: sum(s[k] for s in sizes.values()) for k in ("quorvel", "pillow", "quorvel-opt", "pillow-opt")}
    print(f"{len(sizes)} inputs; quorvel larger than pillow: {len(default)}; "
          f"quorvel-opt larger than pillow-opt or quorvel: {len(optimize)}")
    print("in all: " + "  ".join(f"{k} {v:,}" for k, v in totals.items()))
    return 1 if default or optimize else 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="two photographs, the two smaller sizes, fewer rounds")
    parser.add_argument("--cpu", action="store_true",
                        help="time the thread's CPU time rather than wall time, ours on that thread only")
    parser.add_argument("--json", type=Path, help="also write the results to this file")
    parser.add_argument("--small", action="store_true", help="the small and graphic images only")
    parser.add_argument("--sizes", action="store_true",
                        help="only count the inputs where ours is larger than Pillow's (untimed)")
    args = parser.parse_args(argv)
    policy = bench_codecs.QUICK if args.quick else bench_codecs.FULL
    if args.cpu:
        policy = bench_codecs.RepPolicy(policy.min_reps, policy.max_reps, policy.budget_s, time.thread_time_ns)

    sizes = bench_images.QUICK_SIZES if args.quick else bench_images.FULL_SIZES
    inputs = [] if args.small else bench_images.photo_pngs(args.quick)
    inputs += [] if args.small else bench_images.synthetic_pngs(sizes, ("pillow", "graphics"))
    if args.small or not args.quick:
        inputs += small_images.small_inputs()
    if args.sizes:
        return count_sizes(inputs)
    load_before = os.getloadavg()
    started = time.perf_counter()
    out_dir = bench_codecs._out_dir()
    results = []
    try:
        for item in inputs:
            print(f"  {OPERATION} {item.name}", file=sys.stderr)
            case, written = case_for(item, out_dir, one_thread=args.cpu)
            bench_codecs.run_case(case, policy)
            pairs = {}
            for name in case.medians_ns:
                reference = "pillow-opt" if name.endswith("-opt") else "pillow"
                if name != reference and (pair := ratios(case, written, name, reference)):
                    pairs[f"{name}/{reference}"] = pair
            results.append({"operation": OPERATION, "case": item.name, "width": item.width, "height": item.height,
                            "median_ns": case.medians_ns, "samples": case.counts, "times_ns": case.times_ns,
                            "bytes": written, "ratios": pairs, "problems": case.problems})
    finally:
        if out_dir.parent != bench_images.CACHE_DIR:
            shutil.rmtree(out_dir, ignore_errors=True)

    print_results(results)
    targets = evaluate(results)
    bench_codecs.print_targets(targets)
    print(f"\n# {time.perf_counter() - started:.0f} s; {'CPU' if args.cpu else 'wall'} time; "
          f"{bench_codecs.load_averages(load_before)}", file=sys.stderr)
    if args.json:
        args.json.write_text(json.dumps({
            "benchmark": "bench_png_writer.py",
            "python": platform.python_version(),
            "mode": "quick" if args.quick else "full",
            "clock": "cpu" if args.cpu else "wall",
            "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
            "machine": bench_codecs.machine_description(),
            "load_average": {"before": load_before, "after": os.getloadavg()},
            "versions": bench_impls.versions(),
            "cases": results,
            "targets": targets,
        }, indent=2))
    return 0 if all(t.get("met") for t in targets) else 1


if __name__ == "__main__":
    sys.exit(main())
