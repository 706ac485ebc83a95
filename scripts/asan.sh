#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer build of orvex._ext, and the
# test suite run against it.
#
#   scripts/asan.sh build            (re)build build/asan and its package tree
#   scripts/asan.sh test [ARGS...]   run pytest (ARGS, default: tests) on it
#   scripts/asan.sh run CMD...       run any command in the same environment
#
# The extension is compiled with -fsanitize=address,undefined and
# -fno-sanitize-recover=undefined, so undefined behaviour is fatal.  Python is
# not instrumented: gcc's libasan (and libstdc++, whose exceptions SciPy
# throws) are preloaded.  Every report goes to build/asan/reports/, and a run
# fails when that folder holds any report afterwards, whatever pytest said.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=$root/build/asan
tree=$dir/tree
reports=$dir/reports
python=$root/.venv/bin/python
CXX=${ORVEX_ASAN_CXX:-g++}
CC=${ORVEX_ASAN_CC:-gcc}

build() {
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$dir" -G Ninja \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
            -DCMAKE_CXX_FLAGS="-fno-sanitize-recover=undefined" \
            -DORVEX_SANITIZE=ON -DORVEX_TEST_HOOKS=ON \
            -DPython_EXECUTABLE="$python" \
            -DCMAKE_PREFIX_PATH="$(cat "$root/.deps/suitesparse.prefix")" >/dev/null
    fi
    cmake --build "$dir"   # ninja: only what changed is recompiled
    # A private package tree: the Python sources and the sanitized extension.
    rm -rf "$tree.new"
    (cd "$root/src" && find orvex -name '*.py' -exec install -D -m 644 {} "$tree.new/{}" \;)
    cp "$dir"/_ext*.so "$tree.new/orvex/"
    rm -rf "$tree" && mv "$tree.new" "$tree"
}

environment() {
    local asan stdcxx
    asan=$(readlink -f "$("$CXX" -print-file-name=libasan.so)")
    stdcxx=$(readlink -f "$("$CXX" -print-file-name=libstdc++.so)")
    [ -f "$asan" ] && [ -f "$stdcxx" ] || { echo "asan: libasan or libstdc++ not found" >&2; exit 1; }
    export LD_PRELOAD="$asan $stdcxx"
    # CPython frees nothing at exit on purpose: leak checking is valgrind's
    # job here (make valgrind).  A request the allocator cannot meet returns
    # NULL, as glibc's malloc does (CHOLMOD then reports out of memory),
    # rather than aborting.  Reports are logged per process and counted.
    export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:abort_on_error=0:exitcode=99:strict_init_order=1:check_initialization_order=1:detect_stack_use_after_return=1:log_path=$reports/asan"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=98:log_path=$reports/ubsan"
    export PYTHONPATH="$tree${PYTHONPATH:+:$PYTHONPATH}"
    export PYTHONMALLOC=malloc   # every Python allocation through ASan's allocator
    export ORVEX_SANITIZED=1     # RSS-measuring tests skip themselves
}

check_reports() {
    local n
    n=$(find "$reports" -type f | wc -l)
    if [ "$n" -ne 0 ]; then
        echo "asan: $n sanitizer report(s):" >&2
        for f in "$reports"/*; do echo "== $f" >&2; cat "$f" >&2; done
        return 1
    fi
    echo "asan: 0 sanitizer reports"
}

run() {
    environment
    rm -rf "$reports" && mkdir -p "$reports"
    # The tests must import the sanitized extension, not the installed one.
    "$python" -c 'import sys, orvex._ext as e
sys.exit(0 if e.__file__.startswith(sys.argv[1]) else "asan: orvex._ext is " + e.__file__)' "$tree/"
    local rc=0
    "$@" || rc=$?
    check_reports || rc=1
    return $rc
}

case "${1:-}" in
    build) build ;;
    test) shift; [ $# -gt 0 ] || set -- tests; run "$python" -m pytest -q -p no:cacheprovider "$@" ;;
    run) shift; run "$@" ;;
    *) echo "usage: $0 build | test [PYTEST ARGS] | run CMD..." >&2; exit 2 ;;
esac
