#!/usr/bin/env bash
# Runs every end-to-end scenario against the real velmora.exe under Wine, one at a time, since
# the client always connects to 127.0.0.1:1024.
# Usage: tests/e2e/run-e2e.sh BUILD_WIN32_DIR BUILD_NATIVE_DIR [SCENARIO_NAME...]
set -uo pipefail

if (($# < 2)); then
    echo "usage: $0 BUILD_WIN32_DIR BUILD_NATIVE_DIR [SCENARIO_NAME...]" >&2
    exit 2
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
win32=$(cd "$1" && pwd)
native=$(cd "$2" && pwd)
shift 2
only=("$@")

client=$win32/ui/velmora.exe
drive=$win32/tests/e2e/velmora-drive.exe
server=$native/server/velmora-server
results=$win32/e2e-results
for needed in "$client" "$drive" "$server"; do
    if [[ ! -f $needed ]]; then
        echo "run-e2e: $needed is missing; build the win32 and native presets first" >&2
        exit 2
    fi
done

# shellcheck source=../../scripts/wine-env.sh
source "$root/scripts/wine-env.sh"

exec 9>/tmp/velmora-port1024.lock
if ! flock -n 9; then
    echo "run-e2e: another run holds /tmp/velmora-port1024.lock; waiting up to 10 minutes" >&2
    if ! flock -w 600 9; then
        echo "run-e2e: gave up waiting for /tmp/velmora-port1024.lock" >&2
        exit 2
    fi
fi

port_taken() {
    (exec 3<>/dev/tcp/127.0.0.1/1024) 2>/dev/null
}
if port_taken; then
    echo "run-e2e: port 1024 on 127.0.0.1 is already taken by another program; the client always" \
        "connects there, so stop that program (a velmora-server?) and run again" >&2
    exit 2
fi

server_pid=""
stop_server() {
    if [[ -n $server_pid ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=""
    fi
}
cleanup() {
    stop_server
    wine_env_stop
}
trap cleanup EXIT
trap 'exit 130' INT TERM

windows_path() {
    local path
    path=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
    printf 'Z:%s\n' "${path//\//\\}"
}

mkdir -p "$results"
rm -f "$results"/*.bmp "$results"/*.png "$results"/*.log
if ! wine_env_start "$win32/wine"; then
    echo "run-e2e: Wine could not be started" >&2
    exit 2
fi

start_server() {
    "$server" --port 1024 --bind 127.0.0.1 >"$results/velmora-server.log" 2>&1 &
    server_pid=$!
    if ! wine_env_wait_for 20 port_taken; then
        echo "velmora-server did not listen on 127.0.0.1:1024 within 20 s" >&2
        return 1
    fi
}

passed=0
failed=0
for scenario in "$here"/scenarios/*.vds; do
    name=$(basename "$scenario" .vds)
    if ((${#only[@]})) && [[ " ${only[*]} " != *" $name "* ]]; then
        continue
    fi
    output=$results/$name.log
    failshot=$results/$name-failure.bmp
    started=$SECONDS
    status=0
    if grep -q '^needs server' "$scenario"; then
        start_server >"$output" 2>&1 || status=1
    fi
    if ((status == 0)); then
        timeout 600 wine "$drive" --client "$(windows_path "$client")" \
            --script "$(windows_path "$scenario")" --shots "$(windows_path "$results")" \
            --fail-shot "$(windows_path "$failshot")" >>"$output" 2>&1 </dev/null
        status=$?
    fi
    stop_server
    if ((status == 0)); then
        passed=$((passed + 1))
        printf 'PASS %s (%d s)\n' "$name" $((SECONDS - started))
        continue
    fi
    failed=$((failed + 1))
    printf 'FAIL %s (%d s)\n' "$name" $((SECONDS - started))
    sed 's/^/    /' "$output"
    if ((status == 124)); then
        echo "    the driver did not finish within 600 s; the Wine session is restarted"
        wine_env_stop_server
        wine_env_start_server || exit 2
    fi
    if [[ -f $failshot ]] && convert "$failshot" "${failshot%.bmp}.png" 2>/dev/null; then
        rm -f "$failshot"
        echo "    screenshot: ${failshot%.bmp}.png"
    fi
done

echo "$passed passed, $failed failed"
((failed == 0))
