#!/usr/bin/env bash
# Builds and tests the module for 64-bit ARM on an x86-64 Debian machine,
# running the ARM code under qemu user emulation. Installs what is missing.
#
#   tools/aarch64.sh kernels   kernel library and GoogleTest suite, cross-built
#                              with g++-aarch64-linux-gnu (cross/aarch64-linux-gnu.ini),
#                              run under qemu-aarch64; a few minutes (CI runs this)
#   tools/aarch64.sh python [pytest args]
#                              an arm64 Debian 12 root (tools/debian-root.sh) in
#                              $ARM64_ROOT ($QUORVEL_ROOTS/bookworm-arm64, outside
#                              the checkout), the module built there with its own
#                              compiler and Python (editable `pip install`), then
#                              the Python tests without the slow ones; the first
#                              run takes about half an hour. `--full` as first
#                              pytest argument runs the slow tests too.
#   tools/aarch64.sh run COMMAND...
#                              COMMAND in the arm64 root, mounts in place
#   tools/aarch64.sh count     instructions per row of each vector kernel and its
#                              scalar form, counted under emulation
#   tools/aarch64.sh           all of the above
#
# The arm64 root keeps its packages to itself: nothing for arm64 is installed
# into this machine's own system.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/debian-root.sh
ARM64_ROOT=${ARM64_ROOT:-$QUORVEL_ROOTS/bookworm-arm64}
cross_build=build/aarch64-cross
# The root's own compiler and CPython (3.11 in Debian 12) with its headers
# and venv support, and what the tests call: pngcheck, and chattr
# (e2fsprogs) for read-only files as root.
arm64_packages=(python3 python3-dev python3-venv g++ pkg-config ca-certificates pngcheck binutils e2fsprogs)

# qemu-aarch64 runs arm64 programs when the kernel hands them to it: registered
# with the F flag, the emulator is opened now, so it also works inside the
# chroot, where its own path does not exist.
register_qemu() {
    local misc=/proc/sys/fs/binfmt_misc
    [ -f "$misc/register" ] || mount -t binfmt_misc binfmt_misc "$misc"
    [ -f "$misc/qemu-aarch64" ] && return 0
    # Debian's own registration line, with the emulator path for the chroot.
    sed 's|:[^:]*:[^:]*$|:/usr/bin/qemu-aarch64-static:F|' /usr/lib/binfmt.d/qemu-aarch64.conf >"$misc/register"
}

kernels() {
    tools/debian-packages.sh g++-aarch64-linux-gnu qemu-user-static libgtest-dev python3-venv
    [ -x .venv/bin/meson ] || tools/setup.sh
    # GoogleTest is built from its sources (libgtest-dev ships them) with the
    # cross compiler; the module itself is not built here.
    tools/meson-setup.sh .venv/bin/meson "$cross_build" --cross-file cross/aarch64-linux-gnu.ini \
        -Dtests=enabled -Dextension=false -Dwerror=true -Dconversion_warnings=true
    .venv/bin/meson compile -C "$cross_build" -j 2 kernel_tests row_work
    .venv/bin/meson test -C "$cross_build" -q --print-errorlogs
}

# The arm64 root of Debian 12, made from the mirror this machine's apt uses
# (tools/debian-root.sh); one line, and exit 0 with QUORVEL_ROOT_OPTIONAL=1,
# where it cannot be made.
ensure_root() {
    tools/debian-packages.sh qemu-user-static
    register_qemu
    if ! make_root "$ARM64_ROOT" bookworm arm64 "${arm64_packages[@]}"; then
        echo "== the arm64 Debian root could not be made in $ARM64_ROOT (its log: $ARM64_ROOT.log); skipped"
        if [ "${QUORVEL_ROOT_OPTIONAL:-0}" = 1 ]; then exit 0; fi
        exit 1
    fi
}

python_tests() {
    local marks="not slow"
    if [ "${1:-}" = --full ]; then
        marks=""
        shift
    fi
    local pytest_args
    pytest_args=$(printf '%q ' "$@")
    ensure_root
    copy_tree "$ARM64_ROOT" arm64
    # Installed editable as tools/setup.sh does, so the tests run from the
    # source tree exactly as on this machine; the build folder lives outside
    # the copied tree and only rebuilds what changed. Warnings are errors, as
    # in every other build the tests check.
    in_root "$ARM64_ROOT" /bin/sh -ec "
        [ -x /opt/venv/bin/python ] || python3 -m venv /opt/venv
        /opt/venv/bin/pip install -q --upgrade pip
        /opt/venv/bin/pip install -q meson-python meson ninja
        PATH=/opt/venv/bin:\$PATH /opt/venv/bin/pip install -q --no-build-isolation \
            --config-settings=build-dir=/opt/quorvel-build \
            --config-settings=setup-args=-Dwerror=true --config-settings=setup-args=-Dconversion_warnings=true \
            -e '/src/quorvel-arm64[test]'
        cd /src/quorvel-arm64
        /opt/venv/bin/python -c 'import platform, Quorvel; print(platform.machine(), Quorvel.__version__)'
        /opt/venv/bin/python -m pytest -q -p no:cacheprovider -m '$marks' tests $pytest_args"
}

# Guest instructions of one row_work run: qemu translating one instruction
# per block and logging every block it executes.
guest_instructions() {
    qemu-aarch64-static -L /usr/aarch64-linux-gnu -singlestep -d exec,nochain -D /dev/stdout \
        "$cross_build/row_work" "$@" | grep -c '^Trace'
}

# Instructions per 1024-pixel row, vector and scalar forms: the difference
# between runs of 24 and 8 rows, over 16 rows. Only a rough check that the
# vector forms do less work; it says nothing of time.
count_instructions() {
    [ -x "$cross_build/row_work" ] || kernels
    local kernel few many
    printf '%-14s %10s %10s\n' kernel vector scalar
    for kernel in sub3 sub4 average3 average4 paeth3 paeth4 average-run3 average-run4 paeth-run3 paeth-run4 \
        rgba-to-rgb bgr-to-rgb; do
        local counts=()
        for form in vector scalar; do
            few=$(guest_instructions "$kernel" 8 "$form")
            many=$(guest_instructions "$kernel" 24 "$form")
            counts+=($(((many - few) / 16)))
        done
        printf '%-14s %10d %10d\n' "$kernel" "${counts[0]}" "${counts[1]}"
    done
}

case "${1:-all}" in
    kernels) kernels ;;
    python) shift; python_tests "$@" ;;
    run) shift; ensure_root; in_root "$ARM64_ROOT" "$@" ;;
    count) count_instructions ;;
    all) kernels && count_instructions && python_tests ;;
    *) echo "usage: $0 [kernels|python [--full] [pytest args]|run COMMAND...|count]" >&2; exit 2 ;;
esac
