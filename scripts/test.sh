#!/usr/bin/env bash
# The whole test suite: checks the documentation's links, installs what is
# missing, builds both Windows targets, checks both, runs every test of the
# 64-bit build under the system's Wine, and every test of the 32-bit build
# under a Wine that runs 32-bit programs (see scripts/wine32.sh), where
# there is one; then, where Ansible is installed, checks the Ansible play
# of docs/deploy-ansible.md.
set -euo pipefail
cd "$(dirname "$0")/.."

# A loader given by hand that is not there fails at once, not after the
# builds and the 64-bit suite.
if [ -n "${KESTRUM_WINE_WOW64:-}" ] && [ ! -x "$KESTRUM_WINE_WOW64" ]; then
  echo "FAIL: KESTRUM_WINE_WOW64=$KESTRUM_WINE_WOW64 is not a Wine loader"
  exit 1
fi

# The documentation's links first: a broken one fails at once, not after
# the builds and both suites.
scripts/check-links.sh

scripts/setup.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32
cmake --preset win64 >/dev/null
cmake --build --preset win64

# suite_crashes BUILD: the tests that Wine crashed after (see wine-run.sh).
suite_crashes() {
  [ -s "$1/wine-template.crashes" ] || return 0
  echo "NOTE: Wine crashed after $(wc -l <"$1/wine-template.crashes") test(s) that had passed:"
  sed 's/^wine-run.sh: /NOTE:   /' "$1/wine-template.crashes"
}
rm -f build/win64/wine-template.crashes build/win32/wine-template.crashes

status=0
echo
echo "== 64-bit build, under $(/usr/lib/wine/wine64 --version 2>/dev/null || echo the system Wine)"
ctest --preset win64 || status=$?
suite_crashes build/win64

echo
if wine32=$(scripts/wine32.sh build/win32 --which 2>"build/win32/wine32-which.txt"); then
  echo "== 32-bit build, under $("$wine32" --version) ($wine32)"
  ctest --preset win32 || status=$?
  suite_crashes build/win32
else
  echo "NOTE: 32-bit build: compiled, linked and checked (artifact.i386*), but its tests were NOT executed: no Wine found here runs 32-bit Windows programs (why: the next line; KESTRUM_WINE_WOW64 names another WoW64 Wine's bin/wine)."
  grep -v '^Unpacking' "build/win32/wine32-which.txt" | sed 's/^/NOTE: /'
fi

# The Ansible play (docs/deploy-ansible.md): checked where Ansible is
# installed. Installing it takes about a minute, so set-up leaves it to
# scripts/check-recipes.sh.
echo
if command -v ansible-playbook >/dev/null; then
  echo "== Deployment recipes"
  scripts/check-recipes.sh || status=$?
else
  echo "NOTE: the Ansible play of docs/deploy-ansible.md was NOT checked: ansible-playbook is not installed (scripts/check-recipes.sh installs Debian's ansible and checks it)."
fi
exit $status
