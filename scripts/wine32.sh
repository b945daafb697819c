#!/usr/bin/env bash
# wine32.sh BUILD_DIR COMMAND [ARGS...]: runs COMMAND (one of the Wine
# scripts) with WINE_LOADER and WINESERVER set to a Wine that runs 32-bit
# Windows programs, found in this order:
#   1. $KESTRUM_WINE_WOW64, the path of such a Wine's bin/wine;
#   2. the WoW64 Wine packed in ../shared/wine-wow64 beside the project,
#      unpacked once into BUILD_DIR/wine-wow64;
#   3. the system's Wine, where its 32-bit loader can start here.
# wine32.sh BUILD_DIR --which prints the loader found, after checking that
# it really starts a 32-bit program on this machine, and runs nothing.
# Exits 3 when there is no such Wine, or when it cannot run one here.
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

# A WoW64 Wine gives its 32-bit threads their %fs through the kernel's
# 32-bit system call gate (int 0x80). Where the kernel's 32-bit emulation
# is off (ia32_emulation=0, or a hypervisor that leaves the gate out) that
# faults, and every 32-bit program dies with SIGSEGV before its first line.
# So --which also starts the build's own 32-bit test program once, listing
# its tests in a throwaway prefix; before that program is built it cannot.
runs_32bit_program() {
  local program=$build/bin/kestrum_tests.exe prefix status
  [ -f "$program" ] || return 0
  prefix=$(mktemp -d "${TMPDIR:-/tmp}/kestrum-wine32-probe.XXXXXX") || return 1
  (
    . "$here/wine-env.sh"
    WINEPREFIX=$prefix "$WINE_LOADER" "$program" --gtest_list_tests >/dev/null 2>&1
    status=$?
    stop_prefix "$prefix"
    exit "$status"
  ) 2>/dev/null
  status=$?
  rm -rf "$prefix"
  [ "$status" -eq 0 ] && return 0
  echo -n "$WINE_LOADER cannot run a 32-bit program here: ${program##*/} exited with $status" >&2
  [ "$status" -gt 128 ] && echo -n " (signal $((status - 128)) in Wine's own Unix process: kernel $(uname -r) does not run the 32-bit code Wine needs)" >&2
  echo >&2
  return 1
}

if [ "${1:-}" = --which ]; then
  runs_32bit_program || exit 3
  echo "$WINE_LOADER"
  exit 0
fi
exec "$@"
