#!/usr/bin/env bash
# The main job, on a demo Wine machine: installs what is missing, builds
# kestrum, plants a simulated installation of the product in a fresh
# prefix, scans it with kestrum-scan, runs kestrum on it through its
# deployment wrapper, and shows the wrapper's line and status, the report,
# the log, the scan after the run and what is left.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/wine-env.sh

scripts/setup.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target kestrum kestrum-scan kestrum-run kestrum-plant >/dev/null
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
# The deployment wrapper, as a fleet agent starts it: it runs kestrum.exe,
# keeps the report in the native Program Files folder, logs the run and
# sums it up in one line and its status.
echo "== kestrum-run.exe (the deployment wrapper)"
status=0
(cd "$prefix/drive_c" && wine "$bin/kestrum-run.exe") || status=$?
echo "== kestrum-run exit status: $status"
echo
echo "== Its report, C:\\Program Files\\kestrum\\kestrum-report.txt"
cat "$prefix/drive_c/Program Files/kestrum/kestrum-report.txt"
echo
echo "== Its log, C:\\windows\\Logs\\kestrum\\kestrum-run.log (CMTrace's format)"
# Wine's prefix spells the Logs folder in lower case.
tr -d '\r' <"$prefix"/drive_c/windows/[Ll]ogs/kestrum/kestrum-run.log
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
