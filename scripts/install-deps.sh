#!/usr/bin/env bash
# Installs the Debian packages zvspool needs, only those that are missing.
#   scripts/install-deps.sh run       what building and running on Linux needs
#   scripts/install-deps.sh windows   what cross-building zvspool.exe needs
#   scripts/install-deps.sh fuzz      what building the fuzz targets needs (clang, libFuzzer)
#   scripts/install-deps.sh package   what building the Debian package needs
#   scripts/install-deps.sh test      all of that, and what the tests need (Wine among them)
set -euo pipefail

run_packages=(
  cmake g++ make pkg-config
  libcairo2-dev libfontconfig-dev libfreetype-dev libharfbuzz-dev libdeflate-dev libcups2-dev
  libglib2.0-dev libgtk-3-dev
  fonts-liberation librsvg2-bin
)
package_packages=(dpkg-dev file)
windows_packages=(
  cmake make g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix googletest
  librsvg2-bin icoutils nsis zip
)
test_packages=(
  googletest libgtest-dev poppler-utils qpdf ghostscript
  cups cups-client cups-ipp-utils dbus faketime
  xvfb xauth xdotool imagemagick
  wine wine64 locales mupdf-tools python3-fonttools
  lintian desktop-file-utils mandoc man-db systemd
  libfuse3-dev fuse3 eatmydata
)
fuzz_packages=(clang libclang-rt-14-dev)

case "${1:-run}" in
  run) wanted=("${run_packages[@]}") ;;
  windows) wanted=("${windows_packages[@]}") ;;
  fuzz) wanted=("${run_packages[@]}" "${fuzz_packages[@]}") ;;
  package) wanted=("${run_packages[@]}" "${package_packages[@]}") ;;
  test) wanted=("${run_packages[@]}" "${windows_packages[@]}" "${test_packages[@]}" "${fuzz_packages[@]}"
                "${package_packages[@]}") ;;
  *) echo "usage: $0 [run|windows|fuzz|test|package]" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
  if [[ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]]; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}"
