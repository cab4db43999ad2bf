#!/usr/bin/env bash
# Builds what is missing, starts velmora-server on 127.0.0.1:1024 and velmora.exe under Wine.
# With a reachable display the window is yours to chat in; without one, the same runs inside
# Xvfb, a short scripted conversation is played and its screenshots are saved. Ctrl-C stops
# everything this started.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 2
# shellcheck source=wine-env.sh
source "$root/scripts/wine-env.sh"

# Installs only what is missing, so it costs nothing once the machine is set up.
"$root/scripts/setup.sh" || exit 2

build() {
    local preset=$1; shift
    if [[ ! -f $root/build/$preset/CMakeCache.txt ]]; then
        cmake --preset "$preset" >/dev/null || return 1
    fi
    cmake --build --preset "$preset" --target "$@" >/dev/null
}
echo "run: building velmora-server, velmora.exe and the driver (only what is missing)"
build native velmora-server || { echo "run: the native build failed" >&2; exit 2; }
build win32 velmora velmora-drive || { echo "run: the win32 build failed" >&2; exit 2; }
win32=$root/build/win32
server=$root/build/native/server/velmora-server

if wine_env_port_taken 1024; then
    echo "run: port 1024 on 127.0.0.1 is taken by another program; the client always connects" \
        "there, so stop that program and run again" >&2
    exit 2
fi

server_pid=""
cleanup() {
    wine_env_end_process "$server_pid"
    wine_env_stop
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if wine_env_display_reachable; then
    export USE_DISPLAY=1
fi
wine_env_start "$win32/wine" || exit 2

mkdir -p "$root/build/run"
"$server" --port 1024 --bind 127.0.0.1 >"$root/build/run/velmora-server.log" 2>&1 &
server_pid=$!
if ! wine_env_wait_for 20 wine_env_port_taken 1024; then
    echo "run: velmora-server did not start (see build/run/velmora-server.log)" >&2
    exit 2
fi
echo "run: velmora-server listens on 127.0.0.1:1024 (log: build/run/velmora-server.log)"

if [[ ${USE_DISPLAY:-0} == 1 ]]; then
    echo "run: velmora.exe on $DISPLAY; choose Connecion > Connect to host and type 127.0.0.1"
    # Waited for in the background, so that Ctrl-C reaches the trap at once.
    wine "$win32/ui/velmora.exe" >"$root/build/run/velmora.log" 2>&1 </dev/null &
    wait $!
    echo "run: velmora.exe ended with exit status $?"
    exit 0
fi

shots=$root/build/screenshots/run
echo "run: no display; playing a short conversation in Xvfb"
wine_env_drive "$win32" "$root/tests/e2e/demo.vds" "$shots"
status=$?
if ((status != 0)); then
    cat "$shots/driver.log" >&2
    echo "run: the conversation failed" >&2
    exit 1
fi
echo "run: the conversation went through; screenshots:"
ls -1 "$shots"/*.png
