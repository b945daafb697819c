#!/usr/bin/env bash
# The sweep benchmark: builds kestrum_bench and runs it under wine64 in a
# fresh throwaway prefix. Arguments go to the benchmark (--keys, --repeats).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target kestrum_bench >/dev/null
scripts/wine-template.sh build/win64/wine-template
exec scripts/wine-run.sh "$PWD/build/win64/wine-template" build/win64/bin/kestrum_bench.exe "$@"
