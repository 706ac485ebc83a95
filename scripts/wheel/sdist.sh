#!/usr/bin/env bash
# make sdist: dist/orvex-VERSION.tar.gz (python -m build --sdist), and a check
# of what it holds: the package, build files, tests and licences; no
# benchmarks or their results, no CI or set-up scripts, no build products.
set -euo pipefail
cd "$(dirname "$0")/../.."
tools=.deps/wheel/tools
want=$(sha256sum scripts/wheel/requirements.txt | cut -d' ' -f1)
if [ "$(cat "$tools/.requirements.sha256" 2>/dev/null)" != "$want" ]; then
    rm -rf "$tools"
    "$(readlink -f .venv/bin/python)" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --disable-pip-version-check -r scripts/wheel/requirements.txt
    echo "$want" > "$tools/.requirements.sha256"
fi
rm -f dist/orvex-*.tar.gz
"$tools/bin/python" -m build --sdist --outdir dist . >/dev/null
sdist=$(ls dist/orvex-*.tar.gz)
.venv/bin/python - "$sdist" <<'PY'
import sys, tarfile
path = sys.argv[1]
names = [n.split("/", 1)[1] for n in tarfile.open(path).getnames() if "/" in n]
required = ["pyproject.toml", "CMakeLists.txt", "cmake/blas_forward.py", "LICENSE", "README.md", "PKG-INFO",
            "src/orvex/__init__.py", "src/orvex/_ext.cpp", "src/orvex/py.typed", "tests/conftest.py",
            "tests/data/ash219.mtx"]
forbidden = (".ci/", "benchmarks/", "scripts/", "docs/", ".deps/", "build/", ".venv/", "dist/", "Makefile")
problems = [f"missing {r}" for r in required if r not in names]
problems += [f"should not be there: {n}" for n in names if n.startswith(forbidden) or "__pycache__" in n]
if problems:
    sys.exit("sdist.sh:\n  " + "\n  ".join(problems))
tops = sorted({n.split("/")[0] for n in names})
print(f"sdist: {path}: {len(names)} entries, top level: {' '.join(tops)}")
PY
