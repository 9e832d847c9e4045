"""The README's recipe for converting on a Dask cluster
(examples/dask_convert.py), run on a local cluster of two worker processes."""
import pathlib
import re
import subprocess
import sys

import pytest
from PIL import Image

from builders import bmp_bytes, png_bytes

pytest.importorskip("dask.distributed")

REPO = pathlib.Path(__file__).resolve().parents[1]
EXAMPLE = REPO / "examples" / "dask_convert.py"
WIDTH, HEIGHT = 7, 5


def pixels(seed: int) -> bytes:
    return bytes((seed * 31 + 7 * i) % 256 for i in range(WIDTH * HEIGHT * 3))


def test_the_readme_shows_the_example_s_own_code():
    readme = (REPO / "README.md").read_text()
    section = readme[readme.index("### Converting on many machines with Dask"):]
    block = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    function = block[block.index("def "):block.index("\n\n", block.index("def "))]
    assert function in EXAMPLE.read_text()


@pytest.mark.slow
@pytest.mark.parametrize("mode", ["bytes", "shared"])
def test_the_recipe_converts_on_two_worker_processes(tmp_path, mode):
    sources = []
    for seed in range(4):
        sources.append(tmp_path / f"image{seed}.{'png' if seed % 2 else 'bmp'}")
        sources[-1].write_bytes((png_bytes if seed % 2 else bmp_bytes)(WIDTH, HEIGHT, pixels(seed)))
    out = tmp_path / "out"
    result = subprocess.run([sys.executable, EXAMPLE, "--local", "2", *(["--shared"] if mode == "shared" else []),
                             "--to", "png", "-o", out, *sources],
                            capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert len(result.stdout.splitlines()) == len(sources)
    for seed in range(4):
        with Image.open(out / f"image{seed}.png") as converted:
            assert (converted.format, converted.size) == ("PNG", (WIDTH, HEIGHT))
            assert converted.convert("RGB").tobytes() == pixels(seed)
