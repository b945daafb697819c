#!/usr/bin/env bash
# scan-json.sh TEMPLATE BIN: kestrum-scan --json, each document checked by
# scan_json_check.py against the shipped schema and, item for item, the text
# form: the planted machine (a second user; names with line breaks, controls,
# quotes, lone surrogates), normal and -bo; the differential test's hives; an
# .msi that wixl built and Wine's msiexec installed (the scan's keys are those
# the run then deletes; nothing after it); an unknown switch (one line on
# standard error). Each part in its own throwaway prefix made from TEMPLATE.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
. "$source_dir/scripts/wine-env.sh"
template=$(realpath "$1")
bin=$(realpath "$2")
schema=$source_dir/deploy/kestrum-scan.schema.json
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrum-scan-json.XXXXXX")
prefix=
cleanup() { [ -z "$prefix" ] || { stop_prefix "$prefix"; rm -rf "$prefix"; }; rm -rf "$work"; }
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A fresh prefix with one wineserver for the commands that follow.
new_machine() {
  [ -z "$prefix" ] || { stop_prefix "$prefix"; rm -rf "$prefix"; }
  prefix=$(new_prefix_folder "$template" scan-json) && copy_prefix "$template" "$prefix" || exit 1
  export WINEPREFIX=$prefix
  "$WINESERVER" -p
}
wine() { "$WINE_LOADER" "$@"; }

# check NAME ARGS...: the scan's text and JSON forms, and their check.
check() {
  local name=$1 text_status json_status
  shift
  wine "$bin/kestrum-scan.exe" "$@" >"$work/$name.txt"
  text_status=$?
  wine "$bin/kestrum-scan.exe" --json "$@" >"$work/$name.json"
  json_status=$?
  [ "$text_status" = "$json_status" ] || fail "$name: status $text_status as text, $json_status as JSON"
  /usr/bin/python3 "$here/scan_json_check.py" "$schema" "$work/$name.json" "$work/$name.txt" "$json_status" ||
    fail "$name: the JSON form"
}

new_machine
wine "$bin/kestrum-plant.exe" all >/dev/null && wine "$bin/kestrum-plant.exe" names || fail "planting"
check planted
check planted-bo -bo
grep -q '\\uD800 pair' "$work/planted.json" && grep -q 'Line\\nBreak \\"quoted\\" \\u0001\\tand' "$work/planted.json" ||
  fail "the names that JSON escapes are not there: $(grep -a Kestrum "$work/planted.json")"
grep -q '"user": "S-1-5-21-0-0-0-1001"' "$work/planted.json" || fail "no other user's key in the JSON form"

new_machine
mkdir "$work/differential"
KESTRUM_DIFFERENTIAL_HIVES=3 KESTRUM_SCAN_JSON="Z:${work//\//\\}\\differential" wine "$bin/kestrum_tests.exe" \
  --gtest_filter=RecordedWalks.GiveTheFullWalksReportsAndLeaveTheSameRegistry >"$work/differential.log" 2>&1 ||
  { cat "$work/differential.log"; fail "the differential test"; }
documents=("$work"/differential/*.json)
[ ${#documents[@]} = 6 ] || fail "the differential test left ${#documents[@]} documents, not 6"
for document in "${documents[@]}"; do
  /usr/bin/python3 "$here/scan_json_check.py" "$schema" "$document" "${document%.json}.txt" || fail "${document##*/}"
done

new_machine
(cd "$work" && sed 's/\r*$/\r/' "$here/msi/orvane.wxs" >orvane.wxs && echo "Orvane Client" >readme.txt &&
  wixl -a x64 -o orvane.msi orvane.wxs) || fail "wixl did not build the package"
wine msiexec /i "Z:${work//\//\\}\\orvane.msi" /qn || fail "msiexec did not install the package"
check installed
wine "$bin/kestrum.exe" >"$work/run.txt"
/usr/bin/python3 - "$work/installed.json" "$work/run.txt" <<'PY' || fail "the scan of the installed product is not what the run deleted"
import json, re, sys
scanned = sorted(item["path"] for item in json.load(open(sys.argv[1], encoding="utf-8"))["found"] if item["kind"] == "key")
deleted = sorted(re.findall(r"^Deleting (.*)\.\.SUCCESS$", open(sys.argv[2], encoding="utf-8").read(), re.M))
packed = [path for path in scanned if "4855687A0CDDB614B846EDB2FCE21DFD" in path]
if scanned != deleted or len(packed) < 3 or not any("{A7865584-DDC0-416B-8B64-DE2BCF2ED1DF}" in p for p in scanned):
    sys.exit("scanned %s\ndeleted %s" % (scanned, deleted))
PY
check after-run
grep -q '"status": 0' "$work/after-run.json" || fail "the scan after the run: $(cat "$work/after-run.txt")"

wine "$bin/kestrum-scan.exe" --jsn >"$work/unknown.out" 2>"$work/unknown.err"
status=$?
[ $status = 87 ] && [ ! -s "$work/unknown.out" ] && grep -qx "kestrum-scan: unknown switch '--jsn'; .*" "$work/unknown.err" ||
  fail "an unknown switch: status $status, output $(cat "$work/unknown.out"), error $(cat "$work/unknown.err")"

[ $failures = 0 ] && echo "OK: kestrum-scan --json on the planted machine, the differential hives and an installed .msi"
exit $((failures > 0))
