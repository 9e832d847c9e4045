"""Importing the module into a second interpreter of the process fails with
ImportError on every supported version, for both kinds of interpreter."""
import subprocess
import sys
import textwrap

import pytest

import Quorvel.tessarin_ext as tessarin_ext

pytestmark = pytest.mark.cpython_only("sub-interpreters")

QUALIFIED = "Quorvel.tessarin_ext"
MODULE_REFUSAL = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)
# From 3.12 on, an interpreter with a GIL of its own is refused by the host
# before the module's create runs, because the module declares that it does
# not support several interpreters.
HOST_REFUSAL = f"module {QUALIFIED} does not support loading in subinterpreters"
OWN_GIL = sys.version_info >= (3, 12)

# Runs `inner` in a new interpreter made the way the host's interpreters
# module makes one by default: from 3.12 on, isolated with its own GIL.
DEFAULT_INTERPRETER = """
    import {module} as interpreters
    interpreter = interpreters.create()
    interpreters.run_string(interpreter, inner)
    interpreters.destroy(interpreter)
""".format(module="_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
# Runs `inner` in a new interpreter sharing the main GIL, as embedding
# applications make them with Py_NewInterpreter.
LEGACY_INTERPRETER = """
    import _testcapi
    assert _testcapi.run_in_subinterp(inner) == 0
"""


def import_outcome_in_subinterpreter(starter: str, tmp_path) -> str:
    report = tmp_path / "report.txt"
    # The new interpreter loads the file directly: an editable install's
    # import hook need not work there.
    inner = textwrap.dedent(
        f"""
        import importlib.util
        spec = importlib.util.spec_from_file_location("{QUALIFIED}", {tessarin_ext.__file__!r})
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as error:
            outcome = "ImportError: " + str(error)
        else:
            outcome = "imported"
        with open({str(report)!r}, "w") as file:
            file.write(outcome)
        """
    )
    code = f"import {QUALIFIED}\ninner = {inner!r}\n" + textwrap.dedent(starter)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return report.read_text()


@pytest.mark.parametrize(
    "starter, expected",
    [
        (DEFAULT_INTERPRETER, HOST_REFUSAL if OWN_GIL else MODULE_REFUSAL),
        (LEGACY_INTERPRETER, MODULE_REFUSAL),
    ],
    ids=["default", "shared-gil"],
)
def test_import_in_a_second_interpreter_fails(starter, expected, tmp_path):
    if starter is LEGACY_INTERPRETER:
        pytest.importorskip("_testcapi", reason="the host's C API test module is not installed")
    assert import_outcome_in_subinterpreter(starter, tmp_path) == "ImportError: " + expected
