#!/bin/bash
# Installs the browser page's pinned npm packages (build tools and test
# drivers) from its lock file; does nothing when they are already in place.
set -euo pipefail
cd "$(dirname "$0")/../../src/modules/webapp/frontend"
stamp=node_modules/.zv-lock.sha256
want=$(sha256sum package-lock.json | cut -d' ' -f1)
if [[ -f $stamp && $(cat "$stamp") == "$want" ]]; then
  exit 0
fi
npm ci --no-audit --no-fund --prefer-offline
echo "$want" > "$stamp"
