#!/usr/bin/env bash
# make wheel-check: what a user of the wheels gets.  A Debian 13 (trixie) root
# filesystem made with debootstrap (.deps/wheel/trixie, kept between runs),
# with virtual environments holding only numpy, scipy, pytest, hypothesis and
# threadpoolctl from PyPI (the versions of requirements-dev.txt): no
# SuiteSparse, no BLAS of the system, no compiler.
#
# - the cp312-abi3 wheel: Debian's own python3.13;
# - the free-threaded wheel (cpXY-cpXYt): Debian ships no free-threaded
#   interpreter, so the one make wheel built for it (.deps/python-ft,
#   scripts/python-ft.sh, on this machine) is copied into the root filesystem
#   (/opt/python-ft; CPython finds its prefix from the executable's place) with
#   trixie's builds of the libraries its modules link (libssl, libffi,
#   libsqlite3, ...; the sonames are the same, and trixie's glibc is newer than
#   any it was built on).  Copying takes seconds where building CPython in the
#   root filesystem would take minutes and its build dependencies; an
#   interpreter that misses a library there fails the check before anything
#   else runs.
#
# Each wheel in dist/ is installed with pip into its environment, the
# libraries the extension resolves are printed (ldd, and /proc/self/maps
# around the import) and must all come from the wheel, NumPy/SciPy or the C
# and C++ runtimes, the scheduler must be in (parallel_factorization_available)
# and, free-threaded, the GIL must stay off after importing orvex.spqr and
# orvex.rank (scripts/wheel/libraries.py); then a copy of tests/ runs against
# the installed package.
#
#   scripts/wheel/check.sh [PYTEST ARGS...]     (default: the whole suite)
#   WHEEL_CHECK=abi3 or WHEEL_CHECK=ft          one of the two wheels only
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
fs=$root/.deps/wheel/trixie
only=${WHEEL_CHECK:-all}
log() { printf 'wheel-check: %s\n' "$*"; }

abi3=(dist/orvex-*-cp312-abi3-manylinux*.whl)
ft=(dist/orvex-*-cp3*-cp3*t-manylinux*.whl)
[ -f "${abi3[0]}" ] || abi3=()
[ -f "${ft[0]}" ] || ft=()
case $only in
    all)  [ ${#abi3[@]} -eq 1 ] && [ ${#ft[@]} -le 1 ] \
              || { echo "wheel-check: one cp312-abi3 wheel (and at most one free-threaded one) expected in dist/ (make wheel)" >&2; exit 1; } ;;
    abi3) [ ${#abi3[@]} -eq 1 ] || { echo "wheel-check: no cp312-abi3 wheel in dist/ (make wheel)" >&2; exit 1; }; ft=() ;;
    ft)   [ ${#ft[@]} -eq 1 ] || { echo "wheel-check: no free-threaded wheel in dist/ (make wheel)" >&2; exit 1; }; abi3=() ;;
    *)    echo "wheel-check: WHEEL_CHECK is all, abi3 or ft" >&2; exit 2 ;;
esac

# What the free-threaded interpreter's modules link (_ssl, _ctypes, _sqlite3,
# readline, _curses, _dbm, _uuid, ...), as trixie packages them.
ft_libraries=(libssl3t64 libffi8 libsqlite3-0 libreadline8t64 libncursesw6 libtinfo6 libgdbm6t64
              libgdbm-compat4t64 libuuid1 libbz2-1.0 liblzma5 zlib1g libexpat1 libzstd1)

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
    include=$(IFS=,; echo "python3.13,python3.13-venv,ca-certificates,${ft_libraries[*]}")
    debootstrap --variant=minbase --include="$include" \
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

pins=$(grep -E '^(numpy|scipy|pytest|hypothesis|threadpoolctl)==' requirements-dev.txt | tr '\n' ' ')

# environment PYTHON VENV: a virtual environment with the pins, made again
# when they (or the interpreter) change.
environment() {
    local python=$1 venv=$2 want
    want="$pins $(inside "$python" -VV | head -n 1)"
    if [ "$(cat "$fs$venv/.pins" 2>/dev/null)" != "$want" ]; then
        log "virtual environment $venv: $want"
        rm -rf "${fs:?}$venv"
        inside "$python" -m venv "$venv"
        # shellcheck disable=SC2086
        inside "$venv/bin/python" -m pip install -q --only-binary numpy,scipy $pins
        echo "$want" > "$fs$venv/.pins"
    fi
    inside "$venv/bin/python" -m pip list --format=freeze | sed 's/^/    /'
}

# check WHEEL VENV PYTEST_ARGS...: install, libraries, the suite.
check() {
    local wheel=$1 venv=$2 start ms
    shift 2
    cp "$wheel" "$fs/opt/orvex-check/"
    inside "$venv/bin/python" -m pip uninstall -q -y orvex >/dev/null 2>&1 || true
    start=$(date +%s%N)
    inside "$venv/bin/python" -m pip install -q "/opt/orvex-check/$(basename "$wheel")"
    ms=$(( ($(date +%s%N) - start) / 1000000 ))
    log "installed $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB) in $((ms / 1000)).$(printf '%03d' $((ms % 1000))) s (pip install, dependencies already present)"
    # What the extension resolves, import time, the scheduler, the GIL.
    cp scripts/wheel/libraries.py "$fs/opt/orvex-check/libraries.py"
    inside "$venv/bin/python" /opt/orvex-check/libraries.py
    # The test suite against the installed package.
    rm -rf "$fs/opt/orvex-check/tests"
    cp -r tests "$fs/opt/orvex-check/tests"
    cp pyproject.toml "$fs/opt/orvex-check/pyproject.toml"   # pytest's settings (markers)
    find "$fs/opt/orvex-check/tests" -name __pycache__ -prune -exec rm -rf {} +
    log "test suite (a copy of tests/) against the installed $(basename "$wheel")"
    start=$(date +%s)
    inside /bin/sh -c 'cd /opt/orvex-check && exec "$0" -m pytest -q -rs -p no:cacheprovider "$@"' \
        "$venv/bin/python" "$@"
    log "test suite: $(( $(date +%s) - start )) s"
}

[ $# -gt 0 ] || set -- tests

if [ ${#abi3[@]} -eq 1 ]; then
    log "=== ${abi3[0]#dist/} on Debian's python3.13"
    environment /usr/bin/python3.13 /opt/orvex-check/venv
    check "${abi3[0]}" /opt/orvex-check/venv "$@"
fi

if [ ${#ft[@]} -eq 1 ]; then
    # The free-threaded interpreter, copied in when it changed.
    src=$(readlink -f .deps/python-ft)
    [ -x "$src/bin/python-ft" ] || { echo "wheel-check: no free-threaded interpreter in .deps/python-ft (make wheel builds it)" >&2; exit 1; }
    stamp=$(cd "$src" && ls -d .orvex-python-* | head -n 1)
    if [ ! -f "$fs/opt/python-ft/$stamp" ]; then
        log "copying the free-threaded interpreter ($stamp) into the root filesystem"
        rm -rf "$fs/opt/python-ft"
        cp -a "$src" "$fs/opt/python-ft"
    fi
    missing=$(inside dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${ft_libraries[@]}" 2>&1 \
              | awk '$1 != "ii" {print $NF}' || true)
    if [ -n "$missing" ]; then
        log "installing into the root filesystem: $(echo $missing)"
        inside apt-get update -qq
        # shellcheck disable=SC2086
        inside /usr/bin/env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
    fi
    inside /opt/python-ft/bin/python-ft -c '
import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1 and not sys._is_gil_enabled()
import ssl, zlib, bz2, lzma, ctypes, sqlite3, hashlib, venv, decimal
print("    " + sys.version.replace("\n", " "))' \
        || { inside /bin/sh -c 'ldd /opt/python-ft/lib/python3*/lib-dynload/*.so | grep "not found"' >&2 || true
             echo "wheel-check: the free-threaded interpreter does not run in the root filesystem" >&2; exit 1; }
    log "=== ${ft[0]#dist/} on the free-threaded interpreter"
    environment /opt/python-ft/bin/python-ft /opt/orvex-check/venv-ft
    check "${ft[0]}" /opt/orvex-check/venv-ft "$@"
fi
