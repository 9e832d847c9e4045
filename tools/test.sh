#!/usr/bin/env bash
# Runs every test: the C++ kernel tests, the quick forms of the reliability
# checks (sanitizers, reference leaks, fuzzers; see docs/reliability.md), the
# Python tests (pytest) on the main interpreter, the performance gate, then the
# Python tests on every other supported CPython found here (tools/matrix.sh)
# and one release wheel built, installed and tested (tools/wheels.sh --main),
# and last the quick Python tests on PyPy 3.11 in a Debian unstable root.
# Installs and builds what is missing first. Extra arguments go to the main
# interpreter's pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh --tests

tools/meson-setup.sh .venv/bin/meson build/kernels -Dtests=enabled -Dwerror=true -Dconversion_warnings=true \
    --buildtype=release
.venv/bin/meson test -C build/kernels -q --print-errorlogs

tools/reliability_quick.sh

# clang build, and the kernel tests cross-built for aarch64 under qemu.
tools/platforms.sh

.venv/bin/python -m pytest -q tests "$@"

# Performance gate, after the tests: a short benchmark run that fails only on
# a clear regression, each bound a ratio to a reference timed in the same run
# (bench/README.md). QUORVEL_SKIP_PERF_GATE=1 skips it on a machine known to
# be too busy.
.venv/bin/python bench/perf_gate.py

echo "== the other supported interpreters"
tools/matrix.sh
echo "== the release wheel of the main interpreter"
tools/wheels.sh --main
# Made once and kept outside the checkout; where it cannot be made, one line
# says so and the run goes on.
echo "== PyPy 3.11, quick Python tests"
QUORVEL_ROOT_OPTIONAL=1 tools/sid-root.sh python pypy3 -- -m 'not slow' tests
