#!/bin/sh
# Rebuilds velmora.ico from icon_generator.cpp with the host C++ compiler.
#   make_icon.sh          writes resources/velmora.ico
#   make_icon.sh --check  fails if the committed velmora.ico differs from what the source draws
set -eu
here=$(cd "$(dirname "$0")" && pwd)
cxx=${CXX_FOR_HOST:-c++}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$cxx" -std=c++17 -Wall -Wextra -O2 -o "$work/icon_generator" "$here/icon_generator.cpp"
"$work/icon_generator" "$work/velmora.ico"

case "${1:-}" in
  --check)
    if cmp -s "$work/velmora.ico" "$here/velmora.ico"; then
      echo "velmora.ico matches icon_generator.cpp"
    else
      echo "velmora.ico is out of date: run resources/make_icon.sh" >&2
      exit 1
    fi
    ;;
  "")
    cp "$work/velmora.ico" "$here/velmora.ico"
    echo "wrote $here/velmora.ico"
    ;;
  *)
    echo "usage: $0 [--check]" >&2
    exit 2
    ;;
esac
