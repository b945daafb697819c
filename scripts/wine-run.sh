#!/usr/bin/env bash
# wine-run.sh TEMPLATE PROGRAM [ARGS...]: runs a Windows program in its own
# throwaway copy of the template prefix and removes the copy afterwards.
# CTest runs every test through this, so no two tests share a machine.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"

template=$1
shift
# Without its own prefix a run would fall back on ~/.wine: stop instead.
prefix=$(new_prefix_folder "$template" test) && [ -d "$prefix" ] || {
  echo "wine-run.sh: no throwaway prefix beside $template" >&2
  exit 125
}
cleanup() { stop_prefix "$prefix"; rm -rf "$prefix"; }
trap cleanup EXIT
trap 'exit 130' INT TERM
copy_prefix "$template" "$prefix" || {
  echo "wine-run.sh: the copy of $template into $prefix failed" >&2
  exit 125
}
WINEPREFIX=$prefix "$WINE_LOADER" "$@"
status=$?
# A run that ends before printing anything leaves only this to go by.
[ "$status" -eq 0 ] || echo "wine-run.sh: ${1##*/} exited with $status" >&2
exit "$status"
