#!/usr/bin/env bash
# Installs what the project needs and is missing: Debian packages, a venv in
# .venv, and the package itself (editable, with its test extra), built.
# Safe to run again; a second run only rebuilds what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/debian-packages.sh g++ pkg-config python3-venv libgtest-dev libbenchmark-dev pngcheck imagemagick

[ -x .venv/bin/python ] || python3 -m venv .venv
stamp=.venv/.quorvel-installed
if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ] || [ meson.build -nt "$stamp" ]; then
    .venv/bin/python -m pip install -q --upgrade pip
    .venv/bin/python -m pip install -q meson-python meson ninja
    .venv/bin/python -m pip install -q --no-build-isolation -e '.[test]'
    touch "$stamp"
fi
