#!/usr/bin/env bash
# Builds the extension for Debian's debug interpreter (python3.11-dbg) in
# build/dbg and runs the reference-leak check tools/refleak_check.py, which
# loops over every entry point and error path and reports any growth of the
# interpreter's total reference count or allocated blocks.
#
#   tools/refleak.sh            full check
#   tools/refleak.sh --quick    fewer and shorter runs (CI)
#   tools/refleak.sh -k open    only cases whose name contains "open"
#
# Installs python3.11-dbg, python3.11-dev and python3.11-venv when missing
# (as root, with apt-get) and keeps the debug venv in build/dbg-venv.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/debian-packages.sh python3.11-dbg python3.11-dev python3.11-venv g++ pkg-config

venv=build/dbg-venv
if [ ! -x "$venv/bin/meson" ]; then
    python3.11-dbg -m venv "$venv"
    "$venv/bin/python" -m pip install -q meson ninja
fi

build=build/dbg
# Meson builds for the interpreter it runs under: the debug one here.
tools/meson-setup.sh "$venv/bin/meson" "$build" --buildtype=debug -Db_ndebug=false \
    -Dwerror=true -Dconversion_warnings=true
"$venv/bin/meson" compile -C "$build" >/dev/null

pkg=build/dbg-pkg/Quorvel
mkdir -p "$pkg"
cp Quorvel/*.py "$pkg"/
# A new file, not an overwrite: a running fuzzer may have the old one mapped.
cp --remove-destination "$build"/tessarin_ext*.so "$build"/_png_writer*.so "$build"/_reader*.so "$pkg"/

PYTHONPATH="$PWD/build/dbg-pkg" exec "$venv/bin/python" -X dev -W ignore tools/refleak_check.py "$@"
