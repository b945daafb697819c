#!/usr/bin/env bash
# wine32.sh BUILD_DIR COMMAND [ARGS...]: runs COMMAND (one of the Wine
# scripts) with WINE_LOADER and WINESERVER set to a Wine that runs 32-bit
# Windows programs, found in this order:
#   1. $KESTRUM_WINE_WOW64, the path of such a Wine's bin/wine;
#   2. the WoW64 Wine packed in ../shared/wine-wow64 beside the project,
#      unpacked once into BUILD_DIR/wine-wow64;
#   3. the system's Wine, where its 32-bit loader can start here.
# wine32.sh BUILD_DIR --which prints the loader found and runs nothing.
# Exits 3 when there is no such Wine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

build=$(realpath -m "$1")
shift

# Unpacks the archive into BUILD_DIR/wine-wow64 unless a whole earlier
# unpacking is there; a lock keeps parallel tests from unpacking it twice.
unpack_wow64() {
  local archive=$1 tree=$build/wine-wow64
  [ -f "$tree/.kestrum-ready" ] && return 0
  mkdir -p "$build"
  exec 8>"$tree.lock"
  flock 8
  if [ ! -f "$tree/.kestrum-ready" ]; then
    echo "Unpacking the WoW64 Wine into $tree" >&2
    rm -rf "$tree" "$tree.new"
    mkdir -p "$tree.new"
    tar -xJf "$archive" -C "$tree.new"
    mv "$tree.new/wine-wow64" "$tree"
    rm -rf "$tree.new"
    touch "$tree/.kestrum-ready"
  fi
  exec 8>&-
}

archive=$root/../shared/wine-wow64/wine-wow64.tar.xz
if [ -n "${KESTRUM_WINE_WOW64:-}" ]; then
  WINE_LOADER=$(realpath -s "$KESTRUM_WINE_WOW64")
  WINESERVER=$(dirname "$WINE_LOADER")/wineserver
elif [ -f "$archive" ]; then
  unpack_wow64 "$archive"
  WINE_LOADER=$build/wine-wow64/bin/wine
  WINESERVER=$build/wine-wow64/bin/wineserver
elif [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  # Debian's 32-bit loader hands 64-bit programs and prefixes to wine64;
  # the prefix must be a 64-bit one, as the Windows the tests stand for.
  export WINEARCH=win64
  WINE_LOADER=/usr/lib/wine/wine
  WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
else
  echo "no Wine here runs 32-bit Windows programs" >&2
  exit 3
fi
[ -x "$WINE_LOADER" ] && [ -x "$WINESERVER" ] || {
  echo "no Wine loader and server at $WINE_LOADER, $WINESERVER" >&2
  exit 3
}
export WINE_LOADER WINESERVER

if [ "${1:-}" = --which ]; then
  echo "$WINE_LOADER"
  exit 0
fi
exec "$@"
