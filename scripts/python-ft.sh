#!/usr/bin/env bash
# Build a free-threaded CPython (configured with --disable-gil) from Debian's
# source package into a local prefix.  No distribution packages a
# free-threaded interpreter; make ft-test and the free-threaded wheel need one.
#
#   scripts/python-ft.sh PREFIX      (make ft-test: .deps/python-ft)
#
# PREFIX/bin/python-ft names the interpreter.  The candidates below are tried
# in order, the first whose upstream tarball can be had wins: CPython 3.14
# (cp314t) from Debian's unstable suite, else 3.13 (cp313t, whose free
# threading NumPy, SciPy and nanobind support as well).  The tarball is
# fetched with apt-get through a private apt configuration, using the archive
# host this machine's own apt sources name, and its checksum is verified
# before anything is built.  Where apt-get is missing it is taken from
# $PYTHON_FT_TARBALL (a file named as below) or fetched from
# $DEBIAN_ARCHIVE/pool/main/p/.  No PGO and no LTO: the build takes a few
# minutes on two cores.  Re-running with an installed prefix does nothing; the
# stamp names the version and the configure options.
set -euo pipefail

prefix=$(realpath -m "${1:?usage: python-ft.sh PREFIX}")
# source package, Debian version, sha256 of the upstream tarball
candidates=(
    "python3.14 3.14.10-1 de414a57119abef52784d8993e341d53aed635fc2b05c2607d9f98a2c5b72032"
    "python3.13 3.13.15-1 1e66a7945a48390ee4c2a4268a0e4185884059a13c4aab6d148aa208deea4a76"
)
cache=${PYTHON_FT_CACHE:-$(dirname "$prefix")/cache}
configure_opts=(--disable-gil --disable-test-modules --with-ensurepip=install)
opts_hash=$(printf '%s\n' "${configure_opts[@]}" | sha256sum | cut -c1-12)

if compgen -G "$prefix/.orvex-python-*-$opts_hash" >/dev/null && [ -x "$prefix/bin/python-ft" ]; then
    exit 0
fi
log() { printf 'python-ft: %s\n' "$*"; }

# --- build dependencies (only those missing) -----------------------------------
if command -v apt-get >/dev/null && command -v dpkg-query >/dev/null; then
    want=(build-essential pkg-config xz-utils libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev
          libzstd-dev libsqlite3-dev libreadline-dev libncurses-dev libgdbm-dev uuid-dev libexpat1-dev)
    missing=()
    for p in "${want[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        log "installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
fi

# --- the source ---------------------------------------------------------------
archive_uri() {  # the Debian archive this machine's apt sources name
    { cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '/^URIs:/ {for (i = 2; i <= NF; i++) print $i}';
      cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk '$1 == "deb" {print ($2 ~ /^\[/ ? $3 : $2)}'; } |
        grep -E '/debian/?$' | head -n 1 || true
}
fetch() {  # fetch PACKAGE DEBIAN_VERSION TARBALL SHA256: the tarball into $cache, verified
    local package=$1 debian_version=$2 tarball=$3 sha256=$4 uri work
    if [ -n "${PYTHON_FT_TARBALL:-}" ] && [ "$(basename "$PYTHON_FT_TARBALL")" = "$tarball" ]; then
        cp "$PYTHON_FT_TARBALL" "$cache/$tarball"
    fi
    echo "$sha256  $cache/$tarball" | sha256sum -c --status 2>/dev/null && return 0
    if ! command -v apt-get >/dev/null; then
        [ -n "${DEBIAN_ARCHIVE:-}" ] || return 1
        curl -fsSL -o "$cache/$tarball.part" "${DEBIAN_ARCHIVE%/}/pool/main/p/$package/$tarball" || return 1
    else
        # A private apt configuration that only knows unstable's source index.
        uri=$(archive_uri)
        [ -n "$uri" ] || { echo "python-ft.sh: no Debian archive in this machine's apt sources" >&2; return 1; }
        work=$(mktemp -d)
        mkdir -p "$work/lists/partial" "$work/archives/partial"
        echo "deb-src [trusted=yes] ${uri%/} unstable main" > "$work/sources.list"
        local apt_opts=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
                        -o Dir::State::Lists="$work/lists" -o Dir::Cache::Archives="$work/archives"
                        -o APT::Sandbox::User=root -o Debug::NoLocking=1)
        apt-get "${apt_opts[@]}" -qq update >/dev/null 2>&1 || true
        (cd "$work" && apt-get "${apt_opts[@]}" -qq source --download-only --tar-only "$package=$debian_version" \
            >/dev/null 2>&1 || curl -fsSL -o "$tarball" "${uri%/}/pool/main/p/$package/$tarball" 2>/dev/null) \
            && mv "$work/$tarball" "$cache/$tarball.part"
        rm -rf "$work"
        [ -f "$cache/$tarball.part" ] || return 1
    fi
    if echo "$sha256  $cache/$tarball.part" | sha256sum -c --status; then
        mv "$cache/$tarball.part" "$cache/$tarball"
    else
        rm -f "$cache/$tarball.part"
        echo "python-ft.sh: $tarball does not match its checksum" >&2
        return 1
    fi
}
mkdir -p "$cache"
chosen=
for c in "${candidates[@]}"; do
    read -r package debian_version sha256 <<<"$c"
    version=${debian_version%-*}
    tarball="${package}_${version}.orig.tar.xz"
    if fetch "$package" "$debian_version" "$tarball" "$sha256"; then
        chosen=$package
        break
    fi
    log "$package $version cannot be fetched from this machine's Debian archive"
done
[ -n "$chosen" ] || { echo "python-ft.sh: no free-threaded CPython source could be fetched" >&2; exit 1; }
stamp=.orvex-python-$version-$opts_hash
pyver=${package#python}

# --- configure, build, install --------------------------------------------------
src=$(mktemp -d)
tar -C "$src" -xJf "$cache/$tarball"
root=$(find "$src" -mindepth 1 -maxdepth 1 -type d | head -n 1)
mkdir -p "$(dirname "$prefix")"
buildlog=$(dirname "$prefix")/python-ft-build.log
quiet() { "$@" >>"$buildlog" 2>&1 || { tail -n 40 "$buildlog" >&2; echo "python-ft.sh: failed, see $buildlog" >&2; exit 1; }; }
: > "$buildlog"
log "building CPython $version with --disable-gil into $prefix (several minutes)"
rm -rf "$prefix"
(cd "$root" && quiet ./configure --prefix="$prefix" "${configure_opts[@]}")
(cd "$root" && quiet nice -n 10 make -j "$(nproc)")
(cd "$root" && quiet make install)
rm -rf "$src"

# The interpreter must be the free-threaded one and carry what pip and the
# test suite need.
ln -sf "python${pyver}t" "$prefix/bin/python-ft"
"$prefix/bin/python-ft" -c '
import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
assert not sys._is_gil_enabled(), "the GIL is enabled"
import ssl, zlib, bz2, lzma, ctypes, sqlite3, hashlib, venv
' || { echo "python-ft.sh: the installed interpreter is incomplete" >&2; exit 1; }
touch "$prefix/$stamp"
