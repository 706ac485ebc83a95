#!/usr/bin/env bash
# Build the SuiteSparse libraries orvex needs (config, AMD, CAMD, COLAMD,
# CCOLAMD, CHOLMOD, SPQR) from Debian's source package into a local prefix.
# Used when the distribution ships a SuiteSparse older than 7.x, and for the
# binary wheel.
#
#   scripts/suitesparse.sh PREFIX           shared libraries on the system BLAS
#   scripts/suitesparse.sh PREFIX wheel     static, position-independent
#       libraries without OpenMP whose BLAS/LAPACK calls go to orvex_blas_NAME
#       (no BLAS is linked; the extension supplies those symbols), for the
#       self-contained wheel (scripts/wheel/build.sh)
#
# $SUITESPARSE_CMAKE_ARGS adds CMake options (scripts/tsan.sh: an
# instrumented build without OpenMP); $CFLAGS and $CXXFLAGS are CMake's own.
#
# The source tarball is fetched with apt-get from Debian's trixie suite, using
# the archive host this machine's own apt sources name; its checksum is
# verified before anything is built.  Where apt-get is missing (a
# manylinux container) the tarball is taken from $SUITESPARSE_TARBALL (a file)
# or fetched from $DEBIAN_ARCHIVE/pool/main/s/suitesparse/.  The patches in
# scripts/suitesparse-patches
# (fixes of faults in SuiteSparse itself, each described at its top) are
# applied in name order.  Re-running with an installed prefix does nothing;
# the stamp names the patch set, so a changed patch rebuilds.
set -euo pipefail

prefix=$(realpath -m "${1:?usage: suitesparse.sh PREFIX [wheel]}")
flavour=${2:-shared}
case $flavour in shared|wheel) ;; *) echo "suitesparse.sh: unknown flavour $flavour" >&2; exit 2 ;; esac
version=7.10.1
tarball="suitesparse_${version}+dfsg.orig.tar.xz"
sha256=f33dc4dbbaa16711861bb986604ac7ea15d949276951c706c6997d5567cebfcc
cache=${SUITESPARSE_CACHE:-$(dirname "$prefix")/cache}
patches=$(cd "$(dirname "$0")" && pwd)/suitesparse-patches
stamp=$("$(dirname "$0")/suitesparse-stamp.sh")
[ "$flavour" = shared ] || stamp=$stamp-$flavour

if [ -f "$prefix/$stamp" ]; then
    exit 0
fi

mkdir -p "$cache"
if [ -n "${SUITESPARSE_TARBALL:-}" ] && [ ! -f "$cache/$tarball" ]; then
    cp "$SUITESPARSE_TARBALL" "$cache/$tarball"
fi
if ! echo "$sha256  $cache/$tarball" | sha256sum -c --status 2>/dev/null && ! command -v apt-get >/dev/null; then
    [ -n "${DEBIAN_ARCHIVE:-}" ] || { echo "suitesparse.sh: no apt-get; set SUITESPARSE_TARBALL or DEBIAN_ARCHIVE" >&2; exit 1; }
    curl -fsSL -o "$cache/$tarball" "${DEBIAN_ARCHIVE%/}/pool/main/s/suitesparse/$tarball"
fi
if ! echo "$sha256  $cache/$tarball" | sha256sum -c --status 2>/dev/null; then
    # A private apt configuration that only knows trixie's source index.
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    uri=$( { cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '/^URIs:/ {for (i = 2; i <= NF; i++) print $i}';
             cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk '$1 == "deb" {print ($2 ~ /^\[/ ? $3 : $2)}'; } |
           grep -E '/debian/?$' | head -n 1 || true)
    [ -n "$uri" ] || { echo "suitesparse.sh: no Debian archive in this machine's apt sources" >&2; exit 1; }
    mkdir -p "$work/lists/partial" "$work/archives/partial"
    echo "deb-src [trusted=yes] ${uri%/} trixie main" > "$work/sources.list"
    apt_opts=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
              -o Dir::State::Lists="$work/lists" -o Dir::Cache::Archives="$work/archives"
              -o APT::Sandbox::User=root -o Debug::NoLocking=1)
    apt-get "${apt_opts[@]}" -qq update
    (cd "$work" && apt-get "${apt_opts[@]}" -qq source --download-only --tar-only suitesparse \
        || test -f "$tarball")
    cp "$work/$tarball" "$cache/$tarball"
    echo "$sha256  $cache/$tarball" | sha256sum -c --quiet
fi

src=$(mktemp -d)
tar -C "$src" -xJf "$cache/$tarball"
root=$(find "$src" -maxdepth 2 -name CMakeLists.txt -path '*SuiteSparse*' -printf '%h\n' | head -n 1)
[ -n "$root" ] || root=$(find "$src" -mindepth 1 -maxdepth 1 -type d | head -n 1)
for p in "$patches"/*.patch; do
    [ -f "$p" ] && patch -s -p1 -d "$root" < "$p"
done

mkdir -p "$(dirname "$prefix")"
buildlog=$(dirname "$prefix")/suitesparse-build.log
quiet() { "$@" >>"$buildlog" 2>&1 || { tail -n 40 "$buildlog" >&2; echo "suitesparse.sh: failed, see $buildlog" >&2; exit 1; }; }
: > "$buildlog"
if [ "$flavour" = wheel ]; then
    # BLAS_LIBRARIES and LAPACK_LIBRARIES defined (empty): no BLAS is searched
    # for nor linked.  Every BLAS/LAPACK routine is called as orvex_blas_NAME
    # with 32-bit integers; the extension resolves those to SciPy's BLAS.
    flavour_opts=(-DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON
                  -DCMAKE_POSITION_INDEPENDENT_CODE=ON
                  -DCMAKE_C_VISIBILITY_PRESET=hidden -DCMAKE_CXX_VISIBILITY_PRESET=hidden
                  -DSUITESPARSE_USE_OPENMP=OFF
                  "-DSUITESPARSE_C_TO_FORTRAN=(name,NAME) orvex_blas_##name"
                  -DBLAS_LIBRARIES= -DLAPACK_LIBRARIES=)
else
    flavour_opts=(-DBUILD_STATIC_LIBS=OFF -DBLA_VENDOR=OpenBLAS
                  -DCMAKE_INSTALL_RPATH="$prefix/lib")
fi
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
quiet cmake -S "$root" -B "$src/build" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_INSTALL_LIBDIR=lib \
    -DSUITESPARSE_ENABLE_PROJECTS="suitesparse_config;amd;camd;colamd;ccolamd;cholmod;spqr" \
    -DSUITESPARSE_USE_CUDA=OFF \
    -DSUITESPARSE_USE_FORTRAN=OFF \
    -DSUITESPARSE_DEMOS=OFF \
    -DBUILD_TESTING=OFF \
    -DSUITESPARSE_USE_64BIT_BLAS=OFF \
    "${flavour_opts[@]}" ${SUITESPARSE_CMAKE_ARGS:-}
quiet cmake --build "$src/build" -j "$(nproc)"
quiet cmake --install "$src/build"
if [ "$flavour" = wheel ]; then
    # The licence texts travel with the libraries into the wheel.
    mkdir -p "$prefix/licenses"
    cp "$root/LICENSE.txt" "$prefix/licenses/SuiteSparse-LICENSE.txt"
    for c in AMD CAMD COLAMD CCOLAMD CHOLMOD SPQR; do
        cp "$root/$c/Doc/License.txt" "$prefix/licenses/$c-License.txt"
    done
    cp "$root/CHOLMOD/SuiteSparse_metis/LICENSE.txt" "$prefix/licenses/METIS-LICENSE.txt"
fi
rm -rf "$src"
rm -f "$prefix"/.complete-*
touch "$prefix/$stamp"
