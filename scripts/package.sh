#!/usr/bin/env bash
# Builds the Debian package: dist/zvspool_<version>_<arch>.deb, with both programs stripped, the
# user unit, the desktop and autostart entries, the icon, the man pages and the README.
#   scripts/package.sh                 a Release build in build-pkg/
#   ZV_BUILD_DIR=build scripts/package.sh   package an existing build instead
# Install it with: sudo apt install ./dist/zvspool_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
scripts/install-deps.sh package
build=${ZV_BUILD_DIR:-build-pkg}
if [[ -z ${ZV_BUILD_DIR:-} ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZV_BUILD_TESTS=OFF > "$build.log" 2>&1 \
    || { cat "$build.log"; exit 1; }
fi
cmake --build "$build" -j"$(nproc)"
mkdir -p dist
(cd "$build" && cpack -G DEB -B "$repo/dist" > cpack.log 2>&1) || { cat "$build/cpack.log"; exit 1; }
rm -rf dist/_CPack_Packages
ls dist/zvspool_*.deb
