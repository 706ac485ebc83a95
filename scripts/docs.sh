#!/usr/bin/env bash
# The documentation site, after `make build`:
#   scripts/docs.sh build   docs/_build/html from a clean tree, nitpicky, warnings
#                           as errors, then every example of the pages and of the
#                           docstrings run by Sphinx's doctest builder
#   scripts/docs.sh check   the built pages opened in headless Chromium (Debian's
#                           package, installed when missing); screenshots in
#                           docs/_build/screenshots
# docs/requirements.txt is installed into .venv here only.
set -euo pipefail
cd "$(dirname "$0")/.."
log() { printf 'docs: %s\n' "$*"; }
python=.venv/bin/python
sphinx=("$python" -m sphinx -W -n --keep-going -q -d docs/_build/doctrees)

case "${1:-build}" in
build)
    stamp=.venv/.docs-requirements.sha256
    want=$(sha256sum docs/requirements.txt | cut -d' ' -f1)
    if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
        log "installing the pinned packages of docs/requirements.txt"
        "$python" -m pip install -q --disable-pip-version-check -r docs/requirements.txt
        echo "$want" > "$stamp"
    fi
    rm -rf docs/_build docs/api/generated
    start=$(date +%s)
    MPLBACKEND=Agg "${sphinx[@]}" -b html docs docs/_build/html
    MPLBACKEND=Agg "${sphinx[@]}" -b doctest docs docs/_build/doctest
    pages=$(cd docs/_build/html && find . -name '*.html' -not -path './_*' | wc -l)
    pictures=$(find docs/_build/html/_images -name '*-[0-9]*.png' | wc -l)
    examples=$(sed -n 's/^ *\([0-9][0-9]*\) tests$/\1/p' docs/_build/doctest/output.txt)
    log "$pages pages, $pictures pictures drawn, $examples examples run," \
        "$(( $(date +%s) - start )) s: docs/_build/html/index.html"
    ;;
check)
    if ! command -v chromium >/dev/null; then
        log "installing Debian's chromium"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends chromium >/dev/null
    fi
    "$python" scripts/docs_check.py docs/_build/html docs/_build/screenshots
    ;;
*)
    echo "usage: $0 build|check" >&2; exit 2 ;;
esac
