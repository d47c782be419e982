#!/usr/bin/env bash
# Fetches libre, rem and baresip from Debian's source packages, applies our
# patches and builds them statically into a private prefix.
#
#   scripts/deps/build-sip-stack.sh [CACHE_DIR]
#
# CACHE_DIR defaults to .deps in the project. The script is idempotent: a
# prefix whose stamp matches the pinned tarballs and patches is left alone.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
cache=${1:-$top/.deps}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

RE_VER=2.0.1
REM_VER=1.0.0
BARESIP_VER=1.1.0
declare -A SHA256=(
  [libre_${RE_VER}.orig.tar.gz]=43aa439b96aff75fe5768b9f9d49dea97042e42e7647df47b345465763e2f7ed
  [rem_${REM_VER}.orig.tar.gz]=bcc91bb521fae183357fb422b00a3981477a22e99d3afe165c4ec50a6bbed9da
  [baresip_${BARESIP_VER}.orig.tar.gz]=f9230b27c4a62f31223847bc485c51f3d960f8a09f36998dedb73358e1784b4e
)
SOURCE_PKGS=(libre=2.0.1-4 rem=1.0.0-3 baresip=1.1.0-3.1)
BARESIP_MODULES="opus g711 ice stun turn dtls_srtp uuid"
# libre's memory report stays on so that the shutdown chain can print leaks;
# the jitter-buffer statistics are needed by the call statistics.
RE_EXTRA_CFLAGS="-DJBUF_STAT=1 -DMEM_DEBUG=1"

dl=$cache/download
src=$cache/src
prefix=$cache/prefix
mkdir -p "$dl"

stamp_text() {
  {
    for f in "${!SHA256[@]}"; do echo "$f ${SHA256[$f]}"; done | sort
    echo "modules $BARESIP_MODULES"
    echo "re-cflags $RE_EXTRA_CFLAGS"
    cat "$here"/patches/*.patch
    cat "$0"
  } | sha256sum | cut -d' ' -f1
}
stamp=$(stamp_text)
if [ -f "$prefix/.stamp" ] && [ "$(cat "$prefix/.stamp")" = "$stamp" ]; then
  exit 0
fi

tarballs_ok() {
  local f
  for f in "${!SHA256[@]}"; do
    [ -f "$dl/$f" ] || return 1
    echo "${SHA256[$f]}  $dl/$f" | sha256sum --quiet -c - >/dev/null 2>&1 || return 1
  done
}

fetch() {
  local apt=$cache/apt archive
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/etc"
  archive=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$archive" ] || archive=$(awk '/^deb / {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
  [ -n "$archive" ] || { echo "build-sip-stack: no Debian archive address configured" >&2; exit 1; }
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive sid main" > "$apt/etc/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$apt/etc/sources.list" -o Dir::Etc::SourceParts=/dev/null
              -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
              -o APT::Sandbox::User=root -o Acquire::Retries=3 -q)
  local try
  for try in 1 2 3 4; do
    apt-get "${opts[@]}" update >"$apt/update.log" 2>&1 || true
    # The mirror answers 404 for the .dsc and .debian.tar.xz files, so apt
    # exits non-zero even when the tarballs arrived: judge by the tarballs.
    (cd "$dl" && apt-get "${opts[@]}" source --download-only "${SOURCE_PKGS[@]}" >"$apt/source.log" 2>&1) || true
    tarballs_ok && return 0
    sleep $((try * 2))
  done
  local f
  for f in "${!SHA256[@]}"; do
    if [ ! -f "$dl/$f" ]; then
      echo "build-sip-stack: could not download $f (see $apt/source.log)" >&2
    elif ! echo "${SHA256[$f]}  $dl/$f" | sha256sum --quiet -c - >/dev/null 2>&1; then
      echo "build-sip-stack: $f does not match its pinned SHA-256" >&2
    fi
  done
  exit 1
}

tarballs_ok || fetch

rm -rf "$src" "$prefix"
mkdir -p "$src" "$prefix"
tar xzf "$dl/libre_${RE_VER}.orig.tar.gz" -C "$src"
tar xzf "$dl/rem_${REM_VER}.orig.tar.gz" -C "$src"
tar xzf "$dl/baresip_${BARESIP_VER}.orig.tar.gz" -C "$src"

apply_patches() {
  local dir=$1 prefix_name=$2 p
  for p in "$here"/patches/"$prefix_name"-*.patch; do
    [ -e "$p" ] || continue
    patch -d "$dir" -p1 --forward --quiet < "$p"
  done
}
apply_patches "$src/re-$RE_VER" re
apply_patches "$src/baresip-$BARESIP_VER" baresip

jobs=$(nproc)
# Runs a build step with its output in a log; the log is shown on failure.
step() {
  local name=$1; shift
  if ! (set -e; "$@") >"$cache/$name-build.log" 2>&1; then
    echo "build-sip-stack: building $name failed; the end of $cache/$name-build.log:" >&2
    tail -n 30 "$cache/$name-build.log" >&2
    exit 1
  fi
}
re_mk=$prefix/share/re/re.mk
build_re() {
  cd "$src/re-$RE_VER"
  make -s -j"$jobs" RELEASE=1 PREFIX="$prefix" EXTRA_CFLAGS="$RE_EXTRA_CFLAGS" libre.a
  make -s RELEASE=1 PREFIX="$prefix" EXTRA_CFLAGS="$RE_EXTRA_CFLAGS" install
  rm -f "$prefix"/lib/libre.so*
  # The feature macros our own code must be compiled with: the same ones as
  # libre, or structures such as struct sa differ between the two.
  make -s RELEASE=1 PREFIX="$prefix" EXTRA_CFLAGS="$RE_EXTRA_CFLAGS" info |
    sed -n 's/^ *CFLAGS: *//p' | tr ' \t' '\n\n' |
    grep -E '^-D(RELEASE|LINUX|HAVE_[A-Z0-9_]+|USE_[A-Z0-9_]+|JBUF_STAT(=.*)?|MEM_DEBUG(=.*)?)$' |
    sort -u > "$prefix/re-defines.txt"
  grep -q -- -DHAVE_INET6 "$prefix/re-defines.txt"
}
step re build_re

libre_vars=(LIBRE_MK="$re_mk" LIBRE_INC="$prefix/include/re" LIBRE_SO="$prefix/lib" LIBRE_PATH="$prefix")
build_rem() {
  cd "$src/rem-$REM_VER"
  make -s -j"$jobs" RELEASE=1 PREFIX="$prefix" "${libre_vars[@]}" librem.a
  make -s RELEASE=1 PREFIX="$prefix" "${libre_vars[@]}" install
  rm -f "$prefix"/lib/librem.so*
}
step rem build_rem

build_baresip() {
  cd "$src/baresip-$BARESIP_VER"
  make -s -j"$jobs" RELEASE=1 STATIC=1 PREFIX="$prefix" "${libre_vars[@]}" LIBREM_PATH="$prefix" \
       MODULES="$BARESIP_MODULES" libbaresip.a
  make -s RELEASE=1 STATIC=1 PREFIX="$prefix" "${libre_vars[@]}" LIBREM_PATH="$prefix" \
       MODULES="$BARESIP_MODULES" install-static
  # The program brings its own static module table.
  ar d "$prefix/lib/libbaresip.a" static.o
  mkdir -p "$prefix/include/baresip"
  cp include/baresip.h "$prefix/include/baresip/"
}
step baresip build_baresip

echo "$stamp" > "$prefix/.stamp"
echo "build-sip-stack: libre $RE_VER, rem $REM_VER, baresip $BARESIP_VER in $prefix"
