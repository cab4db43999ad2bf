#!/usr/bin/env bash
# Unpacks the Windows zip as a user would, checks what it holds, and runs what it holds under
# Wine: velmora-server.exe tells its version and options, and velmora.exe, driven by the e2e
# driver, starts, shows its version in About and exits with status 0.
# Usage: tests/package/check-zip.sh BUILD_WIN32_DIR
set -uo pipefail

if (($# != 1)); then
    echo "usage: $0 BUILD_WIN32_DIR" >&2
    exit 2
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
win32=$(cd "$1" && pwd) || exit 2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win32/CMakeCache.txt")
name=velmora-$version-win32
zip=$win32/packages/$name.zip
drive=$win32/tests/e2e/velmora-drive.exe
for needed in "$zip" "$drive"; do
    if [[ -z $version || ! -f $needed ]]; then
        echo "check-zip: ${needed##*/} is missing; build with: cmake --build --preset win32 --target package" >&2
        exit 2
    fi
done

# shellcheck source=../../scripts/wine-env.sh
source "$root/scripts/wine-env.sh"
tmp=$(mktemp -d /tmp/velmora-check-zip.XXXXXX)
trap 'wine_env_stop; rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM
failures=0
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}
pass() { echo "PASS $*"; }

# Everything in one folder named after the version, and nothing else.
expected=$(printf "$name/%s\n" LICENSE README.txt velmora-server.exe velmora.exe)
held=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
if [[ $held == "$expected" ]]; then
    pass "${zip##*/} holds $name/ with $(paste -sd ' ' <<<"${expected//$name\//}")"
else
    fail "${zip##*/} holds: $(tr '\n' ' ' <<<"$held")"
fi
unzip -q "$zip" -d "$tmp" || fail "unzip ${zip##*/}"
folder=$tmp/$name

for text in README.txt LICENSE; do
    if [[ -s $folder/$text ]] && ! grep -q $'[^\r]$\|^$' "$folder/$text" && [[ $(tail -c 2 "$folder/$text" | od -An -c) == *'\r  \n'* ]]; then
        pass "$text ends every line with CR LF"
    else
        fail "$text does not end every line with CR LF"
    fi
done
grep -q "Velmora $version" "$folder/README.txt" || fail "README.txt does not name version $version"
grep -qi 'Linux only' "$folder/README.txt" || fail "README.txt does not say what is built for Linux only"
file "$folder/velmora.exe" | grep -q 'PE32 executable (GUI) Intel 80386' || fail "velmora.exe is not a 32-bit GUI program"
file "$folder/velmora-server.exe" | grep -q 'PE32 executable (console) Intel 80386' ||
    fail "velmora-server.exe is not a 32-bit console program"

if ! command -v wine >/dev/null || ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed'; then
    fail "Wine (wine, wine32:i386) is not installed, so the programs in the zip cannot be run; run scripts/setup.sh"
    exit 1
fi
if ! wine_env_start "$win32/wine"; then
    fail "Wine could not be started"
    exit 1
fi

# The server from the zip: its version, and every option it has is explained in README.txt.
server_version=$(wine "$folder/velmora-server.exe" --version </dev/null 2>"$tmp/server.err" | tr -d '\r')
if [[ $server_version == "velmora-server $version" ]]; then
    pass "velmora-server.exe --version: $server_version"
else
    fail "velmora-server.exe --version printed '$server_version'"
    sed 's/^/    /' "$tmp/server.err"
fi
mapfile -t options < <(wine "$folder/velmora-server.exe" --help </dev/null 2>/dev/null | tr -d '\r' |
    grep -o '^  --[a-z-]*' | sed 's/^ *//')
((${#options[@]})) || fail "velmora-server.exe --help listed no options"
for option in "${options[@]}"; do
    grep -q -- "^ *$option\b" "$folder/README.txt" || fail "README.txt does not explain $option"
done

# The client from the zip, started from its folder as a user would.
cat >"$tmp/about-exit.vds" <<EOF
launch
menu main IDM_ABOUT
wait-window about
expect-static-contains about "Velmora" "$version"
click about IDC_ABOUT_OK
wait-gone about
menu main IDM_EXIT
expect-exit 0
EOF
(cd "$folder" && wine "$drive" --client "$(wine_env_windows_path "$folder/velmora.exe")" \
    --script "$(wine_env_windows_path "$tmp/about-exit.vds")" \
    --fail-shot "$(wine_env_windows_path "$tmp/failure.bmp")") >"$tmp/drive.log" 2>&1 </dev/null &
wait $!
status=$?
if ((status == 0)); then
    pass "velmora.exe from the zip starts, shows version $version in About and exits with 0"
else
    fail "velmora.exe from the zip under the driver (status $status):"
    sed 's/^/    /' "$tmp/drive.log"
    if [[ -f $tmp/failure.bmp ]]; then
        mkdir -p "$win32/package-results"
        convert "$tmp/failure.bmp" "$win32/package-results/zip-failure.png" &&
            echo "    screenshot: $win32/package-results/zip-failure.png"
    fi
fi

((failures == 0))
