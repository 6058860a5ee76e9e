#!/usr/bin/env bash
# Set-up, build and every test: the whole program, then everything but the window built again
# without Qt Widgets, which proves the core needs no widgets.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
build=${ORVEL_BUILD_DIR:-$root/build}

"$root/scripts/build.sh" -DORVEL_BUILD_TESTS=ON -DORVEL_BUILD_GUI=ON
(cd "$build" && ctest --output-on-failure -j"$(nproc)")

ORVEL_BUILD_DIR="$build-core" "$root/scripts/build.sh" -DORVEL_BUILD_TESTS=ON -DORVEL_BUILD_GUI=OFF
(cd "$build-core" && ctest --output-on-failure -j"$(nproc)")
