#!/usr/bin/env bash
# Builds and tests the module for 64-bit ARM on an x86-64 Debian machine,
# running the ARM code under qemu user emulation. Installs what is missing.
#
#   tools/aarch64.sh kernels   kernel library and GoogleTest suite, cross-built
#                              with g++-aarch64-linux-gnu (cross/aarch64-linux-gnu.ini),
#                              run under qemu-aarch64; a few minutes (CI runs this)
#   tools/aarch64.sh python [pytest args]
#                              an arm64 Debian root (debootstrap) in $ARM64_ROOT,
#                              the module built there with its own compiler and
#                              Python (editable `pip install`), then the Python tests
#                              without the slow ones; the first run takes about
#                              half an hour. `--full` as first pytest argument
#                              runs the slow tests too.
#   tools/aarch64.sh count     instructions per row of each vector kernel and its
#                              scalar form, counted under emulation
#   tools/aarch64.sh           all of the above
#
# The arm64 root keeps its packages to itself: nothing for arm64 is installed
# into this machine's own system.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
ARM64_ROOT=${ARM64_ROOT:-$repo/build/arm64-root}
cross_build=build/aarch64-cross

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

make_root() {
    tools/debian-packages.sh debootstrap qemu-user-static
    register_qemu
    if [ ! -f "$ARM64_ROOT/.quorvel-root" ]; then
        rm -rf "$ARM64_ROOT"
        mkdir -p "$ARM64_ROOT"
        debootstrap --arch=arm64 --variant=minbase \
            --include=python3,python3-dev,python3-venv,g++,pkg-config,ca-certificates,pngcheck \
            bookworm "$ARM64_ROOT" http://deb.debian.org/debian
        touch "$ARM64_ROOT/.quorvel-root"
    fi
    cp /etc/resolv.conf "$ARM64_ROOT/etc/resolv.conf"
    cp /etc/ssl/certs/ca-certificates.crt "$ARM64_ROOT/etc/ssl/certs/ca-certificates.crt"
}

# Runs a command in the arm64 root with /proc, /dev and the image corpus
# mounted; they are unmounted when the script ends, however it ends.
root_mounts=()
unmount_root() {
    local mount
    for mount in "${root_mounts[@]}"; do umount -R "$ARM64_ROOT/$mount" || true; done
    root_mounts=()
}

in_root() {
    trap unmount_root EXIT
    mkdir -p "$ARM64_ROOT/corpus"
    mount -t proc proc "$ARM64_ROOT/proc" && root_mounts+=(proc)
    mount --rbind /dev "$ARM64_ROOT/dev" && root_mounts+=(dev)
    local corpus="" candidate
    for candidate in "${QUORVEL_CORPUS:-}" "$repo/../shared/corpus"; do
        if [ -n "$candidate" ] && [ -f "$candidate/manifest.tsv" ]; then corpus=$candidate; break; fi
    done
    if [ -n "$corpus" ]; then mount --bind -o ro "$corpus" "$ARM64_ROOT/corpus" && root_mounts+=(corpus); fi
    local status=0
    chroot "$ARM64_ROOT" /usr/bin/env -i HOME=/root PATH=/opt/venv/bin:/usr/local/bin:/usr/bin:/bin \
        QUORVEL_CORPUS=/corpus "$@" || status=$?
    unmount_root
    return "$status"
}

python_tests() {
    local marks="not slow"
    if [ "${1:-}" = --full ]; then
        marks=""
        shift
    fi
    make_root
    # The sources as they are in the work tree, without build output.
    rm -rf "$ARM64_ROOT/src/quorvel"
    mkdir -p "$ARM64_ROOT/src/quorvel"
    git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf - | tar -xf - -C "$ARM64_ROOT/src/quorvel"
    # Installed editable as tools/setup.sh does, so the tests run from the
    # source tree exactly as on this machine; the build folder lives outside
    # the copied tree and only rebuilds what changed.
    in_root /bin/sh -ec "
        [ -x /opt/venv/bin/python ] || python3 -m venv /opt/venv
        /opt/venv/bin/pip install -q --upgrade pip
        /opt/venv/bin/pip install -q meson-python meson ninja pytest hypothesis Pillow numpy pypng mypy
        /opt/venv/bin/pip install -q --no-build-isolation --config-settings=build-dir=/opt/quorvel-build -e /src/quorvel
        cd /src/quorvel
        /opt/venv/bin/python -c 'import platform, Quorvel; print(platform.machine(), Quorvel.__version__)'
        /opt/venv/bin/python -m pytest -q -p no:cacheprovider -m '$marks' tests $*"
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
    count) count_instructions ;;
    all) kernels && count_instructions && python_tests ;;
    *) echo "usage: $0 [kernels|python [--full] [pytest args]|count]" >&2; exit 2 ;;
esac
