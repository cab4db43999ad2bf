#!/usr/bin/env bash
# Measures the real velmora.exe under Wine while the server floods it, and a program that only
# receives (receive_only.cpp) under the same flood and the same Wine (a tool, not a test).
# Usage: bench/flood/run-flood.sh [BUILD_WIN32_DIR]   (default build/win32)
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
win32=${1:-$root/build/win32}
# shellcheck source=../../scripts/wine-env.sh
source "$root/scripts/wine-env.sh"

receive_only=$win32/tests/e2e/velmora-receive-only.exe
if [[ ! -f $win32/ui/velmora.exe || ! -f $win32/tests/e2e/velmora-drive.exe || ! -f $receive_only ]]; then
    echo "flood: build the win32 preset first" >&2
    exit 2
fi
win32=$(cd "$win32" && pwd)
out=$win32/bench-flood

wine_env_claim_port flood "$0" "$win32"
trap wine_env_stop EXIT
trap 'exit 130' INT TERM
wine_env_start "$win32/wine" || exit 2

wine_env_drive "$win32" "$here/flood.vds" "$out" --receive-only "$(wine_env_windows_path "$receive_only")"
status=$?
cat "$out/driver.log"
exit "$status"
