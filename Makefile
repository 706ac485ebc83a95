# orvex: sparse QR for NumPy/SciPy through SuiteSparse SPQR.
#   make demo   set everything up, build, and run examples/demo.py
#   make test   set everything up, build, and run the test suite
# FORCE_SUITESPARSE_BUILD=1 builds SuiteSparse 7.10.1 from Debian's source
# package even where the distribution's own SuiteSparse would do.

PYTHON  := .venv/bin/python
SOURCES := $(shell find src -type f \( -name '*.py' -o -name '*.cpp' -o -name '*.hpp' \)) CMakeLists.txt pyproject.toml
FORCE_SUITESPARSE_BUILD ?= 0
export FORCE_SUITESPARSE_BUILD

.PHONY: all setup build demo test clean distclean

all: build

setup:
	@scripts/setup.sh

# The installed package is rebuilt (incrementally, in build/) only when a
# source file changed since the last install.
.venv/.orvex-installed: $(SOURCES) .deps/suitesparse.prefix
	CMAKE_PREFIX_PATH="$$(cat .deps/suitesparse.prefix)" $(PYTHON) -m pip install -q \
	    --disable-pip-version-check --no-build-isolation --no-deps \
	    -Cbuild-dir=build/release .
	@touch $@

.deps/suitesparse.prefix:
	@scripts/setup.sh

build: setup
	@$(MAKE) --no-print-directory .venv/.orvex-installed

demo: build
	$(PYTHON) examples/demo.py

test: build
	$(PYTHON) -m pytest -q tests

clean:
	rm -rf build .venv/.orvex-installed

distclean: clean
	rm -rf .venv .deps
