"""The source tree says what each part may use: the kernels are plain C++
that never reach Python's headers, the shared helpers need no module, each
module uses only the shared helpers, the kernels and its own folder, and only
common/host_compat asks which host it is built for."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[1] / "src"
INCLUDE = re.compile(r'^#include\s+[<"]([^>"]+)[>"]', re.MULTILINE)

# The folders each folder's sources may include from.
ALLOWED = {
    "kernels": {"kernels", "common"},
    "common": {"common"},
    "png_writer": {"png_writer", "common", "kernels"},
    "tessarin_ext": {"tessarin_ext", "common", "kernels"},
}


def sources(folder):
    found = sorted(path for path in (SRC / folder).rglob("*") if path.suffix in (".cpp", ".hpp"))
    assert found, f"no sources in src/{folder}"
    return found


def includes(path):
    return INCLUDE.findall(path.read_text())


def reaches_python(header, seen=frozenset()):
    """Whether the project header `header` includes Python.h, itself or
    through the project headers it includes."""
    for name in includes(SRC / header):
        if name == "Python.h" or ((SRC / name).is_file() and name not in seen
                                  and reaches_python(name, seen | {header})):
            return True
    return False


@pytest.mark.parametrize("folder", sorted(ALLOWED))
def test_sources_include_only_what_their_folder_may_use(folder):
    wrong = [f"{path.relative_to(SRC)}: {name}" for path in sources(folder) for name in includes(path)
             if (SRC / name).is_file() and name.split("/")[0] not in ALLOWED[folder]]
    assert wrong == []


def test_kernels_never_reach_python_headers():
    wrong = [f"{path.relative_to(SRC)}: {name}" for path in sources("kernels") for name in includes(path)
             if name == "Python.h" or ((SRC / name).is_file() and reaches_python(name))]
    assert wrong == []


def test_only_host_compat_asks_which_host_it_is():
    asking = [str(path.relative_to(SRC)) for folder in ALLOWED for path in sources(folder)
              if "PYPY_VERSION" in path.read_text()]
    assert asking == ["common/host_compat.cpp", "common/host_compat.hpp"]
