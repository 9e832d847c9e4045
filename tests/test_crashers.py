"""Every stored fuzzer finding opens to an image or a documented exception."""

import pathlib

import pytest

from open_target import check_open

CRASHERS = pathlib.Path(__file__).resolve().parent / "crashers"


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
