#!/usr/bin/env bash
# Compares the PDFs of two builds of the console program, one picture at a time, on the
# demo samples, the benchmark's corpus (4 pictures a set) and the tests' kinds of picture.
# Usage: scripts/compare-output.sh <brannock before> [brannock after]
# Needs a build in $BUILD (default build); prints the pictures whose PDFs differ.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
before=$(realpath "$1")
after=$(realpath "${2:-$BUILD/cli/brannock}")
work=$(mktemp -d "${TMPDIR:-/tmp}/brannock-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/in/samples" "$work/in/tests" "$work/before" "$work/after"
"$BUILD/tools/make_samples" "$work/in/samples" >/dev/null
"$BUILD/bench/make_corpus" "$work/in/bench" 4 photo scan screen icc >/dev/null
"$BUILD/tests/write_test_pictures" "$work/in/tests" >/dev/null
# Each build runs from a program folder of its own, so that their staging folders differ.
cp "$before" "$work/before/brannock"
cp "$after" "$work/after/brannock"

same=0
differ=0
while IFS= read -r -d '' picture; do
  name=${picture#"$work/in/"}
  for side in before after; do
    "$work/$side/brannock" -i "$picture" -o "$work/$side/out.pdf" >/dev/null 2>&1 || true
  done
  # No PDF on both sides (no page) is the same outcome.
  if { [ ! -e "$work/before/out.pdf" ] && [ ! -e "$work/after/out.pdf" ]; } ||
    cmp -s "$work/before/out.pdf" "$work/after/out.pdf"; then
    same=$((same + 1))
  else
    differ=$((differ + 1))
    echo "differs: $name"
  fi
  rm -f "$work/before/out.pdf" "$work/after/out.pdf"
done < <(find "$work/in" -type f -print0 | sort -z)
echo "$same the same, $differ different"
[ "$differ" -eq 0 ]
