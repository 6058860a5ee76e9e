#!/usr/bin/env bash
# Installs, from Debian's archive, everything the build, the program and the tests need.
# Only what is missing is installed; a machine that has it all is left alone.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libsqlcipher-dev sqlcipher
    freetds-dev freetds-bin
    zlib1g-dev libdeflate-dev
    libcurl4-openssl-dev curl libssl-dev openssl
    libssh2-1-dev
    python3 python3-pyftpdlib python3-openssl python3-cryptography python3-aiosmtpd python3-asyncssh
    openssh-server openssh-client
    ceph-mon ceph-osd radosgw ceph-common awscli
    unzip zip p7zip-full pigz bc time
    xauth
    xvfb dbus-bin dbus-daemon at-spi2-core python3-pyatspi
    dpkg-dev systemd desktop-file-utils devscripts
)

# `setup.sh bench` adds what the benchmarks compare with or run against.
if [ "${1:-}" = bench ]; then
    packages+=(vsftpd libdeflate-tools s3cmd)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
