#!/usr/bin/env bash
# Set-up, build, and a start of the program from its program folder in the build tree.
# Without a display the program runs on Qt's offscreen platform: countdown, automatic run, close.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" -DORVEL_BUILD_TESTS=OFF -DORVEL_BUILD_GUI=ON
build=${ORVEL_BUILD_DIR:-$root/build}
exec "$build/program/OrvelSQLBackup" "$@"
