#!/usr/bin/env bash
# check-release.sh TEMPLATE: runs scripts/release.sh as a user would, twice
# unsigned and once signed with a throwaway self-signed code-signing
# certificate, into temporary dist folders, and checks what it wrote: the
# archives' entries, SHA256SUMS, that the unsigned archives come out
# byte-identical, that the signed executables verify and pass the artifact
# checks, and that the signed 64-bit one, started through the archive's
# kestrum-run.cmd and kestrum-run.exe in a throwaway Wine prefix made from
# TEMPLATE, runs and leaves its report where the wrapper promises.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
template=$(realpath "$1")
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrum-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

release() {
  "$here/release.sh" "$@" >"$work/release.log" 2>&1 || { cat "$work/release.log"; echo "FAIL: release.sh $*"; exit 1; }
}

release --dist "$work/unsigned-1"
# Entry times must come from the commit, never from the clock.
sleep 1
release --dist "$work/unsigned-2"
cmp -s "$work/unsigned-1/SHA256SUMS" "$work/unsigned-2/SHA256SUMS" ||
  fail "two unsigned releases differ: $(diff "$work/unsigned-1/SHA256SUMS" "$work/unsigned-2/SHA256SUMS")"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=kestrum test signer" \
  -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null || { echo "FAIL: openssl cannot make a certificate"; exit 1; }
KESTRUM_SIGN_CERT=$work/cert.pem KESTRUM_SIGN_KEY=$work/key.pem release --dist "$work/signed"

dist=$work/signed
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files beside it"
expected_entries=$'kestrum.exe\nkestrum-scan.exe\nkestrum-run.exe\nkestrum-scan.schema.json\nkestrum-run.cmd\nLICENSE\nREADME.md'$'\n'"$(cd "$here/.." && LC_ALL=C ls docs/*.md)"
for preset in win64 win32; do
  case $preset in win64) machine=x86-64 ;; win32) machine=i386 ;; esac
  zip=$(ls "$dist"/kestrum-*-$preset.zip 2>/dev/null)
  [ -f "$zip" ] || { fail "no $preset archive in $dist"; continue; }
  grep -q "  ${zip##*/}\$" "$dist/SHA256SUMS" || fail "SHA256SUMS does not list ${zip##*/}"
  entries=$(unzip -Z1 "$zip")
  [ "$entries" = "$expected_entries" ] || fail "${zip##*/} holds: $entries"
  unpacked=$work/unpacked-$preset
  unzip -q "$zip" -d "$unpacked"
  for program in kestrum kestrum-scan kestrum-run; do
    name=${zip##*/}
    grep -q "  ${name%.zip}/$program.exe\$" "$dist/SHA256SUMS" || fail "SHA256SUMS does not list $preset $program.exe"
    cmp -s "$unpacked/$program.exe" "${zip%.zip}/$program.exe" || fail "${zip##*/}'s $program.exe is not the one hashed"
    osslsigncode verify -CAfile "$work/cert.pem" -in "$unpacked/$program.exe" >"$work/verify.log" 2>&1 ||
      { cat "$work/verify.log"; fail "$preset $program.exe does not verify"; }
    grep -q "kestrum test signer" "$work/verify.log" || fail "$preset $program.exe is not signed by the test certificate"
    "$here/check-artifact.sh" "$unpacked/$program.exe" $machine || fail "signed $preset $program.exe fails the artifact checks"
  done
  grep -q $'\r$' "$unpacked/kestrum-run.cmd" || fail "kestrum-run.cmd has no CRLF line ends"
  archive=${zip##*/}
  grep -q "  ${archive%.zip}/kestrum-scan.schema.json\$" "$dist/SHA256SUMS" || fail "SHA256SUMS does not list $preset's schema"
  cmp -s "$unpacked/kestrum-scan.schema.json" "$here/../deploy/kestrum-scan.schema.json" ||
    fail "${zip##*/}'s kestrum-scan.schema.json is not the project's"
  diff -r -q "$unpacked/docs" "$here/../docs" >/dev/null || fail "${zip##*/}'s docs are not the project's"
done

# The wrapper as a deployment system starts it, then the report it kept.
# Wine's icacls and cmd are not Windows': what this shows is that the
# wrapper runs the signed programs from its own folder and where the report
# lands, not how Windows guards that folder.
cat >"$work/deploy.cmd" <<'CMD'
@echo off
call "%~dp0unpacked-win64\kestrum-run.cmd" -bo
echo exit status %errorlevel%
type "%ProgramW6432%\kestrum\kestrum-report.txt"
"%~dp0unpacked-win64\kestrum-scan.exe" -bo > nul
echo scan status %errorlevel%
rem A file where the report folder belongs: the wrapper refuses to run.
rem (Started as itself here, through its shim above.)
rmdir /s /q "%ProgramW6432%\kestrum"
echo planted> "%ProgramW6432%\kestrum"
"%~dp0unpacked-win64\kestrum-run.exe" -bo
echo refused with %errorlevel%
exit /b 0
CMD
sed -i 's/$/\r/' "$work/deploy.cmd"
output=$(cd "$work" && "$here/wine-run.sh" "$template" cmd /c "Z:${work//\//\\}\\deploy.cmd" 2>&1)
expected=$'kestrum-run: REMOVED, status 0, stayed 0, failed 0, restart 0\nexit status 0\r\nCurrent Directory: Z:'"${work//\//\\}"$'\n\nDeleting Bootstrapper Registry Entries\n--------------------------------------\n'
[ "${output:0:${#expected}}" = "$expected" ] || fail "the signed kestrum.exe did not run through kestrum-run.cmd and kestrum-run.exe: $output"
[[ $output == *$'refused with 1\r' ]] || fail "kestrum-run.exe ran without its report folder: $output"
[[ $output == *$'scan status 0\r'* ]] || fail "the signed kestrum-scan.exe did not give 0 on a clean machine: $output"

[ $failures = 0 ] && echo "OK: release archives, SHA256SUMS, signatures and the deployment wrapper"
exit $((failures > 0))
