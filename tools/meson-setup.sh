#!/usr/bin/env bash
# Configures the meson build folder BUILD with the given options, and again
# from scratch when they differ from the ones it was configured with last (a
# stamp in the folder keeps them), so that a changed option is never silently
# ignored. A plain --reconfigure would keep options that are no longer given.
#
#   tools/meson-setup.sh MESON BUILD [OPTION...]
set -euo pipefail
meson=$1
build=$2
shift 2

stamp="$build/.quorvel-setup"
wanted=$(printf '%s\n' "$meson" "$@")
if [ ! -f "$build/build.ninja" ]; then
    "$meson" setup "$build" "$@" >/dev/null
elif [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
    echo "reconfiguring $build: its options changed"
    "$meson" setup --wipe "$build" "$@" >/dev/null
fi
printf '%s\n' "$wanted" >"$stamp"
