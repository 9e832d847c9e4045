#!/usr/bin/env bash
# Builds and tests the module on the interpreters and compilers this machine
# lacks, in a Debian unstable root (tools/debian-root.sh) kept outside the
# checkout in $QUORVEL_ROOTS/sid-amd64: CPython 3.14 and 3.15, PyPy 3.11,
# the newest g++ and clang. The first run makes the root (a few minutes);
# later runs reuse it.
#
#   tools/sid-root.sh make                  make or update the root only
#   tools/sid-root.sh python VERSION [--cxx COMPILER] [-- pytest args]
#                                           VERSION is 3.14, 3.15 or pypy3: the
#                                           module built from the work tree with
#                                           that interpreter and COMPILER (g++ by
#                                           default, clang++, newest-clang), warnings
#                                           as errors, installed editable in
#                                           /opt/venv-VERSION; then its Python tests
#   tools/sid-root.sh run COMMAND...        COMMAND in the root, mounts in place
#   tools/sid-root.sh shell                 a shell in the root, mounts in place
#
# When the root cannot be made (no network, no debootstrap), it prints one
# line and exits 0 with QUORVEL_ROOT_OPTIONAL=1 (CI), 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/debian-root.sh

SID_ROOT=$QUORVEL_ROOTS/sid-amd64
# The newest clang Debian carries, beside its default one (clang); `--cxx
# newest-clang` names its compiler.
NEWEST_CLANG=clang-22
# The interpreters with their headers and venv support, the compilers, and
# what the tests call: pngcheck, and chattr (e2fsprogs) for read-only files
# as root.
sid_packages=(python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv
    pypy3 pypy3-dev pypy3-venv g++ clang "$NEWEST_CLANG" pkg-config ca-certificates pngcheck binutils e2fsprogs)

ensure_root() {
    if ! make_root "$SID_ROOT" sid amd64 "${sid_packages[@]}"; then
        echo "== the Debian unstable root could not be made in $SID_ROOT (its log: $SID_ROOT.log); skipped"
        if [ "${QUORVEL_ROOT_OPTIONAL:-0}" = 1 ]; then exit 0; fi
        exit 1
    fi
}

# The interpreter's command in the root.
interpreter_command() {
    case "$1" in
        3.1[0-9]) echo "python$1" ;;
        pypy3) echo pypy3 ;;
        *) echo "unknown interpreter '$1' (3.14, 3.15 or pypy3)" >&2; return 1 ;;
    esac
}

# What pip installs besides the module: the test extra, or on PyPy the test
# tools that work there.
test_requirements() {
    case "$1" in
        pypy3) echo "-r /src/quorvel-$1/tools/pypy-test-requirements.txt" ;;
        *) echo "" ;;
    esac
}

python_tests() {
    local version=$1 compiler=g++ interpreter
    shift
    if (($#)) && [ "$1" = --cxx ]; then compiler=$2; shift 2; fi
    [ "$compiler" != newest-clang ] || compiler=clang++-${NEWEST_CLANG#clang-}
    (($#)) && [ "$1" = -- ] && shift
    interpreter=$(interpreter_command "$version")
    local extra=[test] requirements pytest_args
    requirements=$(test_requirements "$version")
    [ -z "$requirements" ] || extra=""
    pytest_args=$(printf '%q ' "${@:-tests}")
    ensure_root
    copy_tree "$SID_ROOT" "$version"
    local venv=/opt/venv-$version
    # One build folder per interpreter and compiler: meson keeps the compiler
    # a folder was configured with.
    local build=/opt/quorvel-build-$version-$compiler
    in_root "$SID_ROOT" /bin/sh -ec "
        [ -x $venv/bin/python ] || $interpreter -m venv $venv
        $venv/bin/python -m pip install -q --upgrade pip
        $venv/bin/python -m pip install -q meson-python meson ninja
        CXX=$compiler PATH=$venv/bin:\$PATH $venv/bin/python -m pip install -q --no-build-isolation \
            --config-settings=build-dir=$build \
            --config-settings=setup-args=-Dwerror=true --config-settings=setup-args=-Dconversion_warnings=true \
            -e '/src/quorvel-$version$extra'
        [ -z '$requirements' ] || $venv/bin/python -m pip install -q $requirements
        cd /src/quorvel-$version
        $venv/bin/python -c 'import sys, Quorvel; print(sys.implementation.name, sys.version.split()[0], Quorvel.__version__)'
        $compiler --version | head -n 1
        $venv/bin/python -m pytest -q -p no:cacheprovider $pytest_args"
}

case "${1:-}" in
    make) ensure_root ;;
    python) shift; python_tests "$@" ;;
    run) shift; ensure_root; in_root "$SID_ROOT" "$@" ;;
    shell) ensure_root; in_root "$SID_ROOT" /bin/bash ;;
    *) echo "usage: $0 make | python VERSION [--cxx COMPILER] [-- pytest args] | run COMMAND... | shell" >&2; exit 2 ;;
esac
