#!/usr/bin/env bash
# make wheel: the self-contained binary wheels, in dist/:
#   orvex-VERSION-cp312-abi3-PLATFORM.whl       CPython 3.12 and later (stable ABI)
#   orvex-VERSION-cpXY-cpXYt-PLATFORM.whl       the free-threaded CPython that
#       scripts/python-ft.sh provides (.deps/python-ft: cp314t where Debian's
#       3.14 source can be had, else cp313t); the stable ABI does not cover
#       free-threaded interpreters, so this one is version-specific.
#
# 1. SuiteSparse 7.10.1 (the components orvex needs) from Debian's source
#    package with the patches of scripts/suitesparse-patches (among them the
#    task-tree scheduler hooks), static and position-independent, without
#    OpenMP, its BLAS/LAPACK calls renamed orvex_blas_NAME
#    (scripts/suitesparse.sh PREFIX wheel), into .deps/wheel.  Both wheels
#    link the same build.
# 2. The extension with that SuiteSparse inside and a generated layer that
#    sends its BLAS/LAPACK calls to SciPy's scipy.linalg.cython_blas /
#    cython_lapack (cmake/blas_forward.py): against the stable ABI with
#    .venv's Python; with nanobind's FREE_THREADED build (Py_mod_gil_not_used)
#    with the free-threaded interpreter, in a build environment of its own
#    (.deps/wheel/ft-build: NumPy, nanobind, scikit-build-core at the versions
#    of requirements-dev.txt).
# 3. auditwheel: the lowest manylinux tag the binary allows (nothing to graft:
#    the extension needs only the C and C++ runtimes).
#
# WHEEL_TOOLCHAIN=zig (the default): SuiteSparse and the extension are
# compiled by zig's clang (PyPI's ziglang) for glibc 2.17, with LLVM's libc++
# linked in statically: the wheels need only glibc 2.17 (manylinux_2_17).
# (For a newer glibc, zig's libc++abi calls glibc's __cxa_thread_atexit_impl,
# GLIBC_2.18, outright; for 2.17 it looks it up weakly and falls back to its
# own.  The free-threaded build needs it: nanobind keeps a thread_local type
# cache there.)
# WHEEL_TOOLCHAIN=host: this machine's gcc and libstdc++ (manylinux_2_35 on
# Debian 12).
# WHEEL_FREE_THREADED=0 builds the cp312-abi3 wheel only.
# 4. Checks that fail the target (scripts/wheel/inspect_wheel.py): the
#    expected tags and extension module (no silent fall-back from abi3 to a
#    version-specific build), abi3audit on the abi3 wheel, the scheduler
#    hooks compiled in, no OpenMP or TBB runtime, no C++ sources, the licence
#    texts of everything bundled, py.typed.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
python=$root/.venv/bin/python
wheeldeps=$root/.deps/wheel
tools=$wheeldeps/tools
out=$root/dist
work=$root/build/wheel
toolchain=${WHEEL_TOOLCHAIN:-zig}
log() { printf 'wheel: %s\n' "$*" >&2; }

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
builddir=$toolchain
case $toolchain in
    host)
        prefix=$wheeldeps/suitesparse ;;
    zig)
        glibc=2.17
        prefix=$wheeldeps/zig/suitesparse-glibc$glibc
        builddir=zig-glibc$glibc
        bin=$wheeldeps/zig/bin
        mkdir -p "$bin"
        for t in cc c++; do
            printf '#!/bin/sh\nexec "%s" -m ziglang %s -target x86_64-linux-gnu.%s "$@"\n' "$tools/bin/python" "$t" "$glibc" > "$bin/zig-$t.new"
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
# The scheduler patch must be in: its header macro, and the hooks in libspqr.a.
grep -q '^#define SPQR_HAS_TASK_HOOKS 1' "$prefix/include/suitesparse/SuiteSparseQR.hpp" \
    && nm "$prefix/lib/libspqr.a" 2>/dev/null | grep ' T .*SuiteSparseQR_set_task_hooks' >/dev/null \
    || { echo "wheel: $prefix has no task-tree scheduler hooks (scripts/suitesparse-patches)" >&2; exit 1; }
# And the orderings' interruption check.
grep -q '^#define SUITESPARSE_HAS_INTERRUPT 1' "$prefix/include/suitesparse/SuiteSparse_config.h" \
    || { echo "wheel: $prefix has no interruptible orderings (scripts/suitesparse-patches)" >&2; exit 1; }

version=$("$python" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
required=()
[ "$toolchain" = zig ] && required=(--license runtime/llvm-libcxx-LICENSE.TXT --license runtime/llvm-libcxxabi-LICENSE.TXT
                                    --license runtime/llvm-libunwind-LICENSE.TXT --license runtime/zig-compiler-rt-LICENSE)
export PATH="$tools/bin:$PATH"   # patchelf for auditwheel

# build_wheel KIND PYTHON PYTAG ABITAG [PIP WHEEL ARGS...]: the repaired wheel
# of that interpreter into $work/KIND/repaired, checked; prints its path last.
build_wheel() {
    local kind=$1 py=$2 pytag=$3 abitag=$4 dir=$work/$1 raw wheel suffix
    shift 4
    rm -rf "$dir/raw" "$dir/repaired"
    mkdir -p "$dir"
    log "building the $pytag-$abitag wheel ($("$py" -VV | head -n 1))"
    "$py" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
        -w "$dir/raw" \
        -Cbuild-dir="$dir/cmake-$builddir" \
        -Ccmake.define.ORVEX_BUNDLED_SUITESPARSE="$prefix" \
        "${compilers[@]}" "$@" \
        . >&2
    raw=$(ls "$dir"/raw/orvex-"$version"-*.whl)
    case $(basename "$raw") in
        orvex-"$version"-"$pytag"-"$abitag"-linux_*.whl) ;;
        *) echo "wheel: $(basename "$raw") is not a $pytag-$abitag wheel" >&2; exit 1 ;;
    esac
    log "auditwheel repair (lowest manylinux tag the binary allows)"
    "$tools/bin/auditwheel" repair -w "$dir/repaired" "$raw" >"$dir/auditwheel.log" 2>&1 \
        || { cat "$dir/auditwheel.log" >&2; exit 1; }
    wheel=$(ls "$dir"/repaired/orvex-"$version"-"$pytag"-"$abitag"-manylinux*.whl)
    "$tools/bin/auditwheel" show "$wheel" | tee "$dir/auditwheel-show.txt" | sed 's/^/    /' >&2
    local audit=()
    if [ "$abitag" = abi3 ]; then
        log "abi3audit"
        "$tools/bin/abi3audit" --strict --report "$wheel" > "$dir/abi3audit.json" \
            || { cat "$dir/abi3audit.json" >&2; echo "wheel: abi3audit found violations" >&2; exit 1; }
        audit=(--abi3audit "$dir/abi3audit.json")
        suffix=.abi3.so
    else
        suffix=$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    fi
    "$tools/bin/python" scripts/wheel/inspect_wheel.py "$wheel" --tags "$pytag-$abitag" \
        --module "orvex/_ext$suffix" "${audit[@]}" "${required[@]}" >&2
    echo "$wheel"
}

built=()
w=$(build_wheel abi3 "$python" cp312 abi3 -Cwheel.py-api=cp312)
built+=("$w")

if [ "${WHEEL_FREE_THREADED:-1}" = 1 ]; then
    # The free-threaded interpreter (built once, a few minutes) and a build
    # environment for it.  scikit-build-core ignores wheel.py-api on a
    # free-threaded interpreter; the tag is that interpreter's own.
    scripts/python-ft.sh "$root/.deps/python-ft"
    ftpy=$root/.deps/python-ft/bin/python-ft
    ftenv=$wheeldeps/ft-build
    pins=$(grep -E '^(numpy|nanobind|scikit-build-core)==' requirements-dev.txt | sort | tr '\n' ' ')
    if [ ! -x "$ftenv/bin/python" ] || [ "$(readlink -f "$ftenv/bin/python")" != "$(readlink -f "$ftpy")" ] \
            || [ "$(cat "$ftenv/.pins" 2>/dev/null)" != "$pins" ]; then
        log "build environment for the free-threaded wheel: $pins"
        rm -rf "$ftenv"
        "$ftpy" -m venv "$ftenv"
        # shellcheck disable=SC2086
        "$ftenv/bin/python" -m pip install -q --disable-pip-version-check --only-binary numpy $pins
        echo "$pins" > "$ftenv/.pins"
    fi
    read -r fttag ftabi < <("$ftenv/bin/python" -c '
import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded interpreter"
t = f"cp{sys.version_info.major}{sys.version_info.minor}"
print(t, t + "t")')
    w=$(build_wheel ft "$ftenv/bin/python" "$fttag" "$ftabi")
    built+=("$w")
fi

mkdir -p "$out"
rm -f "$out"/orvex-*.whl
for wheel in "${built[@]}"; do
    cp "$wheel" "$out/"
    log "$out/$(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"
done
