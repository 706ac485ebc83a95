#!/usr/bin/env bash
# orvex on the free-threaded interpreter (make ft-test, not part of make test).
#
#   scripts/ft.sh build    the interpreter (.deps/python-ft, scripts/python-ft.sh)
#                          if missing, .venv-ft/ with the pinned NumPy, SciPy,
#                          nanobind, scikit-build-core, pytest, hypothesis and
#                          pytest-run-parallel, and orvex built there (build/ft)
#   scripts/ft.sh test     build, then: the whole suite; the whole suite again
#                          with FT_THREADS threads running every test at once
#                          (pytest-run-parallel); the stress test
#                          (tests/stress_ft.py, FT_STRESS_SECONDS)
#
# Each step's time is printed; any failure stops the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
action=${1:-test}
threads=${FT_THREADS:-8}
stress_seconds=${FT_STRESS_SECONDS:-60}
venv=.venv-ft
py=$venv/bin/python
log() { printf 'ft: %s\n' "$*"; }
step_start=0
begin() { step_start=$(date +%s); log "$*"; }
took() { log "$1: $(( $(date +%s) - step_start )) s"; }

build() {
    scripts/setup.sh    # SuiteSparse 7 (and the system packages) as for make build
    scripts/python-ft.sh "$root/.deps/python-ft"
    local interp=$root/.deps/python-ft/bin/python-ft
    if [ ! -x "$py" ] || [ "$(readlink -f "$venv/bin/python")" != "$(readlink -f "$interp")" ]; then
        rm -rf "$venv"
        log "creating $venv with $("$interp" -VV | head -n 1)"
        "$interp" -m venv "$venv"
    fi
    # The versions of requirements-dev.txt, and pytest-run-parallel.
    local reqs want
    reqs=$(mktemp)
    grep -E "^(numpy|scipy|nanobind|scikit-build-core|pytest|hypothesis|threadpoolctl)==" requirements-dev.txt > "$reqs"
    cat requirements-ft.txt >> "$reqs"
    want=$(sha256sum "$reqs" | cut -d' ' -f1)
    if [ "$(cat "$venv/.requirements.sha256" 2>/dev/null)" != "$want" ]; then
        log "installing pinned Python packages into $venv"
        "$py" -m pip install -q --disable-pip-version-check --only-binary numpy,scipy -r "$reqs"
        echo "$want" > "$venv/.requirements.sha256"
    fi
    rm -f "$reqs"
    # The package, rebuilt (incrementally, in build/ft) when a source changed.
    local stamp=$venv/.orvex-installed
    if [ ! -f "$stamp" ] || [ -n "$(find src CMakeLists.txt pyproject.toml .deps/suitesparse.prefix -newer "$stamp" \
            -type f \( -name '*.py' -o -name '*.pyi' -o -name '*.cpp' -o -name '*.hpp' -o -name '*.txt' \
            -o -name '*.toml' -o -name py.typed -o -name '*.prefix' \) -print -quit)" ]; then
        log "building orvex for $("$py" -c 'import sys; print(sys.implementation.cache_tag)')"
        CMAKE_PREFIX_PATH="$(cat .deps/suitesparse.prefix)" "$py" -m pip install -q \
            --disable-pip-version-check --no-build-isolation --no-deps -Cbuild-dir=build/ft \
            -Ccmake.define.ORVEX_TEST_HOOKS=ON .
        touch "$stamp"
    fi
    # The extension must keep the GIL off.
    "$py" -c '
import sys
import orvex.spqr, orvex.rank
if sys._is_gil_enabled():
    sys.exit("ft: importing orvex.spqr and orvex.rank enabled the GIL")
'
}

case $action in
build)
    build
    ;;
test)
    total_start=$(date +%s)
    begin "set-up and build"
    build
    took "set-up and build"
    # -p no:randomly etc. are not installed; the cache is kept out of the tree.
    begin "the whole suite"
    "$py" -m pytest -q -p no:cacheprovider tests
    took "the whole suite"
    begin "the whole suite, $threads threads running each test at once"
    # test_interrupt.py sends SIGINT to the process; a signal that arrives
    # after its call has returned ends the whole session there (the plain
    # pass above runs it).
    ORVEX_TEST_THREADS=$threads "$py" -m pytest -q -p no:cacheprovider --parallel-threads="$threads" \
        --deselect tests/parallel/test_interrupt.py tests
    took "the parallel suite"
    begin "stress test: $threads threads, ${stress_seconds} s"
    "$py" tests/stress_ft.py --threads "$threads" --seconds "$stress_seconds"
    took "stress test"
    log "make ft-test: $(( $(date +%s) - total_start )) s in all"
    ;;
*)
    echo "usage: scripts/ft.sh build|test" >&2
    exit 2
    ;;
esac
