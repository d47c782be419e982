#!/usr/bin/env bash
# gen-bundle.sh OUT ROOTS [EXTRA.pem ...]
# Writes the root certificate bundle: the certificates of the folder ROOTS
# (Debian's copy of the Mozilla root store, from its ca-certificates
# package) that have not expired by now, then any extra certificates (a test
# build adds its test CA), each with its name, an underline, its SHA-256
# fingerprint and the PEM block.
set -euo pipefail
out=$1 roots=$2
shift 2
version=$(dpkg-query -W -f='${Version}' ca-certificates 2>/dev/null || echo unknown)
today=$(date -u +%Y-%m-%d)

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
  echo "## package $version ships them, less those expired on $today, when the"
  echo "## bundle was made."
  echo "##"
  for f in "$roots"/*.crt; do
    openssl x509 -in "$f" -noout -checkend 0 >/dev/null || continue
    name=$(basename "$f" .crt | tr '_' ' ')
    entry "$name" "$f"
  done
  for f in "$@"; do
    entry "$(openssl x509 -in "$f" -noout -subject -nameopt sep_multiline | sed -n 's/^ *CN=//p' | head -n1)" "$f"
  done
} > "$out.tmp"
mv "$out.tmp" "$out"
