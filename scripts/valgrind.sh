#!/usr/bin/env bash
# A short leak soak (tests/soak.py) under valgrind's memcheck, judged by the
# bytes definitely lost in allocations made on orvex's behalf: records whose
# allocation stack passes through orvex's extension (_ext*.so).  That must be
# 0.  CPython's own allocations are suppressed (scripts/valgrind-python.supp);
# everything is allocated with malloc (PYTHONMALLOC=malloc) so memcheck sees
# every object.
#
#   scripts/valgrind.sh [ITERATIONS]     (default 60; the installed orvex)
#
# Valgrind is installed with apt where it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
iterations=${1:-60}
out=build/valgrind
mkdir -p "$out"

if ! command -v valgrind >/dev/null 2>&1; then
    echo "valgrind: installing valgrind"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends valgrind >/dev/null
fi

xml=$out/memcheck.xml
echo "valgrind: $(valgrind --version), soak of $iterations iterations under memcheck (a few minutes)"
rc=0
PYTHONMALLOC=malloc OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 \
valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
    --errors-for-leak-kinds=definite --num-callers=60 \
    --suppressions=scripts/valgrind-python.supp \
    --xml=yes --xml-file="$xml" \
    .venv/bin/python tests/soak.py --iterations "$iterations" --warmup 8 --no-rss || rc=$?
[ $rc -eq 0 ] || { echo "valgrind: the soak itself failed (exit $rc)" >&2; exit 1; }

.venv/bin/python - "$xml" <<'EOF'
import collections
import re
import sys
import xml.etree.ElementTree as ET

ORVEX = re.compile(r"/_ext[^/]*\.so$")
root = ET.parse(sys.argv[1]).getroot()


def frames(error):
    stack = error.find("stack")
    return [] if stack is None else [(f.findtext("fn") or "??", f.findtext("obj") or "")
                                     for f in stack.iter("frame")]


def in_orvex(stack):
    return any(ORVEX.search(obj) for _, obj in stack)


lost = collections.Counter()      # (kind, orvex?) -> bytes
records = collections.Counter()   # (kind, orvex?) -> records
errors = collections.Counter()    # (kind, orvex?) -> count, memory errors
shown = []
for e in root.iter("error"):
    kind, stack = e.findtext("kind"), frames(e)
    orvex = in_orvex(stack)
    if kind.startswith("Leak_"):
        b = int(e.findtext("xwhat/leakedbytes") or 0)
        lost[kind, orvex] += b
        records[kind, orvex] += 1
    else:
        errors[kind, orvex] += 1
    if orvex:
        shown.append((kind, e.findtext("what") or e.findtext("xwhat/text"), stack))
suppressed = sum(int(p.findtext("count")) for p in root.iter("pair"))

def fmt(kind):
    return (f"{lost[kind, True]:,} bytes in {records[kind, True]} records in orvex frames, "
            f"{lost[kind, False]:,} bytes in {records[kind, False]} records elsewhere")

print("valgrind: definitely lost:", fmt("Leak_DefinitelyLost"))
print("valgrind: indirectly lost:", fmt("Leak_IndirectlyLost"))
print(f"valgrind: memory errors in orvex frames: {sum(n for (k, o), n in errors.items() if o)}, "
      f"elsewhere: {sum(n for (k, o), n in errors.items() if not o)} "
      f"{dict((k, n) for (k, o), n in errors.items() if not o) or ''}")
print(f"valgrind: suppressed (CPython's interned strings, the loader): {suppressed} records")
for kind, what, stack in shown[:20]:
    print(f"\n{kind}: {what}")
    for fn, obj in stack[:25]:
        print(f"    {fn}  ({obj.rsplit('/', 1)[-1]})")
bad = lost["Leak_DefinitelyLost", True] or sum(n for (k, o), n in errors.items() if o)
print("valgrind: FAIL" if bad else "valgrind: PASS (0 bytes definitely lost in orvex frames)")
sys.exit(1 if bad else 0)
EOF
