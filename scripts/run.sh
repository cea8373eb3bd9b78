#!/usr/bin/env bash
# Installs what is missing, builds, and starts zvspool in the current folder: it prints the job
# files that arrive in ./ZV on the default printer (or into ~/PDF on a machine without a print
# system). With a display it shows its window; stop it with Ctrl+C or by closing the window.
set -euo pipefail
here=$PWD
repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/scripts/install-deps.sh" run
(cd "$repo" && scripts/build.sh -DZV_BUILD_TESTS=OFF)
cd "$here"
mkdir -p ZV
echo "zvspool is watching $here/ZV (every 10 seconds). Try: cp $repo/samples/sample.zv ZV/zv0001.zv"
exec "$repo/build/zvspool"
