"""Checks of a built wheel that fail make wheel: the expected tags and one
extension module of the expected name (an abi3 build that fell back to a
version-specific module is refused), abi3audit's report clean, no OpenMP or
TBB runtime needed, no C/C++ sources, the licence texts of everything
bundled, the type stubs with py.typed.

    inspect_wheel.py WHEEL --tags PYTAG-ABITAG --module orvex/_ext.SUFFIX
                     [--abi3audit REPORT.json] [--license FILE]...

--license: further files required under *.dist-info/licenses/.
"""
import argparse
import json
import pathlib
import re
import subprocess
import sys
import tempfile
import zipfile

# What the extension may need from the system: glibc's libraries (and, with
# WHEEL_TOOLCHAIN=host, GNU's C++ runtime).  Anything else, an OpenMP or TBB
# runtime above all, would have to come from the user's machine.
ALLOWED = re.compile(r"(ld-linux[-\w.]*|libc|libm|libdl|librt|libpthread|libstdc\+\+|libgcc_s)\.so(\.\d+)*")
THREAD_RUNTIMES = re.compile(r"^(GOMP_|omp_|__kmpc_|kmp_|_ZN3tbb|tbb)")

parser = argparse.ArgumentParser()
parser.add_argument("wheel", type=pathlib.Path)
parser.add_argument("--tags", required=True)
parser.add_argument("--module", required=True)
parser.add_argument("--abi3audit", type=pathlib.Path)
parser.add_argument("--license", action="append", default=[])
a = parser.parse_args()

wheel = a.wheel
problems = []
archive = zipfile.ZipFile(wheel)
names = archive.namelist()
dist_info = next(n.split("/")[0] for n in names if n.split("/")[0].endswith(".dist-info"))

tags = re.fullmatch(r"orvex-[^-]+-([^-]+-[^-]+)-(manylinux\w+(\.manylinux\w+)*)\.whl", wheel.name)
if not tags or tags.group(1) != a.tags:
    problems.append(f"{wheel.name}: not a {a.tags} manylinux wheel")
modules = [n for n in names if re.search(r"\.(so|pyd|dylib)$", n)]
if modules != [a.module]:
    problems.append(f"extension modules {modules}, expected exactly {a.module}")

if a.abi3audit:
    audit = json.loads(a.abi3audit.read_text())
    for entry in audit.get("specs", {}).values():
        for so in (entry.get("wheel") or []):
            result = so.get("result", {})
            if result.get("non_abi3_symbols") or result.get("future_abi3_objects"):
                problems.append(f"abi3audit: {so.get('name')}: {result}")

needed = []
if modules:
    with tempfile.TemporaryDirectory() as tmp:
        so = archive.extract(modules[0], tmp)
        dynamic = subprocess.run(["readelf", "-d", so], capture_output=True, text=True, check=True).stdout
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
        undefined = subprocess.run(["nm", "-D", "--undefined-only", so], capture_output=True, text=True,
                                   check=True).stdout.split()
    outside = [n for n in needed if not ALLOWED.fullmatch(n)]
    if outside:
        problems.append(f"the extension needs {outside} (only glibc and the C/C++ runtime are allowed)")
    runtimes = sorted({s for s in undefined if THREAD_RUNTIMES.match(s)})
    if runtimes:
        problems.append(f"the extension calls an OpenMP/TBB runtime: {runtimes[:8]}")

sources = [n for n in names if re.search(r"\.(c|cc|cpp|cxx|h|hh|hpp)$", n)]
if sources:
    problems.append(f"C/C++ sources in the wheel: {sources}")

licences = {n[len(dist_info) + len("/licenses/"):] for n in names if n.startswith(f"{dist_info}/licenses/")}
wanted = {"LICENSE", "nanobind/LICENSE", "suitesparse/SuiteSparse-LICENSE.txt", "suitesparse/METIS-LICENSE.txt"} | {
    f"suitesparse/{c}-License.txt" for c in ("AMD", "CAMD", "COLAMD", "CCOLAMD", "CHOLMOD", "SPQR")} | set(a.license)
if wanted - licences:
    problems.append(f"licence texts missing: {sorted(wanted - licences)}")

typed = {"orvex/py.typed", "orvex/__init__.pyi", "orvex/spqr/__init__.pyi"}
if typed - set(names):
    problems.append(f"typing files missing: {sorted(typed - set(names))}")

if problems:
    sys.exit("inspect_wheel.py:\n  " + "\n  ".join(problems))
print(f"wheel: {wheel.name}: tags {a.tags}-{tags.group(2)}, {len(names)} files, "
      f"{wheel.stat().st_size / 2**20:.2f} MiB, {'abi3audit clean, ' if a.abi3audit else ''}"
      f"needs {' '.join(needed)}, {len(licences)} licence texts, stubs and py.typed present")
