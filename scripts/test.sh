#!/usr/bin/env bash
# Runs every test: installs what is missing, builds natively and for 32-bit Windows, runs the unit
# and server tests, checks velmora.exe, drives the real client under Wine end to end, and builds
# and checks both packages (the Debian package is installed on this machine for a moment and
# purged again; its service is never started).
set -euo pipefail
cd "$(dirname "$0")/.."

# If a package cannot be installed, everything that does not need it still runs, so that one
# run shows all there is to see; the run fails all the same.
setup_status=0
scripts/setup.sh --test || setup_status=$?

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

if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    echo "test: FAILED: wine32:i386 could not be installed (see setup's account above), so the tests" >&2
    echo "      that run velmora.exe under Wine (tests/e2e, tests/package/check-zip.sh) did not run" >&2
    exit 1
fi
tests/e2e/run-e2e.sh build/win32 build/native
tests/package/check-zip.sh build/win32
if ((setup_status != 0)); then
    echo "test: FAILED: setup could not install everything (see its account above)" >&2
    exit "$setup_status"
fi
