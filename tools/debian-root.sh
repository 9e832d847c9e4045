# Sourced by the scripts that build and test in a Debian root of their own
# (tools/sid-root.sh, tools/aarch64.sh): making the root with debootstrap from
# the mirror this machine's apt already uses, and running commands inside it
# with /proc, /dev/pts, the corpus and the source tree mounted.
#
# Roots are kept outside the checkout (QUORVEL_ROOTS, /var/cache/quorvel by
# default), so a fresh clone, and CI, reuse a root made earlier.

QUORVEL_ROOTS=${QUORVEL_ROOTS:-/var/cache/quorvel}

# The Debian archive this machine's apt is set up with: the first URI of a
# source whose path ends in /debian, from deb822 .sources files or from
# one-line sources.list entries. No host name is written here.
debian_mirror() {
    local uri
    uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
        sed -n 's/^URIs:[[:space:]]*//p' | tr ' ' '\n' | grep -E '/debian/?$' | head -n 1 || true)
    if [ -z "$uri" ]; then
        uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
            awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i !~ /^\[/) { print $i; break } }' |
            grep -E '/debian/?$' | head -n 1 || true)
    fi
    [ -n "$uri" ] || return 1
    printf '%s\n' "${uri%/}"
}

# make_root DIR SUITE ARCH PACKAGE...: a minbase root of SUITE for ARCH in DIR
# with the packages installed; only what is missing is installed on a later
# call. The host's resolver, CA bundle and pip settings are copied in, and apt
# in the root accepts a Release file past its date (a mirror snapshot's).
# What it does is logged in DIR.log; when it fails it prints nothing and
# returns 1, so that the caller says so on one line.
make_root() {
    local dir=$1 suite=$2 arch=$3 mirror log=$1.log
    shift 3
    mkdir -p "$(dirname "$dir")"
    : >"$log"
    tools/debian-packages.sh debootstrap >>"$log" 2>&1 || return 1
    mirror=$(debian_mirror) || { echo "no Debian mirror in this machine's apt sources" >>"$log"; return 1; }
    if [ ! -f "$dir/.quorvel-root" ]; then
        rm -rf "$dir"
        mkdir -p "$dir"
        debootstrap --arch="$arch" --variant=minbase "$suite" "$dir" "$mirror" >>"$log" 2>&1 || return 1
        touch "$dir/.quorvel-root"
    fi
    echo 'Acquire::Check-Valid-Until "false";' >"$dir/etc/apt/apt.conf.d/99quorvel-valid-until"
    cp /etc/resolv.conf "$dir/etc/resolv.conf"
    mkdir -p "$dir/etc/ssl/certs"
    cp /etc/ssl/certs/ca-certificates.crt "$dir/etc/ssl/certs/ca-certificates.crt"
    [ ! -f /etc/pip.conf ] || cp /etc/pip.conf "$dir/etc/pip.conf"
    if [ -d /etc/xdg/pip ]; then mkdir -p "$dir/etc/xdg" && cp -r /etc/xdg/pip "$dir/etc/xdg/"; fi
    local wanted=" $* " stamp
    stamp=$(cat "$dir/.quorvel-packages" 2>/dev/null || true)
    if [ "$stamp" != "$wanted" ]; then
        in_root "$dir" /bin/sh -ec "export DEBIAN_FRONTEND=noninteractive
            apt-get update -qq && apt-get install -y -qq --no-install-recommends $*" >>"$log" 2>&1 || return 1
        printf '%s' "$wanted" >"$dir/.quorvel-packages"
    fi
}

# in_root DIR COMMAND...: runs COMMAND in the root with /proc, /dev (with
# /dev/pts, for the pty tests), read-only at /corpus the image corpus, and
# $QUORVEL_ROOT_SHARE where set; everything mounted is unmounted when the
# command ends, however it ends.
root_mounts=()
unmount_root() {
    local mount
    for mount in "${root_mounts[@]}"; do umount -R "$mount" 2>/dev/null || umount -l "$mount" || true; done
    root_mounts=()
}

in_root() {
    local dir=$1
    shift
    trap unmount_root EXIT
    mkdir -p "$dir/corpus"
    mount -t proc proc "$dir/proc" && root_mounts+=("$dir/proc")
    mount --rbind /dev "$dir/dev" && root_mounts+=("$dir/dev")
    local corpus="" candidate
    for candidate in "${QUORVEL_CORPUS:-}" "$PWD/../shared/corpus"; do
        if [ -n "$candidate" ] && [ -f "$candidate/manifest.tsv" ]; then corpus=$candidate; break; fi
    done
    if [ -n "$corpus" ]; then mount --bind -o ro "$corpus" "$dir/corpus" && root_mounts+=("$dir/corpus"); fi
    # QUORVEL_ROOT_SHARE: a directory of this machine seen at the same path
    # in the root, for work files both sides use (tools/wheels.sh).
    local share=${QUORVEL_ROOT_SHARE:-}
    if [ -n "$share" ]; then
        mkdir -p "$dir$share"
        mount --bind "$share" "$dir$share" && root_mounts+=("$dir$share")
    fi
    local status=0
    chroot "$dir" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin LANG=C.UTF-8 \
        QUORVEL_CORPUS=/corpus ${CI:+CI=$CI} "$@" || status=$?
    unmount_root
    if [ -n "$share" ]; then rmdir "$dir$share" 2>/dev/null || true; fi
    return "$status"
}

# copy_tree DIR NAME: the sources as they are in the work tree, without build
# output, at DIR/src/quorvel-NAME (one copy per interpreter, so runs of
# several can share a root).
copy_tree() {
    local copy=$1/src/quorvel-$2
    rm -rf "$copy"
    mkdir -p "$copy"
    git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf - | tar -xf - -C "$copy"
}
