"""Checks that a built extension module needs nothing at import but the C
library and the interpreter running this script, and exports nothing but
its PyInit_ function.

A shared object may leave symbols undefined when it is linked; the loader
looks for them only when the module is imported. This check reads the
module's dynamic section and symbol table (ELF, 64-bit little-endian: x86-64
and aarch64 Linux) and fails on

- a library it links other than the C runtime (libc, libm, libgcc_s, the
  dynamic loader) or the interpreter's own library (libpython, libpypy): the
  C++ standard library among them;
- an undefined symbol that neither the C library (libc, libm, and the parts
  of the C runtime the module links) nor the interpreter (its executable and
  its libpython or libpypy, as mapped in this process) defines: a C++
  function or template instance that a compiler never emitted, say;
- a dynamic symbol it defines other than its PyInit_<module> function,
  the one the loader needs: a C++ template instance it exports as a weak
  symbol, say, which the loader may bind to another library's copy.

Run it with the interpreter the module was built for:

    python tools/check_symbols.py [--import] MODULE.so...

It prints one line per module and exits 1 when any has a problem. With
--import, each module that passes is then imported, in a process of its
own, as a member of the package Quorvel, and makes an image.
"""

from __future__ import annotations

import ctypes
import os
import re
import struct
import subprocess
import sys

# Libraries a module may link: the C runtime, and the interpreter's library
# where the interpreter is built as one.
C_RUNTIME = re.compile(r"(libc|libm|libgcc_s)\.so\.\d+$|ld-linux[-\w.]*\.so\.\d+$")
INTERPRETER_LIBRARY = re.compile(r"lib(python|pypy)[\w.-]*\.so(\.[\d.]+)?$")

# Weak references every toolchain's start-up code makes, which the loader
# leaves null when no object defines them.
TOOLCHAIN_HOOKS = frozenset({"__gmon_start__", "_ITM_deregisterTMCloneTable", "_ITM_registerTMCloneTable"})

SHT_DYNSYM, SHT_DYNAMIC = 11, 6
DT_NEEDED = 1
SHN_UNDEF = 0
STB_WEAK = 2


class DynamicSymbols:
    """The libraries an ELF object links, and the dynamic symbols it defines
    and leaves undefined (each undefined one with whether it is weak)."""

    def __init__(self, path: str) -> None:
        with open(path, "rb") as file:
            data = file.read()
        if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
            raise ValueError(f"{path}: not a 64-bit little-endian ELF object")
        section_offset, = struct.unpack_from("<Q", data, 0x28)
        section_size, section_count = struct.unpack_from("<HH", data, 0x3A)
        sections = [struct.unpack_from("<IIQQQQIIQQ", data, section_offset + index * section_size)
                    for index in range(section_count)]

        def string(table: int, offset: int) -> str:
            start = sections[table][4] + offset
            return data[start:data.index(b"\0", start)].decode()

        self.needed: list[str] = []
        self.defined: set[str] = set()
        self.undefined: dict[str, bool] = {}
        for kind, offset, size, link, entry_size in ((s[1], s[4], s[5], s[6], s[9]) for s in sections):
            if kind == SHT_DYNAMIC:
                for tag, value in struct.iter_unpack("<qQ", data[offset:offset + size]):
                    if tag == DT_NEEDED:
                        self.needed.append(string(link, value))
            elif kind == SHT_DYNSYM:
                for name_offset, info, _, section, _, _ in struct.iter_unpack(
                        "<IBBHQQ", data[offset + entry_size:offset + size]):
                    name = string(link, name_offset)
                    if section == SHN_UNDEF:
                        self.undefined[name] = info >> 4 == STB_WEAK
                    else:
                        self.defined.add(name)


def mapped_objects() -> list[str]:
    """The files mapped into this process: the executable and every library
    the loader brought in."""
    with open("/proc/self/maps") as maps:
        fields = (line.split(maxsplit=5) for line in maps)
        return sorted({line[5].strip() for line in fields if len(line) == 6 and line[5].startswith("/")})


def loaded_library(name: str) -> str:
    """The file the loader maps for the library `name` (loading it if it is
    not yet): the mapped file of that name, or the one a link of that name
    beside it leads to (libc.so.6 is a link to libc-2.31.so on older
    systems)."""
    ctypes.CDLL(name)
    for path in mapped_objects():
        beside = os.path.join(os.path.dirname(path), name)
        if os.path.basename(path) == name or os.path.realpath(beside) == os.path.realpath(path):
            return path
    raise FileNotFoundError(f"{name} is loaded but not found among the mapped files")


def interpreter_symbols() -> set[str]:
    """What the running interpreter exports: its executable's dynamic
    symbols (a statically built CPython exports its API from there) and
    those of its libpython or libpypy."""
    paths = [os.path.realpath("/proc/self/exe")]
    paths += [path for path in mapped_objects() if INTERPRETER_LIBRARY.match(os.path.basename(path))]
    return set().union(*(DynamicSymbols(path).defined for path in paths))


def problems(module: str, interpreter: set[str]) -> list[str]:
    """What would keep `module` from loading into this interpreter with
    nothing but the C runtime beside it; empty when nothing does."""
    symbols = DynamicSymbols(module)
    found = []
    runtime = [name for name in symbols.needed if C_RUNTIME.match(name)]
    found += [f"links {name}" for name in symbols.needed
              if name not in runtime and not INTERPRETER_LIBRARY.match(name)]
    provided = set(interpreter)
    # The C library and its maths are in every interpreter's process; other
    # parts of the C runtime only when the module links them.
    for name in {"libc.so.6", "libm.so.6", *runtime}:
        provided |= DynamicSymbols(loaded_library(name)).defined
    found += [f"undefined symbol {name}" for name, weak in symbols.undefined.items()
              if name not in provided and not (weak and name in TOOLCHAIN_HOOKS)]
    return found


def extra_exports(module: str) -> list[str]:
    """The dynamic symbols `module` defines besides PyInit_<name>, its name
    being the file name up to the first dot."""
    init = "PyInit_" + os.path.basename(module).split(".")[0]
    return sorted(DynamicSymbols(module).defined - {init})


# Imports the module file argv[1] under the name argv[2] without its
# package's Python files, and makes an image with it where it holds the
# image type.
IMPORT = """
import importlib.machinery, importlib.util, sys
loader = importlib.machinery.ExtensionFileLoader(sys.argv[2], sys.argv[1])
spec = importlib.util.spec_from_file_location(sys.argv[2], sys.argv[1], loader=loader)
module = importlib.util.module_from_spec(spec)
spec.loader.exec_module(module)
if hasattr(module, "SimpleImage"):
    module.SimpleImage(1, 1, bytes(3))
"""


def imports(module: str) -> bool:
    name = "Quorvel." + os.path.basename(module).split(".")[0]
    return subprocess.run([sys.executable, "-c", IMPORT, module, name]).returncode == 0


def main(arguments: list[str]) -> int:
    load = arguments[:1] == ["--import"]
    modules = arguments[1:] if load else arguments
    if not modules:
        print(f"usage: {sys.argv[0]} [--import] MODULE.so...", file=sys.stderr)
        return 2
    interpreter = interpreter_symbols()
    failed = False
    for module in modules:
        found = problems(module, interpreter)
        exported = extra_exports(module)
        if found:
            failed = True
            print(f"{module}: needs more than the C library and the interpreter:")
            for problem in found:
                print(f"    {problem}")
        if exported:
            failed = True
            print(f"{module}: exports more than its PyInit_ function:")
            for name in exported:
                print(f"    {name}")
        if found or exported:
            continue
        if load and not imports(module):
            failed = True
            print(f"{module}: needs only the C library and the interpreter, but does not import")
        else:
            print(f"{module}: needs only the C library and the interpreter{', imports' if load else ''}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
