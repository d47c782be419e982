#!/usr/bin/env bash
# gen-bundle.sh OUT [EXTRA.pem ...]
# Writes the root certificate bundle: Debian's copy of the Mozilla root store,
# then any extra certificates (a test build adds its test CA), each with its
# name, an underline, its SHA-256 fingerprint and the PEM block.
set -euo pipefail
out=$1; shift
roots=/usr/share/ca-certificates/mozilla
version=$(dpkg-query -W -f='${Version}' ca-certificates 2>/dev/null || echo unknown)

entry() {
  local name=$1 file=$2
  printf '\n%s\n%s\n' "$name" "$(printf '%s' "$name" | tr -c '' '=')"
  printf '## SHA-256 Fingerprint: %s\n' \
    "$(openssl x509 -in "$file" -noout -fingerprint -sha256 | sed 's/^[^=]*=//')"
  openssl x509 -in "$file" -outform PEM
}

{
  echo "##"
  echo "## Bundle of CA root certificates"
  echo "##"
  echo "## The public roots of the Mozilla root store, as Debian's ca-certificates"
  echo "## package $version ships them."
  echo "##"
  for f in "$roots"/*.crt; do
    name=$(basename "$f" .crt | tr '_' ' ')
    entry "$name" "$f"
  done
  for f in "$@"; do
    entry "$(openssl x509 -in "$f" -noout -subject -nameopt sep_multiline | sed -n 's/^ *CN=//p' | head -n1)" "$f"
  done
} > "$out.tmp"
mv "$out.tmp" "$out"
