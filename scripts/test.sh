#!/usr/bin/env bash
# Runs every test: installs what is missing, builds natively and for 32-bit Windows, runs the unit
# and server tests, checks velmora.exe, drives the real client under Wine end to end, and builds
# and checks both packages (the Debian package is installed on this machine for a moment and
# purged again; its service is never started).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --test

jobs=$(nproc)
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
ctest --preset native -j "$jobs"
cmake --build --preset native --target package
tests/package/check-deb.sh build/native

cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"
ctest --test-dir build/win32 --output-on-failure
cmake --build --preset win32 --target package

tests/e2e/run-e2e.sh build/win32 build/native
tests/package/check-zip.sh build/win32
