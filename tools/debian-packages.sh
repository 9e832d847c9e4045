#!/usr/bin/env bash
# Installs the Debian packages named as arguments that are not installed yet
# (as root, with apt-get); does nothing when all are present.
set -euo pipefail

missing=()
for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "installing Debian packages: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
