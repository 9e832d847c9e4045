"""An import that fails during initialisation leaves nothing behind: the
next import, with the cause removed, succeeds and works, and the objects the
failed attempt had cached are released."""

import json
import pathlib
import subprocess
import sys
import textwrap

import pytest

QUALIFIED = "Quorvel.tessarin_ext"


def subscription_refusal(target, key) -> str:
    """The host's own message for target[key]."""
    try:
        target[key]
    except TypeError as error:
        return str(error)
    raise AssertionError(f"the host subscripted {target!r}")


# Each stage: code that makes initialisation fail there, code that undoes it,
# and the error the failed import raises.
STAGES = {
    "built-ins": (
        "import builtins; saved = builtins.Ellipsis; del builtins.Ellipsis",
        "builtins.Ellipsis = saved",
        ["NameError", "name 'Ellipsis' is not defined"],
    ),
    "struct": (
        "saved = sys.modules['struct']; sys.modules['struct'] = None",
        "sys.modules['struct'] = saved",
        ["ModuleNotFoundError", "import of struct halted; None in sys.modules"],
    ),
    "zlib": (
        "saved = sys.modules['zlib']; fake = types.ModuleType('zlib'); fake.compress = held = lambda data: data;"
        " sys.modules['zlib'] = fake",
        "sys.modules['zlib'] = saved",
        ["AttributeError", "module 'zlib' has no attribute 'compressobj'"],
    ),
    "io": (
        "saved = sys.modules['io']; sys.modules['io'] = types.ModuleType('io')",
        "sys.modules['io'] = saved",
        ["ImportError", "cannot import name BytesIO"],
    ),
    "pathlib": (
        "saved = sys.modules.get('pathlib'); sys.modules['pathlib'] = None",
        "sys.modules['pathlib'] = saved; saved or sys.modules.pop('pathlib')",
        ["ModuleNotFoundError", "import of pathlib halted; None in sys.modules"],
    ),
    "typing": (
        "saved = sys.modules['typing']; fake = types.ModuleType('typing');"
        " fake.List = fake.Sequence = fake.Tuple = held = object(); fake.Union = None; sys.modules['typing'] = fake",
        "sys.modules['typing'] = saved",
        ["TypeError", subscription_refusal(None, (str, pathlib.Path, bytes, bytearray))],
    ),
}

# Quorvel's own package imports importlib.metadata before the extension, which
# may need the real struct and zlib: it is imported before anything is broken.
# The stages take struct and zlib out of sys.modules, so the script imports
# them itself (importlib.metadata does not import struct on every version).
# Whether the failed import released what it had cached is seen in reference
# counts, where the host keeps them (CPython).
SCRIPT = """
    import gc, importlib, importlib.metadata, json, struct, sys, types, zlib
    {prepare}
    references = getattr(sys, "getrefcount", None)
    baseline = references(held) if references and "held" in globals() else None
    try:
        importlib.import_module("{qualified}")
    except Exception as error:
        failed = [type(error).__name__, str(error)]
    else:
        failed = None
    stale = [name for name in ("Quorvel", "{qualified}") if name in sys.modules]
    {restore}
    gc.collect()
    released = baseline is None or references(held) == baseline
    module = importlib.import_module("{qualified}")
    image = module.SimpleImage(2, 1, bytes(range(6)))
    image.save("{path}")
    again = module.SimpleImage.open("{path}")
    print(json.dumps({{"failed": failed, "stale": stale, "released": released,
                      "works": again._pixels == bytearray(range(6)),
                      "registered": sys.modules["{qualified}"] is module}}))
"""


@pytest.mark.parametrize("stage", STAGES)
def test_failed_initialisation_then_a_clean_import(tmp_path, stage):
    prepare, restore, error = STAGES[stage]
    script = textwrap.dedent(SCRIPT).format(prepare=prepare, restore=restore, qualified=QUALIFIED,
                                            path=tmp_path / "round-trip.png")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout.splitlines()[-1])
    assert report["failed"] == error
    assert report["stale"] == []
    assert report["released"]
    assert report["works"] and report["registered"]
