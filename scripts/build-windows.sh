#!/usr/bin/env bash
# Cross-builds zvspool.exe (and, with tests on, the Windows test suite) in build-win/ with
# MinGW-w64; extra arguments go to cmake's configure step. ZV_WIN_BUILD_DIR names another build
# folder, so a release build does not disturb the one the tests use.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${ZV_WIN_BUILD_DIR:-build-win}
scripts/install-deps.sh windows
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake "$@" > "$dir.log" 2>&1 \
  || { cat "$dir.log"; exit 1; }
cmake --build "$dir" -j"$(nproc)"
echo "Built $(pwd)/$dir/zvspool.exe"
