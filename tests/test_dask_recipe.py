"""The example of converting on a Dask cluster (examples/dask_convert.py),
which the README links, and the README's command for it, run on a local
cluster of two worker processes: bad files are named and the others
converted."""
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

import pytest
from PIL import Image

from builders import bmp_bytes, png_bytes

pytest.importorskip("dask.distributed")

REPO = pathlib.Path(__file__).resolve().parents[1]
EXAMPLE = REPO / "examples" / "dask_convert.py"
WIDTH, HEIGHT = 7, 5
SUMMARY = re.compile(r"(\d+) files: (\d+) converted, (\d+) failed(; \d+\.\d\d s)?")


def pixels(seed: int) -> bytes:
    return bytes((seed * 31 + 7 * i) % 256 for i in range(WIDTH * HEIGHT * 3))


def readme_section() -> str:
    readme = (REPO / "README.md").read_text()
    start = readme.index("### Converting on many machines with Dask")
    return readme[start:readme.index("\n#", start + 1)]


def write_sources(folder: pathlib.Path) -> tuple[list[pathlib.Path], dict[str, str]]:
    """Four good images, PNG and BMP, and two bad ones; returns the good ones
    and, for each bad one, the words its error line must hold."""
    folder.mkdir()
    good = []
    for seed in range(4):
        good.append(folder / f"image{seed}.{'png' if seed % 2 else 'bmp'}")
        good[-1].write_bytes((png_bytes if seed % 2 else bmp_bytes)(WIDTH, HEIGHT, pixels(seed)))
    (folder / "cut.png").write_bytes(png_bytes(WIDTH, HEIGHT, pixels(9))[:-30])
    (folder / "text.bmp").write_bytes(b"BM not an image")
    return good, {"cut.png": "ValueError: Unexpected EOF while reading chunk",
                  "text.bmp": "ValueError: Corrupted BMP DIB header"}


def check_run(result: subprocess.CompletedProcess, good: list[pathlib.Path], bad: dict[str, str],
              out: pathlib.Path, suffix: str) -> None:
    """One error line naming each bad file, the good ones converted, and the
    summary line with its counts last."""
    assert result.returncode == 1, result.stderr
    errors = [line for line in result.stderr.splitlines() if line.startswith("error: ")]
    for name, words in bad.items():
        assert any(f"{name}: " in line and words in line for line in errors), (name, result.stderr)
    assert len(errors) == len(bad), result.stderr
    match = SUMMARY.fullmatch(result.stdout.splitlines()[-1])
    assert match and match.groups()[:3] == (str(len(good) + len(bad)), str(len(good)), str(len(bad))), result.stdout
    assert sorted(path.name for path in out.iterdir()) == sorted(f"image{seed}.{suffix}" for seed in range(4))
    for seed in range(4):
        with Image.open(out / f"image{seed}.{suffix}") as converted:
            assert (converted.format, converted.size) == (suffix.upper(), (WIDTH, HEIGHT))
            assert converted.convert("RGB").tobytes() == pixels(seed)


def test_the_readme_links_the_example_instead_of_copying_it():
    section = readme_section()
    assert "[examples/dask_convert.py](examples/dask_convert.py)" in section
    assert "```python" not in section


@pytest.mark.slow
@pytest.mark.parametrize("mode", ["bytes", "shared"])
def test_the_example_names_bad_files_and_converts_the_rest(tmp_path, mode):
    good, bad = write_sources(tmp_path / "photos")
    missing = tmp_path / "photos" / "missing.png"
    out = tmp_path / "out"
    result = subprocess.run([sys.executable, EXAMPLE, "--local", "2", *(["--shared"] if mode == "shared" else []),
                             "--to", "png", "-o", out, *good, *(tmp_path / "photos" / name for name in bad),
                             missing], capture_output=True, text=True, timeout=300, cwd=tmp_path)
    check_run(result, good, {**bad, "missing.png": "No such file or directory"}, out, "png")


@pytest.mark.slow
def test_the_readme_recipe_runs_as_printed(tmp_path):
    good, bad = write_sources(tmp_path / "photos")
    (tmp_path / "examples").mkdir()
    shutil.copy(EXAMPLE, tmp_path / "examples")
    [command] = [line for line in readme_section().splitlines()
                 if line.startswith("python examples/dask_convert.py --local")]
    result = subprocess.run(["bash", "-c", shlex.quote(sys.executable) + command.removeprefix("python")],
                            capture_output=True, text=True, timeout=300, cwd=tmp_path)
    check_run(result, good, bad, tmp_path / "converted", "bmp")
    # The workers do not log the failures the example reports itself.
    assert "Traceback" not in result.stderr
