"""Checks of a built wheel that fail make wheel: the cp312-abi3 tag and one
.abi3.so module (a build that fell back to a version-specific module is
refused), abi3audit's report clean, no C/C++ sources, the licence texts of
everything bundled, the type stubs with py.typed.

    inspect_wheel.py WHEEL ABI3AUDIT_REPORT.json [LICENCE...]

LICENCE: further files required under *.dist-info/licenses/.
"""
import json
import pathlib
import re
import sys
import zipfile

wheel, report = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
problems = []
names = zipfile.ZipFile(wheel).namelist()
dist_info = next(n.split("/")[0] for n in names if n.split("/")[0].endswith(".dist-info"))

tags = re.fullmatch(r"orvex-[^-]+-(cp312)-(abi3)-(manylinux\w+(\.manylinux\w+)*)\.whl", wheel.name)
if not tags:
    problems.append(f"{wheel.name}: not a cp312-abi3 manylinux wheel")
modules = [n for n in names if re.search(r"\.(so|pyd|dylib)$", n)]
if modules != ["orvex/_ext.abi3.so"]:
    problems.append(f"extension modules {modules}, expected exactly orvex/_ext.abi3.so")

audit = json.loads(report.read_text())
for entry in audit.get("specs", {}).values():
    for so in (entry.get("wheel") or []):
        result = so.get("result", {})
        if result.get("non_abi3_symbols") or result.get("future_abi3_objects"):
            problems.append(f"abi3audit: {so.get('name')}: {result}")

sources = [n for n in names if re.search(r"\.(c|cc|cpp|cxx|h|hh|hpp)$", n)]
if sources:
    problems.append(f"C/C++ sources in the wheel: {sources}")

licences = {n[len(dist_info) + len("/licenses/"):] for n in names if n.startswith(f"{dist_info}/licenses/")}
wanted = {"LICENSE", "nanobind/LICENSE", "suitesparse/SuiteSparse-LICENSE.txt", "suitesparse/METIS-LICENSE.txt"} | {
    f"suitesparse/{c}-License.txt" for c in ("AMD", "CAMD", "COLAMD", "CCOLAMD", "CHOLMOD", "SPQR")} | set(sys.argv[3:])
if wanted - licences:
    problems.append(f"licence texts missing: {sorted(wanted - licences)}")

typed = {"orvex/py.typed", "orvex/__init__.pyi", "orvex/spqr/__init__.pyi"}
if typed - set(names):
    problems.append(f"typing files missing: {sorted(typed - set(names))}")

if problems:
    sys.exit("inspect_wheel.py:\n  " + "\n  ".join(problems))
print(f"wheel: {wheel.name}: tags {tags.group(1)}-{tags.group(2)}-{tags.group(3)}, "
      f"{len(names)} files, {wheel.stat().st_size / 2**20:.2f} MiB, abi3audit clean, "
      f"{len(licences)} licence texts, stubs and py.typed present")
