"""The built module needs nothing at import but the C library and the
interpreter (tools/check_symbols.py), and that check refuses what the loader
would refuse, or what would tie the module to the C++ runtime."""
import ctypes
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

import Quorvel._png_writer
import Quorvel._reader
import Quorvel.tessarin_ext

_REPO = pathlib.Path(__file__).resolve().parents[1]
_SCRIPT = _REPO / "tools" / "check_symbols.py"
_EXPORTS_MAP = _REPO / "src" / "exports.map"
pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads ELF objects and /proc")


@pytest.fixture(scope="module")
def check_symbols():
    spec = importlib.util.spec_from_file_location("check_symbols", _SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def interpreter(check_symbols):
    return check_symbols.interpreter_symbols()


@pytest.fixture(scope="module", params=[Quorvel.tessarin_ext, Quorvel._png_writer, Quorvel._reader], ids=lambda m: m.__name__)
def built_module(check_symbols, request):
    """The file of each native module the tests import, unless it is a
    sanitizer build, which links the sanitizer runtimes on purpose."""
    path = request.param.__file__
    if any(name.startswith(("libasan", "libubsan")) for name in check_symbols.DynamicSymbols(path).needed):
        pytest.skip("a sanitizer build links the sanitizer runtimes")
    return path


def test_the_built_module_needs_only_the_c_library_and_the_interpreter(check_symbols, interpreter, built_module):
    assert check_symbols.problems(built_module, interpreter) == []


def test_the_built_module_exports_its_init_function_alone(check_symbols, built_module):
    assert check_symbols.extra_exports(built_module) == []


def run_script(*arguments):
    return subprocess.run([sys.executable, str(_SCRIPT), *arguments], capture_output=True, text=True)


def test_the_script_reports_each_module_and_fails_on_a_bad_one(tmp_path, built_module):
    bad = tmp_path / "not_elf.so"
    bad.write_bytes(b"\x7fELF\x01\x01")
    good = built_module
    result = run_script(good)
    assert (result.returncode, result.stdout) == (0, f"{good}: needs only the C library and the interpreter\n")
    result = run_script(good, str(bad))
    assert result.returncode == 1
    assert "not a 64-bit little-endian ELF object" in result.stderr


def test_the_script_imports_each_module_that_passes(compiled, built_module):
    good = built_module
    # Needs nothing more, but is no extension module: it has no PyInit_ function.
    no_module = compiled("interpreter and C library")
    result = run_script("--import", good, no_module)
    assert result.returncode == 1
    assert result.stdout.splitlines() == [
        f"{good}: needs only the C library and the interpreter, imports",
        f"{no_module}: needs only the C library and the interpreter, but does not import",
    ]
    assert "PyInit_interpreter_and_C_library" in result.stderr


# Small shared objects, each with one way of needing something (or nothing)
# beyond the C library and the interpreter.
_SOURCES = {
    "interpreter and C library": """
        #include <Python.h>
        #include <cstring>
        extern "C" [[gnu::visibility("hidden")]] PyObject* copy_of(const char* text, char* into) {
            std::memcpy(into, text, std::strlen(text) + 1);
            return PyUnicode_FromString(into);
        }""",
    "undefined C++ function": """
        int never_defined(int value);
        extern "C" int call(int value) { return never_defined(value) + 1; }""",
    "C++ runtime": """
        extern "C" int* make(int value) { return new int(value); }""",
    # The form the PNG and BMP writers once had: a record naming, in its own
    # initialiser, a function template instantiated on that record. g++ 14 and
    # later never emit that instance, though they name it; g++ 12 and clang do.
    "self-referential record": """
        using Impl = int (*)(int);
        struct Entry { const char* name; Impl impl; };
        constexpr Entry make_entry(const char* name, Impl impl) { return {name, impl}; }
        int call_entry(const Entry& entry, int value) { return entry.name[0] + value; }
        template <const Entry& entry>
        int entry_impl(int value) { return call_entry(entry, value); }
        constexpr Entry self_named = make_entry("self", entry_impl<self_named>);
        extern "C" int call_self(int value) { return self_named.impl(value); }""",
    # A module that uses a template instance, as the standard library's are
    # used: the compiler gives it default visibility and emits it weak.
    "module with a template instance": """
        #include <Python.h>
        template <typename T> [[gnu::noinline]] T twice(T value) { return value * 2; }
        extern "C" PyObject* PyInit_module_with_a_template_instance() { return PyLong_FromLong(twice(21)); }""",
}


@pytest.fixture(scope="module")
def compiled(tmp_path_factory):
    """Builds one of _SOURCES into a shared object with the C++ compiler of
    $CXX (else c++), as the module is built: against this interpreter's
    headers, undefined symbols allowed."""
    compiler = shutil.which(os.environ.get("CXX", "c++"))
    if compiler is None:
        pytest.skip("no C++ compiler (c++ or $CXX) on PATH")
    include = sysconfig.get_paths()["include"]
    folder = tmp_path_factory.mktemp("shared_objects")

    def build(case: str, exports_map: bool = False) -> str:
        """The shared object of `case`, linked with the modules' version
        script when `exports_map` is set (in a folder of its own, under the
        same file name)."""
        source = folder / f"{case.replace(' ', '_')}.cpp"
        source.write_text(_SOURCES[case])
        built = (folder / "mapped" if exports_map else folder) / source.with_suffix(".so").name
        if built.exists():
            return str(built)
        built.parent.mkdir(exist_ok=True)
        link = [f"-Wl,--version-script={_EXPORTS_MAP}"] if exports_map else []
        subprocess.run([compiler, "-std=c++20", "-O2", "-fPIC", "-shared", "-w", f"-I{include}",
                        "-o", str(built), str(source), *link], check=True, capture_output=True)
        return str(built)
    return build


def loads(path: str) -> bool:
    """Whether the loader maps `path` into this process, every symbol bound
    at once as for an imported module."""
    try:
        ctypes.CDLL(path, mode=os.RTLD_NOW | os.RTLD_LOCAL)
    except OSError:
        return False
    return True


@pytest.mark.parametrize("case, wanted", [
    ("interpreter and C library", []),
    ("undefined C++ function", ["undefined symbol _Z13never_definedi"]),
    ("C++ runtime", ["links libstdc++.so.6", "undefined symbol _Znwm"]),
])
def test_what_a_shared_object_needs_beyond_the_c_library_and_the_interpreter(
        check_symbols, interpreter, compiled, case, wanted):
    assert check_symbols.problems(compiled(case), interpreter) == wanted


@pytest.mark.parametrize("case", ["interpreter and C library", "undefined C++ function", "self-referential record"])
def test_the_check_passes_only_what_the_loader_loads(check_symbols, interpreter, compiled, case):
    path = compiled(case)
    assert (check_symbols.problems(path, interpreter) == []) == loads(path)


@pytest.mark.parametrize("case, exports_map, wanted", [
    ("module with a template instance", False, ["_Z5twiceIiET_S0_"]),
    ("module with a template instance", True, []),
    ("undefined C++ function", False, ["call"]),
    ("undefined C++ function", True, []),
])
def test_what_a_shared_object_exports_besides_its_init_function(check_symbols, compiled, case, exports_map, wanted):
    assert check_symbols.extra_exports(compiled(case, exports_map)) == wanted


def test_the_script_fails_on_a_module_that_exports_more(compiled):
    path = compiled("module with a template instance")
    result = run_script("--import", path)
    assert (result.returncode, result.stdout) == (1, f"{path}: exports more than its PyInit_ function:\n"
                                                     "    _Z5twiceIiET_S0_\n")
