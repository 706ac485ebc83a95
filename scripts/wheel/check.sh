#!/usr/bin/env bash
# make wheel-check: what a user of the wheel gets.  A Debian 13 (trixie) root
# filesystem made with debootstrap (.deps/wheel/trixie, kept between runs)
# with Debian's python3.13 and a virtual environment holding only numpy,
# scipy, pytest and hypothesis from PyPI: no SuiteSparse, no BLAS of the
# system, no compiler.  The wheel in dist/ is installed there with pip, the
# libraries the extension resolves are printed (ldd, and /proc/self/maps
# around the import) and must all come from the wheel, NumPy/SciPy or the C
# and C++ runtimes, and a copy of tests/ runs against the installed package.
#
#   scripts/wheel/check.sh [PYTEST ARGS...]     (default: the whole suite)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
fs=$root/.deps/wheel/trixie
log() { printf 'wheel-check: %s\n' "$*"; }

wheels=(dist/orvex-*-cp312-abi3-manylinux*.whl)
[ -f "${wheels[0]}" ] && [ ${#wheels[@]} -eq 1 ] || { echo "wheel-check: exactly one wheel expected in dist/ (make wheel)" >&2; exit 1; }
wheel=${wheels[0]}

# --- the root filesystem -------------------------------------------------------
if [ ! -f "$fs/.orvex-ready" ]; then
    if ! command -v debootstrap >/dev/null; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
    fi
    # The Debian archive this machine's own apt sources name.
    uri=$( { cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '/^URIs:/ {for (i = 2; i <= NF; i++) print $i}';
             cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk '$1 == "deb" {print ($2 ~ /^\[/ ? $3 : $2)}'; } |
           grep -E '/debian/?$' | head -n 1 || true)
    [ -n "$uri" ] || { echo "wheel-check: no Debian archive in this machine's apt sources" >&2; exit 1; }
    log "debootstrap trixie into $fs (once)"
    rm -rf "$fs"
    debootstrap --variant=minbase --include=python3.13,python3.13-venv,ca-certificates \
        trixie "$fs" "$uri" > "$root/.deps/wheel/debootstrap.log" 2>&1 \
        || { tail -n 30 "$root/.deps/wheel/debootstrap.log" >&2; exit 1; }
    touch "$fs/.orvex-ready"
fi
cp /etc/resolv.conf "$fs/etc/resolv.conf" 2>/dev/null || true
# pip inside trusts what pip outside trusts.
ca=${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}
mkdir -p "$fs/opt/orvex-check"
[ -f "$ca" ] && cp "$ca" "$fs/opt/orvex-check/ca.crt"

# Runs a command in the root filesystem, in a mount namespace of its own
# (/proc, /dev and /dev/shm mounted there vanish with it), with a clean
# environment.
inside() {
    unshare --mount --propagation private -- /bin/sh -c '
        fs=$1; shift
        mount -t proc proc "$fs/proc"
        mount --bind /dev "$fs/dev"
        mount -t tmpfs shm "$fs/dev/shm"
        exec chroot "$fs" "$@"' inside "$fs" \
        /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
        PIP_CERT=/opt/orvex-check/ca.crt PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 \
        PIP_NO_CACHE_DIR=1 "$@"
}

# --- the virtual environment: numpy, scipy, pytest, hypothesis --------------------
pins=$(grep -E '^(numpy|scipy|pytest|hypothesis|threadpoolctl)==' requirements-dev.txt | tr '\n' ' ')
venv=/opt/orvex-check/venv
if [ "$(cat "$fs$venv/.pins" 2>/dev/null)" != "$pins" ]; then
    log "virtual environment with $pins"
    rm -rf "${fs:?}$venv"
    inside /usr/bin/python3.13 -m venv "$venv"
    # shellcheck disable=SC2086
    inside "$venv/bin/python" -m pip install -q $pins
    echo "$pins" > "$fs$venv/.pins"
fi
inside "$venv/bin/python" -m pip list --format=freeze | sed 's/^/    /'

# --- install the wheel -------------------------------------------------------------
cp "$wheel" "$fs/opt/orvex-check/"
inside "$venv/bin/python" -m pip uninstall -q -y orvex >/dev/null 2>&1 || true
start=$(date +%s%N)
inside "$venv/bin/python" -m pip install -q "/opt/orvex-check/$(basename "$wheel")"
ms=$(( ($(date +%s%N) - start) / 1000000 ))
log "installed $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB) in $((ms / 1000)).$(printf '%03d' $((ms % 1000))) s (pip install, dependencies already present)"

# --- what the extension resolves, and import time ------------------------------------
cp scripts/wheel/libraries.py "$fs/opt/orvex-check/libraries.py"
inside "$venv/bin/python" /opt/orvex-check/libraries.py

# --- the test suite against the installed package --------------------------------------
rm -rf "$fs/opt/orvex-check/tests"
cp -r tests "$fs/opt/orvex-check/tests"
cp pyproject.toml "$fs/opt/orvex-check/pyproject.toml"   # pytest's settings (markers)
find "$fs/opt/orvex-check/tests" -name __pycache__ -prune -exec rm -rf {} +
log "test suite (a copy of tests/) against the installed wheel"
inside /bin/sh -c 'cd /opt/orvex-check && exec "$0" -m pytest -q -p no:cacheprovider "$@"' \
    "$venv/bin/python" "${@:-tests}"
