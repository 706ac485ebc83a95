#!/usr/bin/env bash
# The name of the file that marks a complete SuiteSparse build in a prefix:
# the version and a digest of the patch set applied to it.
set -euo pipefail
dir=$(cd "$(dirname "$0")" && pwd)
digest=$(cat "$dir"/suitesparse-patches/*.patch 2>/dev/null | sha256sum | cut -c1-12)
echo ".complete-7.10.1-$digest"
