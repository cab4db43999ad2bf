# Helpers shared by the e2e runner, the screenshots, the flood benchmark and the run command:
# an Xvfb display, one 32-bit Wine prefix with a virtual desktop, and one persistent wineserver.
# Source this file; call wine_env_stop from an EXIT trap so that everything started here ends.

WINE_ENV_XVFB_PID=""
WINE_ENV_SERVER_PID=""
WINE_ENV_TMP=""

wine_env_log() { printf '%s\n' "$*" >&2; }

# Runs the calling script again in a network namespace of its own, where it may (root, unshare
# and ip at hand): port 1024 is then free whatever else runs on the machine, and nothing outside
# can reach the scripted peer. Call as: wine_env_enter_private_net "$0" "$@".
# VELMORA_SHARED_NET=1 keeps the machine's loopback.
wine_env_enter_private_net() {
    if [[ -z ${VELMORA_PRIVATE_NET:-} && ${VELMORA_SHARED_NET:-0} != 1 ]] &&
        command -v ip >/dev/null && unshare -n true 2>/dev/null; then
        export VELMORA_PRIVATE_NET=1
        exec unshare -n -- bash -c 'ip link set lo up && exec "$@"' bash "$@"
    fi
}

wine_env_in_private_net() {
    [[ -n ${VELMORA_PRIVATE_NET:-} ]]
}

# Makes port 1024 this run's: a network namespace of its own where it may, else the shared lock
# and a free port on the machine's loopback. Call as: wine_env_claim_port NAME "$0" "$@".
wine_env_claim_port() {
    local name=$1
    shift
    wine_env_enter_private_net "$@"
    wine_env_in_private_net && return 0
    wine_env_lock_port || exit 2
    if wine_env_port_taken 1024; then
        echo "$name: port 1024 on 127.0.0.1 is taken; stop that program and run again" >&2
        exit 2
    fi
}

# Asks the kernel rather than connecting, which would disturb whoever listens there.
wine_env_port_taken() {
    if command -v ss >/dev/null; then
        [[ -n $(ss -Hltn "sport = :$1") ]]
    else
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
    fi
}

# Takes the lock that everyone driving the client on 127.0.0.1:1024 holds meanwhile.
wine_env_lock_port() {
    exec 9>/tmp/velmora-port1024.lock
    if ! flock -n 9; then
        wine_env_log "another run holds /tmp/velmora-port1024.lock; waiting up to 10 minutes"
        flock -w 600 9 || return 1
    fi
}

# Polls COMMAND until it succeeds or SECONDS pass; no fixed sleep decides anything.
wine_env_wait_for() {
    local seconds=$1; shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        if ((SECONDS >= deadline)); then
            return 1
        fi
        sleep 0.05
    done
}

wine_env_tmp() {
    if [[ -z $WINE_ENV_TMP ]]; then
        WINE_ENV_TMP=$(mktemp -d /tmp/velmora-wine-env.XXXXXX)
    fi
    printf '%s\n' "$WINE_ENV_TMP"
}

# Starts Xvfb on a display number it picks itself and exports DISPLAY.
wine_env_start_xvfb() {
    local tmp displayfile
    tmp=$(wine_env_tmp)
    displayfile=$tmp/display
    : >"$displayfile"
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$displayfile" \
        >"$tmp/xvfb.log" 2>&1 &
    WINE_ENV_XVFB_PID=$!
    if ! wine_env_wait_for 30 grep -q '[0-9]' "$displayfile"; then
        wine_env_log "wine-env: Xvfb did not report a display within 30 s (see $tmp/xvfb.log)"
        return 1
    fi
    export DISPLAY=":$(tr -dc '0-9' <"$displayfile")"
}

wine_env_display_reachable() {
    [[ -n ${DISPLAY:-} ]] && xdpyinfo >/dev/null 2>&1
}

wine_env_exports() {
    export WINEPREFIX=$1
    export WINEARCH=win32
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
}

# The wineserver listens in a directory named after the prefix's device and inode, under
# /tmp/.wine-UID upstream and under a /tmp/wine-XXXXXX directory in Debian's build.
wine_env_server_up() {
    local dev ino name socket
    kill -0 "$WINE_ENV_SERVER_PID" 2>/dev/null || return 1
    read -r dev ino < <(stat -c '%d %i' "$WINEPREFIX")
    name=$(printf 'server-%x-%x' "$dev" "$ino")
    for socket in "/tmp/.wine-$(id -u)/$name/socket" /tmp/wine-*/"$name"/socket; do
        [[ -S $socket ]] && return 0
    done
    return 1
}

wine_env_start_server() {
    local tmp
    tmp=$(wine_env_tmp)
    # Its output must go to a file: a wineserver writing to a pipe nobody drains would block.
    wineserver -f -p >"$tmp/wineserver.log" 2>&1 </dev/null &
    WINE_ENV_SERVER_PID=$!
    if ! wine_env_wait_for 30 wine_env_server_up; then
        wine_env_log "wine-env: the wineserver did not come up within 30 s (see $tmp/wineserver.log)"
        return 1
    fi
}

wine_env_stop_server() {
    if [[ -n $WINE_ENV_SERVER_PID ]]; then
        wineserver -k >/dev/null 2>&1 || true
        wine_env_wait_for 20 bash -c "! kill -0 $WINE_ENV_SERVER_PID 2>/dev/null" ||
            kill -9 "$WINE_ENV_SERVER_PID" 2>/dev/null || true
        wait "$WINE_ENV_SERVER_PID" 2>/dev/null || true
        WINE_ENV_SERVER_PID=""
    fi
}

# Makes the prefix once (the slow part), with the virtual desktop as every window's home.
wine_env_prepare_prefix() {
    local prefix=$1 tmp
    tmp=$(wine_env_tmp)
    mkdir -p "$prefix"
    wine_env_exports "$(cd "$prefix" && pwd)"
    wine_env_start_server || return 1
    if [[ ! -f $WINEPREFIX/.velmora-ready ]]; then
        wine_env_log "wine-env: creating the Wine prefix $WINEPREFIX (once)"
        if ! wine wineboot --init >"$tmp/wineboot.log" 2>&1 ||
            ! wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >>"$tmp/wineboot.log" 2>&1 ||
            ! wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >>"$tmp/wineboot.log" 2>&1; then
            wine_env_log "wine-env: preparing the prefix failed (see $tmp/wineboot.log)"
            return 1
        fi
        # The desktop settings are read when the desktop starts, so the server starts anew.
        wine_env_stop_server
        touch "$WINEPREFIX/.velmora-ready"
        wine_env_start_server || return 1
    fi
    # Debian's Wine does not find the fonts that fonts-wine ships; without Marlett, captions and
    # scroll bars show letters where their buttons' symbols belong.
    local fonts=$WINEPREFIX/drive_c/windows/Fonts font
    if [[ -d $fonts ]]; then
        for font in /usr/share/wine/fonts/marlett.ttf; do
            [[ -f $font && ! -f $fonts/${font##*/} ]] && cp "$font" "$fonts/"
        done
    fi
    # The first Wine program starts the prefix's services, which keep its output open for as long
    # as they live: it must be a file, or a caller reading a pipe would wait for ever.
    if ! wine wineboot >"$tmp/wineboot.log" 2>&1 </dev/null; then
        wine_env_log "wine-env: starting the prefix's services failed (see $tmp/wineboot.log)"
        return 1
    fi
}

# Starts Xvfb unless USE_DISPLAY=1 keeps the caller's display, then the prefix and the server.
wine_env_start() {
    local prefix=$1
    if [[ ${USE_DISPLAY:-0} != 1 ]]; then
        wine_env_start_xvfb || return 1
    fi
    wine_env_prepare_prefix "$prefix"
}

# Ends a background process this shell started, if there is one, and reaps it.
wine_env_end_process() { # PID (may be empty)
    [[ -n $1 ]] || return 0
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

wine_env_stop() {
    wine_env_stop_server
    wine_env_end_process "$WINE_ENV_XVFB_PID"
    WINE_ENV_XVFB_PID=""
    if [[ -n $WINE_ENV_TMP ]]; then
        rm -rf "$WINE_ENV_TMP"
        WINE_ENV_TMP=""
    fi
}

wine_env_windows_path() { printf 'Z:%s\n' "${1//\//\\}"; }

# Plays a driver script against velmora.exe; its log and its pictures, as PNG, go to OUT. Further
# arguments go to the driver. Waited for in the background, so that Ctrl-C reaches the caller's
# trap at once.
wine_env_drive() { # BUILD_WIN32_DIR SCRIPT OUT [DRIVER_OPTION...]
    local win32=$1 script=$2 out=$3 status picture
    shift 3
    mkdir -p "$out"
    rm -f "$out"/*.bmp "$out"/*.png
    wine "$win32/tests/e2e/velmora-drive.exe" --client "$(wine_env_windows_path "$win32/ui/velmora.exe")" \
        --script "$(wine_env_windows_path "$script")" --shots "$(wine_env_windows_path "$out")" \
        --fail-shot "$(wine_env_windows_path "$out/failure.bmp")" "$@" >"$out/driver.log" 2>&1 </dev/null &
    wait $!
    status=$?
    for picture in "$out"/*.bmp; do
        [[ -e $picture ]] || continue
        convert "$picture" "${picture%.bmp}.png" && rm -f "$picture" || status=1
    done
    return "$status"
}
