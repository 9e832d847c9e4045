#!/usr/bin/env bash
# The checks beyond x86-64 Linux with gcc that CI runs: the module and the
# kernel tests built with clang (warnings are errors, as with gcc), the
# kernel tests run and the module checked for what it needs at import
# (tools/check_symbols.py) and imported; then the kernel library and its
# tests cross-built for aarch64 and run under qemu (tools/aarch64.sh
# kernels). Installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/debian-packages.sh clang
[ -x .venv/bin/meson ] || tools/setup.sh
CXX=clang++ tools/meson-setup.sh .venv/bin/meson build/clang -Dtests=enabled -Dwerror=true -Dconversion_warnings=true
.venv/bin/meson compile -C build/clang -j 2
.venv/bin/meson test -C build/clang -q --print-errorlogs
.venv/bin/python tools/check_symbols.py --import build/clang/tessarin_ext*.so build/clang/_png_writer*.so build/clang/_reader*.so

tools/aarch64.sh kernels
