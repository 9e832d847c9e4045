#!/usr/bin/env bash
# Installs what is missing to build and run the module: a C++ compiler, the
# interpreter's headers and venv support (Debian packages), a venv in .venv
# and the package itself as an editable install, built.
#
#   tools/setup.sh           what running the module needs (the main job)
#   tools/setup.sh --tests   also what the tests need: GoogleTest, Google
#                            Benchmark, pngcheck, ImageMagick, the test extra
#
# Safe to run again; a second run only rebuilds what changed. The sanitizer
# and debug-interpreter checks install their own extra packages.
set -euo pipefail
cd "$(dirname "$0")/.."

tests=0
if [ "${1:-}" = "--tests" ]; then tests=1; fi

packages=(g++)
# Only what this python3 lacks: its headers, and ensurepip for its venvs (both
# part of a pyenv build; separate packages for Debian's own interpreter).
if ! python3 -c 'import os, sys, sysconfig
sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
    packages+=(python3-dev)
fi
python3 -c 'import ensurepip' 2>/dev/null || packages+=(python3-venv)
if ((tests)); then
    packages+=(pkg-config libgtest-dev libbenchmark-dev pngcheck imagemagick)
fi
tools/debian-packages.sh "${packages[@]}"

[ -x .venv/bin/python ] || python3 -m venv .venv
# The build without isolation runs the meson and ninja of .venv.
export PATH="$PWD/.venv/bin:$PATH"
install_editable() {
    local stamp=$1 target=$2
    if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ] || [ meson.build -nt "$stamp" ]; then
        .venv/bin/python -m pip install -q --upgrade pip
        .venv/bin/python -m pip install -q meson-python meson ninja
        .venv/bin/python -m pip install -q --no-build-isolation -e "$target"
        touch "$stamp"
    fi
}
install_editable .venv/.quorvel-installed .
if ((tests)); then install_editable .venv/.quorvel-tests-installed '.[test]'; fi

echo "Quorvel is built in .venv. Next:"
echo "  . .venv/bin/activate"
echo "  quorvel convert examples/ --to bmp -o converted/    # or: quorvel --help"
if ((tests)); then echo "  python -m pytest -q tests -m 'not slow'             # the quick tests; all of CI: tools/test.sh"; fi
