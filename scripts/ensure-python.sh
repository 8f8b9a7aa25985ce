#!/usr/bin/env bash
# Prints the path of a CPython 3.14 interpreter, building and caching one when
# none is available.  Progress goes to stderr so callers can capture stdout.
#
#   scripts/ensure-python.sh [ft|gil]     (default: ft, the free-threaded build)
#
# ft:  $BRINDLE_PYTHON, else python3.14t on PATH with Py_GIL_DISABLED=1, else a
#      cached build under $BRINDLE_CACHE (default ~/.cache/brindle).
# gil: $BRINDLE_PYTHON_GIL, else python3.14 on PATH without Py_GIL_DISABLED,
#      else a cached build.
set -euo pipefail

flavor=${1:-ft}
cache=${BRINDLE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/brindle}
log() { printf 'ensure-python: %s\n' "$*" >&2; }
die() { printf 'ensure-python: error: %s\n' "$*" >&2; exit 1; }

# name sha256, newest first
versions=(
  "3.14.7 3b48dac8fb59f62eaa67ac83c1eb12bda1b7a08406dd286e252c11a66be27f81"
  "3.14.6 143b1dddefaec3bd2e21e3b839b34a2b7fb9842272883c576420d605e9f30c63"
  "3.14.5 7e32597b99e5d9a39abed35de4693fa169df3e5850d4c334337ffd6a19a36db6"
  "3.14.4 d923c51303e38e249136fc1bdf3568d56ecb03214efdef48516176d3d7faaef8"
)

case "$flavor" in
  ft) want_gil_disabled=1; exe=python3.14t; override=${BRINDLE_PYTHON:-}; conf_extra=(--disable-gil) ;;
  gil) want_gil_disabled=0; exe=python3.14; override=${BRINDLE_PYTHON_GIL:-}; conf_extra=() ;;
  *) die "unknown flavor '$flavor' (use ft or gil)" ;;
esac
prefix=$cache/cpython-3.14-$flavor

is_wanted() {
  local py=$1
  [ -x "$py" ] || command -v "$py" >/dev/null 2>&1 || return 1
  "$py" - "$want_gil_disabled" <<'PY' 2>/dev/null
import sys, sysconfig
want = int(sys.argv[1])
ok = sys.version_info[:2] == (3, 14) and int(sysconfig.get_config_var("Py_GIL_DISABLED") or 0) == want
sys.exit(0 if ok else 1)
PY
}

if [ -n "$override" ]; then
  is_wanted "$override" || die "$override is not a CPython 3.14 of the '$flavor' flavor"
  command -v "$override"; exit 0
fi
if p=$(command -v "$exe" 2>/dev/null) && is_wanted "$p"; then echo "$p"; exit 0; fi
if is_wanted "$prefix/bin/$exe"; then echo "$prefix/bin/$exe"; exit 0; fi

hint="set BRINDLE_PYTHON (or BRINDLE_PYTHON_GIL for the gil flavor) to a CPython 3.14 interpreter of that flavor"

# The Debian archive mirrors upstream CPython tarballs; take its address from
# the machine's apt configuration rather than writing a host name down.
archive_base() {
  local f uri=""
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    uri=$(awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i !~ /security/) { print $i; exit } }' "$f")
    [ -n "$uri" ] && break
  done
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^https?:/) { print $i; exit } }' /etc/apt/sources.list)
  fi
  [ -n "$uri" ] || return 1
  echo "${uri%/}"
}

need_pkgs=(build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
           libsqlite3-dev libreadline-dev libncurses-dev uuid-dev libgdbm-dev xz-utils curl)
. "$(dirname "$0")/apt-ensure.sh"
apt_ensure "${need_pkgs[@]}" || die "could not install CPython's build dependencies; install them or $hint"

base=$(archive_base) || die "no Debian archive address in the apt configuration; $hint"
mkdir -p "$cache/src"
tarball="" version=""
for entry in "${versions[@]}"; do
  set -- $entry
  v=$1 sum=$2 f=$cache/src/python3.14_$1.orig.tar.xz
  if [ ! -f "$f" ]; then
    log "downloading CPython $v source"
    curl -fsSL -o "$f.part" "$base/pool/main/p/python3.14/python3.14_$v.orig.tar.xz" 2>/dev/null || { rm -f "$f.part"; continue; }
    mv "$f.part" "$f"
  fi
  if echo "$sum  $f" | sha256sum -c --quiet >/dev/null 2>&1; then
    tarball=$f version=$v; break
  fi
  log "checksum mismatch for $f; discarding it"; rm -f "$f"
done

if [ -z "$tarball" ]; then
  # Fall back to whatever 3.14 the archive's signed source index lists.
  log "no pinned version is served; consulting the unstable source index"
  idx=$cache/src/Sources.xz
  curl -fsSL -o "$idx" "$base/dists/unstable/main/source/Sources.xz" || die "cannot fetch the source index; $hint"
  line=$(xz -dc "$idx" | awk '/^Package: python3.14$/ { p = 1 } p && /^Checksums-Sha256:/ { c = 1; next } p && c && /orig\.tar\.xz/ { print $1, $3; exit } p && /^$/ { p = 0; c = 0 }')
  [ -n "$line" ] || die "the source index lists no python3.14 tarball; $hint"
  set -- $line
  sum=$1 name=$2 version=${name#python3.14_}; version=${version%.orig.tar.xz}
  tarball=$cache/src/$name
  curl -fsSL -o "$tarball" "$base/pool/main/p/python3.14/$name" || die "download of $name failed; $hint"
  echo "$sum  $tarball" | sha256sum -c --quiet >/dev/null 2>&1 || { rm -f "$tarball"; die "checksum mismatch for $name; $hint"; }
fi

build=$cache/build-$flavor-$version
rm -rf "$build"; mkdir -p "$build"
log "unpacking CPython $version"
tar -xJf "$tarball" -C "$build" --strip-components=1
cd "$build"
log "configuring ($flavor)"
./configure --prefix="$prefix" --with-ensurepip=install "${conf_extra[@]}" >"$build/configure.log" 2>&1 \
  || die "configure failed; see $build/configure.log, or $hint"
log "compiling (a few minutes on 2 cores)"
make -j"$(nproc)" >"$build/make.log" 2>&1 || die "build failed; see $build/make.log, or $hint"
log "installing into $prefix"
make install >"$build/install.log" 2>&1 || die "install failed; see $build/install.log, or $hint"
is_wanted "$prefix/bin/$exe" || die "the fresh build at $prefix/bin/$exe does not run; $hint"
log "CPython $version ($flavor) ready"
echo "$prefix/bin/$exe"
