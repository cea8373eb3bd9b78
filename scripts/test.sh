#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every test: the Linux build's
# suite and end-to-end scripts, then the Windows build's suite and end-to-end check under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
scripts/install-deps.sh test
scripts/build.sh -DZV_BUILD_TESTS=ON -DZV_WERROR=ON
(cd build && ctest --output-on-failure -j"$(nproc)")

# The fuzz targets, a minute each.
scripts/fuzz.sh 60

scripts/build-windows.sh -DZV_BUILD_TESTS=ON -DZV_WERROR=ON
# One prefix and one lasting wine server for the suite: every Wine start costs seconds otherwise.
export WINEPREFIX="$repo/build-win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[[ -f "$WINEPREFIX/system.reg" ]] || wineboot --init > build-win/wineboot.log 2>&1
wineserver -k 2>/dev/null || true
wineserver -w && wineserver -p
# Wine's services start with the first program and keep its output open: start them here, so
# they do not hold the test runner's pipes.
wine cmd /c exit > build-win/wine-services.log 2>&1 < /dev/null
trap 'WINEPREFIX="$repo/build-win/wineprefix" wineserver -k 2>/dev/null || true' EXIT
(cd build-win && ctest --output-on-failure)
