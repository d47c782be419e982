#!/usr/bin/env bash
# Fetches libre, rem and baresip from Debian's source packages, applies our
# patches and builds them statically into private prefixes, one a variant:
#
#   scripts/deps/build-sip-stack.sh [CACHE_DIR [VARIANT...]]
#
#   release   CACHE_DIR/prefix: the stack the program ships with
#   memdebug  CACHE_DIR/prefix-memdebug: libre alone, with its memory report
#             (every allocation listed, so that the shutdown can name leaks);
#             the test variants of the program link it with the rest of
#             the release prefix
#   sanitize  CACHE_DIR/prefix-sanitize: the whole stack with the memory
#             report, AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan      CACHE_DIR/prefix-tsan: the whole stack with ThreadSanitizer,
#             without the memory report: its global lock, taken by every
#             allocation of every thread, would order the threads' accesses
#             and hide their races
#
# CACHE_DIR defaults to .deps in the project, the variants to release and
# memdebug. The sources are unpacked and patched once into CACHE_DIR/src;
# each variant builds in a copy of its own. The script is idempotent: a
# prefix whose stamp matches the pinned tarballs, patches and its flags is
# left alone.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
cache=${1:-$top/.deps}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
shift || true
variants=("$@")
[ ${#variants[@]} -gt 0 ] || variants=(release memdebug)

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
# The jitter-buffer statistics are needed by the call statistics. The
# memory report costs a global mutex on every allocation of every thread,
# so only the test builds have it. libre's hash reads whole words past the
# end of its keys, which AddressSanitizer would report: VALGRIND selects
# its byte-wise reader.
RE_CFLAGS="-DJBUF_STAT=1"
MEMDEBUG_CFLAGS="-DMEM_DEBUG=1"
SANITIZE_CFLAGS="-DMEM_DEBUG=1 -DVALGRIND -fsanitize=address,undefined -fno-omit-frame-pointer"
TSAN_CFLAGS="-fsanitize=thread -fno-omit-frame-pointer"

dl=$cache/download
src=$cache/src
mkdir -p "$dl"

prefix_of() {
  case $1 in
    release) echo "$cache/prefix" ;;
    memdebug|sanitize|tsan) echo "$cache/prefix-$1" ;;
    *) echo "build-sip-stack: unknown variant $1" >&2; exit 2 ;;
  esac
}
cflags_of() {
  case $1 in
    release) echo "" ;;
    memdebug) echo "$MEMDEBUG_CFLAGS" ;;
    sanitize) echo "$SANITIZE_CFLAGS" ;;
    tsan) echo "$TSAN_CFLAGS" ;;
  esac
}

source_stamp() {
  {
    for f in "${!SHA256[@]}"; do echo "$f ${SHA256[$f]}"; done | sort
    cat "$here"/patches/*.patch
  } | sha256sum | cut -d' ' -f1
}
variant_stamp() {
  {
    echo "source $(source_stamp)"
    echo "modules $BARESIP_MODULES"
    echo "re-cflags $RE_CFLAGS"
    echo "$1 $(cflags_of "$1")"
    cat "$0"
  } | sha256sum | cut -d' ' -f1
}

todo=()
for v in "${variants[@]}"; do
  p=$(prefix_of "$v")
  if ! [ -f "$p/.stamp" ] || [ "$(cat "$p/.stamp")" != "$(variant_stamp "$v")" ]; then
    todo+=("$v")
  fi
done
[ ${#todo[@]} -gt 0 ] || exit 0

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

unpack() {
  local stamp
  stamp=$(source_stamp)
  if [ -f "$src/.stamp" ] && [ "$(cat "$src/.stamp")" = "$stamp" ]; then
    return
  fi
  tarballs_ok || fetch
  rm -rf "$src"
  mkdir -p "$src"
  tar xzf "$dl/libre_${RE_VER}.orig.tar.gz" -C "$src"
  tar xzf "$dl/rem_${REM_VER}.orig.tar.gz" -C "$src"
  tar xzf "$dl/baresip_${BARESIP_VER}.orig.tar.gz" -C "$src"
  apply_patches "$src/re-$RE_VER" re
  apply_patches "$src/baresip-$BARESIP_VER" baresip
  echo "$stamp" > "$src/.stamp"
}

apply_patches() {
  local dir=$1 prefix_name=$2 p
  for p in "$here"/patches/"$prefix_name"-*.patch; do
    [ -e "$p" ] || continue
    patch -d "$dir" -p1 --forward --quiet < "$p"
  done
}

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

# build_re DIR PREFIX CFLAGS: libre.a, its headers and build rules, and the
# feature macros our own code must be compiled with: the same ones as
# libre, or structures such as struct sa differ between the two.
build_re() {
  local dir=$1 prefix=$2 cflags="$RE_CFLAGS $3"
  cd "$dir/re-$RE_VER"
  make -s -j"$jobs" RELEASE=1 PREFIX="$prefix" EXTRA_CFLAGS="$cflags" libre.a
  make -s RELEASE=1 PREFIX="$prefix" EXTRA_CFLAGS="$cflags" install
  rm -f "$prefix"/lib/libre.so*
  make -s RELEASE=1 PREFIX="$prefix" EXTRA_CFLAGS="$cflags" info |
    sed -n 's/^ *CFLAGS: *//p' | tr ' \t' '\n\n' |
    grep -E '^-D(RELEASE|LINUX|HAVE_[A-Z0-9_]+|USE_[A-Z0-9_]+|JBUF_STAT(=.*)?)$' |
    sort -u > "$prefix/re-defines.txt"
  grep -q -- -DHAVE_INET6 "$prefix/re-defines.txt"
}

build_rem() {
  local dir=$1 prefix=$2 cflags=$3
  cd "$dir/rem-$REM_VER"
  local vars=(RELEASE=1 PREFIX="$prefix" EXTRA_CFLAGS="$cflags" LIBRE_MK="$prefix/share/re/re.mk"
              LIBRE_INC="$prefix/include/re" LIBRE_SO="$prefix/lib" LIBRE_PATH="$prefix")
  make -s -j"$jobs" "${vars[@]}" librem.a
  make -s "${vars[@]}" install
  rm -f "$prefix"/lib/librem.so*
}

build_baresip() {
  local dir=$1 prefix=$2 cflags=$3
  cd "$dir/baresip-$BARESIP_VER"
  local vars=(RELEASE=1 STATIC=1 PREFIX="$prefix" EXTRA_CFLAGS="$cflags" LIBRE_MK="$prefix/share/re/re.mk"
              LIBRE_INC="$prefix/include/re" LIBRE_SO="$prefix/lib" LIBRE_PATH="$prefix"
              LIBREM_PATH="$prefix" MODULES="$BARESIP_MODULES")
  make -s -j"$jobs" "${vars[@]}" libbaresip.a
  make -s "${vars[@]}" install-static
  # The program brings its own static module table.
  ar d "$prefix/lib/libbaresip.a" static.o
  mkdir -p "$prefix/include/baresip"
  cp include/baresip.h "$prefix/include/baresip/"
}

# build_variant NAME: the variant's prefix from a fresh copy of the sources.
build_variant() {
  local v=$1 prefix dir cflags
  prefix=$(prefix_of "$v")
  dir=$cache/build-$v
  cflags=$(cflags_of "$v")
  rm -rf "$dir" "$prefix"
  mkdir -p "$dir" "$prefix"
  cp -a "$src/." "$dir/"
  case $v in
    memdebug)
      # Only libre's memory code differs; its objects link with rem and
      # baresip of the release prefix.
      step "re-$v" build_re "$dir" "$dir/install" "$cflags"
      mkdir -p "$prefix/lib"
      cp "$dir/install/lib/libre.a" "$prefix/lib/"
      ;;
    *)
      step "re-$v" build_re "$dir" "$prefix" "$cflags"
      step "rem-$v" build_rem "$dir" "$prefix" "$cflags"
      step "baresip-$v" build_baresip "$dir" "$prefix" "$cflags"
      ;;
  esac
  rm -rf "$dir"
  variant_stamp "$v" > "$prefix/.stamp"
  echo "build-sip-stack: libre $RE_VER, rem $REM_VER, baresip $BARESIP_VER ($v) in $prefix"
}

unpack
for v in "${todo[@]}"; do
  build_variant "$v"
done
