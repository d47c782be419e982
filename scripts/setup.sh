#!/usr/bin/env bash
# Installs what building and testing need: the Debian packages listed in
# scripts/packages/*.txt, the SIP stack (built into .deps), and the steps of
# scripts/setup.d/*.sh. Safe to run again; it only does what is missing.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

wanted=$(cat "$top"/scripts/packages/*.txt | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
missing=()
for pkg in $wanted; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q >/dev/null
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi

bash "$top/scripts/deps/build-sip-stack.sh" "$top/.deps"

for step in "$top"/scripts/setup.d/*.sh; do
  [ -e "$step" ] || continue
  bash "$step"
done
