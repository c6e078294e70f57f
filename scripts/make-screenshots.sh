#!/bin/sh
# Takes the dialog's pictures again (docs/brannock-gui.png and the checks' pictures) under a
# private Xvfb. Usage: scripts/make-screenshots.sh [build folder] [output folder]
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-docs}
mkdir -p "$out"
# Qt's runtime folder, private to this run rather than left in /tmp.
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
XDG_RUNTIME_DIR=$runtime xvfb-run -a -s "-screen 0 1024x768x24" "$build/gui/dialog_screenshots" "$out"
