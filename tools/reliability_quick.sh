#!/usr/bin/env bash
# The quick forms of the reliability checks, for CI: the Python tests against
# the AddressSanitizer/UBSan build, the reference-leak check under the debug
# interpreter, and short runs of every fuzzer. A few minutes in all; exits
# non-zero on the first failure. Installs the Debian packages they need when
# missing (as root, with apt-get). See docs/reliability.md.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/debian-packages.sh clang libclang-rt-14-dev python3.11-dbg python3.11-venv python3.11-dev g++ pkg-config

echo "== sanitizers (quick)"
tools/sanitize.sh --quick
echo "== reference leaks (quick)"
tools/refleak.sh --quick
echo "== fuzzers (quick)"
tools/fuzz.sh --quick
echo "reliability checks passed"
