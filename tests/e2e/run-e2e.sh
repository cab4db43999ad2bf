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

wine_env_enter_private_net "$0" "$win32" "$native" "${only[@]}"
if wine_env_in_private_net; then
    echo "run-e2e: in a network namespace of its own, with only a loopback"
elif ! wine_env_lock_port; then
    echo "run-e2e: gave up waiting for /tmp/velmora-port1024.lock" >&2
    exit 2
fi

port_taken() { wine_env_port_taken 1024; }
port_free() { ! port_taken; }
if port_taken; then
    echo "run-e2e: port 1024 on 127.0.0.1 is taken by another program; waiting up to 60 s for it" >&2
    if ! wine_env_wait_for 60 port_free; then
        echo "run-e2e: port 1024 on 127.0.0.1 is still taken; the client always connects there," \
            "so stop that program (a velmora-server?) and run again" >&2
        exit 2
    fi
fi

server_pid=""
bells_pid=""
stop_server() {
    wine_env_end_process "$server_pid"
    server_pid=""
}
cleanup() {
    stop_server
    wine_env_end_process "$bells_pid"
    wine_env_stop
}
trap cleanup EXIT
trap 'exit 130' INT TERM


mkdir -p "$results"
rm -f "$results"/*.bmp "$results"/*.png "$results"/*.log "$results"/bells
# The client's beeps ring the X bell; this small X client counts them for the driver.
if ! cc -O2 -Wall -Wextra -o "$results/bell-counter" "$here/bell-counter.c" -lX11; then
    echo "run-e2e: the bell counter does not build (are libx11-dev and a C compiler installed?)" >&2
    exit 2
fi
if ! wine_env_start "$win32/wine"; then
    echo "run-e2e: Wine could not be started" >&2
    exit 2
fi
"$results/bell-counter" "$results/bells" >"$results/bell-counter.log" 2>&1 &
bells_pid=$!
if ! wine_env_wait_for 20 test -s "$results/bells"; then
    echo "run-e2e: the bell counter did not start (see $results/bell-counter.log)" >&2
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

# Small socket buffers and segments, so that the stack holds only a few kilobytes of a sender's
# data; possible only in a network namespace of its own.
saved_buffers=()
use_small_buffers() {
    saved_buffers=("$(sysctl -n net.ipv4.tcp_wmem)" "$(sysctl -n net.ipv4.tcp_rmem)")
    sysctl -q -w net.ipv4.tcp_wmem="2048 2048 2048" &&
        sysctl -q -w net.ipv4.tcp_rmem="4096 4096 4096" &&
        ip link set lo mtu 576
}
restore_buffers() {
    ip link set lo mtu 65536
    sysctl -q -w net.ipv4.tcp_wmem="${saved_buffers[0]}"
    sysctl -q -w net.ipv4.tcp_rmem="${saved_buffers[1]}"
}

passed=0
failed=0
skipped=0
for scenario in "$here"/scenarios/*.vds; do
    name=$(basename "$scenario" .vds)
    if ((${#only[@]})) && [[ " ${only[*]} " != *" $name "* ]]; then
        continue
    fi
    output=$results/$name.log
    failshot=$results/$name-failure.bmp
    started=$SECONDS
    status=0
    : >"$output"
    small=0
    if grep -q '^needs small-buffers' "$scenario"; then
        if [[ -z ${VELMORA_PRIVATE_NET:-} ]]; then
            skipped=$((skipped + 1))
            printf 'SKIP %s (it shrinks the socket buffers, so it runs only in a network namespace of its own)\n' "$name"
            continue
        fi
        small=1
        use_small_buffers >>"$output" 2>&1 || status=1
    fi
    if grep -q '^needs server' "$scenario"; then
        start_server >>"$output" 2>&1 || status=1
    fi
    if ((status == 0)); then
        timeout 600 wine "$drive" --client "$(wine_env_windows_path "$client")" \
            --script "$(wine_env_windows_path "$scenario")" --shots "$(wine_env_windows_path "$results")" \
            --fail-shot "$(wine_env_windows_path "$failshot")" --bells "$(wine_env_windows_path "$results/bells")" \
            >>"$output" 2>&1 </dev/null
        status=$?
    fi
    stop_server
    ((small)) && restore_buffers
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

if ((skipped)); then
    echo "$passed passed, $failed failed, $skipped skipped"
else
    echo "$passed passed, $failed failed"
fi
((failed == 0))
