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
# A GoogleTest program writes its own verdict here before it returns.
result=$prefix/gtest-result.xml
GTEST_OUTPUT="xml:Z:${result//\//\\}" WINEPREFIX=$prefix "$WINE_LOADER" "$@"
status=$?
# Wine's own Unix process has been seen to die of a signal (status 128 + N)
# after the Windows program had finished. That counts as passed only when
# the program's whole result, written before the crash, says every test ran
# and passed; the crash is named here and in the crash log that
# scripts/test.sh prints. A test that failed, was skipped, did not finish
# or wrote no result stays failed.
passed_in() {
  grep -q '</testsuites>' "$1" 2>/dev/null &&
    grep -q '<testsuites tests="[1-9][0-9]*" failures="0" disabled="0" errors="0"' "$1" &&
    ! grep -q -E '<failure|<skipped|result="(skipped|suppressed)"|status="notrun"' "$1"
}
if [ "$status" -gt 128 ] && passed_in "$result"; then
  note="wine-run.sh: Wine crashed (signal $((status - 128))) after ${1##*/} $(
    sed -n 's/.*--gtest_filter=//p' <<<"$*") had finished and passed; counted as passed"
  echo "$note" >&2
  echo "$note" >>"${KESTRUM_CRASH_LOG:-$template.crashes}"
  exit 0
fi
# A run that ends before printing anything leaves only this to go by.
[ "$status" -eq 0 ] || echo "wine-run.sh: ${1##*/} exited with $status" >&2
exit "$status"
