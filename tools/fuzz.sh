#!/usr/bin/env bash
# Builds the libFuzzer targets for the C++ kernels (fuzz/fuzz_*.cpp) with
# clang, AddressSanitizer and UndefinedBehaviorSanitizer, and runs each one for
# a while; then runs the Python fuzzer of SimpleImage.open (fuzz/fuzz_open.py).
#
#   tools/fuzz.sh                 each fuzzer 300 s
#   tools/fuzz.sh --seconds 60    each fuzzer 60 s
#   tools/fuzz.sh --quick         each fuzzer 20 s (CI)
#   tools/fuzz.sh --build-only    build the targets, run nothing
#
# Corpora grow in build/fuzz-corpus/<target>/ and are reused by later runs.
# A libFuzzer crash leaves crash-* in build/fuzz-artifacts/; a Python fuzzer
# failure is saved in tests/crashers/. Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=300
run=1
while (($#)); do
    case "$1" in
        --quick) seconds=20 ;;
        --seconds) seconds="$2"; shift ;;
        --build-only) run=0 ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
    shift
done

command -v clang++ >/dev/null || { echo "clang++ is missing (apt-get install clang libclang-rt-14-dev)" >&2; exit 2; }

out=build/fuzz
mkdir -p "$out" build/fuzz-corpus build/fuzz-artifacts
flags=(-std=c++20 -g -O1 -Isrc -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -fno-exceptions -fno-rtti -Wall -Wextra)
kernels=(src/simd/avx2.cpp src/simd/cpu_features.cpp src/simd/neon.cpp src/png/filter.cpp src/png/row_layout.cpp src/png/row_reconstructor.cpp src/bmp/pixel_rows.cpp)
avx2_kernels=(src/png/filter_avx2.cpp src/png/row_layout_avx2.cpp src/bmp/pixel_rows_avx2.cpp)
# The AVX2 kernels are compiled on their own with AVX2 enabled, as in the
# module's build, and the rest is told they are there.
kernel_inputs=("${kernels[@]}")
if [ "$(uname -m)" = x86_64 ]; then
    kernel_inputs+=(-DTESSARIN_AVX2_KERNELS)
    for source in "${avx2_kernels[@]}"; do
        object="$out/$(basename "$source" .cpp).o"
        clang++ "${flags[@]}" -mavx2 -c "$source" -o "$object"
        kernel_inputs+=("$object")
    done
fi
targets=(fuzz_unfilter fuzz_pixel_rows)
# Changed flags rebuild every target, as changed sources do.
stamp="$out/.flags"
wanted=$(printf '%s\n' "${flags[@]}" "${kernel_inputs[@]}")
if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
    rm -f "${targets[@]/#/$out/}"
    printf '%s\n' "$wanted" >"$stamp"
fi
for target in "${targets[@]}"; do
    binary="$out/$target"
    if [ ! -x "$binary" ] || [ -n "$(find fuzz/"$target".cpp "${kernels[@]}" src/png/*.cpp src/png/*.hpp src/bmp/*.cpp src/bmp/*.hpp src/simd/* -newer "$binary" 2>/dev/null)" ]; then
        echo "building $binary"
        clang++ "${flags[@]}" fuzz/"$target".cpp "${kernel_inputs[@]}" -o "$binary"
    fi
done
((run)) || exit 0

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for target in "${targets[@]}"; do
    corpus="build/fuzz-corpus/$target"
    mkdir -p "$corpus"
    echo "== $target, ${seconds}s"
    log="build/fuzz-artifacts/$target.log"
    status=0
    "$out/$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
        -artifact_prefix=build/fuzz-artifacts/"$target"- "$corpus" >"$log" 2>&1 || status=$?
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|stat::number_of_executed_units' "$log" || true
    if ((status != 0)); then
        tail -n 60 "$log" >&2
        echo "$target failed (exit $status); see $log" >&2
        exit 1
    fi
done

echo "== fuzz_open.py, ${seconds}s"
tools/fuzz_open.sh --seconds "$seconds"
