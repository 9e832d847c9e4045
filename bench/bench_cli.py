"""The command line's costs: batch conversion with -j 2 against -j 1, and
`info` on a large image, which must read the header only.

    .venv/bin/python bench/bench_cli.py                # both, about a minute
    .venv/bin/python bench/bench_cli.py --only jobs --rounds 9
    .venv/bin/python bench/bench_cli.py --only info --with-decode

jobs: the whole command (`python -m Quorvel convert` with every Kodak
photograph of the corpus, kodim*.png, into /dev/shm) as a child process, -j 1
and -j 2 alternating, once to BMP and once to PNG; the median wall time of
each, and their ratio, for the whole command (interpreter start-up included,
which users pay; an editable install's import hook adds to it) and for the
seconds its summary line reports (start-up left out). The 1-minute load
average before and after is printed, and the ceiling the machine allows at
that moment: a pure CPU loop split over two forked processes against one. On
a shared machine other sessions take cores and both figures drop.

info: a 20000 x 20000 8-bit RGB PNG of one colour (1.2 MB, cached in
bench/.cache/), described by `main(["info", path])` in this process (median
of many calls) and by Pillow's header-only `Image.open` for comparison; the
peak resident memory of a child that runs `info` on it, less that of a child
that only imports the command line. --with-decode adds the full decode that
`info` used to do.
"""
from __future__ import annotations

import argparse
import contextlib
import io
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent
# QUORVEL_CORPUS, or shared/corpus beside the repository.
CORPUS = Path(os.environ.get("QUORVEL_CORPUS") or HERE.parents[1] / "shared" / "corpus")
SIDE = 20000


def load_average() -> float:
    return os.getloadavg()[0]


def _spin(count: int) -> int:
    total = 0
    for number in range(count):
        total += number * number
    return total


def machine_ceiling() -> float:
    """What the machine gives two processes right now: a fixed pure-Python
    loop in this process, against its halves in two forked processes. On a
    shared machine (Linux gives each session one share when cores are
    contended) this stays near 1, and no -j ratio can beat it."""
    import multiprocessing

    context = multiprocessing.get_context("fork")
    count = 10_000_000
    ratios = []
    for _ in range(3):
        started = time.perf_counter()
        _spin(2 * count)
        one = time.perf_counter() - started
        started = time.perf_counter()
        halves = [context.Process(target=_spin, args=(count,)) for _ in range(2)]
        for half in halves:
            half.start()
        for half in halves:
            half.join()
        ratios.append(one / (time.perf_counter() - started))
    return statistics.median(ratios)


def bench_jobs(rounds: int) -> None:
    photos = sorted((CORPUS / "photos").glob("kodim*.png"))
    if not photos:
        print(f"no Kodak photographs in {CORPUS / 'photos'}")
        return
    scratch = Path(tempfile.mkdtemp(prefix="quorvel-bench-", dir="/dev/shm" if Path("/dev/shm").is_dir() else None))
    print(f"jobs: {len(photos)} photographs, {sum(p.stat().st_size for p in photos) / 1e6:.1f} MB, "
          f"{os.cpu_count()} CPUs; load average {load_average():.2f} before")
    try:
        for target in ("bmp", "png"):
            walls: dict[int, list[float]] = {1: [], 2: []}
            runs: dict[int, list[float]] = {1: [], 2: []}
            for round_number in range(rounds + 1):
                for jobs in (1, 2) if round_number % 2 else (2, 1):
                    out = scratch / f"{target}-{jobs}"
                    shutil.rmtree(out, ignore_errors=True)
                    started = time.perf_counter()
                    done = subprocess.run([sys.executable, "-m", "Quorvel", "convert", *map(str, photos), "--to",
                                           target, "-o", str(out), "-j", str(jobs), "--no-progress"],
                                          check=True, capture_output=True, text=True)
                    if round_number:  # the first round warms the caches
                        walls[jobs].append(time.perf_counter() - started)
                        # The summary line's own figure: from walking the
                        # sources to the last file, start-up left out.
                        runs[jobs].append(float(done.stdout.split()[-2]))
            for label, times in (("whole command", walls), ("summary line", runs)):
                one, two = statistics.median(times[1]), statistics.median(times[2])
                print(f"  to {target.upper()}, {label}: -j 1 {one:.3f} s, -j 2 {two:.3f} s (medians of {rounds});"
                      f" -j 2 is {one / two:.2f} times as fast")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"  load average {load_average():.2f} after; a CPU loop split over 2 processes runs "
          f"{machine_ceiling():.2f} times as fast as in 1 (the ceiling now)")


def large_png() -> Path:
    path = HERE / ".cache" / f"flat-{SIDE}x{SIDE}.png"
    if path.exists():
        return path
    path.parent.mkdir(exist_ok=True)

    def chunk(tag: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))

    compressor = zlib.compressobj()
    row = b"\x00" + bytes((90, 140, 200)) * SIDE
    idat = b"".join(compressor.compress(row) for _ in range(SIDE)) + compressor.flush()
    temporary = path.with_suffix(".tmp")
    temporary.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", SIDE, SIDE, 8, 2, 0, 0, 0))
                          + chunk(b"IDAT", idat) + chunk(b"IEND", b""))
    temporary.replace(path)
    return path


def peak_kib(code: str) -> int:
    probe = ('\nwith open("/proc/self/status") as s:\n'
             '    print(next(l.split()[1] for l in s if l.startswith("VmHWM:")))\n')
    done = subprocess.run([sys.executable, "-c", code + probe], check=True, capture_output=True, text=True)
    return int(done.stdout.split()[-1])


def bench_info(with_decode: bool) -> None:
    from PIL import Image

    from Quorvel import probe
    from Quorvel.__main__ import main

    path = large_png()
    print(f"info: {path.name}, {path.stat().st_size / 1e6:.2f} MB; load average {load_average():.2f}")
    samples = []
    for _ in range(200):
        with contextlib.redirect_stdout(io.StringIO()):
            started = time.perf_counter()
            main(["info", str(path)])
            samples.append(time.perf_counter() - started)
    print(f"  info, main():       {statistics.median(samples) * 1e3:.3f} ms (median of {len(samples)}; "
          "argument parsing included)")
    samples = []
    for _ in range(200):
        started = time.perf_counter()
        with open(path, "rb") as file:
            probe(file)
        samples.append(time.perf_counter() - started)
    print(f"  Quorvel.probe:      {statistics.median(samples) * 1e3:.3f} ms (median of {len(samples)})")
    Image.MAX_IMAGE_PIXELS = None  # its guard would refuse this image
    samples = []
    for _ in range(200):
        started = time.perf_counter()
        with Image.open(path) as image:
            image.size
        samples.append(time.perf_counter() - started)
    print(f"  Pillow Image.open:  {statistics.median(samples) * 1e3:.3f} ms (median of {len(samples)})")
    baseline = peak_kib("import Quorvel.__main__")
    peak = peak_kib("import contextlib, io\nfrom Quorvel.__main__ import main\n"
                    f"with contextlib.redirect_stdout(io.StringIO()): main(['info', {str(path)!r}])")
    print(f"  info peak memory:   {max(0, peak - baseline) / 1024:.1f} MiB over the {baseline / 1024:.1f} MiB "
          "of the imports")
    if with_decode:
        started = time.perf_counter()
        peak = peak_kib(f"from Quorvel import load\nimage = load({str(path)!r})")
        print(f"  full decode:        {time.perf_counter() - started:.2f} s in a child, "
              f"{(peak - baseline) / 1024:.0f} MiB over the imports")


def arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", choices=["jobs", "info"])
    parser.add_argument("--rounds", type=int, default=5, help="timed runs of each -j (default 5)")
    parser.add_argument("--with-decode", action="store_true", help="also time the full decode of the large PNG")
    return parser.parse_args()


if __name__ == "__main__":
    options = arguments()
    if options.only in (None, "info"):
        bench_info(options.with_decode)
    if options.only in (None, "jobs"):
        bench_jobs(options.rounds)
