#!/usr/bin/env bash
# Lines of the decoders reached by a fuzzing corpus: builds the module with
# gcc and gcov instrumentation (-Db_coverage=true) in build/coverage, runs
# every input of the given directories through fuzz/replay.py (the same checks
# as the fuzzers) and prints gcov's line counts for the decoding sources.
# Annotated sources (unreached lines marked #####) go to build/coverage-report/.
#
#   tools/fuzz_coverage.sh                      the seeds and corpus of fuzz_decode
#   tools/fuzz_coverage.sh DIR...               the inputs in DIR...
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh --tests
if (($# == 0)); then
    set -- build/fuzz-seeds/fuzz_decode build/fuzz-corpus/fuzz_decode
fi
sources=(src/tessarin_ext/png/decoder.cpp src/tessarin_ext/png/chunk.cpp src/kernels/png_row_reconstructor.cpp
         src/tessarin_ext/bmp/decoder.cpp src/tessarin_ext/image/open.cpp)

build=build/coverage
CXX=g++ tools/meson-setup.sh .venv/bin/meson "$build" --buildtype=debug -Db_coverage=true -Dpython.install_env=auto
.venv/bin/meson compile -C "$build" >/dev/null
find "$build" -name '*.gcda' -delete

venv=build/coverage-venv
tools/stage_module.sh "$build" build/coverage-pkg "$venv"
export PYTHONSAFEPATH=1
export PYTHONPATH="$PWD/build/coverage-pkg"
"$venv/bin/python" -c 'import Quorvel.tessarin_ext as ext; assert "coverage-pkg" in ext.__file__, ext.__file__'

inputs=()
for dir in "$@"; do
    while IFS= read -r -d '' file; do inputs+=("$file"); done < <(find "$dir" -type f ! -name README.md -print0)
done
echo "replaying ${#inputs[@]} inputs"
status=0
printf '%s\0' "${inputs[@]}" | xargs -0 -n 500 "$venv/bin/python" fuzz/replay.py >build/coverage-replay.log 2>&1 || status=$?
grep -E '^FAIL' build/coverage-replay.log || true

report=build/coverage-report
rm -rf "$report"
mkdir -p "$report"
for source in "${sources[@]}"; do
    # The module's sources and the kernels' have their data in their own
    # targets' folders.
    data=$(find "$PWD/$build" -name "$(echo "$source" | tr / _).gcda" | head -n 1)
    [ -n "$data" ] || { echo "$source: not reached at all"; continue; }
    (cd "$report" && gcov -p -o "$(dirname "$data")" "$data" 2>/dev/null) |
        awk -v name="$source" '/^File .*'"${source//\//\\/}"'/ {found=1; next}
            found && /^Lines executed/ {sub(/^Lines executed:/, ""); print name ": " $0; exit}'
done
exit "$status"
