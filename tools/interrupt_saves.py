"""Sends Ctrl-C (SIGINT) at random moments to processes saving a large
image over an existing file, and counts how each file ended: the old file
kept, the new one whole, or anything else (cut short). See
docs/reliability.md.

    .venv/bin/python tools/interrupt_saves.py [--runs 200] [--method saveBmp]
        [--size 4000x3000] [--folder DIR] [--seed N]

Each run starts an interpreter that builds the image, says so and saves it;
the signal comes a random time after it said so, uniform up to 1.5 times
what an uninterrupted save takes (the median of three first runs without a
signal). Exits 1 when any file was cut short.
"""

from __future__ import annotations

import argparse
import collections
import pathlib
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time

OLD_CONTENT = b"the file that was here before the save\n"

# argv: path, method, width, height. Prints "ready" once the image is made,
# then how the save ended and how long it took.
SAVER = """
import sys, time
from Quorvel.tessarin_ext import SimpleImage
path, method, width, height = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
image = SimpleImage(width, height, bytes(range(251)) * (width * height * 3 // 251) + bytes(width * height * 3 % 251))
print("ready", flush=True)
started = time.perf_counter()
try:
    getattr(image, method)(path)
    ending = "returned"
except KeyboardInterrupt:
    ending = "interrupted"
print(ending, time.perf_counter() - started, flush=True)
"""


def run_once(path: pathlib.Path, method: str, width: int, height: int, delay: float | None) -> tuple[str, float]:
    """One save over OLD_CONTENT, interrupted `delay` seconds after the image
    is made (never when None); how it ended ("returned", "interrupted", or
    "killed" when the interrupt came outside the try) and its duration."""
    path.write_bytes(OLD_CONTENT)
    saver = subprocess.Popen([sys.executable, "-c", SAVER, str(path), method, str(width), str(height)],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    assert saver.stdout.readline().strip() == "ready"
    if delay is not None:
        time.sleep(delay)
        saver.send_signal(signal.SIGINT)
    report = saver.stdout.read().split()
    saver.wait()
    return (report[0], float(report[1])) if report else ("killed", 0.0)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--method", choices=["saveBmp", "save"], default="saveBmp")
    parser.add_argument("--size", default="4000x3000", help="WIDTHxHEIGHT of the image saved")
    parser.add_argument("--folder", type=pathlib.Path, help="where the files are written (a new temporary folder)")
    parser.add_argument("--seed", type=int, default=0)
    arguments = parser.parse_args()
    width, height = (int(part) for part in arguments.size.split("x"))
    chooser = random.Random(arguments.seed)
    with tempfile.TemporaryDirectory(dir=arguments.folder) as folder:
        path = pathlib.Path(folder) / f"image.{'bmp' if arguments.method == 'saveBmp' else 'png'}"
        calibration = [run_once(path, arguments.method, width, height, None) for _ in range(3)]
        assert all(ending == "returned" for ending, _ in calibration), calibration
        duration = statistics.median(seconds for _, seconds in calibration)
        whole = path.read_bytes()
        print(f"{arguments.method} of {width}x{height} ({len(whole)} bytes) to {folder}: {duration * 1000:.1f} ms")
        files = collections.Counter()
        endings = collections.Counter()
        cut_sizes = []
        for _ in range(arguments.runs):
            ending, _ = run_once(path, arguments.method, width, height, chooser.uniform(0, 1.5 * duration))
            endings[ending] += 1
            content = path.read_bytes() if path.exists() else b""
            if content == OLD_CONTENT:
                files["old file kept"] += 1
            elif content == whole:
                files["new file whole"] += 1
            else:
                files["cut short"] += 1
                cut_sizes.append(len(content))
    print(f"{arguments.runs} runs; files: " + ", ".join(f"{name} {files[name]}" for name in
                                                       ("old file kept", "new file whole", "cut short")))
    print("saves: " + ", ".join(f"{name} {count}" for name, count in sorted(endings.items())))
    if cut_sizes:
        headers = 54 if arguments.method == "saveBmp" else 33  # BMP headers; PNG signature and IHDR
        headers_only = sum(size <= headers for size in cut_sizes)
        print(f"files cut short: {min(cut_sizes)} to {max(cut_sizes)} bytes, median "
              f"{statistics.median(cut_sizes):.0f}; {headers_only} of them of at most {headers} bytes (headers only)")
    return 1 if cut_sizes else 0


if __name__ == "__main__":
    sys.exit(main())
