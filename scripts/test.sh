#!/usr/bin/env bash
# Set-up, build and every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" -DORVEL_BUILD_TESTS=ON
build=${ORVEL_BUILD_DIR:-$root/build}
cd "$build"
ctest --output-on-failure -j"$(nproc)"
