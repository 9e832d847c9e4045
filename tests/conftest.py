import os
import pathlib

import pytest

_REPO = pathlib.Path(__file__).resolve().parents[1]
_CORPUS_CANDIDATES = [
    pathlib.Path(os.environ["QUORVEL_CORPUS"]) if os.environ.get("QUORVEL_CORPUS") else None,
    _REPO.parent / "shared" / "corpus",
    pathlib.Path("/work/shared/corpus"),
]


def corpus_dir() -> pathlib.Path | None:
    """The shared corpus of images written by others, if this machine has it."""
    for candidate in _CORPUS_CANDIDATES:
        if candidate is not None and (candidate / "manifest.tsv").is_file():
            return candidate
    return None


@pytest.fixture(scope="session")
def corpus() -> pathlib.Path:
    found = corpus_dir()
    if found is None:
        pytest.skip("image corpus not available")
    return found


_PEAK_PROBE = """
with open("/proc/self/status") as _status:
    print(next(int(line.split()[1]) for line in _status if line.startswith("VmHWM:")))
"""


def peak_rss_mib(code: str) -> float:
    """Runs `code` in a fresh interpreter and returns its peak resident size.
    VmHWM belongs to the new process image alone; ru_maxrss would also carry
    the peak of the process that started it."""
    import subprocess
    import sys
    import textwrap

    script = textwrap.dedent(code) + _PEAK_PROBE
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return int(done.stdout.split()[-1]) / 1024
