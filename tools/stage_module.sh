#!/usr/bin/env bash
# Stages a module built outside the editable install, for the checks that
# run a build of their own (sanitizers, fuzzing, coverage).
#
#   tools/stage_module.sh BUILD STAGE [VENV]
#
# Copies the extension modules built in BUILD into STAGE/Quorvel, next to
# copies of the package's Python files; put STAGE first on PYTHONPATH. With
# VENV, also makes VENV a venv of the same interpreter as .venv that sees the
# packages of .venv (Pillow, pytest, ...) through a .pth line but not the
# editable install's import hook, so that the staged module is the one
# imported, with the package's `quorvel` command as pip would install it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
stage=$2
venv=${3:-}

pkg="$stage/Quorvel"
mkdir -p "$pkg"
cp Quorvel/*.py Quorvel/*.pyi Quorvel/py.typed "$pkg"/
# A new file, not an overwrite: a running fuzzer may have the old one mapped.
cp --remove-destination "$build"/tessarin_ext*.so "$build"/_png_writer*.so "$build"/_reader*.so "$pkg"/

if [ -n "$venv" ]; then
    if [ ! -x "$venv/bin/python" ]; then
        base=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')
        "$base" -m venv --without-pip "$venv"
    fi
    deps=$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
    venv_site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
    printf '%s\n' "$deps" >"$venv_site/quorvel-staged.pth"
    printf '#!%s\nimport sys\nfrom Quorvel.__main__ import main\nsys.exit(main())\n' \
        "$(cd "$venv" && pwd)/bin/python" >"$venv/bin/quorvel"
    chmod +x "$venv/bin/quorvel"
fi
