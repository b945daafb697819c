#!/usr/bin/env bash
# wine-crash-run.sh TEMPLATE BIN: scripts/wine-run.sh counts a test whose
# Wine crashed after it as passed only when the test's own result says so.
# A stand-in loader runs the real one, then ends itself with SIGSEGV, the
# way the WoW64 Wine's Unix process was seen to die after a passed test.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/wine-env.sh"

template=$1 bin=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KESTRUM_CRASH_LOG=$work/crashes
cat >"$work/wine" <<STANDIN
#!/usr/bin/env bash
[ -n "\${CRASH_FIRST:-}" ] || "$WINE_LOADER" "\$@"
kill -SEGV \$\$
STANDIN
chmod +x "$work/wine"
# Without kestrum.exe beside it, a copy of the test program fails for real.
cp "$bin/kestrum_tests.exe" "$work/"

failed=0
# check WANT NAME [ENV=VALUE] PROGRAM FILTER: WANT is passed or failed.
check() {
  local want=$1 name=$2 status got
  shift 2
  rm -f "$KESTRUM_CRASH_LOG"
  env WINE_LOADER="$work/wine" "${@:1:$#-2}" "$here/../scripts/wine-run.sh" "$template" \
    "${@: -2:1}" --gtest_filter="${@: -1}" >"$work/out" 2>&1
  status=$?
  got=failed
  [ "$status" -eq 0 ] && got=passed
  # A crash counted as passed is always named, and only then.
  if [ "$got" != "$want" ] || { [ "$got" = passed ] && ! grep -q 'Wine crashed (signal 11)' "$KESTRUM_CRASH_LOG"; }; then
    echo "FAIL: $name: $got (exit $status), wanted $want"
    sed 's/^/  | /' "$work/out" "$KESTRUM_CRASH_LOG" 2>/dev/null
    failed=1
  else
    echo "ok: $name: $got (exit $status)"
  fi
}
pass=KeyTreeDeletion.GivesTheCodesAndLeavesWhatRegDeleteTreeWLeaves
check passed "passed, then Wine crashed" "$bin/kestrum_tests.exe" "$pass"
check failed "failed, then Wine crashed" "$work/kestrum_tests.exe" RemovalRun.NoArgumentsGiveTheFullReportAndExitZero
check failed "no test ran, then Wine crashed" "$bin/kestrum_tests.exe" NoSuchTest.AtAll
check failed "Wine crashed before the test" CRASH_FIRST=1 "$bin/kestrum_tests.exe" "$pass"
exit $failed
