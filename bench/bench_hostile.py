"""How long SimpleImage.open takes to refuse hostile inputs: files that claim
huge sizes without the pixels, a PNG whose data inflates to 1 GiB, and the
corpus's known crashers. The target is a refusal within TARGET_S seconds
each; what they may cost in memory is tested in tests/test_hostile.py.

    .venv/bin/python bench/bench_hostile.py [--repeat N]
"""

from __future__ import annotations

import argparse
import pathlib
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from builders import RGB, RGBA, bmp_headers, corpus_dir, png, png_inflating_to  # noqa: E402

from Quorvel.tessarin_ext import SimpleImage  # noqa: E402

TARGET_S = 10.0


def inputs() -> list[tuple[str, bytes]]:
    cases = [(f"bmp claiming {width}x{height}", bmp_headers(width, height))
             for width, height in [(40000, 40000), (40000, -40000), (2**31 - 1, 1), (1, 2**31 - 1)]]
    cases += [
        ("png inflating to 1 GiB", png_inflating_to(1 << 30)),
        ("png of width 2**31-1, no rows (RGB)", png(2**31 - 1, 0, b"", color_type=RGB)),
        ("png of width 2**31-1, no rows (RGBA)", png(2**31 - 1, 0, b"", color_type=RGBA)),
        ("png claiming (2**31-1)**2 pixels", png(2**31 - 1, 2**31 - 1, b"\0" * 1000, color_type=RGBA)),
    ]
    corpus = corpus_dir()
    if corpus is not None:
        paths = [corpus / "bmpsuite" / "b" / "reallybig.bmp"]
        paths += sorted((corpus / "pngsuite" / "libpng" / "testpngs" / "crashers").glob("*.png"))
        cases += [(path.name, path.read_bytes()) for path in paths if path.is_file()]
    return cases


def seconds_to_open(data: bytes) -> float:
    started = time.perf_counter()
    try:
        SimpleImage.open(data)
    except Exception:  # noqa: BLE001 - every documented outcome counts; tests check which
        pass
    return time.perf_counter() - started


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=3, help="samples per input; the median is reported")
    args = parser.parse_args()
    worst_name, worst = "", 0.0
    print(f"{'input':48} {'median s':>10}")
    for name, data in inputs():
        median = statistics.median(seconds_to_open(data) for _ in range(args.repeat))
        print(f"{name:48} {median:10.4f}")
        if median > worst:
            worst_name, worst = name, median
    verdict = "MET" if worst < TARGET_S else "NOT MET"
    print(f"target: every hostile input refused within {TARGET_S:.0f} s: {verdict} (worst {worst_name}, {worst:.3f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
