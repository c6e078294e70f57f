#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the demo need, and only those
# that are missing. Usage: scripts/install-deps.sh [extra package...]
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libhpdf-dev                 # PDF writer
  libgraphicsmagick++1-dev    # image decoders behind our image layer
  libpng-dev zlib1g-dev       # PNG check and plain PNG writer
  libgtest-dev googletest     # unit tests
  libjpeg-dev                 # tests write JPEGs as cameras and other programs do
  libqpdf-dev                 # tests read written PDFs back
  mupdf-tools                 # tests render pages pixel for pixel
  qt6-base-dev                # windowed program
  xvfb xauth                  # GUI screenshots
  clang libclang-rt-14-dev    # fuzzing
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq || true
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
