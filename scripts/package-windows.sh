#!/usr/bin/env bash
# Builds a release zvspool.exe in build-win-release/ (build-win/ stays as the tests left it) and
# puts in dist/ what Windows users get:
#   zvspool-VERSION-win64.zip     zvspool.exe, README.txt, calibration.zv: to copy beside ZV
#   zvspool-VERSION-setup.exe     the installer (packaging/windows/zvspool.nsi)
# Extra arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-win-release
ZV_WIN_BUILD_DIR=$dir scripts/build-windows.sh -DCMAKE_BUILD_TYPE=Release -DZV_BUILD_TESTS=OFF "$@"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
[[ -n $version ]] || { echo "no project version in $dir/CMakeCache.txt" >&2; exit 1; }
setup=$dir/zvspool-$version-setup.exe
[[ -f $setup ]] || { echo "$setup was not built: is makensis installed (scripts/install-deps.sh windows)?" >&2; exit 1; }

mkdir -p dist
zip=dist/zvspool-$version-win64.zip
rm -f "$zip"
# -X: no Unix owners or extra times, which Explorer does not use.
zip -q -j -X "$zip" "$dir/packaging/files/zvspool.exe" "$dir/packaging/files/README.txt" \
  "$dir/packaging/files/calibration.zv"
cp "$setup" dist/
echo "Packaged $(pwd)/$zip"
echo "Packaged $(pwd)/dist/$(basename "$setup")"
