#!/usr/bin/env bash
# ThreadSanitizer build of orvex._ext and of SuiteSparse (SPQR's kernel runs
# on orvex's threads, so both are instrumented), and the thread tests run
# against it.  Not part of make test: the instrumented SuiteSparse takes a
# few minutes to build, once.
#
#   scripts/tsan.sh build            (re)build build/tsan and its package tree
#   scripts/tsan.sh test [ARGS...]   run pytest (ARGS, default: the scheduler's
#                                    tests and its callers') on it
#
# SuiteSparse is built by scripts/suitesparse.sh, with the same patches, into
# build/tsan/suitesparse, without OpenMP (TSan does not understand libgomp's
# synchronisation).  Python is not instrumented: libtsan is preloaded.  Every
# report goes to build/tsan/reports/, and a run fails when that folder holds
# any report afterwards, whatever pytest said.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=$root/build/tsan
tree=$dir/tree
reports=$dir/reports
python=$root/.venv/bin/python
CXX=${ORVEX_TSAN_CXX:-g++}
CC=${ORVEX_TSAN_CC:-gcc}
flags="-fsanitize=thread -g -O1"

build() {
    mkdir -p "$dir"
    SUITESPARSE_CACHE=$root/.deps/cache CC=$CC CXX=$CXX CFLAGS="$flags" CXXFLAGS="$flags" LDFLAGS=-fsanitize=thread \
        SUITESPARSE_CMAKE_ARGS="-DSUITESPARSE_USE_OPENMP=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo" \
        scripts/suitesparse.sh "$dir/suitesparse"
    if ! grep -q '^ORVEX_TEST_HOOKS:BOOL=ON' "$dir/CMakeCache.txt" 2>/dev/null; then
        cmake -S "$root" -B "$dir" -G Ninja \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
            -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DORVEX_TEST_HOOKS=ON \
            -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread -DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread \
            -DPython_EXECUTABLE="$python" \
            -DCMAKE_PREFIX_PATH="$dir/suitesparse" >/dev/null
    fi
    cmake --build "$dir"
    rm -rf "$tree.new"
    (cd "$root/src" && find orvex -name '*.py' -exec install -D -m 644 {} "$tree.new/{}" \;)
    cp "$dir"/_ext*.so "$tree.new/orvex/"
    rm -rf "$tree" && mv "$tree.new" "$tree"
}

run() {
    local tsan
    tsan=$(readlink -f "$("$CXX" -print-file-name=libtsan.so)")
    [ -f "$tsan" ] || { echo "tsan: libtsan not found" >&2; exit 1; }
    rm -rf "$reports" && mkdir -p "$reports"
    # One BLAS thread: OpenBLAS's own threads are not instrumented, and the
    # tests set orvex's threads themselves.
    export LD_PRELOAD=$tsan OPENBLAS_NUM_THREADS=1
    export TSAN_OPTIONS="halt_on_error=0:exitcode=66:log_path=$reports/tsan:second_deadlock_stack=1"
    export PYTHONPATH="$tree${PYTHONPATH:+:$PYTHONPATH}"
    export ORVEX_SANITIZED=1
    "$python" -c 'import sys, orvex._ext as e
sys.exit(0 if e.__file__.startswith(sys.argv[1]) else "tsan: orvex._ext is " + e.__file__)' "$tree/"
    local rc=0
    "$@" || rc=$?
    local n
    n=$(find "$reports" -type f | wc -l)
    if [ "$n" -ne 0 ]; then
        echo "tsan: $n report(s):" >&2
        for f in "$reports"/*; do echo "== $f" >&2; head -n 60 "$f" >&2; done
        return 1
    fi
    echo "tsan: 0 reports"
    return $rc
}

case "${1:-}" in
    build) build ;;
    test) shift
          [ $# -gt 0 ] || set -- tests/parallel tests/spqr/test_reentrancy.py tests/spqr/factor/test_threads.py \
                                tests/rank/test_rank_threads.py "tests/test_faults.py::test_allocation_failures_in_parallel_factorizations"
          run "$python" -m pytest -q -p no:cacheprovider "$@" ;;
    *) echo "usage: $0 build | test [PYTEST ARGS]" >&2; exit 2 ;;
esac
