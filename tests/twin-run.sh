#!/usr/bin/env bash
# twin-run.sh TEMPLATE BIN64 BIN32: both builds give the same report and
# leave the same machine. Two copies of the template are planted alike by
# the one (64-bit) planting tool; the 64-bit kestrum.exe runs on one, the
# 32-bit one on the other, under the same Wine (which must run 32-bit
# programs: see scripts/wine32.sh); then the reports and a survey of each
# machine are compared byte for byte. Exits 77 (skipped) when the 64-bit
# build is missing.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/wine-env.sh"

template=$1 bin64=$2 bin32=$3
for exe in "$bin64/kestrum.exe" "$bin64/kestrum-plant.exe" "$bin32/kestrum.exe"; do
  [ -f "$exe" ] || { echo "SKIPPED: $exe is missing (build both presets first)"; exit 77; }
done

prefixes=()
cleanup() {
  for prefix in "${prefixes[@]}"; do stop_prefix "$prefix"; rm -rf "$prefix"; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# run_twin NAME BIN: plants a fresh copy of the template, runs BIN's
# kestrum.exe on it from C:\ and surveys the machine afterwards.
run_twin() {
  local name=$1 bin=$2 prefix
  prefix=$(new_prefix_folder "$template" "twin-$name") && [ -d "$prefix" ] || return 1
  prefixes+=("$prefix")
  copy_prefix "$template" "$prefix" || return 1
  # One server for the whole twin, so the planted service and processes
  # live on between the commands.
  WINEPREFIX=$prefix "$WINESERVER" -p
  WINEPREFIX=$prefix "$WINE_LOADER" "$bin64/kestrum-plant.exe" all || return 1
  (cd "$prefix/drive_c" && WINEPREFIX=$prefix "$WINE_LOADER" "$bin/kestrum.exe" >"$prefix/report.txt") || return 1
  WINEPREFIX=$prefix "$WINE_LOADER" "$bin64/kestrum-plant.exe" survey >"$prefix/survey.txt" || return 1
  twin=$prefix
}

run_twin 64 "$bin64" || { echo "FAIL: the 64-bit twin did not run"; exit 1; }
first=$twin
run_twin 32 "$bin32" || { echo "FAIL: the 32-bit twin did not run"; exit 1; }
second=$twin

failures=0
for file in report.txt survey.txt; do
  if ! cmp -s "$first/$file" "$second/$file"; then
    echo "FAIL: the two builds' $file differ (64-bit first):"
    diff "$first/$file" "$second/$file"
    failures=$((failures + 1))
  fi
done
# Equal is not enough: the run must have found the planted product.
for line in 'Service stopped.' 'Terminating process: OrvUpdater.exe' 'Deleting SOFTWARE\Velmoran..SUCCESS'; do
  grep -qF "$line" "$first/report.txt" || { echo "FAIL: the report lacks \"$line\""; failures=$((failures + 1)); }
done
echo "== report ($(wc -c <"$first/report.txt") bytes, the same from both builds:"
cat "$first/report.txt"
echo "== left on the machine, the same after both:"
cat "$first/survey.txt"
exit $((failures > 0))
