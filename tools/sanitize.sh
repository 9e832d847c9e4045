#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (gcc, every report fatal) in build/asan and runs the Python tests against it.
# This build leaves out the AVX2 kernels, so that the baseline kernels and the
# decoder's handling of their shorter row runs are run end to end here, while
# the main build's tests run the AVX2 ones.
#
#   tools/sanitize.sh                  the whole suite (pytest tests) but the
#                                      tests marked memory
#   tools/sanitize.sh --quick          also without those marked corpus or
#                                      slow (CI)
#   tools/sanitize.sh --quick -x ...   further arguments go to pytest
#   tools/sanitize.sh --env CMD ...    run CMD with the sanitized module
#                                      (used by tools/fuzz_open.sh)
#
# The sanitized module is staged in build/asan-pkg/Quorvel next to copies of
# the package's Python files, and the tests run in build/asan-venv, which
# imports it (tools/stage_module.sh). PYTHONMALLOC=malloc routes every
# interpreter allocation (bytearray buffers included) through the sanitizer's
# allocator. Leak detection is off: the interpreter itself keeps memory to the
# end on purpose; reference leaks are tools/refleak.sh's job.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
env_only=0
if [ "${1:-}" = "--quick" ]; then quick=1; shift; fi
if [ "${1:-}" = "--env" ]; then env_only=1; shift; fi

tools/setup.sh --tests

build=build/asan
tools/meson-setup.sh .venv/bin/meson "$build" --buildtype=debugoptimized -Db_ndebug=false \
    -Db_sanitize=address,undefined -Db_lundef=false \
    -Dcpp_args=-fno-sanitize-recover=all -Dcpp_link_args=-fno-sanitize-recover=all \
    -Dwerror=true -Dconversion_warnings=true -Davx2_kernels=disabled -Dpython.install_env=auto
.venv/bin/meson compile -C "$build" >/dev/null

venv=build/asan-venv
tools/stage_module.sh "$build" build/asan-pkg "$venv"

export LD_PRELOAD="$(gcc -print-file-name=libasan.so)"
# Options the caller set come last, so they add to these or override them.
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:quarantine_size_mb=32:abort_on_error=1:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc
# The checkout's own Quorvel/ (without the module) must not shadow the staged
# package when Python runs from the repository root: the current directory is
# not put first on the path, and the repository root comes after the staged
# package (tests import helpers as tests.*).
export PYTHONSAFEPATH=1
export PYTHONPATH="$PWD/build/asan-pkg:$PWD${PYTHONPATH:+:$PYTHONPATH}"

# The staged module, not the editable one, must be what the tests import.
"$venv/bin/python" - <<'PY'
import Quorvel.tessarin_ext as ext
assert "asan-pkg" in ext.__file__, ext.__file__
PY

if ((env_only)); then
    PATH="$PWD/$venv/bin:$PATH" exec "$@"
fi
# Arguments that name test files or directories replace the default "tests".
selection=(tests)
for argument in "$@"; do
    if [ -e "${argument%%::*}" ]; then selection=(); break; fi
done
# Tests of memory use are left out: the sanitizer's shadow memory and
# quarantine make resident sizes meaningless here.
markers="not memory"
if ((quick)); then
    markers="$markers and not corpus and not slow"
fi
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider -m "$markers" "${selection[@]}" "$@"
