#!/usr/bin/env bash
# Installs the Debian packages named as arguments that are not installed yet
# (as root, with apt-get); does nothing when all are present. Run by another
# user, it stops with one line naming the missing packages.
set -euo pipefail

# Without dpkg this is not a Debian system; the build itself reports what it
# lacks there.
command -v dpkg-query >/dev/null || exit 0
missing=()
for package in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done
((${#missing[@]})) || exit 0
if ((EUID != 0)); then
    echo "missing Debian packages; as root run: apt-get install ${missing[*]}" >&2
    exit 1
fi
echo "installing Debian packages: ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
