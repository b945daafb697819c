#!/usr/bin/env bash
# release.sh [--dist DIR] [--sign-cert FILE --sign-key FILE [--sign-timestamp-url URL]]
# Builds both targets in release mode (stripped and reproducible) in
# build/release-win64 and build/release-win32, and writes to DIR (dist):
#   kestrum-<version>-win64/ and -win32/: kestrum.exe, kestrum-scan.exe,
#     kestrum-run.exe, kestrum-scan.schema.json, kestrum-run.cmd, LICENSE,
#     README.md and the pages it links to, docs/*.md
#   kestrum-<version>-win64.zip and -win32.zip: the same files
#   SHA256SUMS: the two archives, the six executables and the two schemas
# With a code-signing certificate and its private key (PEM or DER; also
# taken from KESTRUM_SIGN_CERT and KESTRUM_SIGN_KEY, and the timestamp
# server from KESTRUM_SIGN_TIMESTAMP_URL), every executable is signed
# with Authenticode before anything is hashed or archived.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")

dist=$source_dir/dist
sign_cert=${KESTRUM_SIGN_CERT:-}
sign_key=${KESTRUM_SIGN_KEY:-}
timestamp_url=${KESTRUM_SIGN_TIMESTAMP_URL:-}
usage() { sed -n '2p' "$0" | sed 's/^# /usage: /'; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --dist) dist=$(realpath -m "${2:?}"); shift 2 ;;
    --sign-cert) sign_cert=${2:?}; shift 2 ;;
    --sign-key) sign_key=${2:?}; shift 2 ;;
    --sign-timestamp-url) timestamp_url=${2:?}; shift 2 ;;
    *) usage ;;
  esac
done
if [ -n "$sign_cert" ] || [ -n "$sign_key" ]; then
  [ -f "$sign_cert" ] && [ -f "$sign_key" ] || { echo "release: signing needs both a certificate and a key file"; exit 2; }
  sign_cert=$(realpath "$sign_cert") sign_key=$(realpath "$sign_key")
fi

cd "$source_dir"
scripts/setup.sh

# Archive entry times: the commit's time, unless the caller fixes one.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
    { echo "release: not a git checkout; set SOURCE_DATE_EPOCH"; exit 2; }
fi
export SOURCE_DATE_EPOCH
# zip stores local time: one zone for everyone.
export TZ=UTC

for preset in win64 win32; do
  cmake --preset "$preset" -B "build/release-$preset" -DCMAKE_BUILD_TYPE=Release -DKESTRUM_BUILD_TESTS=OFF \
    --no-warn-unused-cli >/dev/null
  cmake --build "build/release-$preset" --target kestrum kestrum-scan kestrum-run -j 2 >/dev/null
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release-win64/CMakeCache.txt)
[ -n "$version" ] || { echo "release: no project version in build/release-win64/CMakeCache.txt"; exit 1; }

mkdir -p "$dist"
sums=()
for preset in win64 win32; do
  case $preset in win64) machine=x86-64 ;; win32) machine=i386 ;; esac
  name=kestrum-$version-$preset
  stage=$dist/$name
  rm -rf "$stage" "$dist/$name.zip"
  mkdir "$stage"
  for program in kestrum kestrum-scan kestrum-run; do
    if [ -n "$sign_cert" ]; then
      osslsigncode sign -certs "$sign_cert" -key "$sign_key" -h sha256 -n "$program" \
        ${timestamp_url:+-ts "$timestamp_url"} -in "build/release-$preset/bin/$program.exe" -out "$stage/$program.exe" >/dev/null
    else
      cp "build/release-$preset/bin/$program.exe" "$stage/$program.exe"
    fi
    scripts/check-artifact.sh "$stage/$program.exe" "$machine" >/dev/null ||
      { scripts/check-artifact.sh "$stage/$program.exe" "$machine"; exit 1; }
  done
  # cmd.exe reads a batch file best with CRLF line ends.
  sed 's/\r*$/\r/' deploy/kestrum-run.cmd >"$stage/kestrum-run.cmd"
  cp LICENSE README.md deploy/kestrum-scan.schema.json "$stage/"
  # The pages the README links to, so that its links work in the archive.
  mkdir "$stage/docs"
  cp docs/*.md "$stage/docs/"
  # Fixed entry order, times and modes, and no owner fields.
  files=(kestrum.exe kestrum-scan.exe kestrum-run.exe kestrum-scan.schema.json kestrum-run.cmd LICENSE README.md
    $(LC_ALL=C ls docs/*.md))
  (cd "$stage" && chmod 644 "${files[@]}" && touch -d "@$SOURCE_DATE_EPOCH" "${files[@]}" &&
    zip -q -X -D "../$name.zip" "${files[@]}")
  sums+=("$name.zip" "$name/kestrum.exe" "$name/kestrum-scan.exe" "$name/kestrum-run.exe" "$name/kestrum-scan.schema.json")
done
(cd "$dist" && sha256sum "${sums[@]}" >SHA256SUMS)
echo "kestrum $version${sign_cert:+ (signed)}: $dist"
(cd "$dist" && cat SHA256SUMS)
