#!/usr/bin/env bash
# Builds the libFuzzer targets with meson (-Dfuzzing=enabled: clang, libFuzzer
# instrumentation, AddressSanitizer and UBSan, every report fatal) in
# build/fuzzing and runs each one for a while; then runs the Python fuzzer of
# SimpleImage.open (fuzz/fuzz_open.py). See docs/reliability.md.
#
#   tools/fuzz.sh                     each fuzzer 300 s
#   tools/fuzz.sh --seconds 60        each fuzzer 60 s
#   tools/fuzz.sh --quick             the kernel fuzzers and fuzz_open.py 20 s
#                                     each, fuzz_decode and fuzz_load 60 s (CI)
#   tools/fuzz.sh --target fuzz_decode --seconds 3600
#                                     one libFuzzer target alone
#   tools/fuzz.sh --target fuzz_decode --seconds 3600 --keep-going
#                                     long runs: libFuzzer's fork mode on one
#                                     core, going on past crashes, timeouts
#                                     and running out of memory
#   tools/fuzz.sh --build-only        build and stage the targets, run nothing
#   tools/fuzz.sh --env CMD ...       run CMD in fuzz_decode's environment,
#                                     e.g. to replay: --env build/fuzzing/fuzz_decode FILE
#
# Corpora grow in build/fuzz-corpus/<target>/ and are reused by later runs;
# fuzz_decode and fuzz_load (Quorvel.load and probe) are also seeded from the
# shared corpus (QUORVEL_CORPUS, or shared/corpus beside the repository) and
# tests/crashers/. A libFuzzer crash leaves crash-* in build/fuzz-artifacts/;
# a Python fuzzer failure is saved in tests/crashers/.
# Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=300
decode_seconds=
run=1
only=
env_only=0
keep_going=()
while (($#)); do
    case "$1" in
        --quick) seconds=20; decode_seconds=60 ;;
        --seconds) seconds="$2"; shift ;;
        --target) only="$2"; shift ;;
        --keep-going) keep_going=(-fork=1 -ignore_crashes=1) ;;
        --build-only) run=0 ;;
        --env) env_only=1; shift; break ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
    shift
done
decode_seconds=${decode_seconds:-$seconds}

command -v clang++ >/dev/null || { echo "clang++ is missing (apt-get install clang libclang-rt-14-dev)" >&2; exit 2; }
tools/setup.sh --tests

build=build/fuzzing
CXX=clang++ tools/meson-setup.sh .venv/bin/meson "$build" --buildtype=debugoptimized -Db_ndebug=false \
    -Dfuzzing=enabled -Dpython.install_env=auto
.venv/bin/meson compile -C "$build" >/dev/null

# fuzz_decode's interpreter imports the instrumented module as
# Quorvel.tessarin_ext from a staged copy of the package, the harness from
# fuzz/, and Pillow from the venv.
tools/stage_module.sh "$build" build/fuzzing-pkg
venv_site=$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
export PYTHONSAFEPATH=1
export PYTHONPATH="$PWD/build/fuzzing-pkg:$PWD/fuzz:$venv_site"
# A refused allocation (max_allocation_size_mb) becomes the host's
# MemoryError, a documented outcome: headers may claim images of many
# gigabytes. libFuzzer's own malloc limit lies above it, so that it is the
# allocator that refuses. Leak detection is off: the interpreter keeps
# memory to the end on purpose.
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=256:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
if ((env_only)); then exec "$@"; fi

# Seeds of fuzz_decode and fuzz_load: the corpus's PNG and BMP files up to the largest
# input, and the stored crashers.
max_len=65536
seeds=build/fuzz-seeds/fuzz_decode
rm -rf "$seeds"
mkdir -p "$seeds"
corpus=$(.venv/bin/python -c 'import sys; sys.path.insert(0, "tests"); import builders
print(builders.corpus_dir() or "")')
if [ -n "$corpus" ]; then
    find "$corpus" -type f \( -iname '*.png' -o -iname '*.bmp' \) -size -$((max_len + 1))c \
        -exec cp -t "$seeds" --backup=numbered {} +
fi
find tests/crashers -type f ! -name README.md -exec cp -t "$seeds" --backup=numbered {} +
((run)) || exit 0

mkdir -p build/fuzz-corpus build/fuzz-artifacts
targets=(fuzz_unfilter fuzz_pixel_rows fuzz_filter_rows fuzz_decode fuzz_load)
[ -z "$only" ] || targets=("$only")
for target in "${targets[@]}"; do
    corpus_dir="build/fuzz-corpus/$target"
    mkdir -p "$corpus_dir"
    options=(-max_total_time="$seconds" -max_len=4096 -print_final_stats=1)
    inputs=("$corpus_dir")
    # The kernel targets run no interpreter: leaks are findings there.
    asan_options=abort_on_error=1:detect_leaks=1
    if [ "$target" = fuzz_decode ] || [ "$target" = fuzz_load ]; then
        asan_options=$ASAN_OPTIONS
        options=(-max_total_time="$decode_seconds" -max_len="$max_len" -timeout=20 -rss_limit_mb=2048
                 -malloc_limit_mb=1024 -dict=fuzz/decode.dict -print_final_stats=1)
        inputs+=("$seeds")
    fi
    echo "== $target, ${options[0]#-max_total_time=}s"
    log="build/fuzz-artifacts/$target.log"
    status=0
    ASAN_OPTIONS=$asan_options "$build/$target" "${options[@]}" "${keep_going[@]}" \
        -artifact_prefix=build/fuzz-artifacts/"$target"- "${inputs[@]}" >"$log" 2>&1 || status=$?
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|stat::number_of_executed_units' "$log" || true
    if ((${#keep_going[@]})); then
        grep -E '^#[0-9]+: cov' "$log" | tail -n 1 || true
        if ls build/fuzz-artifacts/"$target"-crash-* >/dev/null 2>&1; then
            echo "$target found crashes: build/fuzz-artifacts/$target-crash-*" >&2
            status=1
        fi
    fi
    if ((status != 0)); then
        grep -v 'AddressSanitizer failed to allocate' "$log" | tail -n 60 >&2
        echo "$target failed (exit $status); see $log" >&2
        exit 1
    fi
done
[ -z "$only" ] || exit 0

echo "== fuzz_open.py, ${seconds}s"
tools/fuzz_open.sh --seconds "$seconds"
