#!/usr/bin/env bash
# Installs, on Debian 12, what building, running and testing Velmora needs, where it is missing.
#   scripts/setup.sh          build, tests and the client under Wine
#   scripts/setup.sh --bench  also the servers the benchmarks compare against
set -euo pipefail

packages=(
    cmake ninja-build g++ gcc make file procps util-linux iproute2
    libgtest-dev libasio-dev libcli11-dev
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    wine wine32:i386 fonts-wine xvfb x11-utils imagemagick libx11-dev
)
if [ "${1:-}" = "--bench" ]; then
    packages+=(redis-server ncat)
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi

refresh=false
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
    refresh=true
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
"${as_root[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
