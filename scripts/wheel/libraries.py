"""The shared libraries orvex's extension resolves, and how long importing
orvex.spqr takes; exits non-zero when a library comes from anywhere but the
wheel, NumPy/SciPy or the C and C++ runtimes, when the wheel's SuiteSparse
lacks the task-tree scheduler, or when, on a free-threaded interpreter,
importing orvex.spqr and orvex.rank turned the GIL on.  Run by make wheel-check with
the Python of the environment the wheel is installed in.

- ldd on the extension: what the dynamic linker resolves for it;
- /proc/self/maps before and after `import orvex.spqr` in a process that has
  already imported numpy, scipy.sparse and scipy.linalg: what importing orvex
  adds to the process;
- the BLAS that SciPy (and so SuiteSparse inside orvex) uses;
- parallel_factorization_available(), and sys._is_gil_enabled() where the
  interpreter is a free-threaded one.
"""
import importlib.util
import os
import re
import subprocess
import sys
import sysconfig
import time

RUNTIME = re.compile(r"(linux-vdso|ld-linux[-\w.]*|libc|libm|libmvec|libdl|librt|libpthread|libstdc\+\+|libgcc_s)\.so(\.\d+)*$")


def packages():
    dirs = {}
    for name in ("orvex", "numpy", "scipy"):
        d = os.path.dirname(importlib.util.find_spec(name).origin)
        dirs[name] = d
        dirs[name + ".libs"] = d + ".libs"   # where auditwheel puts a package's libraries
    return dirs


def verdict(path, dirs):
    real = os.path.realpath(path)
    for name, d in dirs.items():
        if real.startswith(d + os.sep):
            return name
    if RUNTIME.match(os.path.basename(real)):
        return "C/C++ runtime"
    return None


def mapped():
    with open("/proc/self/maps") as f:
        return {line.split()[-1] for line in f if ".so" in line.split()[-1]}


def main():
    dirs = packages()
    ext = next(os.path.join(dirs["orvex"], n) for n in os.listdir(dirs["orvex"]) if n.startswith("_ext."))
    bad = []
    print(f"ldd {ext}:")
    out = subprocess.run(["ldd", ext], capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        m = re.search(r"(\S+)\s+\(0x", line)
        path = line.split("=>")[1].split("(")[0].strip() if "=>" in line else (m.group(1) if m else "")
        where = verdict(path, dirs) if path and path != "not" else None
        print(f"    {line.strip():90s} [{where or 'OUTSIDE'}]")
        if where is None:
            bad.append(f"library from outside the wheel, NumPy/SciPy and the C/C++ runtime: {line.strip()}")

    import numpy, scipy.sparse, scipy.linalg  # noqa: F401,E401
    before = mapped()
    t0 = time.perf_counter()
    import orvex.spqr  # noqa: F401
    took = time.perf_counter() - t0
    added = sorted(mapped() - before)
    print("libraries that import orvex.spqr adds to a process with numpy and scipy loaded:")
    for path in added:
        where = verdict(path, dirs)
        print(f"    {path:90s} [{where or 'OUTSIDE'}]")
        if where is None:
            bad.append(f"library from outside the wheel, NumPy/SciPy and the C/C++ runtime: {path}")
    print(f"import orvex.spqr after numpy/scipy: {took * 1e3:.1f} ms")
    cold = subprocess.run([sys.executable, "-c", "import time; t = time.perf_counter(); import orvex.spqr; "
                           "print(time.perf_counter() - t)"], capture_output=True, text=True, check=True)
    print(f"import orvex.spqr in a fresh interpreter (numpy and scipy included): {float(cold.stdout) * 1e3:.1f} ms")
    blas = [p for p in mapped() if re.search(r"openblas|mkl|blis|accelerate", os.path.basename(p), re.I)]
    print("BLAS in the process: " + (", ".join(sorted(blas)) or "none found by name"))
    import orvex, orvex.rank  # noqa: E401
    print(f"orvex {orvex.__version__}: parallel_factorization_available() = "
          f"{orvex.parallel_factorization_available()}, {orvex.get_num_threads()} threads")
    if not orvex.parallel_factorization_available():
        bad.append("the task-tree scheduler is missing (parallel_factorization_available() is False)")
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        gil = sys._is_gil_enabled()
        print(f"free-threaded interpreter: sys._is_gil_enabled() = {gil} after importing orvex.spqr and orvex.rank")
        if gil:
            bad.append("importing orvex.spqr and orvex.rank turned the GIL on")
    if bad:
        sys.exit("wheel-check:\n  " + "\n  ".join(bad))


if __name__ == "__main__":
    main()
