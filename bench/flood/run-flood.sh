#!/usr/bin/env bash
# Measures the real velmora.exe under Wine while the server floods it (a tool, not a test).
# Usage: bench/flood/run-flood.sh [BUILD_WIN32_DIR]   (default build/win32)
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
win32=${1:-$root/build/win32}
# shellcheck source=../../scripts/wine-env.sh
source "$root/scripts/wine-env.sh"

if [[ ! -f $win32/ui/velmora.exe || ! -f $win32/tests/e2e/velmora-drive.exe ]]; then
    echo "flood: build the win32 preset first" >&2
    exit 2
fi
win32=$(cd "$win32" && pwd)
out=$win32/bench-flood

wine_env_enter_private_net "$0" "$win32"
if ! wine_env_in_private_net; then
    wine_env_lock_port || exit 2
    if wine_env_port_taken 1024; then
        echo "flood: port 1024 on 127.0.0.1 is taken; stop that program and run again" >&2
        exit 2
    fi
fi
trap wine_env_stop EXIT
trap 'exit 130' INT TERM
wine_env_start "$win32/wine" || exit 2

windows_path() { printf 'Z:%s\n' "${1//\//\\}"; }
mkdir -p "$out"
rm -f "$out"/*.bmp "$out"/*.png
wine "$win32/tests/e2e/velmora-drive.exe" --client "$(windows_path "$win32/ui/velmora.exe")" \
    --script "$(windows_path "$here/flood.vds")" --shots "$(windows_path "$out")" \
    --fail-shot "$(windows_path "$out/failure.bmp")" >"$out/driver.log" 2>&1 </dev/null &
wait $!
status=$?
for picture in "$out"/*.bmp; do
    [[ -e $picture ]] && convert "$picture" "${picture%.bmp}.png" && rm -f "$picture"
done
cat "$out/driver.log"
exit "$status"
