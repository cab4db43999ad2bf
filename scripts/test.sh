#!/usr/bin/env bash
# Runs every test: installs what is missing, builds natively and for 32-bit Windows, runs the unit
# and server tests, checks velmora.exe, then drives the real client under Wine end to end.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc)
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
ctest --preset native -j "$jobs"

cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"
ctest --test-dir build/win32 --output-on-failure

tests/e2e/run-e2e.sh build/win32 build/native
