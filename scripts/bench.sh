#!/usr/bin/env bash
# The benchmarks: builds kestrum_bench, kestrum_files_bench and
# kestrum_profiles_bench and runs them under wine64, each in a fresh
# throwaway prefix: first the sweeps, then the file deletion, then the
# users' part over offline profiles. "--files N" goes to the file benchmark
# (10,000 files unless given), "--profiles N" to the profiles benchmark (100
# unless given); every other argument to the sweep benchmark (--keys,
# --repeats).
set -euo pipefail
cd "$(dirname "$0")/.."

sweep_args=() files_args=() profiles_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --files) files_args+=(--files "$2"); shift 2 ;;
    --profiles) profiles_args+=(--profiles "$2"); shift 2 ;;
    *) sweep_args+=("$1"); shift ;;
  esac
done

scripts/setup.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target kestrum_bench kestrum_files_bench kestrum_profiles_bench >/dev/null
scripts/wine-template.sh build/win64/wine-template
scripts/wine-run.sh build/win64/wine-template build/win64/bin/kestrum_bench.exe "${sweep_args[@]}"
echo
scripts/wine-run.sh build/win64/wine-template build/win64/bin/kestrum_files_bench.exe "${files_args[@]}"
echo
scripts/wine-run.sh build/win64/wine-template build/win64/bin/kestrum_profiles_bench.exe "${profiles_args[@]}"
