#!/usr/bin/env bash
# Installs every Debian package (Debian 12 or 13) that the build, the tests and the demo
# need, and only those that are missing. Usage: scripts/install-deps.sh [extra package...]
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libhpdf-dev                 # PDF writer
  libgraphicsmagick++1-dev    # image decoders behind our image layer
  libpng-dev zlib1g-dev       # PNG check and plain PNG writer
  libdeflate-dev              # staged PNGs compressed in one piece
  libheif-dev libwebp-dev libjxl-dev  # HEIC, WebP, JPEG XL
  libavif-dev                 # AVIF, also image sequences (with dav1d)
  liblcms2-dev                # colour profiles: checked, and CMYK converted through them
  libgtest-dev googletest     # unit tests
  libjpeg-dev                 # tests write JPEGs as cameras and other programs do
  libtiff-dev                 # tests write multi-page TIFFs as scanners do
  libqpdf-dev                 # tests read written PDFs back
  mupdf-tools                 # tests render pages pixel for pixel
  poppler-utils               # tests render pages through their colour profiles
  libgs-common                # a printer's CMYK profile for the tests
  qt6-base-dev                # windowed program
  xvfb xauth                  # GUI screenshots
  file desktop-file-utils appstream lintian  # the package: dependencies and metadata checks
  clang                       # fuzzing (its runtime follows below)
  "$@"
)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
updated=""

install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [ -z "$updated" ]; then
    $sudo apt-get update -qq || true
    updated=1
  fi
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

install_missing "${packages[@]}"
# Debian 13's HEIF reader decodes HEIC and AVIF through plug-ins, and the tests encode both;
# Debian 12 builds them in and has no such packages.
for plugin in libheif-plugin-libde265 libheif-plugin-dav1d libheif-plugin-x265 \
    libheif-plugin-aomenc; do
  if apt-cache show "$plugin" >/dev/null 2>&1; then install_missing "$plugin"; fi
done
# The fuzzers' runtime is the one of the release's default clang (14 on Debian 12, 19 on 13).
llvm=$(readlink -f "$(command -v clang)" | grep -o 'llvm-[0-9]*' | head -n 1 || true)
[ -n "$llvm" ] && install_missing "libclang-rt-${llvm#llvm-}-dev"
exit 0
