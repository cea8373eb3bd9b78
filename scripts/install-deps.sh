#!/usr/bin/env bash
# Installs the Debian packages zvspool needs, only those that are missing.
#   scripts/install-deps.sh run    what building and running needs
#   scripts/install-deps.sh test   that, and what the tests and benchmarks need
set -euo pipefail

run_packages=(
  cmake g++ make pkg-config
  libcairo2-dev libfontconfig-dev libfreetype-dev libcups2-dev libglib2.0-dev libgtk-3-dev
  fonts-liberation
)
test_packages=(
  googletest libgtest-dev poppler-utils
  cups cups-client cups-ipp-utils dbus
  xvfb xauth xdotool imagemagick
)

wanted=("${run_packages[@]}")
if [[ "${1:-run}" == test ]]; then
  wanted+=("${test_packages[@]}")
fi

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
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
