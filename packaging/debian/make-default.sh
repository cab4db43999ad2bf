#!/bin/sh
# Writes the options file of the service: TEMPLATE with its @OPTIONS@ line replaced by the
# server's own list of options and defaults, commented out, so that the two always agree.
# Usage: make-default.sh SERVER TEMPLATE OUTPUT
set -eu
server=$1
template=$2
output=$3
options=$("$server" --help | sed -n '/^Options:$/,/^$/p' |
    sed -e '1d' -e '/^$/d' -e '/^  -h,--help /d' -e '/^  --version /d' -e 's/^/#/')
[ -n "$options" ] || { echo "make-default.sh: $server --help listed no options" >&2; exit 1; }
{
    sed '/^@OPTIONS@$/,$d' "$template"
    printf '%s\n' "$options"
    sed '1,/^@OPTIONS@$/d' "$template"
} >"$output.new"
mv "$output.new" "$output"
