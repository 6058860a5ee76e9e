#!/usr/bin/env bash
# Log book: the cost of an entry must not grow with the lines already on screen.
# Prints the per-entry time of the first and the last tenth of 50,000 entries and their ratio.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
"$root/scripts/setup.sh"
build=${ORVEL_BENCH_BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DORVEL_BUILD_TESTS=OFF -DORVEL_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target logbook_bench
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$build/scripts/bench/logbook/logbook_bench" "${1:-50000}"
