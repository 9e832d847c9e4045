"""Fixtures, built on the helpers of builders.py, the way to the shared
corpus of images and to the fuzz target, and the markers for tests that need
what not every host has: a facility only CPython has (cpython_only), or one
of the host's that is probed here (needs, with HOST_FACILITIES)."""
import ctypes
import functools
import gc
import importlib.util
import mmap
import os
import pathlib
import shutil
import signal
import sys
import time

import pytest

from builders import CORPUS_MISSING, OLD_CONTENT, corpus_dir, mapping_flags

_REPO = pathlib.Path(__file__).resolve().parents[1]
# The fuzz target (fuzz/open_target.py) is also what the tests check opening with.
sys.path.insert(0, str(_REPO / "fuzz"))


def sanitized() -> bool:
    """Whether AddressSanitizer's runtime is in this process."""
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def address_space_limit() -> str | None:
    if sanitized():
        return "AddressSanitizer maps terabytes of shadow memory, so no address-space limit leaves it room"
    try:
        import resource
    except ImportError:
        return "no resource module, so no address-space limit"
    return None if hasattr(resource, "RLIMIT_AS") else "no address-space limit (RLIMIT_AS) here"


def huge_page_advice() -> str | None:
    """Whether advice for huge pages shows on the mapping advised, as the flag
    "hg" the tests look for: 4 MiB of anonymous memory, advised and touched.
    Under emulation (qemu) madvise succeeds and leaves no flag, and
    /proc/meminfo cannot tell."""
    if not hasattr(mmap, "MADV_HUGEPAGE") or not os.path.exists("/proc/self/smaps"):
        return "no huge-page advice (MADV_HUGEPAGE) or no /proc/self/smaps here"
    with mmap.mmap(-1, 4 << 20) as memory:
        try:
            memory.madvise(mmap.MADV_HUGEPAGE)
        except OSError as error:
            return f"the kernel refuses huge-page advice: {error}"
        memory[0] = 1
        view = ctypes.c_char.from_buffer(memory)
        address = ctypes.addressof(view)
        del view
        flags = mapping_flags(address)
    return None if "hg" in flags else "huge-page advice leaves no flag on the mapping advised (emulation, say)"


def zlib_ng_package() -> str | None:
    found = importlib.util.find_spec("zlib_ng") is not None
    return None if found else "the zlib-ng package is not installed (the `fast` extra installs it)"


def pillow() -> str | None:
    return None if importlib.util.find_spec("PIL") else "Pillow is not installed"


# What a test marked needs(facility) may need of its host: each probe gives
# None where the host has it, else why it lacks it, the reason of the skip.
HOST_FACILITIES = {
    "address-space limit": address_space_limit,
    "huge-page advice": huge_page_advice,
    "pngcheck": lambda: None if shutil.which("pngcheck") else "pngcheck is not installed (apt-get install pngcheck)",
    "zlib-ng package": zlib_ng_package,
    "Pillow": pillow,
}


@functools.cache
def lacking(facility: str) -> str | None:
    return HOST_FACILITIES[facility]()


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "cpython_only(facility): needs a facility only CPython has (reference counts, tracemalloc, "
        "_testcapi, sub-interpreters), named in the argument; skipped on other hosts")
    config.addinivalue_line(
        "markers",
        f"needs(facility): needs a facility of the host, one of {', '.join(HOST_FACILITIES)}; skipped, "
        "with the reason, where the host lacks it")


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    for item in items:
        for name in ("cpython_only", "needs"):
            marker = item.get_closest_marker(name)
            if marker is None:
                continue
            if len(marker.args) != 1 or not isinstance(marker.args[0], str) or marker.kwargs:
                raise pytest.UsageError(f"{item.nodeid}: {name} takes one argument, the facility it needs")
            facility = marker.args[0]
            if name == "needs":
                if facility not in HOST_FACILITIES:
                    raise pytest.UsageError(f"{item.nodeid}: no probe for the facility {facility!r}")
                reason = lacking(facility)
            elif sys.implementation.name != "cpython":
                reason = f"needs CPython's {facility}; {sys.implementation.name} has none"
            else:
                reason = None
            if reason is not None:
                item.add_marker(pytest.mark.skip(reason=reason))


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
