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

wine_env_enter_private_net "$0" "$win32"
if ! wine_env_in_private_net; then
    wine_env_lock_port || exit 2
    if wine_env_port_taken 1024; then
        echo "screenshots: port 1024 on 127.0.0.1 is taken; stop that program and run again" >&2
        exit 2
    fi
fi

trap wine_env_stop EXIT
trap 'exit 130' INT TERM
wine_env_start "$win32/wine" || exit 2

windows_path() { printf 'Z:%s\n' "${1//\//\\}"; }

mkdir -p "$out"
rm -f "$out"/*.bmp "$out"/*.png
if ! wine "$win32/tests/e2e/velmora-drive.exe" --client "$(windows_path "$win32/ui/velmora.exe")" \
    --script "$(windows_path "$root/tests/e2e/screenshots.vds")" --shots "$(windows_path "$out")" \
    --fail-shot "$(windows_path "$out/failure.bmp")" >"$out/driver.log" 2>&1 </dev/null; then
    cat "$out/driver.log" >&2
    echo "screenshots: the run failed" >&2
fi
status=0
for picture in "$out"/*.bmp; do
    [[ -e $picture ]] || continue
    if convert "$picture" "${picture%.bmp}.png"; then
        rm -f "$picture"
    else
        status=1
    fi
done
grep -q '^PASS' "$out/driver.log" || status=1
echo "screenshots in $out:"
ls -1 "$out"/*.png
exit "$status"
