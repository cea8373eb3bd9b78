#!/usr/bin/env bash
# Installs what is missing, builds, and prints the bundled sample job to a PDF.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
scripts/build.sh -DZV_BUILD_TESTS=OFF
mkdir -p out
pdf=$(build/zv-render -o out/sample.pdf samples/sample.zv)
echo "The sample job is printed to $(realpath "$pdf")"
