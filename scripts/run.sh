#!/usr/bin/env bash
# Builds (installing what is missing) and starts the program; arguments go
# to the program: scripts/run.sh -v
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/build.sh"
exec "$top/build/zorvane-standalone" "$@"
