"""The README's numpy recipe passes mypy --strict and does what it says."""
import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("numpy")
pytest.importorskip("mypy")

REPO = pathlib.Path(__file__).resolve().parents[1]


@pytest.fixture
def recipe(tmp_path: pathlib.Path) -> pathlib.Path:
    readme = REPO / "README.md"
    if not readme.is_file():
        pytest.skip("README.md is not beside the tests")
    section = readme.read_text().split("## Zero-copy numpy view", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.S)
    assert code is not None
    path = tmp_path / "numpy_recipe.py"
    path.write_text(code.group(1))
    return path


def test_recipe_type_checks(recipe: pathlib.Path) -> None:
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(recipe)],
        cwd=REPO, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_recipe_writes_through_to_the_image(recipe: pathlib.Path) -> None:
    # The recipe asserts that the pixel written through the array is the
    # image's; it reads the shipped sample image relative to the repository.
    result = subprocess.run([sys.executable, str(recipe)], cwd=REPO, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
