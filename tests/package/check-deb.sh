#!/usr/bin/env bash
# Installs the server's Debian package on this machine with apt, checks what it installed, runs the
# installed server, checks its systemd unit, then purges the package and checks that nothing of it
# is left. The machine ends as it was: the service never runs (where systemd is PID 1, a mask in
# /run keeps the install from starting it), the server started here listens on a free loopback
# port, and dependencies that the install pulled in are removed again.
# Usage: tests/package/check-deb.sh BUILD_NATIVE_DIR
set -uo pipefail

if (($# != 1)); then
    echo "usage: $0 BUILD_NATIVE_DIR" >&2
    exit 2
fi
native=$(cd "$1" && pwd) || exit 2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$native/CMakeCache.txt")
deb=$native/packages/velmora-server_${version}_amd64.deb
if [[ -z $version || ! -f $deb ]]; then
    echo "check-deb: ${deb##*/} is missing; build it with: cmake --build --preset native --target package" >&2
    exit 2
fi

as_root=()
if (($(id -u) != 0)); then
    as_root=(sudo)
fi
apt_get() {
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=300 "$@"
}
unit=velmora-server.service
mask=/run/systemd/system/$unit
tmp=$(mktemp -d /tmp/velmora-check-deb.XXXXXX)
failures=0
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}
pass() { echo "PASS $*"; }

# One run at a time on this machine: two would install and purge the same package.
exec 8>/tmp/velmora-package-test.lock
if ! flock -w 600 8; then
    echo "check-deb: another run holds /tmp/velmora-package-test.lock" >&2
    exit 2
fi
if dpkg-query -W -f='${Status}' velmora-server 2>/dev/null | grep -qv 'not-installed'; then
    echo "check-deb: velmora-server is installed on this machine already; this test would replace" \
        "and purge it, so remove it first (apt-get purge velmora-server)" >&2
    exit 2
fi

velmora_paths() {
    find /etc /usr /var/lib /run /opt /srv -xdev -name '*velmora*' 2>/dev/null | sort
}
velmora_paths >"$tmp/before"
# The package's group stays after a purge, as Debian's system groups do, and the state directory
# of a service with a dynamic user lies in /var/lib/private: what this check made of either, it
# takes away again at the end.
had_group=0
getent group velmora >/dev/null && had_group=1
had_private=0
[[ -e /var/lib/private ]] && had_private=1
# What the install brings in besides the package, so that the purge can take it away again.
mapfile -t pulled < <(apt-get -s -q install --no-install-recommends "$deb" 2>/dev/null |
    awk '$1 == "Inst" && $2 != "velmora-server" { print $2 }')

installed=0
masked=0
server_pid=""
reader_pids=()
purge() {
    ((installed)) || return 0
    installed=0
    apt_get purge -y velmora-server >>"$tmp/apt.log" 2>&1 || return 1
    if ((${#pulled[@]})); then
        # Only if nothing else would go with them.
        local others
        others=$(apt-get -s -q purge "${pulled[@]}" 2>/dev/null | awk '$1 == "Purg" { print $2 }' |
            grep -vxF -f <(printf '%s\n' "${pulled[@]}"))
        if [[ -n $others ]]; then
            echo "check-deb: left ${pulled[*]} installed: removing them would also remove $others" >&2
            return 1
        fi
        apt_get purge -y "${pulled[@]}" >>"$tmp/apt.log" 2>&1 || return 1
    fi
}
# Where systemd runs, the maintainer scripts would start the service; a mask in /run stops them
# (and a reboot would lift a mask that this script did not get to remove).
mask_service() {
    [[ -d /run/systemd/system && ! -e $mask ]] || return 0
    "${as_root[@]}" ln -s /dev/null "$mask" && masked=1 && "${as_root[@]}" systemctl daemon-reload
}
unmask_service() {
    ((masked)) || return 0
    masked=0
    "${as_root[@]}" rm -f "$mask"
    "${as_root[@]}" systemctl daemon-reload || true
}
cleanup() {
    local pid
    for pid in $server_pid "${reader_pids[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    purge
    unmask_service
    if ((!had_group)) && getent group velmora >/dev/null; then
        "${as_root[@]}" groupdel velmora
    fi
    ((had_private)) || "${as_root[@]}" rmdir /var/lib/private 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mask_service
installed=1
if ! apt_get install -y --no-install-recommends "$deb" >"$tmp/apt.log" 2>&1; then
    cat "$tmp/apt.log"
    echo "FAIL apt-get install ${deb##*/}"
    exit 1
fi
unmask_service
pass "apt-get install ${deb##*/}${pulled[*]:+ (it also installed ${pulled[*]})}"

# The version: one from the build, the same in the file name, the package and the program.
server=/usr/bin/velmora-server
package_version=$(dpkg-query -W -f='${Version}' velmora-server)
program_version=$("$server" --version)
if [[ $package_version == "$version" && $program_version == "velmora-server $version" ]]; then
    pass "version $version in the file name, the package and --version"
else
    fail "versions: build $version, package $package_version, program '$program_version'"
fi

# What it holds, and what is a conffile.
failures_before=$failures
listing=$(dpkg -L velmora-server)
for path in $server /usr/share/man/man1/velmora-server.1.gz /etc/default/velmora-server \
    /lib/systemd/system/$unit /usr/share/doc/velmora-server/copyright; do
    grep -qxF "$path" <<<"$listing" || fail "the package does not install $path"
done
dpkg-query -W -f='${Conffiles}\n' velmora-server | grep -q '^ /etc/default/velmora-server ' ||
    fail "/etc/default/velmora-server is not a conffile"

# Every option of the server is documented with its default in the man page and the options file.
mapfile -t options < <("$server" --help | grep -o '^  --[a-z-]*' | sed 's/^ *//' | grep -vx -e --help -e --version)
man_page=$(zcat /usr/share/man/man1/velmora-server.1.gz)
for option in "${options[@]}"; do
    grep -qF -- "${option//-/\\-}" <<<"$man_page" || fail "the man page lacks $option"
    grep -q -- "^# *$option " /etc/default/velmora-server || fail "/etc/default/velmora-server lacks $option"
done

# Every library the server links itself comes from a package it depends on (the libraries those
# need are their packages' own dependencies).
depends=$(dpkg-query -W -f='${Depends}' velmora-server)
depended=$(tr ',|' '\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//')
resolved=$(ldd "$server")
while read -r needed; do
    library=$(awk -v name="$needed" '$1 == name && $2 == "=>" { print $3 }' <<<"$resolved")
    owner=""
    for candidate in "$library" "${library#/usr}" "/usr$library"; do
        owner=$(dpkg-query -S "$candidate" 2>/dev/null | head -n 1 | cut -d: -f1) && [[ -n $owner ]] && break
    done
    if [[ -z $library ]]; then
        fail "the server needs $needed, which is not found"
    elif [[ -z $owner ]]; then
        fail "no package owns $library, which the server links"
    elif ! grep -qxF "$owner" <<<"$depended"; then
        fail "the server links $library of $owner, but the package depends only on: $depends"
    fi
done < <(objdump -p "$server" | awk '$1 == "NEEDED" { print $2 }')
((failures == failures_before)) && pass "contents, documented options and dependencies ($depends)"

# The group of the control socket: a system group, made by the install.
group_entry=$(getent group velmora)
gid=$(cut -d: -f3 <<<"$group_entry")
if ((had_group)); then
    pass "the group velmora was here before the install${group_entry:+ ($group_entry)}"
elif [[ -n $gid ]] && ((gid >= 100 && gid < 1000)); then
    pass "the install made the system group velmora (gid $gid)"
else
    fail "the install made no system group velmora${group_entry:+ (it found $group_entry)}"
fi

# Enabled for the next boot, and not started by the install (or not at all, where masked); an
# upgrade (here to the same version) runs the scripts' other paths and keeps it enabled.
if [[ -L /etc/systemd/system/multi-user.target.wants/$unit ]]; then
    pass "the install enabled $unit"
else
    fail "the install did not enable $unit"
fi
mask_service
if apt_get install --reinstall -y "$deb" >>"$tmp/apt.log" 2>&1 &&
    [[ -L /etc/systemd/system/multi-user.target.wants/$unit ]]; then
    pass "reinstalling keeps $unit enabled"
else
    fail "reinstalling the package:"
    sed 's/^/    /' "$tmp/apt.log"
fi
unmask_service
for process in /proc/[0-9]*; do
    if [[ $(readlink "$process/exe" 2>/dev/null) == "$server" ]]; then
        fail "installing started $server (process ${process#/proc/})"
    fi
done

# A short relay through the installed binary: guest-1 speaks, guest-2 hears it, unmasked.
wait_for() { # SECONDS COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.05
    done
}
unmask_stream() {
    perl -e 'binmode STDIN; binmode STDOUT;
             while (sysread(STDIN, my $bytes, 4096)) { $bytes ^= "\x5A" x length $bytes; syswrite STDOUT, $bytes }'
}
ended() { # PID: gone, or a zombie waiting to be reaped
    [[ ! -e /proc/$1 ]] || [[ $(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) == Z ]]
}
relay() {
    "$server" --bind 127.0.0.1 --port 0 >"$tmp/port" 2>"$tmp/server.log" &
    server_pid=$!
    wait_for 20 grep -q '^[0-9][0-9]*$' "$tmp/port" || { echo "the server did not report its port"; return 1; }
    local port
    port=$(head -n 1 "$tmp/port")
    exec 3<>"/dev/tcp/127.0.0.1/$port" || return 1
    unmask_stream <&3 >"$tmp/guest-1" &
    reader_pids+=($!)
    # Greeted first, so that the next connection is the second member.
    wait_for 20 test -s "$tmp/guest-1" || { echo "guest-1 was not greeted"; return 1; }
    exec 4<>"/dev/tcp/127.0.0.1/$port" || return 1
    unmask_stream <&4 >"$tmp/guest-2" &
    reader_pids+=($!)
    wait_for 20 test -s "$tmp/guest-2" || { echo "guest-2 was not greeted"; return 1; }
    printf 'hello from the package test' >&3
    wait_for 20 grep -qF 'guest-1: hello from the package test' "$tmp/guest-2" || {
        echo "guest-2 received:"
        cat -v "$tmp/guest-2"
        return 1
    }
    # systemd stops the service with SIGTERM and counts any status but 0 as a failure.
    kill -TERM "$server_pid"
    wait_for 20 ended "$server_pid" || { echo "the server did not end within 20 s of SIGTERM"; return 1; }
    wait "$server_pid"
    local status=$?
    server_pid=""
    exec 3>&- 4>&-
    ((status == 0)) || { echo "exit status $status after SIGTERM"; return 1; }
}
if relay >"$tmp/relay.log" 2>&1; then
    pass "the installed server relays guest-1's line to guest-2 and ends with 0 on SIGTERM"
else
    fail "relay through the installed server:"
    sed 's/^/    /' "$tmp/relay.log" "$tmp/server.log"
fi

# The unit, as systemd would load it; checking its Documentation= needs man.
check_man=no
command -v man >/dev/null && check_man=yes
if systemd-analyze verify --man="$check_man" /lib/systemd/system/$unit >"$tmp/verify.log" 2>&1 &&
    [[ ! -s $tmp/verify.log ]]; then
    pass "systemd-analyze verify $unit"
else
    fail "systemd-analyze verify $unit:"
    sed 's/^/    /' "$tmp/verify.log"
fi
# What the unit gives the server: the control socket in its runtime directory, for the group the
# package made; the bans in its state directory; readiness and a watchdog through systemd's socket.
# Every option it passes must be one the server takes.
failures_before=$failures
service_lines=$(sed -n '/^\[Service\]/,/^\[/p' /lib/systemd/system/$unit)
for line in Type=notify NotifyAccess=main RuntimeDirectory=velmora-server StateDirectory=velmora-server \
    SupplementaryGroups=velmora; do
    grep -qxF "$line" <<<"$service_lines" || fail "$unit lacks $line"
done
grep -q '^WatchdogSec=[1-9]' <<<"$service_lines" || fail "$unit has no WatchdogSec="
grep -q '^RestrictAddressFamilies=.*AF_UNIX' <<<"$service_lines" || fail "$unit does not allow AF_UNIX sockets"
exec_start=$(sed -n 's/^ExecStart=//p' <<<"$service_lines")
for words in "--control %t/velmora-server/control" "--control-group velmora" "--state-dir %S/velmora-server"; do
    [[ " $exec_start " == *" $words "* ]] || fail "ExecStart= of $unit does not pass $words"
done
for option in $(grep -o -- ' --[a-z-]*' <<<"$exec_start"); do
    printf '%s\n' "${options[@]}" | grep -qxF -- "$option" || fail "ExecStart= passes $option, which $server does not take"
done
((failures == failures_before)) && pass "$unit: notify, watchdog, the control socket's directory and group, the state directory"

# An exposure of 1.9 or less: the sandbox takes away all the server does not use.
if systemd-analyze security --offline=yes --threshold=19 /lib/systemd/system/$unit >"$tmp/security.log" 2>&1; then
    pass "systemd-analyze security: $(grep -o 'exposure level.*' "$tmp/security.log")"
else
    fail "systemd-analyze security:"
    tail -n 3 "$tmp/security.log" | sed 's/^/    /'
fi

# The service never ran here, so its state directory is laid out as systemd would have left it,
# bans and all, for the purge to take away.
[[ -d /var/lib/private ]] || "${as_root[@]}" install -d -m 0700 /var/lib/private
"${as_root[@]}" install -d -m 0755 /var/lib/private/velmora-server
echo '{"version": 1, "bans": []}' | "${as_root[@]}" tee /var/lib/private/velmora-server/bans.json >/dev/null
"${as_root[@]}" ln -s private/velmora-server /var/lib/velmora-server

# Purged, nothing of it is left: files, links of the enabled unit, helper state, the service's
# state, dpkg records. The group stays, as Debian's system groups do.
if ! purge; then
    cat "$tmp/apt.log"
    fail "apt-get purge"
fi
velmora_paths >"$tmp/after"
if dpkg-query -W velmora-server >/dev/null 2>&1; then
    fail "dpkg still knows velmora-server after the purge"
elif ! diff -u "$tmp/before" "$tmp/after" >"$tmp/left"; then
    fail "left behind after the purge:"
    grep '^+/' "$tmp/left" | sed 's/^+/    /'
else
    pass "apt-get purge velmora-server leaves nothing behind"
fi
if ((had_group)) || getent group velmora >/dev/null; then
    pass "the purge keeps the group velmora, and the people in it"
else
    fail "the purge removed the group velmora"
fi

((failures == 0))
