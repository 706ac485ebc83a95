# orvex: sparse QR for NumPy/SciPy through SuiteSparse SPQR.
#   make demo   set everything up, build, and run examples/demo.py
#   make test   set everything up, build, and run the test suite
#   make asan   the test suite against an AddressSanitizer + UBSan build
#   make tsan   the thread tests against a ThreadSanitizer build (orvex and SuiteSparse)
#   make soak   the full leak soak (10^4 iterations of every operation)
#   make valgrind  a short soak under valgrind's memcheck
#   make faults the allocation-failure sweep alone, with its counts
#   make stress 30 s of threads calling every operation while others write
#               into, swap and drop the arrays they read
#   make exit-check  interpreter exit with a daemon thread inside each native
#               operation, 100 runs each
#   make bench  the benchmark suite: benchmarks/results/latest.{md,png}, README
#   make docs   the documentation site, docs/_build/html (make docs-check: in Chromium)
#   make wheel  the self-contained binary wheels: dist/orvex-*-cp312-abi3-manylinux*.whl
#               and, for the free-threaded interpreter of .deps/python-ft,
#               dist/orvex-*-cp313-cp313t-manylinux*.whl (cp314t where 3.14 is built)
#   make wheel-check  both wheels installed and tested in a fresh Debian 13 root
#               filesystem (WHEEL_CHECK=abi3 or ft: one of them)
#   make sdist  the source distribution, dist/orvex-*.tar.gz
#   make ft-test  the suite on the free-threaded interpreter (built from Debian's
#               source package into .deps/python-ft): plain, with many threads
#               per test, and a 60 s stress test
# FORCE_SUITESPARSE_BUILD=1 builds SuiteSparse 7.10.1 from Debian's source
# package even where the distribution's own SuiteSparse would do.

PYTHON  := .venv/bin/python
SOURCES := $(shell find src -type f \( -name '*.py' -o -name '*.pyi' -o -name py.typed -o -name '*.cpp' -o -name '*.hpp' \)) CMakeLists.txt pyproject.toml
# (the mark of a complete SuiteSparse build names its patch set: a changed
# patch rebuilds SuiteSparse, and then orvex)
SOURCES += $(wildcard .deps/suitesparse/.complete-*)
FORCE_SUITESPARSE_BUILD ?= 0
export FORCE_SUITESPARSE_BUILD

.PHONY: all setup build demo test asan tsan soak valgrind faults stress exit-check bench docs docs-check wheel wheel-check sdist ft-build ft-test clean distclean

all: build

setup:
	@scripts/setup.sh

# The installed package is rebuilt (incrementally, in build/) only when a
# source file changed since the last install.
.venv/.orvex-installed: $(SOURCES) .deps/suitesparse.prefix
	CMAKE_PREFIX_PATH="$$(cat .deps/suitesparse.prefix)" $(PYTHON) -m pip install -q \
	    --disable-pip-version-check --no-build-isolation --no-deps \
	    -Cbuild-dir=build/release -Ccmake.define.ORVEX_TEST_HOOKS=ON .
	@touch $@

.deps/suitesparse.prefix:
	@scripts/setup.sh

build: setup
	@$(MAKE) --no-print-directory .venv/.orvex-installed

demo: build
	$(PYTHON) examples/demo.py

# The whole suite, then the whole suite again against the sanitized build:
# any AddressSanitizer or UndefinedBehaviorSanitizer report fails it.
test: build
	$(PYTHON) -m pytest -q tests
	@$(MAKE) --no-print-directory asan

# The sanitized extension (build/asan, RelWithDebInfo) and its private
# package tree, rebuilt incrementally only when a source file changed.
build/asan/.tree-built: $(SOURCES) .deps/suitesparse.prefix
	scripts/asan.sh build
	@touch $@

asan: build
	@$(MAKE) --no-print-directory build/asan/.tree-built
	scripts/asan.sh test

# ThreadSanitizer on the task-tree scheduler and its callers; not part of make
# test (its SuiteSparse build takes a few minutes, once).
tsan: build
	scripts/tsan.sh build
	scripts/tsan.sh test

SOAK_ITERATIONS ?= 10000
soak: build
	$(PYTHON) tests/soak.py --iterations $(SOAK_ITERATIONS)

VALGRIND_ITERATIONS ?= 60
valgrind: build
	scripts/valgrind.sh $(VALGRIND_ITERATIONS)

# Every allocation of every operation made to fail in turn (also part of
# make test), printing how many failure points each operation has.
faults: build
	$(PYTHON) -m pytest -q -s -W ignore tests/test_faults.py

STRESS_SECONDS ?= 30
stress: build
	OPENBLAS_NUM_THREADS=1 $(PYTHON) tests/safety/stress.py $(STRESS_SECONDS)

EXIT_RUNS ?= 100
exit-check: build
	ORVEX_EXIT_RUNS=$(EXIT_RUNS) $(PYTHON) -m pytest -q -p no:cacheprovider tests/safety/test_races.py -k exit

# Peers (sparseqr, pyspqr), matplotlib and the reference BLAS are installed here only.
bench: build
	benchmarks/setup.sh
	$(PYTHON) benchmarks/run.py --readme
	$(PYTHON) benchmarks/threads.py
	$(PYTHON) benchmarks/parallel.py
	$(PYTHON) benchmarks/rank.py
	$(PYTHON) benchmarks/qkernel.py
	$(PYTHON) benchmarks/capture.py
	$(PYTHON) benchmarks/tall.py
	$(PYTHON) benchmarks/ft.py

# Sphinx and its extensions are installed here only (docs/requirements.txt).
docs: build
	scripts/docs.sh build

docs-check: docs
	scripts/docs.sh check

# SuiteSparse for the wheels is a separate, static build (.deps/wheel); the
# free-threaded wheel needs the interpreter of scripts/python-ft.sh (built
# once; WHEEL_FREE_THREADED=0 skips that wheel).
wheel: setup
	scripts/wheel/build.sh

# Not part of make test: debootstrap and PyPI downloads on the first run.
wheel-check:
	scripts/wheel/check.sh

sdist: setup
	scripts/wheel/sdist.sh

# Not part of make test: it builds CPython (a few minutes, once) and runs the
# suite twice and the stress test (FT_THREADS=8, FT_STRESS_SECONDS=60).
ft-build:
	scripts/ft.sh build

ft-test:
	scripts/ft.sh test

clean:
	rm -rf build dist .venv/.orvex-installed .venv-ft/.orvex-installed docs/_build docs/api/generated

distclean: clean
	rm -rf .venv .venv-ft .deps
