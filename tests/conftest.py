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
