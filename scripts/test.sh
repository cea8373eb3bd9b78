#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every test: the Linux build's
# suite and end-to-end scripts, the fuzz targets, then the Windows build's suite and end-to-end
# checks under Wine. A part that fails does not stop the others; every failure is listed at the
# end, and the exit code is 1 when there was one.
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
failures=()
part() { # part NAME COMMAND...: runs one part, noting its failure
  local name=$1; shift
  echo "=== $name"
  "$@" || failures+=("$name")
}

scripts/install-deps.sh test || exit 1

linux_suite() {
  scripts/build.sh -DZV_BUILD_TESTS=ON -DZV_WERROR=ON || return 1
  # The end-to-end scripts mostly wait (on schedulers, printers, timers), each in a namespace of
  # its own: eight at a time keep two cores busy without starving the ones that measure time.
  (cd build && ctest --output-on-failure -j8)
}
part "Linux build and tests" linux_suite

# The fuzz targets, a minute each.
part "fuzzing" scripts/fuzz.sh 60

windows_suite() {
  scripts/build-windows.sh -DZV_BUILD_TESTS=ON -DZV_WERROR=ON || return 1
  # One prefix and one lasting wine server for the suite: every Wine start costs seconds otherwise.
  export WINEPREFIX="$repo/build-win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  [[ -f "$WINEPREFIX/system.reg" ]] || wineboot --init > build-win/wineboot.log 2>&1
  wineserver -k 2>/dev/null || true
  wineserver -w && wineserver -p
  # Wine's services start with the first program and keep its output open: start them here, so
  # they do not hold the test runner's pipes.
  wine cmd /c exit > build-win/wine-services.log 2>&1 < /dev/null
  local status=0
  (cd build-win && ctest --output-on-failure) || status=1
  wineserver -k 2>/dev/null || true
  return $status
}
part "Windows build and tests" windows_suite

if [[ ${#failures[@]} -gt 0 ]]; then
  echo "FAILED: ${failures[*]}"
  exit 1
fi
echo "all tests passed"
