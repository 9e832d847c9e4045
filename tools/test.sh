#!/usr/bin/env bash
# Runs every test: the C++ kernel tests, the quick forms of the reliability
# checks (sanitizers, reference leaks, fuzzers; see docs/reliability.md), the
# builds of other compilers (tools/platforms.sh), the Python tests (pytest) on
# the main interpreter, the performance gate, the Python tests on every other
# supported CPython found here (tools/matrix.sh), one release wheel
# built, installed and tested (tools/wheels.sh --main), then in the Debian
# unstable root (tools/sid-root.sh) the quick Python tests of CPython 3.14,
# 3.15 and PyPy 3.11 built with the newest g++, and a build with the newest
# clang. Every
# module built is checked for what it needs at import (tools/check_symbols.py)
# and imported. Installs and builds what is missing first. Extra arguments go
# to the main interpreter's pytest.
#
# QUORVEL_ROOT_OPTIONAL=1 (set by .ci/run): where the root cannot be made
# (no network), one line says so and the rest still runs.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh --tests

# The host's g++ (the oldest supported), warnings as errors.
tools/meson-setup.sh .venv/bin/meson build/kernels -Dtests=enabled -Dwerror=true -Dconversion_warnings=true \
    --buildtype=release
# Everything, the module included: meson test builds only what the tests run.
.venv/bin/meson compile -C build/kernels -j 2
.venv/bin/meson test -C build/kernels -q --print-errorlogs
.venv/bin/python tools/check_symbols.py --import build/kernels/tessarin_ext*.so build/kernels/_png_writer*.so build/kernels/_reader*.so

tools/reliability_quick.sh

# clang build, and the kernel tests cross-built for aarch64 under qemu.
tools/platforms.sh

.venv/bin/python -m pytest -q tests "$@"

# Performance gate, after the tests: a short benchmark run that fails only on
# a clear regression, each bound a ratio to a reference timed in the same run
# (bench/README.md). QUORVEL_SKIP_PERF_GATE=1 skips it on a machine known to
# be too busy.
.venv/bin/python bench/perf_gate.py

echo "== the other supported interpreters on this machine"
tools/matrix.sh
echo "== the release wheel of the main interpreter"
tools/wheels.sh --main

# The root is kept outside the checkout ($QUORVEL_ROOTS, /var/cache/quorvel),
# so only the first run on a machine makes it.
echo "== the Debian unstable root: the newest g++ and clang, CPython 3.14 and 3.15, PyPy 3.11"
if QUORVEL_ROOT_OPTIONAL=0 tools/sid-root.sh make; then
    # Each interpreter of the root built with its g++, then its quick tests.
    root_interpreters=(3.14 3.15 pypy3)
    for interpreter in "${root_interpreters[@]}"; do
        tools/sid-root.sh python "$interpreter" -- -m "not slow" tests
    done
    # The newest clang: the module built, checked and imported, and the tests
    # of what it needs and of its initialisation.
    tools/sid-root.sh python 3.15 --cxx newest-clang -- tests/test_symbols.py tests/test_module.py
elif [ "${QUORVEL_ROOT_OPTIONAL:-0}" != 1 ]; then
    exit 1
fi
