#!/usr/bin/env bash
# The main job, on a demo Wine machine: installs what is missing, builds
# kestrum, plants a simulated installation of the product in a fresh
# prefix, scans it with kestrum-scan, runs kestrum on it, and shows the
# report, the scan after the run and what is left.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/wine-env.sh

scripts/setup.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target kestrum kestrum-scan kestrum-plant >/dev/null
bin=$PWD/build/win64/bin
template=$PWD/build/win64/wine-template
scripts/wine-template.sh "$template"

prefix=$(new_prefix_folder "$template" demo)
trap 'stop_prefix "$prefix"; rm -rf "$prefix"' EXIT
copy_prefix "$template" "$prefix"
export WINEPREFIX=$prefix
# One wineserver for the whole demo, so the planted service and processes
# live on between the commands below.
"$WINESERVER" -p

wine() { "$WINE_LOADER" "$@"; }

echo "== Planting a simulated Orvane client installation in $prefix"
echo "   (with a second, logged-on user, S-1-5-21-0-0-0-1001, who holds the bootstrapper's per-user records)"
wine "$bin/kestrum-plant.exe" all
echo
echo "== Present before the run"
wine "$bin/kestrum-plant.exe" survey
echo
# scan TITLE ARGS...: kestrum-scan with its output and exit status.
scan() {
  local title=$1 status=0
  shift
  echo "== kestrum-scan.exe${*:+ $*} ($title)"
  (cd "$prefix/drive_c" && wine "$bin/kestrum-scan.exe" "$@") || status=$?
  echo "== kestrum-scan exit status: $status"
  echo
}
scan "before the run: what a run would remove"
echo "== kestrum.exe > report.txt"
status=0
(cd "$prefix/drive_c" && wine "$bin/kestrum.exe" > "$prefix/report.txt") || status=$?
cat "$prefix/report.txt"
echo
echo "== Exit status: $status"
echo
echo "== Present after the run"
wine "$bin/kestrum-plant.exe" survey
echo
scan "after the run: the shared keys a run leaves, and nothing a run would remove"
scan "before the -bo run: the bootstrapper's key, which a normal run keeps" -bo
echo "== kestrum.exe -bo > report-bo.txt (the bootstrapper's records, kept by a normal run)"
(cd "$prefix/drive_c" && wine "$bin/kestrum.exe" -bo > "$prefix/report-bo.txt") || true
cat "$prefix/report-bo.txt"
echo
echo "== Present after the -bo run"
wine "$bin/kestrum-plant.exe" survey
echo
scan "after the -bo run" -bo
