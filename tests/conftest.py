"""Fixtures, built on the helpers of builders.py, the way to the shared
corpus of images and to the fuzz target, and the one marker for tests that
need a facility only CPython has."""
import gc
import pathlib
import signal
import sys
import time

import pytest

from builders import CORPUS_MISSING, OLD_CONTENT, corpus_dir

_REPO = pathlib.Path(__file__).resolve().parents[1]
# The fuzz target (fuzz/open_target.py) is also what the tests check opening with.
sys.path.insert(0, str(_REPO / "fuzz"))


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "cpython_only(facility): needs a facility only CPython has (reference counts, tracemalloc, "
        "_testcapi, sub-interpreters), named in the argument; skipped on other hosts")


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    for item in items:
        marker = item.get_closest_marker("cpython_only")
        if marker is None:
            continue
        if len(marker.args) != 1 or not isinstance(marker.args[0], str) or marker.kwargs:
            raise pytest.UsageError(f"{item.nodeid}: cpython_only takes one argument, the facility it needs")
        if sys.implementation.name != "cpython":
            item.add_marker(pytest.mark.skip(
                reason=f"needs CPython's {marker.args[0]}; {sys.implementation.name} has none"))


@pytest.fixture(scope="session")
def corpus() -> pathlib.Path:
    found = corpus_dir()
    if found is None:
        pytest.skip(CORPUS_MISSING)
    return found


@pytest.fixture
def existing(tmp_path: pathlib.Path) -> pathlib.Path:
    """A file that a save may replace, holding OLD_CONTENT."""
    path = tmp_path / "existing.img"
    path.write_bytes(OLD_CONTENT)
    return path


@pytest.fixture
def target(tmp_path: pathlib.Path) -> pathlib.Path:
    """A path where no file is yet."""
    return tmp_path / "out.img"


@pytest.fixture
def interrupt_after():
    """Schedules a KeyboardInterrupt `delay` seconds ahead, as Ctrl-C would
    raise it, and gives back the moment it was due."""
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    # With the collector off, the interrupt cannot land inside a collection's
    # callback (a test library's), which would swallow it.
    gc.disable()

    def schedule(delay):
        due = time.monotonic() + delay
        signal.setitimer(signal.ITIMER_REAL, delay)
        return due

    yield schedule
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)
    gc.enable()
