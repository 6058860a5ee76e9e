#!/usr/bin/env bash
# Builds the program and its SFTP library for the package into build-package/ (or
# $ORVEL_BUILD_DIR) and packs them: a Debian package and a tar archive beside it in that folder.
# The last line is the .deb's path. The build keeps its data in /var/lib/orvelsqlbackup, apart
# from the program files, and leaves updates to the package manager; it has a folder of its own,
# as the tests expect everything beside the executable.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVEL_BUILD_DIR:-$root/build-package}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEL_BUILD_GUI=ON \
    -DORVEL_BUILD_TESTS=OFF -DORVEL_DATA_FOLDER=/var/lib/orvelsqlbackup "$@" >/dev/null
cmake --build "$build" -j"$(nproc)" --target OrvelSQLBackup orvelsqlbackup-cli tgputtylib
(cd "$build" && cpack -G "DEB;TGZ" >&2)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$(ls -t "$build"/orvelsqlbackup_"$version"_*.deb | head -n1)
echo "$deb"
