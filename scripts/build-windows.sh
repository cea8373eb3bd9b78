#!/usr/bin/env bash
# Cross-builds zvspool.exe (and, with tests on, the Windows test suite) in build-win/ with
# MinGW-w64; extra arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh windows
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake "$@" > build-win.log 2>&1 \
  || { cat build-win.log; exit 1; }
cmake --build build-win -j"$(nproc)"
echo "Built $(pwd)/build-win/zvspool.exe"
