"""Performance gate: a short run of the codec benchmark that fails only on a
clear regression.

    .venv/bin/python bench/perf_gate.py

Each check times the module and a reference in the same process, in
interleaved rounds (bench_codecs.run_case), and bounds the ratio of the two:
never an absolute time, so a slower or busier machine slows both sides
alike. Samples are the thread's CPU time, not wall time: on a machine whose
cores are shared by many processes a sample's wall time is mostly waiting
for a core, in slices that land on one sample and not the next (at a load
average of 10 on 2 cores a 6 ms decode took 20 ms of wall time, and the
wall-time ratio of the same build moved between 1.06 and 1.40 where the
CPU-time ratio stayed at 1.10-1.12). The ratio is the median over the rounds of ours / reference within
one round (compare.paired_ratio), so a burst of load that hits a single
sample is outvoted. A check whose ratio is past its bound is measured again
after all the others and a pause, so that its attempts lie seconds apart
and one spell of load (a neighbour's compile) cannot spoil them all; it
fails only if all ATTEMPTS are past the bound. Output that differs from the
reference's (pixels, or the bytes of a written file) fails at once, since no
repeat changes it.

QUORVEL_SKIP_PERF_GATE=1 skips the gate, for machines known to be too busy.
"""

from __future__ import annotations

import os
import shutil
import statistics
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, TextIO

sys.path.insert(0, str(Path(__file__).resolve().parent))

from compare import paired_ratio  # noqa: E402

SKIP_VARIABLE = "QUORVEL_SKIP_PERF_GATE"
ATTEMPTS = 3
RETRY_PAUSE_S = 2.0
PIXEL_CALLS = 20_000


@dataclass(frozen=True)
class Check:
    # One of bench_codecs.OPERATIONS, getPixel / putPixel, png_write or reader
    operation: str
    image: str
    reference: str
    bound: float
    # "below" the reference (<) rather than "at most" (<=)
    strict: bool = False

    @property
    def label(self) -> str:
        return f"{self.operation} {'<' if self.strict else '<='} {self.bound:.2f}x {self.reference}"

    def within(self, ratio: float) -> bool:
        return ratio < self.bound if self.strict else ratio <= self.bound


@dataclass(frozen=True)
class Measurement:
    ratio: float
    # Medians per call
    ours_ns: float
    reference_ns: float
    rounds: int
    # Output that differs from the reference's, or an implementation that failed.
    problem: str | None = None


@dataclass(frozen=True)
class Verdict:
    check: Check
    attempts: list[Measurement]
    passed: bool


def decide(check: Check, taken: list[Measurement], attempts: int = ATTEMPTS) -> bool | None:
    """True once an attempt is within the bound, False on wrong output or
    when every attempt allowed is past it, None while it is to be measured again."""
    last = taken[-1]
    if last.problem is not None:
        return False
    if check.within(last.ratio):
        return True
    return False if len(taken) >= attempts else None


def _duration(ns: float) -> str:
    return f"{ns:7.1f} ns" if ns < 10_000 else f"{ns / 1e6:7.2f} ms"


def describe(verdict: Verdict) -> str:
    last = verdict.attempts[-1]
    status = "pass" if verdict.passed else "FAIL"
    ratios = ", ".join(f"{m.ratio:.3f}" for m in verdict.attempts if m.problem is None)
    line = (f"  [{status}] {verdict.check.label:<28} {verdict.check.image:<24} "
            f"ours {_duration(last.ours_ns)}  {verdict.check.reference} {_duration(last.reference_ns)}  "
            f"ratio {ratios or '-'}  ({last.rounds} rounds)")
    if last.problem is not None:
        line += f"\n         {last.problem}"
    return line


def run_gate(checks: list[Check], measure: Callable[[Check], Measurement], out: TextIO,
             pause: Callable[[], None] = lambda: time.sleep(RETRY_PAUSE_S)) -> bool:
    """Measures every check, then again those past their bound, in rounds;
    prints each verdict as it is reached."""
    taken: dict[Check, list[Measurement]] = {check: [] for check in checks}
    decided: dict[Check, Verdict] = {}
    pending = list(checks)
    while pending:
        if any(taken[check] for check in pending):
            pause()
        for check in pending:
            taken[check].append(measure(check))
            passed = decide(check, taken[check])
            if passed is not None:
                decided[check] = Verdict(check, taken[check], passed)
                print(describe(decided[check]), file=out, flush=True)
        pending = [check for check in pending if check not in decided]
    verdicts = [decided[check] for check in checks]
    failed = [v for v in verdicts if not v.passed]
    repeated = sum(1 for v in verdicts if len(v.attempts) > 1)
    summary = f"perf gate: {len(verdicts) - len(failed)} of {len(verdicts)} checks passed, {repeated} measured again"
    if failed:
        summary += "; FAILED: " + ", ".join(f"{v.check.label} {v.check.image}" for v in failed)
    print(summary, file=out)
    return not failed


# ---------------------------------------------------------------- measuring


# Enough rounds for a stable median on the small cases; the 4096x3072 decode
# stops at the minimum. The budget is CPU time, which a busy machine
# stretches in wall time.
GATE_POLICY_ARGS = dict(min_reps=5, max_reps=21, budget_s=0.3, clock=time.thread_time_ns)


class Bench:
    """Builds each check's case afresh from the benchmark's own inputs and
    implementations, and measures it."""

    def __init__(self) -> None:
        import bench_codecs
        import bench_images
        import bench_impls

        self.codecs, self.images, self.impls = bench_codecs, bench_images, bench_impls
        self.policy = bench_codecs.RepPolicy(**GATE_POLICY_ARGS)
        wanted = {c.image for c in CHECKS}
        found = bench_images.synthetic_pngs([(1024, 1024), (4096, 3072)], ("pillow",))
        found += [i for i in bench_images.photo_pngs(quick=False) if i.name in wanted]
        found += png_write_inputs(bench_images)
        self.inputs = {i.name: i for i in found if i.name in wanted}

    def has(self, check: Check) -> bool:
        if check.operation == "reader":
            return self.images.CORPUS_PHOTOS.is_dir()
        return check.image in self.inputs

    def _case(self, check: Check):
        codecs, impls = self.codecs, self.impls
        if check.operation == "reader":
            import bench_reader

            return bench_reader.build_cases({check.image})[0]
        item = self.inputs[check.image]
        if check.operation == "png_decode":
            return codecs.png_decode_cases([item])[0]
        if check.operation == "png_encode":
            return codecs.encode_cases("png_encode", [item], impls.png_encoders, ".png")[0]
        if check.operation == "bmp_decode":
            return codecs.bmp_decode_cases([item])[0]
        if check.operation == "bmp_encode":
            return codecs.encode_cases("bmp_encode", [item], impls.bmp_encoders, ".bmp")[0]
        if check.operation == "png_write":
            import bench_png_writer

            return bench_png_writer.gate_case(item, codecs._out_dir())
        return next(c for c in codecs.pixel_access_cases(item, PIXEL_CALLS) if c.name.startswith(check.operation))

    def measure(self, check: Check) -> Measurement:
        case = self._case(check)
        # Only the two sides of the ratio are timed; the reference keeps its
        # place first where an encoder's output is checked against its file.
        case.samples = {n: s for n, s in case.samples.items() if n in ("ours", check.reference)}
        self.codecs.run_case(case, self.policy)
        problems = [f"{n}: {p}" for n, p in case.problems.items()]
        missing = [n for n in ("ours", check.reference) if n not in case.times_ns]
        ours = case.times_ns.get("ours", [])
        reference = case.times_ns.get(check.reference, [])
        return Measurement(
            ratio=paired_ratio(ours, reference) if not missing else float("nan"),
            ours_ns=statistics.median(ours) / case.calls if ours else float("nan"),
            reference_ns=statistics.median(reference) / case.calls if reference else float("nan"),
            rounds=min(len(ours), len(reference)),
            problem="; ".join(problems) or None,
        )

    def close(self) -> None:
        out = self.codecs._out_dir()
        if out.parent != self.images.CACHE_DIR:
            shutil.rmtree(out, ignore_errors=True)


PHOTO = "photo kodim01"
# Decoding. Each PNG bound sits 8-10 % above the typical ratio measured on
# the 2-core AMD EPYC (Zen 5) machine at load averages of 3 to 7, and past
# every ratio measured there: kodim01 (no filtering) typically 1.13, at most
# 1.15; the 6.3 MP photograph (almost all Paeth rows) 1.16, at most 1.22;
# the synthetic image 1.03, at most 1.08. A slowdown of 10 % then fails all
# attempts. These are regression bounds on one photograph each, in CPU time
# on a loaded machine; the benchmark's targets (1.10x the limit as the median
# over the photographs, 1.15x on each) are judged by a full run. BMP decode
# from a path reads the rows in one call at 0.25-0.4x the numpy limit; read
# row by row it took 1.0 (kodim01) to 1.2x. BMP encode, in blocks that stay
# in the cache, measured 0.61-0.70x the numpy limit there (0.47x on an Intel
# Xeon): its bound of 0.80 fails a 15 % slowdown. getPixel's bound is its target:
# no slower than Pillow's pixel access.
PAETH_PHOTO = "photo kodak-pcd-img0024"
CHECKS = [
    Check("png_decode", PHOTO, "limit", 1.22),
    Check("png_decode", PAETH_PHOTO, "limit", 1.28),
    Check("png_decode", "synth 4096x3072 pillow", "limit", 1.12),
    Check("png_encode", PHOTO, "limit", 1.10),
    Check("png_encode", "synth 1024x1024 pillow", "limit", 1.10),
    Check("bmp_decode", PHOTO, "limit", 0.6, strict=True),
    Check("bmp_decode", "synth 1024x1024 pillow", "limit", 0.6, strict=True),
    Check("bmp_encode", PHOTO, "limit", 0.8, strict=True),
    Check("bmp_encode", "synth 1024x1024 pillow", "limit", 0.8, strict=True),
    Check("getPixel", "synth 1024x1024 pillow", "pillow", 1.0),
    Check("putPixel", "synth 1024x1024 pillow", "pillow", 1.0, strict=True),
]

# PNG writing: Quorvel.save_png's default against Pillow's default save, on
# a photograph its sample sends to a fast Z_DEFAULT_STRATEGY candidate
# (kodim01, about 0.4x Pillow's time here), one that needs Z_FILTERED
# (kodim02, about 0.7x) and the screenshot-like image (about 0.4x), ours
# kept to the calling thread, whose CPU time the gate takes. Each bound
# lies about a third above what was measured; a file larger than Pillow's
# fails at once.
CHECKS += [
    Check("png_write", PHOTO, "pillow", 0.6),
    Check("png_write", "photo kodim02", "pillow", 0.95),
    Check("png_write", "synth 1024x1024 graphics", "pillow", 0.6),
]

# The package reader (Quorvel.load from a path) against Pillow's open +
# convert("RGB"), on the kinds of file where bench_reader.py found it ahead
# of Pillow with a margin (thread CPU time, 2026-12-10, with zlib-ng: 0.02x
# to 0.75x Pillow's time, and at most 0.87x with the host's zlib). 16-bit
# RGB is left out (0.97x with the host's zlib), and so is 16-bit greyscale,
# whose pixels Pillow clips where the reader keeps the high byte. The bound
# is loose: only a reader slower than Pillow fails.
CHECKS += [
    Check("reader", f"{kind} 1536x1024", "pillow", 1.0)
    for kind in ("png palette 8", "png palette 4", "png grey 1", "png grey 8", "png rgb interlaced", "png rgba",
                 "png rgb 8", "bmp palette 8", "bmp 32", "bmp rle8", "bmp v5 24")
]


def png_write_inputs(bench_images):
    """The inputs of the PNG writing checks that the others do not use."""
    return bench_images.synthetic_pngs([(1024, 1024)], ("graphics",))


def main() -> int:
    if os.environ.get(SKIP_VARIABLE, "") not in ("", "0"):
        print(f"perf gate: skipped ({SKIP_VARIABLE}={os.environ[SKIP_VARIABLE]})")
        return 0
    started = time.perf_counter()
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"perf gate: ratios to references timed in the same run (thread CPU time), "
          f"up to {ATTEMPTS} attempts per check "
          f"(load average {load}; {SKIP_VARIABLE}=1 skips)", flush=True)
    bench = Bench()
    try:
        checks = [c for c in CHECKS if bench.has(c)]
        for check in CHECKS:
            if not bench.has(check):
                print(f"  [skip] {check.label:<28} {check.image:<24} input not available")
        passed = run_gate(checks, bench.measure, sys.stdout)
    finally:
        bench.close()
    print(f"perf gate: {time.perf_counter() - started:.1f} s")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
