#!/usr/bin/env bash
# Runs the Python tests on the supported CPythons other than the one of .venv
# (tools/pythons.sh lists them), each from an editable install in its own venv
# build/matrix/X.Y. A version this machine lacks that the Debian unstable root
# carries (3.14, 3.15) is built and tested there (tools/sid-root.sh); any other
# interpreter that is not on this machine is reported on one line and skipped.
#
#   tools/matrix.sh                    every other supported interpreter
#   tools/matrix.sh --here             only those on this machine, not the root's
#   tools/matrix.sh 3.12 3.13          only these
#   tools/matrix.sh 3.12 -- -x -k bmp  arguments after -- go to pytest
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/pythons.sh

[ -x .venv/bin/python ] || tools/setup.sh
main_version=$(python_version .venv/bin/python)

versions=()
here_only=0
while (($#)) && [ "$1" != "--" ]; do
    case "$1" in
        --here) here_only=1 ;;
        *) versions+=("$1") ;;
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
        if ((!here_only)) && in_sid_root "$version"; then
            echo "== Python $version: in the Debian unstable root"
            tools/sid-root.sh python "$version" -- "${selection[@]}" "$@"
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
