#!/bin/sh
# Checks a built velmora.exe: its PE headers and imports with the MinGW tools, then everything it
# must carry with check_velmora_exe.cpp, built here for the host. Also checks that the committed
# icon is what its generator draws.
#   check_velmora_exe.sh path/to/velmora.exe
set -u
exe=${1:?usage: check_velmora_exe.sh path/to/velmora.exe}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cxx=${CXX_FOR_HOST:-c++}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
results="$work/results"
: > "$results"

record() { # passed? description [detail]
  if [ "$1" = 0 ]; then echo "ok - $2"; else echo "FAIL - $2${3:+: $3}"; fi >> "$results"
}

if [ ! -f "$exe" ]; then
  record 1 "velmora.exe exists" "$exe"
else
  description=$(file -b "$exe")
  case "$description" in
    "PE32 executable (GUI) Intel 80386"*) record 0 "file(1) sees a PE32 GUI executable for the 80386" ;;
    *) record 1 "file(1) sees a PE32 GUI executable for the 80386" "$description" ;;
  esac

  dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '[:lower:]' '[:upper:]' | sort)
  others=$(printf '%s\n' "$dlls" | grep -v -x -e KERNEL32.DLL -e USER32.DLL -e WSOCK32.DLL -e MSVCRT.DLL)
  if [ -n "$dlls" ] && [ -z "$others" ]; then
    record 0 "objdump lists only system DLLs: $(echo $dlls)"
  else
    record 1 "objdump lists only system DLLs" "$(echo $dlls)"
  fi

  if "$cxx" -std=c++17 -Wall -Wextra -O1 -I"$root/resources" -o "$work/check_velmora_exe" \
       "$here/check_velmora_exe.cpp" 2> "$work/build.log"; then
    "$work/check_velmora_exe" "$exe" "$root/resources/velmora.ico" >> "$results" 2>&1
  else
    record 1 "checker builds" "$(cat "$work/build.log")"
  fi
fi

if "$root/resources/make_icon.sh" --check > "$work/icon.log" 2>&1; then
  record 0 "committed velmora.ico matches icon_generator.cpp"
else
  record 1 "committed velmora.ico matches icon_generator.cpp" "$(cat "$work/icon.log")"
fi

cat "$results"
passed=$(grep -c '^ok - ' "$results")
failed=$(grep -c '^FAIL - ' "$results")
echo "velmora.exe: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
