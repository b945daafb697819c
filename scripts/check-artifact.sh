#!/usr/bin/env bash
# check-artifact.sh [--machine-only] EXE MACHINE
# Checks a built kestrum.exe, kestrum-scan.exe or kestrum-run.exe as
# Windows will load it: the machine type (x86-64 or i386), the subsystem
# (GUI for kestrum.exe, console for kestrum-scan.exe and kestrum-run.exe,
# whose statuses their starters wait for), the
# embedded manifest's execution level and uiAccess, and that it imports
# system DLLs only.
set -uo pipefail

machine_only=0
if [ "${1:-}" = --machine-only ]; then machine_only=1; shift; fi
exe=$1 machine=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ -f "$exe" ] || { echo "FAIL: $exe does not exist (build that preset first)"; exit 1; }
dump=$(x86_64-w64-mingw32-objdump -p "$exe") || { echo "FAIL: objdump cannot read $exe"; exit 1; }

case $machine in
  x86-64) format=pei-x86-64 ;;
  i386) format=pei-i386 ;;
  *) echo "unknown machine $machine"; exit 2 ;;
esac
grep -q "file format $format\$" <<<"$dump" || fail "$exe is not $format: $(grep -m1 'file format' <<<"$dump")"
if [ $machine_only = 1 ]; then
  [ $failures = 0 ] && echo "OK: $exe is $format"
  exit $((failures > 0))
fi

case ${exe##*/} in
  kestrum-scan*.exe | kestrum-run*.exe) subsystem=00000003 subsystem_name=console ;;
  *) subsystem=00000002 subsystem_name=GUI ;;
esac
grep -Eq "^Subsystem[[:space:]]+$subsystem" <<<"$dump" ||
  fail "subsystem is not Windows $subsystem_name: $(grep -m1 '^Subsystem' <<<"$dump")"

# The manifest is stored as plain XML in the resource section.
manifest=$(tr -d '\0' <"$exe" | tr '\n' ' ' | grep -ao '<assembly .*</assembly>' | head -n1)
[ -n "$manifest" ] || fail "no embedded manifest"
grep -q 'requestedExecutionLevel level="asInvoker" uiAccess="false"' <<<"$manifest" ||
  fail "manifest does not request asInvoker with uiAccess false"

# DLLs every Windows installation has in its system folder.
system_dlls='^(kernel32|advapi32|shell32|user32|msvcrt|ntdll|ole32|shlwapi)\.dll$'
imports=$(grep -E '^[[:space:]]*DLL Name:' <<<"$dump" | awk '{print tolower($3)}' | sort -u)
[ -n "$imports" ] || fail "no import table found"
for dll in $imports; do
  grep -Eq "$system_dlls" <<<"$dll" || fail "imports a non-system DLL: $dll"
done

if [ $failures = 0 ]; then
  echo "OK: $exe is $format, $subsystem_name subsystem, asInvoker, imports:" $imports
fi
exit $((failures > 0))
