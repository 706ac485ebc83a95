#!/usr/bin/env bash
# Set-up for `make bench`, after `make build`: the reference BLAS/LAPACK
# (Debian's libblas3/liblapack3, only ever preloaded by the suite; the system
# default stays OpenBLAS) and the pinned Python packages of
# benchmarks/requirements.txt.  Idempotent; sparseqr failing to build is
# recorded in build/bench-sparseqr.log and reported, not fatal.
set -euo pipefail
cd "$(dirname "$0")/.."
log() { printf 'bench setup: %s\n' "$*"; }

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=()
for p in libblas3 liblapack3; do have_pkg "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]} (reference BLAS/LAPACK for the BLAS comparison)"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

mkdir -p build
prefix=$(cat .deps/suitesparse.prefix)
stamp=.venv/.bench-requirements.sha256
want=$( (cat benchmarks/requirements.txt; echo "$prefix") | sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    log "installing the pinned packages of benchmarks/requirements.txt"
    grep -v '^sparseqr' benchmarks/requirements.txt > build/bench-requirements.txt
    .venv/bin/python -m pip install -q --disable-pip-version-check -r build/bench-requirements.txt
    sparseqr=$(grep '^sparseqr' benchmarks/requirements.txt)
    # sparseqr compiles (cffi) against SuiteSparse's headers and libraries.
    if CFLAGS="-I$prefix/include/suitesparse -I$prefix/include" \
       LDFLAGS="-L$prefix/lib -Wl,-rpath,$prefix/lib" \
       .venv/bin/python -m pip install -q --disable-pip-version-check --no-cache-dir "$sparseqr" \
           > build/bench-sparseqr.log 2>&1; then
        rm -f build/bench-sparseqr.log
    else
        log "sparseqr did not build; see build/bench-sparseqr.log (reported in the results)"
    fi
    echo "$want" > "$stamp"
fi
