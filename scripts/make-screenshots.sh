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
# The dialog shows its output path: a person's, ~/Documents/scans.pdf, not a scratch folder.
# A private /home (a tmpfs in a mount namespace of our own) holds it; the real one is not
# touched.
out=$(realpath "$out")
program=$(realpath "$build/gui/dialog_screenshots")
unshare --user --map-root-user --mount sh -c '
  mount -t tmpfs tmpfs /home && mkdir -p /home/alex/Documents &&
  HOME=/home/alex XDG_RUNTIME_DIR=$0 xvfb-run -a -s "-screen 0 1024x768x24" "$1" "$2" \
    /home/alex/Documents' "$runtime" "$program" "$out"
