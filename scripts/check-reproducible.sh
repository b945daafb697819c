#!/usr/bin/env bash
# check-reproducible.sh PRESET...: builds kestrum.exe, kestrum-scan.exe and
# kestrum-run.exe of each preset twice,
# from two copies of this source tree in two different folders, at two
# different times, and checks that both builds are byte-identical.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
[ $# -gt 0 ] || { echo "usage: $0 PRESET..."; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrum-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The tree as it is, uncommitted changes too, without build output.
copy_tree() {
  mkdir -p "$1"
  tar -C "$source_dir" --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$1" -xf -
}

# build_once SOURCE BUILD PRESET: prints the sha256 of that build's three
# executables.
build_once() {
  (cd "$1" && cmake --preset "$3" -B "$2" -DKESTRUM_BUILD_TESTS=OFF --no-warn-unused-cli >/dev/null &&
    cmake --build "$2" --target kestrum kestrum-scan kestrum-run >/dev/null) || { echo "FAIL: build of $3 in $2 failed" >&2; return 1; }
  (cd "$2/bin" && sha256sum kestrum.exe kestrum-scan.exe kestrum-run.exe) | tr '\n' ' '
}

# Different depths and names, so that no path can line up by chance.
copy_tree "$work/first/kestrum"
copy_tree "$work/second-clone/somewhere/else/src"
failures=0
for preset in "$@"; do
  first=$(build_once "$work/first/kestrum" "$work/first/kestrum/build/$preset" "$preset")
  # The PE header's link time counts seconds: make sure one has passed.
  sleep 1
  second=$(build_once "$work/second-clone/somewhere/else/src" "$work/second-clone/out-$preset" "$preset")
  if [ "$first" = "$second" ]; then
    echo "OK: $preset builds to the same executables from both folders: $first"
  else
    echo "FAIL: $preset executables differ between two folders: $first and $second"
    for program in kestrum kestrum-scan kestrum-run; do
      cmp -l "$work/first/kestrum/build/$preset/bin/$program.exe" "$work/second-clone/out-$preset/bin/$program.exe" | head -n 20
    done
    failures=$((failures + 1))
  fi
done
exit $((failures > 0))
