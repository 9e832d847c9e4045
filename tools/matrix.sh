#!/usr/bin/env bash
# Runs the Python tests on the supported CPythons other than the one of .venv
# (tools/pythons.sh lists them), each from an editable install in its own venv
# build/matrix/X.Y. An interpreter that is not on this machine is reported on
# one line and skipped, except where the Debian unstable root carries that
# version (3.14, 3.15) and it is asked for by name or with --all: it is then
# built and tested in the root (tools/sid-root.sh).
#
#   tools/matrix.sh                    every other supported interpreter found here
#   tools/matrix.sh --all              also those of the root that are not here
#   tools/matrix.sh 3.12 3.14          only these
#   tools/matrix.sh 3.12 -- -x -k bmp  arguments after -- go to pytest
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/pythons.sh

[ -x .venv/bin/python ] || tools/setup.sh
main_version=$(python_version .venv/bin/python)

versions=()
use_root=0
while (($#)) && [ "$1" != "--" ]; do
    case "$1" in
        --all) use_root=1 ;;
        *) versions+=("$1"); use_root=1 ;;
    esac
    shift
done
(($#)) && shift
if ((${#versions[@]} == 0)); then
    for version in "${supported_pythons[@]}"; do
        [ "$version" = "$main_version" ] || versions+=("$version")
    done
fi

# Arguments that name test files or directories replace the default "tests".
selection=(tests)
for argument in "$@"; do
    if [ -e "${argument%%::*}" ]; then selection=(); break; fi
done

for version in "${versions[@]}"; do
    if ! python=$(find_python "$version"); then
        if ((use_root)) && in_sid_root "$version"; then
            echo "== Python $version: in the Debian unstable root"
            tools/sid-root.sh python "$version" -- "${selection[@]}" "$@"
        elif in_sid_root "$version"; then
            echo "== Python $version: not on this machine; skipped (tools/matrix.sh $version tests it in the Debian unstable root)"
        else
            echo "== Python $version: not found (neither pyenv nor python$version on PATH); skipped"
        fi
        continue
    fi
    echo "== Python $version: $python"
    venv=build/matrix/$version
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    stamp=$venv/.quorvel-installed
    if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ] || [ meson.build -nt "$stamp" ]; then
        "$venv/bin/python" -m pip install -q --upgrade pip
        "$venv/bin/python" -m pip install -q meson-python meson ninja
        # The build without isolation runs the meson and ninja of this venv.
        PATH="$PWD/$venv/bin:$PATH" "$venv/bin/python" -m pip install -q --no-build-isolation -e '.[test]'
        touch "$stamp"
    fi
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "${selection[@]}" "$@"
done
