"""Codec benchmark: the module against its peers and against the limit.

    .venv/bin/python bench/bench_codecs.py [--quick] [--json out.json] [--only png_decode,...]

Every case runs its implementations in rounds: one sample of each per
round, in an order shuffled afresh each round (fixed seed), so drift in the
machine (frequency, page cache, neighbours) spreads over all of them and no
implementation always runs right after the same other one: the state one
leaves behind (a heap the allocator has just trimmed, say) then falls on a
different successor each round.
A sample is one call timed with perf_counter_ns with the garbage collector
off; each implementation gets one untimed warm-up call, which is also the
call whose output is checked. Reported figures are medians.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import gc
import json
import os
import platform
import random
import shutil
import statistics
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_images  # noqa: E402
import bench_impls  # noqa: E402
import bench_peak_memory  # noqa: E402

OPERATIONS = ("png_decode", "png_encode", "bmp_decode", "bmp_encode", "pixel_access", "memory")


@dataclass
class RepPolicy:
    min_reps: int
    max_reps: int
    budget_s: float  # per implementation and case, once min_reps are in
    # Wall time by default; the performance gate takes the thread's CPU time,
    # which leaves out the time the thread waits while neighbours run.
    clock: Callable[[], int] = time.perf_counter_ns


QUICK = RepPolicy(min_reps=3, max_reps=7, budget_s=0.3)
FULL = RepPolicy(min_reps=5, max_reps=25, budget_s=2.0)


@dataclass
class Case:
    operation: str
    name: str
    width: int
    height: int
    samples: dict[str, Callable[[], object]]
    check: Callable[[str, object], str | None] | None = None
    # Bytes per call for the MB/s column; calls per sample for per-call cases.
    rgb_bytes: int = 0
    calls: int = 1
    medians_ns: dict[str, float] = field(default_factory=dict)
    counts: dict[str, int] = field(default_factory=dict)
    # Every sample in the order taken: the first n of any two implementations
    # come from the same n rounds, since one that drops out never comes back.
    times_ns: dict[str, list[int]] = field(default_factory=dict)
    problems: dict[str, str] = field(default_factory=dict)


def time_once(sample: Callable[[], object], clock: Callable[[], int] = time.perf_counter_ns) -> int:
    gc.disable()
    try:
        start = clock()
        result = sample()
        elapsed = clock() - start
    finally:
        gc.enable()
    del result
    return elapsed


def run_case(case: Case, policy: RepPolicy) -> None:
    runnable = []
    for name, sample in case.samples.items():
        try:
            result = sample()
        except Exception as error:  # a failing peer is reported and left out, not fatal
            case.problems[name] = f"failed: {type(error).__name__}: {error}"
            continue
        runnable.append(name)
        problem = case.check(name, result) if case.check else None
        if problem:
            case.problems[name] = problem
        del result
    times: dict[str, list[int]] = {n: [] for n in runnable}
    order_rng = random.Random(f"{case.operation} {case.name}")
    while True:
        due = [
            n
            for n in runnable
            if len(times[n]) < policy.min_reps
            or (len(times[n]) < policy.max_reps and sum(times[n]) < policy.budget_s * 1e9)
        ]
        if not due:
            break
        order_rng.shuffle(due)
        for name in due:
            times[name].append(time_once(case.samples[name], policy.clock))
    case.samples.clear()
    case.times_ns = times
    for name, values in times.items():
        case.medians_ns[name] = statistics.median(values)
        case.counts[name] = len(values)


# ---------------------------------------------------------------- cases


def _same_pixels(expected: bytes, unchecked: tuple[str, ...] = ()):
    def check(name: str, result) -> str | None:
        if name in unchecked:
            return None
        got = bytes(memoryview(result).cast("B")) if not isinstance(result, (bytes, bytearray)) else result
        if got != expected:
            return f"pixels differ from Pillow's ({len(got)} vs {len(expected)} bytes)"
        return None

    return check


def _same_file_as_limit(outputs: dict[str, Path], check_names: tuple[str, ...]):
    def check(name: str, result) -> str | None:
        if name not in check_names:
            return None
        ours = Path(result).read_bytes()
        limit = outputs["limit"]
        if not limit.exists():
            return "limit output missing"
        if ours != limit.read_bytes():
            return f"file differs from the limit's ({len(ours)} vs {limit.stat().st_size} bytes)"
        return None

    return check


def png_decode_cases(inputs) -> list[Case]:
    cases = []
    for item in inputs:
        pixels = item.width * item.height
        samples = {name: factory(item.path) for name, factory in bench_impls.png_decoders(pixels).items()}
        cases.append(
            Case("png_decode", item.name, item.width, item.height, samples,
                 check=_same_pixels(bench_images.rgb_pixels(item), ("limit", "limit-dflt")),
                 rgb_bytes=pixels * 3)
        )
    return cases


def _out_dir() -> Path:
    """Where encoders write. A RAM file system when there is one: rewriting
    a truncated file on ext4 starts its writeback at close, a disk cost that
    lands on whichever sample closes it and says nothing about the encoder."""
    shm = Path("/dev/shm")
    base = shm if shm.is_dir() and os.access(shm, os.W_OK) else bench_images.CACHE_DIR
    out = base / f"tessarin-bench-{os.getpid()}"
    out.mkdir(parents=True, exist_ok=True)
    return out


def encode_cases(operation: str, inputs, factories_for, suffix: str) -> list[Case]:
    cases = []
    out = _out_dir()
    for item in inputs:
        rgb = bench_images.rgb_pixels(item)
        factories = factories_for(item.width * item.height) if operation == "png_encode" else factories_for()
        outputs = {name: out / f"{operation}-{name}{suffix}" for name in factories}
        # The limit runs first so that its file exists when "ours" is checked.
        order = ["limit"] + [n for n in factories if n != "limit"]
        samples = {n: factories[n](item.width, item.height, rgb, outputs[n]) for n in order}
        cases.append(
            Case(operation, item.name, item.width, item.height, samples,
                 check=_same_file_as_limit(outputs, ("ours",)), rgb_bytes=len(rgb))
        )
    return cases


def bmp_decode_cases(inputs) -> list[Case]:
    cases = []
    for item in inputs:
        bmp = bench_images.bmp_for(item)
        samples = {name: factory(bmp) for name, factory in bench_impls.bmp_decoders().items()}
        cases.append(
            Case("bmp_decode", item.name, item.width, item.height, samples,
                 check=_same_pixels(bench_images.rgb_pixels(item)), rgb_bytes=item.width * item.height * 3)
        )
    return cases


def pixel_access_cases(item, calls: int) -> list[Case]:
    rgb = bench_images.rgb_pixels(item)
    rng = random.Random(bench_images.SEED)
    coords = [(rng.randrange(item.width), rng.randrange(item.height)) for _ in range(calls)]
    args = (item.width, item.height, rgb, coords)
    cases = []
    for operation, ours, pillow in (
        ("getPixel", bench_impls.get_pixel_ours, bench_impls.get_pixel_pillow),
        ("putPixel", bench_impls.put_pixel_ours, bench_impls.put_pixel_pillow),
    ):
        samples = {"ours": ours(*args), "pillow": pillow(*args), "loop": bench_impls.loop_only(*args)}
        cases.append(Case("pixel_access", f"{operation} x{calls}", item.width, item.height, samples, calls=calls))
    return cases


# ---------------------------------------------------------------- report


def _fmt_ratio(value: float | None) -> str:
    return f"{value:6.2f}" if value is not None else "     -"


def print_table(cases: list[Case]) -> None:
    header = f"{'operation':<12} {'case':<28} {'impl':<10} {'n':>3} {'median ms':>11} {'MB/s':>8} {'x limit':>7} {'x pillow':>8}"
    print(header)
    print("-" * len(header))
    for case in cases:
        limit = case.medians_ns.get("limit")
        pillow = case.medians_ns.get("pillow")
        for name, median in case.medians_ns.items():
            if case.calls > 1:
                timing = f"{median / case.calls:8.1f} ns/c"
                speed = ""
            else:
                timing = f"{median / 1e6:11.3f}"
                speed = f"{case.rgb_bytes / (median / 1e9) / 1e6:8.1f}" if case.rgb_bytes else ""
            print(
                f"{case.operation:<12} {case.name:<28} {name:<10} {case.counts[name]:>3} {timing:>11} {speed:>8} "
                f"{_fmt_ratio(median / limit if limit else None):>7} {_fmt_ratio(median / pillow if pillow else None):>8}"
            )
        for name, problem in case.problems.items():
            print(f"{'':<12} {case.name:<28} {name:<10} !! {problem}")


def evaluate_targets(cases: list[Case], memory: list[dict]) -> list[dict]:
    """Each tracked target with the worst case found, and whether it is met."""
    targets = []

    def ratios(operation, reference, predicate=lambda c: True, subject="ours"):
        found = []
        for case in cases:
            if case.operation != operation or not predicate(case):
                continue
            ours, ref = case.medians_ns.get(subject), case.medians_ns.get(reference)
            if ours and ref:
                found.append((ours / ref, case.name))
        return found

    def add(label, found, bound, extra_failures=(), strict=False):
        if not found:
            targets.append({"target": label, "status": "no data"})
            return
        worst, where = max(found)
        past = (lambda r: r >= bound) if strict else (lambda r: r > bound)
        met = not past(worst) and not extra_failures
        entry = {"target": label, "bound": bound, "worst": round(worst, 3), "worst_case": where,
                 "cases": len(found), "failing": sum(1 for r, _ in found if past(r)), "met": met}
        if extra_failures:
            entry["problems"] = list(extra_failures)
        targets.append(entry)

    def add_median(label, found, bound):
        if not found:
            targets.append({"target": label, "status": "no data"})
            return
        median = statistics.median(r for r, _ in found)
        targets.append({"target": label, "bound": bound, "median": round(median, 3), "cases": len(found),
                        "met": median <= bound})

    photo = lambda c: c.name.startswith("photo ")  # noqa: E731
    photo_ratios = ratios("png_decode", "limit", photo)
    add_median("PNG decode <= 1.10x limit, median over photographs", photo_ratios, 1.10)
    each_photo = 1.15
    add(f"PNG decode <= {each_photo:.2f}x limit, each photograph", photo_ratios, each_photo)
    # The Pillow bound is held only where a decode at the per-photograph
    # bound above the limit would still meet it: Pillow may inflate with a
    # faster zlib than the host's, so on some files even the limit is near
    # or past 0.8x Pillow's time.
    def room(case):
        limit, pillow = case.medians_ns.get("limit"), case.medians_ns.get("pillow")
        return bool(limit and pillow) and each_photo * limit < 0.8 * pillow

    add(f"PNG decode <= 0.8x Pillow where {each_photo:.2f}x limit < 0.8x Pillow",
        ratios("png_decode", "pillow", room), 0.8)
    excluded = [c.name for c in cases
                if c.operation == "png_decode" and "pillow" in c.medians_ns and not room(c)]
    if excluded:
        targets[-1]["excluded"] = excluded
        targets[-1]["why_excluded"] = f"{each_photo:.2f}x the limit is not below 0.8x Pillow's time"
    # Where the limit itself (one inflate by the host's zlib, nothing else)
    # is above the bound, no decoder on the host's zlib can meet it: Pillow
    # may inflate with a faster zlib of its own.
    add("(info) PNG decode limit <= 0.8x Pillow", ratios("png_decode", "pillow", subject="limit"), 0.8)
    encode_mismatch = [c.name for c in cases if c.operation == "png_encode" and "ours" in c.problems]
    add("PNG encode <= 1.03x limit, same bytes", ratios("png_encode", "limit"), 1.03, encode_mismatch)
    add("BMP decode <= 1.3x limit", ratios("bmp_decode", "limit"), 1.3)
    add("BMP decode <= 0.7x Pillow", ratios("bmp_decode", "pillow"), 0.7)
    # A decode from a path against one read plus OpenCV's vectorised swap,
    # and against OpenCV's own imread plus swap (needs opencv-python).
    add("BMP decode <= 1.5x limit-simd", ratios("bmp_decode", "limit-simd"), 1.5)
    add("BMP decode < OpenCV imread + swap", ratios("bmp_decode", "opencv"), 1.0, strict=True)
    add("BMP encode <= 1.2x limit", ratios("bmp_encode", "limit"), 1.2)
    add("BMP encode <= 0.9x Pillow", ratios("bmp_encode", "pillow"), 0.9)
    # Not tracked: how far from a vectorised channel swap the BMP codecs are.
    add("(info) BMP encode <= 1.2x limit-simd", ratios("bmp_encode", "limit-simd"), 1.2)
    # getPixel is no slower than Pillow's pixel access: both calls are the
    # interpreter's work at about the same instruction count (bench/README.md).
    for call, bound in (("getPixel", 1.0), ("putPixel", 0.8)):
        add(f"{call} <= {bound:.1f}x Pillow per call",
            ratios("pixel_access", "pillow", lambda c, call=call: c.name.startswith(call)), bound)
        net = []
        for case in cases:
            if case.operation == "pixel_access" and case.name.startswith(call):
                loop = case.medians_ns["loop"]
                net.append(((case.medians_ns["ours"] - loop) / (case.medians_ns["pillow"] - loop), case.name + " (loop removed)"))
        add(f"{call} <= {bound:.1f}x Pillow per call, loop removed", net, bound)
    for entry in memory:
        ours, limit, pillow = (entry["delta_kib"].get(k) for k in ("ours", "limit", "pillow"))
        if ours is None or limit is None:
            continue
        rgb_kib = entry["rgb_bytes"] / 1024
        targets.append({"target": f"peak memory <= limit + RGB size ({entry['case']})",
                        "ours_kib": ours, "bound_kib": round(limit + rgb_kib), "met": ours <= limit + rgb_kib})
        if pillow is not None:
            targets.append({"target": f"peak memory < Pillow ({entry['case']})",
                            "ours_kib": ours, "pillow_kib": pillow, "met": ours < pillow})
    return targets


def print_targets(targets: list[dict]) -> None:
    print("\nTargets")
    for entry in targets:
        status = {True: "MET    ", False: "NOT MET"}.get(entry.get("met"), "NO DATA")
        details = ", ".join(f"{k}={v}" for k, v in entry.items() if k not in ("target", "met"))
        print(f"  [{status}] {entry['target']}: {details}")


# ---------------------------------------------------------------- main


def machine_description() -> str:
    """The processor's model name, core count and AVX2 support, and the OS."""
    model, avx2 = platform.processor() or platform.machine(), False
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                key, _, value = line.partition(":")
                if key.strip() == "model name":
                    model = value.strip()
                elif key.strip() == "flags":
                    avx2 = "avx2" in value.split()
                    break
    except OSError:
        pass
    try:
        system = platform.freedesktop_os_release()["PRETTY_NAME"]
    except (OSError, KeyError):
        system = f"{platform.system()} {platform.release()}"
    return f"{model}, {os.cpu_count()} cores{', AVX2' if avx2 else ''}; {system}"


def load_averages(before: tuple[float, float, float]) -> str:
    """The load averages at the start of a run and now, for its last line."""
    return ("load average before " + " ".join(f"{x:.2f}" for x in before)
            + ", after " + " ".join(f"{x:.2f}" for x in os.getloadavg()))


def measure_memory(items) -> list[dict]:
    tiny = bench_images.synthetic_pngs([(8, 8)])[0]
    results = []
    impls = ["ours", "limit", "pillow"] + [n for n, ok in (("pyspng", bench_impls.pyspng), ("opencv", bench_impls.cv2)) if ok]
    for item in items:
        deltas = {}
        for impl in impls:
            print(f"  memory {item.name} {impl}", file=sys.stderr)
            deltas[impl] = bench_peak_memory.peak_delta_kib(impl, item.path, tiny.path)
        results.append({"case": item.name, "rgb_bytes": item.width * item.height * 3, "delta_kib": deltas})
    return results


def print_memory(results: list[dict]) -> None:
    if not results:
        return
    print("\nPeak memory of one PNG decode (max RSS of a fresh process minus one that decodes an 8x8 image), MiB")
    for entry in results:
        cells = "  ".join(f"{k}={v / 1024:.1f}" for k, v in entry["delta_kib"].items())
        print(f"  {entry['case']:<28} RGB={entry['rgb_bytes'] / 2**20:.1f}  {cells}")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer images and samples (under a minute)")
    parser.add_argument("--json", type=Path, help="also write the results to this file")
    parser.add_argument("--only", help="comma-separated operations: " + ",".join(OPERATIONS))
    parser.add_argument("--cpu-time", action="store_true",
                        help="time samples by this thread's CPU time rather than wall time, for a busy "
                             "machine; peers that work in threads of their own (OpenCV) are then undercounted")
    args = parser.parse_args(argv)
    operations = set(args.only.split(",")) if args.only else set(OPERATIONS)
    unknown = operations - set(OPERATIONS)
    if unknown:
        parser.error(f"unknown operations: {', '.join(sorted(unknown))}")
    policy = QUICK if args.quick else FULL
    if args.cpu_time:
        policy = dataclasses.replace(policy, clock=time.thread_time_ns)

    print(f"# {platform.python_implementation()} {platform.python_version()} on {platform.machine()}, "
          f"{'quick' if args.quick else 'full'} run{' in thread CPU time' if args.cpu_time else ''}; peers: "
          + ", ".join(f"{k}={'yes' if v else 'absent'}" for k, v in bench_impls.available_peers().items()),
          file=sys.stderr)
    load_before = os.getloadavg()
    sizes = bench_images.QUICK_SIZES if args.quick else bench_images.FULL_SIZES
    synthetic = bench_images.synthetic_pngs(sizes)
    photos = bench_images.photo_pngs(args.quick)
    rgb_sources = [i for i in synthetic if i.variant == "pillow"] + photos

    builders = []
    if "png_decode" in operations:
        builders.append(lambda: png_decode_cases(synthetic + photos))
    if "png_encode" in operations:
        builders.append(lambda: encode_cases("png_encode", rgb_sources, bench_impls.png_encoders, ".png"))
    if "bmp_decode" in operations:
        builders.append(lambda: bmp_decode_cases(rgb_sources))
    if "bmp_encode" in operations:
        builders.append(lambda: encode_cases("bmp_encode", rgb_sources, bench_impls.bmp_encoders, ".bmp"))
    if "pixel_access" in operations:
        middle = next(i for i in synthetic if i.width == 1024 and i.variant == "pillow")
        builders.append(lambda: pixel_access_cases(middle, 20_000 if args.quick else 200_000))

    cases: list[Case] = []
    started = time.perf_counter()
    for build in builders:
        for case in build():
            print(f"  {case.operation} {case.name}", file=sys.stderr)
            run_case(case, policy)
            cases.append(case)

    if _out_dir().parent != bench_images.CACHE_DIR:
        shutil.rmtree(_out_dir(), ignore_errors=True)

    memory: list[dict] = []
    if "memory" in operations:
        if args.quick:
            memory_items = [i for i in synthetic if i.width == 1024 and i.variant == "pillow"]
        else:
            memory_items = [i for i in synthetic if i.width == 4096 and i.variant == "pillow"]
            memory_items += [i for i in photos if i.width * i.height > 4_000_000][:1]
        memory = measure_memory(memory_items)

    print_table(cases)
    print_memory(memory)
    targets = evaluate_targets(cases, memory)
    print_targets(targets)
    print(f"\n# {time.perf_counter() - started:.0f} s; {load_averages(load_before)}", file=sys.stderr)

    if args.json:
        args.json.write_text(json.dumps({
            "python": platform.python_version(),
            "mode": "quick" if args.quick else "full",
            "clock": "thread CPU time" if args.cpu_time else "wall time",
            "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
            "machine": machine_description(),
            "load_average": {"before": load_before, "after": os.getloadavg()},
            "versions": bench_impls.versions(),
            "peers": bench_impls.available_peers(),
            "cases": [
                {"operation": c.operation, "case": c.name, "width": c.width, "height": c.height,
                 "rgb_bytes": c.rgb_bytes, "calls": c.calls, "median_ns": c.medians_ns,
                 "samples": c.counts, "times_ns": c.times_ns, "problems": c.problems}
                for c in cases
            ],
            "memory": memory,
            "targets": targets,
        }, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
