#!/usr/bin/env bash
# Configures and builds into build/ (or $ORVEL_BUILD_DIR); lays out the program folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVEL_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
