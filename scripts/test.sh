#!/usr/bin/env bash
# Builds (installing what is missing) and runs every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/build.sh"
cd "$top/build"
ctest --output-on-failure -j"$(nproc)" --resource-spec-file "$top/tests/jack-resources.json" "$@"
