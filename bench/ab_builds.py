"""Two builds of the module compared in one process.

On a shared virtual machine the same decode can take 20 % longer in one
process than in the next, which hides changes of a few percent between
builds measured in separate processes. This loads two builds of the
extension side by side (copies of the built `.so` under any names) and
opens each image with both in shuffled rounds, next to the limit of
bench_impls, so that every ratio compares samples taken moments apart:

    python bench/ab_builds.py OLD.so NEW.so kodim11 kodim07 path/to/image.png

An image is a path or the stem of a file in the shared corpus. Each line
gives, per build, the median over the rounds of its time divided by the
limit's in the same round, and the median of new / old.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_codecs  # noqa: E402
import bench_images  # noqa: E402
import bench_impls  # noqa: E402
from compare import paired_ratio  # noqa: E402

MODULE = "Quorvel.tessarin_ext"


def load_build(path: Path):
    """The extension built at `path`, as a module of its own: builds loaded
    from different files keep separate state."""
    loader = importlib.machinery.ExtensionFileLoader(MODULE, str(path))
    spec = importlib.util.spec_from_file_location(MODULE, str(path), loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def find_image(name: str) -> Path:
    path = Path(name)
    if path.exists():
        return path
    corpus = bench_images.CORPUS_PHOTOS.parent
    found = sorted(corpus.rglob(f"{name}.png")) if corpus.is_dir() else []
    if not found:
        raise SystemExit(f"no image {name!r}: neither a path nor a corpus file")
    return found[0]


def compare(builds: dict, path: Path, rounds: int, clock) -> dict[str, float]:
    """Medians of the per-round ratios of each build to the limit, and of
    new to old, over rounds taken as the codec benchmark takes them."""
    samples = {name: (lambda m=module: m.SimpleImage.open(str(path))._pixels) for name, module in builds.items()}
    samples["limit"] = bench_impls.png_decode_limit(path)
    old_pixels = samples["old"]()

    def check(name, result):
        return "pixels differ from the old build's" if name == "new" and result != old_pixels else None

    case = bench_codecs.Case("png_decode", path.stem, 0, 0, samples, check=check)
    bench_codecs.run_case(case, bench_codecs.RepPolicy(min_reps=rounds, max_reps=rounds, budget_s=0.0, clock=clock))
    if case.problems:
        raise SystemExit(f"{path.name}: " + "; ".join(f"{n}: {p}" for n, p in case.problems.items()))
    times = case.times_ns
    found = {name: paired_ratio(times[name], times["limit"]) for name in builds}
    found["new/old"] = paired_ratio(times["new"], times["old"])
    return found


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old", type=Path, help="the built extension to compare against")
    parser.add_argument("new", type=Path, help="the built extension to compare")
    parser.add_argument("images", nargs="+", help="PNG paths or corpus file stems")
    parser.add_argument("--rounds", type=int, default=41)
    parser.add_argument("--cpu-time", action="store_true", help="time by the thread's CPU time, not wall time")
    args = parser.parse_args(argv)
    builds = {"old": load_build(args.old), "new": load_build(args.new)}
    clock = time.thread_time_ns if args.cpu_time else time.perf_counter_ns
    print(f"{'image':<34} {'old/limit':>9} {'new/limit':>9} {'new/old':>8}")
    for name in args.images:
        path = find_image(name)
        found = compare(builds, path, args.rounds, clock)
        print(f"{path.stem:<34} {found['old']:>9.3f} {found['new']:>9.3f} {found['new/old']:>8.3f}", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
