#!/usr/bin/env bash
# Installs, on Debian 12, what building, running and testing Velmora needs, where it is missing.
#   scripts/setup.sh          build and run: the server, and the client under Wine
#   scripts/setup.sh --test   also what the tests need: the packaging tools and their checkers
#   scripts/setup.sh --bench  also the servers the benchmarks compare against
# A mirror in the middle of a sync fails `apt-get update` for a few minutes, so the update is
# tried VELMORA_APT_TRIES times (default 4), VELMORA_APT_PAUSE seconds apart (default 60), and
# the install is tried even after the last failure: the old lists often still do, and failing
# that, the release's own versions. What cannot be installed is named and setup fails, but
# everything else is installed all the same.
set -euo pipefail

packages=(
    cmake ninja-build g++ gcc make file procps util-linux iproute2
    libgtest-dev libasio-dev libcli11-dev libnats-dev nlohmann-json3-dev libssl-dev libsystemd-dev pkg-config
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    wine wine32:i386 fonts-wine xvfb x11-utils imagemagick libx11-dev
)
for option in "$@"; do
    case $option in
    # The tests of a room across servers start their own NATS servers. help2man writes the man
    # page and dpkg-shlibdeps the dependencies of the Debian package; systemd brings
    # systemd-analyze to check its unit. The metrics page is read by Prometheus's own parser, and
    # openssl makes the certificates of the secured NATS cluster.
    --test) packages+=(nats-server help2man dpkg-dev systemd unzip python3-prometheus-client openssl) ;;
    --bench) packages+=(redis-server ncat nats-server linux-perf) ;;
    *)
        echo "usage: $0 [--test] [--bench]" >&2
        exit 2
        ;;
    esac
done
tries=${VELMORA_APT_TRIES:-4}
pause=${VELMORA_APT_PAUSE:-60}
if ! [[ $tries =~ ^[1-9][0-9]*$ && $pause =~ ^[0-9]+$ ]]; then
    echo "setup: VELMORA_APT_TRIES must be a positive number and VELMORA_APT_PAUSE a number of seconds" >&2
    exit 2
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "setup: installing packages needs root; run as root or install sudo" >&2
        exit 2
    fi
    as_root=(sudo)
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}
missing() {
    local package
    for package in "${packages[@]}"; do
        installed "$package" || printf '%s\n' "$package"
    done
}
log=$(mktemp /tmp/velmora-setup.XXXXXX)
apt_get() {
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=300 "$@"
}
# "Err:4 URI SUITE/COMPONENT ARCH Packages" and the reason on the line after it.
failed_indexes() {
    awk '/^Err:/ { sub(/^Err:[0-9]+ /, ""); index_name = $0; getline; sub(/^ +/, "");
                   print "  " index_name ": " $0 }' "$1" | sort -u
}

# Sets update_failures to the lists that could not be fetched, if any.
update_lists() {
    local update_log=$log.update try
    update_failures=""
    for ((try = 1; ; try++)); do
        if apt_get update >"$update_log" 2>&1 && ! grep -q '^E:' "$update_log"; then
            update_failures=""
            break
        fi
        update_failures=$(failed_indexes "$update_log")
        [ -n "$update_failures" ] || update_failures=$(grep '^E:' "$update_log" | sed 's/^/  /' | sort -u)
        cat "$update_log" >>"$log"
        if ((try >= tries)); then
            echo "setup: apt-get update failed on every try; installing with the lists at hand"
            break
        fi
        echo "setup: apt-get update failed (try $try of $tries); trying again in $pause s:"
        printf '%s\n' "$update_failures"
        sleep "$pause"
    done
    rm -f "$update_log"
}

# Some kernels cannot run 32-bit x86 programs at all (virtual machines whose hypervisor has no
# 32-bit mode among them), and Wine's 32-bit half is such a program. There the kernel is told to
# hand them to qemu's user-mode emulator, which runs Wine and everything in it as it is, only
# slower. Debian 12's own qemu (7.2) takes over 15 minutes to make a Wine prefix, most of it in
# the thousands of mmap calls with which Wine looks for free address space; the one in
# bookworm-backports (10.0) takes 16 s.
emulator_name=qemu-i386
emulator_minimum=1:10
backports_list=/etc/apt/sources.list.d/velmora-backports.sources
binfmt_dir=/proc/sys/fs/binfmt_misc

# A 32-bit x86 program that does nothing but end with status 32.
runs_32bit_programs() {
    local probe status=0
    probe=$(mktemp /tmp/velmora-i386.XXXXXX)
    base64 -d >"$probe" <<'PROBE'
f0VMRgEBAQAAAAAAAAAAAAIAAwABAAAAVIAECDQAAAB0AAAAAAAAADQAIAABACgAAwACAAEAAABUAAAAVIAECFSABAgMAAAADAAA
AAcAAAABAAAAuAEAAAC7IAAAAM2AAC5zaHN0cnRhYgAudGV4dAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA
AAAAAAAACwAAAAEAAAAHAAAAVIAECFQAAAAMAAAAAAAAAAAAAAABAAAAAAAAAAEAAAADAAAAAAAAAAAAAABgAAAAEQAAAAAAAAAA
AAAAAQAAAAAAAAA=
PROBE
    chmod +x "$probe"
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    [ "$status" -eq 32 ]
}

emulator_installed() {
    local version
    version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null) || return 1
    installed qemu-user && dpkg --compare-versions "$version" ge "$emulator_minimum" &&
        [ -x /usr/bin/$emulator_name ]
}

install_emulator() {
    local release
    release=$(sed -n "s/^VERSION_CODENAME=//p" /etc/os-release)
    if ! grep -rqs "^Suites:.*\b$release-backports\b\|^deb .* $release-backports " \
        /etc/apt/sources.list /etc/apt/sources.list.d/; then
        echo "setup: adding $release-backports to apt's sources ($backports_list) for qemu-user"
        printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' "Suites: $release-backports" \
            'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
            "${as_root[@]}" tee "$backports_list" >/dev/null
    fi
    echo "setup: installing qemu-user from $release-backports (apt's output: $log)"
    update_lists
    apt_get install -y --no-install-recommends -t "$release-backports" qemu-user >>"$log" 2>&1 || true
    emulator_installed
}

# Registered with F, the kernel opens the emulator once, so it is found inside other mount
# namespaces and chroots as well.
register_emulator() {
    local magic mask
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    if [ ! -e "$binfmt_dir/register" ]; then
        "${as_root[@]}" mount -t binfmt_misc binfmt_misc "$binfmt_dir" || return 1
    fi
    if [ -e "$binfmt_dir/$emulator_name" ]; then
        echo -1 | "${as_root[@]}" tee "$binfmt_dir/$emulator_name" >/dev/null || return 1
    fi
    printf '%s\n' ":$emulator_name:M::$magic:$mask:/usr/bin/$emulator_name:F" |
        "${as_root[@]}" tee "$binfmt_dir/register" >/dev/null
}

# Ends setup with STATUS, or 1 if 32-bit programs cannot be made to run.
finish() {
    local status=$1
    if ! runs_32bit_programs; then
        echo "setup: this kernel cannot run 32-bit x86 programs, which Wine needs; they will run in qemu"
        if ! emulator_installed && ! install_emulator; then
            echo "setup: could not install qemu-user ($emulator_minimum or later) from backports; apt's output: $log" >&2
            exit 1
        fi
        if ! register_emulator || ! runs_32bit_programs; then
            echo "setup: could not have the kernel run 32-bit programs in /usr/bin/$emulator_name" \
                "($binfmt_dir is not available?)" >&2
            exit 1
        fi
        echo "setup: 32-bit programs now run in /usr/bin/$emulator_name until the next boot"
    fi
    [ "$status" -ne 0 ] || rm -f "$log"
    exit "$status"
}

mapfile -t wanted < <(missing)
[ ${#wanted[@]} -eq 0 ] && finish 0

echo "setup: installing ${wanted[*]} (apt's output: $log)"
update_lists

apt_get install -y --no-install-recommends "${wanted[@]}" >>"$log" 2>&1 || true

mapfile -t unmet < <(missing)
# A list that failed leaves apt with one architecture's newer versions and not the other's, and
# wine32:i386 needs its i386 libraries at exactly the versions of the amd64 ones. The release's
# own lists were fetched and checked, so its versions agree on both architectures.
release=$(sed -n "s/^VERSION_CODENAME=//p" /etc/os-release)
if [ ${#unmet[@]} -gt 0 ] && [ -n "$update_failures" ] && [ -n "$release" ]; then
    echo "setup: some lists are missing, so installing the versions that $release itself ships"
    apt_get install -y --no-install-recommends -o APT::Default-Release="$release" "${unmet[@]}" \
        >>"$log" 2>&1 || true
    mapfile -t unmet < <(missing)
fi
if [ ${#unmet[@]} -eq 0 ]; then
    echo "setup: installed ${wanted[*]}"
    finish 0
fi
# apt installs all or nothing; asking about each package alone names the ones it cannot install.
# The others are installed all the same, so that whatever does not need the blocked ones can
# still be built and tested.
blocked=()
resolvable=()
for package in "${unmet[@]}"; do
    if apt-get -s -q install --no-install-recommends "$package" >/dev/null 2>&1; then
        resolvable+=("$package")
    else
        blocked+=("$package")
    fi
done
if [ ${#blocked[@]} -gt 0 ] && [ ${#resolvable[@]} -gt 0 ]; then
    apt_get install -y --no-install-recommends "${resolvable[@]}" >>"$log" 2>&1 || true
    mapfile -t unmet < <(missing)
fi
{
    echo "setup: could not install ${unmet[*]}"
    if [ -n "$update_failures" ]; then
        echo "setup: these package lists could not be downloaded:"
        printf '%s\n' "$update_failures"
    fi
    echo "setup: apt said:"
    # Its errors first (those about lists are named above), then the first unmet dependencies.
    { grep '^E:' "$log" | grep -Ev '^E: (Some index files failed|Failed to fetch .*/dists/)' || true;
      grep -E '^ [^ ].* : (Pre)?Depends:' "$log" | head -n 40 || true; } |
        awk '!seen[$0]++' | head -n 8 | sed 's/^ */  /'
    echo "setup: a package mirror in the middle of a sync is the usual cause; running the same command"
    echo "       again in a few minutes usually succeeds. apt's full output: $log"
} >&2
finish 1
