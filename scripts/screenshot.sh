#!/usr/bin/env bash
# Renders the main window as the settings editor, with two sample jobs, to docs/window.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
build=${ORVEL_TOOLS_BUILD_DIR:-$root/build-tools}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEL_BUILD_TESTS=OFF -DORVEL_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target orvel_screenshot
mkdir -p "$root/docs"
QT_QPA_PLATFORM=offscreen LC_ALL=de_DE.UTF-8 "$build/scripts/screenshot/orvel_screenshot" "$root/docs/window.png"
echo "written: docs/window.png"
