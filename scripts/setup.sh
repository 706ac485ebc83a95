#!/usr/bin/env bash
# One-time (and idempotent) set-up of a Debian machine for orvex:
# system packages, SuiteSparse 7, Python 3.13 and the project's virtual
# environment.  Everything is installed only where it is missing.
#
#   scripts/setup.sh            normal run (called by make)
#   FORCE_SUITESPARSE_BUILD=1   build SuiteSparse from source even when the
#                               distribution ships a recent enough one
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
deps=$root/.deps
mkdir -p "$deps"
log() { printf 'setup: %s\n' "$*"; }

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
apt_updated=0
apt_install() {
    local missing=()
    for p in "$@"; do have_pkg "$p" || missing+=("$p"); done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ $apt_updated -eq 0 ]; then apt-get update -qq; apt_updated=1; fi
    log "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
candidate_major() {  # major SuiteSparse version apt would install, or 0
    if [ $apt_updated -eq 0 ]; then apt-get update -qq; apt_updated=1; fi
    apt-cache policy libsuitesparse-dev 2>/dev/null |
        awk '/Candidate:/ {v=$2; sub(/^[0-9]+:/, "", v); split(v, a, "."); print a[1] + 0; exit}'
}

# --- compilers, build tools, BLAS -------------------------------------------
apt_install build-essential cmake ninja-build pkg-config libopenblas-dev xz-utils ca-certificates

# --- SuiteSparse 7 (SPQR 4, CHOLMOD 5) ----------------------------------------
header_major() {  # version that an installed SuiteSparse_config.h declares
    local h
    h=$(ls "$1"/include/suitesparse/SuiteSparse_config.h 2>/dev/null | head -n 1)
    [ -n "$h" ] && awk '/#define SUITESPARSE_MAIN_VERSION/ {print $3; exit}' "$h" || echo 0
}
prefix_file=$deps/suitesparse.prefix
ss_stamp=$(scripts/suitesparse-stamp.sh)
if [ "${FORCE_SUITESPARSE_BUILD:-0}" = 1 ]; then
    use_local=1
elif [ "$(header_major /usr)" -ge 7 ]; then
    use_local=0
elif [ -f "$deps/suitesparse/$ss_stamp" ]; then
    use_local=1
elif [ "$(candidate_major)" -ge 7 ]; then
    apt_install libsuitesparse-dev
    use_local=0
else
    use_local=1
fi
if [ $use_local = 1 ]; then
    apt_install apt-utils dpkg-dev
    if [ ! -f "$deps/suitesparse/$ss_stamp" ]; then
        log "the distribution's SuiteSparse is older than 7.x: building 7.10.1 (a few minutes)"
    fi
    scripts/suitesparse.sh "$deps/suitesparse"
    prefix=$deps/suitesparse
else
    prefix=/usr
fi
major=$(header_major "$prefix")
[ "$major" -ge 7 ] || { echo "setup: SuiteSparse 7.x not found under $prefix" >&2; exit 1; }
# Rewritten only when it changes: the installed package depends on it.
if [ "$(cat "$prefix_file" 2>/dev/null)" != "$prefix" ]; then
    echo "$prefix" > "$prefix_file.tmp" && mv "$prefix_file.tmp" "$prefix_file"
fi

# --- Python 3.13 --------------------------------------------------------------
find_python() {
    local c
    for c in "$(command -v python3.13 2>/dev/null || true)" /usr/bin/python3.13 /usr/local/bin/python3.13 \
             "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13; do
        [ -n "$c" ] && [ -x "$c" ] && "$c" -c 'import sysconfig, venv, os, sys
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null \
            && { echo "$c"; return 0; }
    done
    return 1
}
if [ ! -x .venv/bin/python ]; then
    py=$(find_python || true)
    if [ -z "$py" ]; then
        apt_install python3.13 python3.13-dev python3.13-venv || true
        py=$(find_python || true)
    fi
    [ -n "$py" ] || { echo "setup: Python 3.13 with headers is needed and could not be found or installed" >&2; exit 1; }
    log "creating .venv with $py"
    "$py" -m venv .venv
fi

# --- Python packages (pinned) -------------------------------------------------
stamp=.venv/.requirements.sha256
want=$(sha256sum requirements-dev.txt | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    log "installing pinned Python packages"
    .venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
    echo "$want" > "$stamp"
fi
