#!/usr/bin/env bash
# Builds (installing what is missing) and runs every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/build.sh"
cd "$top/build"
# Process tests with real peers and audio servers run many at once; one
# that fails under that load is run once more before it counts.
ctest --output-on-failure -j"$(nproc)" --repeat until-pass:2 \
  --resource-spec-file "$top/tests/jack-resources.json" "$@"
