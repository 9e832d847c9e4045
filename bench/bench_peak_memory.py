"""Peak resident memory of one PNG decode, measured in a fresh process.

Run as a script, it decodes one file with one implementation, keeps the
result alive and prints the process's maximum resident set size in KiB.
The caller subtracts the same figure for a run that decodes a tiny image
with the same implementation, so imports, interpreter start-up and any
lazily loaded plugin are not counted; what remains is what the decode of
the large image added at its peak, C allocations included.
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path


def _decode(impl: str, path: str):
    # Imports happen in both the measured and the baseline run.
    if impl == "ours":
        from Quorvel.tessarin_ext import SimpleImage

        return SimpleImage.open(path)
    if impl == "limit":
        import bench_impls

        return bench_impls.png_decode_limit(Path(path))()
    if impl == "pillow":
        import bench_impls

        return bench_impls.pillow_rgb_bytes(Path(path))
    if impl == "pyspng":
        import bench_impls

        return bench_impls.png_decode_pyspng(Path(path))()
    if impl == "opencv":
        import bench_impls

        return bench_impls.png_decode_opencv(Path(path))()
    raise SystemExit(f"unknown implementation {impl!r}")


def peak_rss_kib_of_this_process() -> int:
    # VmHWM, not ru_maxrss: Linux carries ru_maxrss over fork and exec, so a
    # child of a large parent would report the parent's size.
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")


def max_rss_kib(impl: str, path: Path) -> int:
    """Max RSS (KiB) of a fresh interpreter that decodes `path` with `impl`."""
    completed = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), impl, str(path)],
        check=True,
        capture_output=True,
        text=True,
        cwd=Path(__file__).resolve().parent,
    )
    return int(completed.stdout.split()[-1])


def peak_delta_kib(impl: str, path: Path, tiny: Path, repeats: int = 3) -> int:
    """Smallest over `repeats` of (max RSS decoding `path`) minus (max RSS decoding `tiny`)."""
    baseline = min(max_rss_kib(impl, tiny) for _ in range(repeats))
    measured = min(max_rss_kib(impl, path) for _ in range(repeats))
    return measured - baseline


if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    result = _decode(sys.argv[1], sys.argv[2])
    print(peak_rss_kib_of_this_process())
    del result
