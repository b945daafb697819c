#!/usr/bin/env bash
# Installs what building and testing kestrum on Debian 12 needs, if missing:
# the MinGW-w64 cross compilers, Wine, CMake and GoogleTest's sources, and
# for the scan's JSON test the schema validator and the .msi builder; or,
# given package names, those packages instead.
set -euo pipefail

packages=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64 wine64 cmake make googletest zip osslsigncode python3-jsonschema wixl)
if [ $# -gt 0 ]; then packages=("$@"); fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  log=$(mktemp)
  if ! { $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log"
    exit 1
  fi
  rm -f "$log"
fi
