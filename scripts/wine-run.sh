#!/usr/bin/env bash
# wine-run.sh TEMPLATE PROGRAM [ARGS...]: runs a Windows program in its own
# throwaway copy of the template prefix and removes the copy afterwards.
# CTest runs every test through this, so no two tests share a machine.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"

template=$1
shift
prefix=$(new_prefix_folder "$template" test)
cleanup() { stop_prefix "$prefix"; rm -rf "$prefix"; }
trap cleanup EXIT
trap 'exit 130' INT TERM
copy_prefix "$template" "$prefix"
WINEPREFIX=$prefix "$WINE_LOADER" "$@"
