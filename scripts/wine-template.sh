#!/usr/bin/env bash
# wine-template.sh DIR: makes the template Wine prefix that every test run
# and the demo copy. Made once; later calls find it ready and return.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"

template=$(realpath -m "$1")
# The ready mark names the Wine that made the template: a prefix is never
# used by another Wine version, which would rewrite it or meet a server
# that speaks another protocol.
# The mark names this script's own version too, so that a template made by
# an older recipe is made again.
wine_version="$("$WINE_LOADER" --version) $(sha1sum "$0" | cut -c1-12)"
ready() { [ "$(cat "$template/.kestrum-ready" 2>/dev/null)" = "$wine_version" ]; }
ready && exit 0

mkdir -p "$(dirname "$template")"
exec 9>"$template.lock"
flock 9
ready && exit 0

work="$template.new"
rm -rf "$work"
mkdir -p "$work"
echo "Making the template Wine prefix $template (first boot takes a few seconds)"
WINEPREFIX=$work "$WINE_LOADER" wineboot -i >/dev/null 2>&1 || true
stop_prefix "$work"

# Windows spells HKLM's top keys SOFTWARE and SYSTEM; a stock prefix says
# Software and System, and registry paths are compared case-sensitively.
# The bulky COM registrations (some 6,000 keys) go too: nothing here uses
# them, and every full sweep of HKEY_LOCAL_MACHINE would walk them.
awk '
  /^\[Software(\\\\|\])/ { $0 = "[SOFTWARE" substr($0, 10) }
  /^\[System(\\\\|\])/   { $0 = "[SYSTEM" substr($0, 8) }
  /^\[/ { skip = ($0 ~ /^\[SOFTWARE\\\\Classes\\\\(Wow6432Node\\\\)?(CLSID|Interface|Typelib|TypeLib)\\\\/) }
  !skip { print }
' "$work/system.reg" > "$work/system.reg.new"
mv "$work/system.reg.new" "$work/system.reg"

# Wine gives a starting service 10 seconds to connect, Windows 30; on a
# loaded machine a fresh prefix's service process can take longer than 10,
# and the planting then fails. Wine reads the value as text, Windows as a
# number: nothing of kestrum reads it. This start also proves that the
# edited hive loads.
WINEPREFIX=$work "$WINE_LOADER" reg add 'HKLM\SYSTEM\CurrentControlSet\Control' \
  /v ServicesPipeTimeout /t REG_SZ /d 30000 /f >/dev/null
stop_prefix "$work"

rm -rf "$template"
echo "$wine_version" >"$work/.kestrum-ready"
mv "$work" "$template"
