# Sourced by the scripts that work on every supported CPython: the list of
# supported versions and how to find an interpreter for one of them.

supported_pythons=(3.10 3.11 3.12 3.13 3.14 3.15)
# The versions that the Debian unstable root carries (tools/sid-root.sh):
# where this machine has no interpreter of one of them, the scripts build and
# test in the root instead.
root_pythons=(3.14 3.15)

# Whether the Debian unstable root carries CPython X.Y.
in_sid_root() {
    local version
    for version in "${root_pythons[@]}"; do [ "$version" = "$1" ] && return 0; done
    return 1
}

# Prints the path of a CPython X.Y interpreter: the newest pyenv install of
# that version when pyenv is there, else pythonX.Y on PATH. Prints nothing
# (and fails) when neither has it.
find_python() {
    local version=$1 candidate="" installed
    if command -v pyenv >/dev/null 2>&1; then
        installed=$(pyenv versions --bare 2>/dev/null | grep -E "^${version//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
        if [ -n "$installed" ]; then
            candidate="$(pyenv root)/versions/$installed/bin/python$version"
        fi
    fi
    if [ -z "$candidate" ] || [ ! -x "$candidate" ]; then
        # A pyenv shim on PATH would name an interpreter pyenv does not have.
        candidate=$(PATH=$(printf '%s' "$PATH" | tr ':' '\n' | grep -v '/shims$' | paste -sd:) \
            command -v "python$version" || true)
    fi
    [ -n "$candidate" ] || return 1
    # Only an interpreter that runs and is that version counts.
    [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$version" ] || return 1
    printf '%s\n' "$candidate"
}

# The X.Y version of an interpreter.
python_version() {
    "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'
}
