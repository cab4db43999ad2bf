#!/usr/bin/env bash
# Saves PNG pictures of the client's windows, each cropped to its window, under the build tree.
# Usage: scripts/screenshots.sh [BUILD_WIN32_DIR]   (default build/win32; pictures in
# BUILD_WIN32_DIR/../screenshots)
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
win32=${1:-$root/build/win32}
# shellcheck source=wine-env.sh
source "$root/scripts/wine-env.sh"

if [[ ! -f $win32/ui/velmora.exe || ! -f $win32/tests/e2e/velmora-drive.exe ]]; then
    echo "screenshots: build the win32 preset first (cmake --preset win32 && cmake --build --preset win32)" >&2
    exit 2
fi
win32=$(cd "$win32" && pwd)
out=$(cd "$win32/.." && pwd)/screenshots

wine_env_claim_port screenshots "$0" "$win32"

trap wine_env_stop EXIT
trap 'exit 130' INT TERM
wine_env_start "$win32/wine" || exit 2

status=0
if ! wine_env_drive "$win32" "$root/tests/e2e/screenshots.vds" "$out"; then
    cat "$out/driver.log" >&2
    echo "screenshots: the run failed" >&2
    status=1
fi
grep -q '^PASS' "$out/driver.log" || status=1
echo "screenshots in $out:"
ls -1 "$out"/*.png
exit "$status"
