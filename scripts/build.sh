#!/usr/bin/env bash
# Configures and builds zvspool in build/ (extra arguments go to cmake's configure step).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build "$@" > build.log 2>&1 || { cat build.log; exit 1; }
cmake --build build -j"$(nproc)"
