"""Every stored fuzzer finding opens to an image or a documented exception,
and passes the checks of Quorvel.load and probe (fuzz/load_target.py)."""

import pathlib

import pytest

from load_target import check_load
from open_target import check_open

CRASHERS = pathlib.Path(__file__).resolve().parent / "crashers"


def stored_inputs() -> list[pathlib.Path]:
    return sorted(path for path in CRASHERS.iterdir() if path.is_file() and path.name != "README.md")


@pytest.mark.parametrize("check", [check_open, check_load], ids=["open", "load"])
@pytest.mark.parametrize("path", stored_inputs(), ids=lambda path: path.name)
def test_stored_input_opens_or_fails_cleanly(path, check, capfd):
    check(path.read_bytes())
    # Errors the host can only print (from a deallocator) count as failures;
    # AddressSanitizer's note on a refused huge allocation does not.
    printed = [line for line in capfd.readouterr().err.splitlines()
               if "AddressSanitizer failed to allocate" not in line]
    assert printed == []
