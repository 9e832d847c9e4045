"""Every stored fuzzer finding opens to an image or a documented exception."""

import pathlib
import sys

import pytest

FUZZ_DIR = pathlib.Path(__file__).resolve().parents[1] / "fuzz"
CRASHERS = pathlib.Path(__file__).resolve().parent / "crashers"
sys.path.insert(0, str(FUZZ_DIR))
from open_target import check_open  # noqa: E402


def stored_inputs() -> list[pathlib.Path]:
    return sorted(path for path in CRASHERS.iterdir() if path.is_file() and path.name != "README.md")


@pytest.mark.parametrize("path", stored_inputs(), ids=lambda path: path.name)
def test_stored_input_opens_or_fails_cleanly(path, capfd):
    check_open(path.read_bytes())
    # Errors the host can only print (from a deallocator) count as failures;
    # AddressSanitizer's note on a refused huge allocation does not.
    printed = [line for line in capfd.readouterr().err.splitlines()
               if "AddressSanitizer failed to allocate" not in line]
    assert printed == []
