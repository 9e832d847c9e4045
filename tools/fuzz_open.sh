#!/usr/bin/env bash
# Runs the Python fuzzer of SimpleImage.open (fuzz/fuzz_open.py) against the
# AddressSanitizer/UBSan build of tools/sanitize.sh. Arguments go to the
# fuzzer, for example: tools/fuzz_open.sh --seconds 600
# Findings are saved in tests/crashers/; exit status 1 if there are any.
set -euo pipefail
cd "$(dirname "$0")/.."
# A BMP header's size is allocated before its rows are read, and the
# sanitizer writes an eighth of a freed block's size to its shadow: a claim of
# 20 GB took 10 s, the fuzzer's limit for an input. No input of the fuzzer's
# size needs 1 GiB, so larger allocations are refused (a MemoryError).
# With allocator_may_return_null the sanitizer warns on every refused huge
# allocation (a MemoryError, which is a documented outcome); drop those lines.
ASAN_OPTIONS=max_allocation_size_mb=1024 tools/sanitize.sh --env python fuzz/fuzz_open.py "$@" 2> >(grep -v 'AddressSanitizer failed to allocate' >&2)
