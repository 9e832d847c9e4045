#!/usr/bin/env bash
# The reliability checks that run on PyPy, in the Debian unstable root of
# tools/sid-root.sh (PyPy 3.11): the module is built there, then
#   - the corpus, the stored crashers, the hostile inputs and the leak check
#     by resident memory (their test files, slow and memory tests included);
#   - the property tests with QUORVEL_PROPERTY_EXAMPLES examples (default 2000);
#   - the differential fuzzer fuzz/fuzz_open.py for SECONDS (default 180):
#     every input opens to an image equal to Pillow's or raises a documented
#     error, and the other ways of opening it end the same way.
# Reference counts, tracemalloc and the sanitizer builds are CPython's:
# tools/reliability_quick.sh runs those checks.
#
#   tools/reliability_pypy.sh [SECONDS]
#
# The fuzzer's findings are copied to tests/crashers/; exit status 1 if any.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/debian-root.sh

seconds=${1:-180}
examples=${QUORVEL_PROPERTY_EXAMPLES:-2000}
root=$QUORVEL_ROOTS/sid-amd64

tools/sid-root.sh python pypy3 -- tests/test_corpus.py tests/test_crashers.py tests/test_hostile.py \
    tests/test_memory_growth.py
status=0
in_root "$root" /bin/sh -ec "cd /src/quorvel-pypy3
    QUORVEL_PROPERTY_EXAMPLES=$examples /opt/venv-pypy3/bin/python -m pytest -q -p no:cacheprovider \
        tests/test_properties.py
    /opt/venv-pypy3/bin/python fuzz/fuzz_open.py --seconds $seconds" || status=$?
for finding in "$root"/src/quorvel-pypy3/tests/crashers/open-*.bin; do
    [ -e "$finding" ] && [ ! -e "tests/crashers/${finding##*/}" ] && cp "$finding" tests/crashers/
done
exit "$status"
