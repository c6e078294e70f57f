#!/usr/bin/env bash
# Benchmark: brannock against the converters a user would pick instead, on a deterministic
# corpus. Usage: bench/run_bench.sh [--quick]
#   full:   40 images a set, 3 runs each, medians
#   --quick: 4 images a set, 1 run
# Needs a build in $BUILD (default build). Writes the table to $BUILD/bench/results.md.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
COUNT=40 RUNS=3
[ "${1:-}" = "--quick" ] && COUNT=4 RUNS=1

scripts/install-deps.sh graphicsmagick imagemagick img2pdf time bc mupdf-tools >/dev/null
work=$(realpath "$BUILD")/bench-work
corpus=$work/corpus-$COUNT
mkdir -p "$work"
[ -d "$corpus" ] || "$BUILD/bench/make_corpus" "$corpus" "$COUNT"

# brannock runs from a private program folder, so its staging folder is the benchmark's.
mkdir -p "$work/prog"
cp "$BUILD/cli/brannock" "$work/prog/brannock"

# Debian's ImageMagick policy forbids writing PDF and caps memory so low that a batch of
# photos stops part way. A private policy without either is mounted over it inside a mount
# namespace of ImageMagick's own: the system's file stays as it is.
mkdir -p "$work/im-policy"
echo '<policymap></policymap>' > "$work/im-policy/policy.xml"
cat > "$work/im6" <<SCRIPT
#!/bin/sh
exec unshare --mount sh -c 'mount --bind "\$0" /etc/ImageMagick-6/policy.xml && exec convert "\$@"' \\
  "$work/im-policy/policy.xml" "\$@"
SCRIPT
chmod +x "$work/im6"

measure() {  # measure <tool> <set> <output> <command...>: one line "wall user+sys peakKB bytes"
  local out=$3
  shift 3
  rm -f "$out"
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >/dev/null 2>&1 || true
  read -r wall user sys peak < <(tail -n 1 "$work/time.txt")
  local size=0
  [ -f "$out" ] && size=$(stat -c %s "$out")
  # A converter that gave up part way has not done the work: its run does not count.
  local pages
  pages=$(mutool info "$out" 2>/dev/null | sed -n 's/^Pages: //p')
  [ "${pages:-0}" = "$COUNT" ] || { wall=-1; size=0; }
  echo "$wall $(echo "$user + $sys" | bc) $peak $size"
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

results=$work/raw.txt
: > "$results"
for set in photo scan screen; do
  files=("$corpus/$set"/*)
  for run in $(seq "$RUNS"); do
    # Interleaved, so that every tool sees the same machine state.
    echo "$set brannock $(measure brannock "$set" "$work/out-b.pdf" "$work/prog/brannock" -i "$corpus/$set" -o "$work/out-b.pdf")" >> "$results"
    echo "$set gm $(measure gm "$set" "$work/out-gm.pdf" gm convert "${files[@]}" -compress zip "$work/out-gm.pdf")" >> "$results"
    echo "$set im6 $(measure im6 "$set" "$work/out-im.pdf" "$work/im6" "${files[@]}" -compress zip "$work/out-im.pdf")" >> "$results"
    echo "$set img2pdf $(measure img2pdf "$set" "$work/out-i2p.pdf" img2pdf -o "$work/out-i2p.pdf" "${files[@]}")" >> "$results"
    floor=$("$BUILD/bench/floor" "${files[@]}" | cut -d' ' -f1)
    echo "$set floor $floor 0 0 0" >> "$results"
  done
  # Pixel-exact: the first, a middle and the last page against their decoded inputs.
  n=${#files[@]}
  "$BUILD/bench/verify_pages" "$work/out-b.pdf" "1=${files[0]}" "$(( n / 2 + 1 ))=${files[$(( n / 2 ))]}" \
    "$n=${files[$(( n - 1 ))]}" | sed "s|^|$set: |"
done

table=$BUILD/bench/results.md
{
  echo "| set | tool | wall s | CPU s | peak MB | output MB | brannock wall / tool wall |"
  echo "|---|---|---:|---:|---:|---:|---:|"
  for set in photo scan screen; do
    bw=$(awk -v s=$set '$1==s && $2=="brannock" {print $3}' "$results" | median)
    for tool in brannock gm im6 img2pdf floor; do
      col() { awk -v s=$set -v t=$tool -v c="$1" '$1==s && $2==t {print $c}' "$results" | median; }
      wall=$(col 3) cpu=$(col 4) peak=$(col 5) size=$(col 6)
      if [ "$(echo "$wall < 0" | bc)" = 1 ]; then
        printf "| %s | %s | failed | | | | |\n" "$set" "$tool"
        continue
      fi
      ratio=$(echo "scale=2; $bw / $wall" | bc 2>/dev/null || echo "-")
      printf "| %s | %s | %.1f | %.1f | %.0f | %.1f | %s |\n" "$set" "$tool" "$wall" "$cpu" \
        "$(echo "$peak / 1024" | bc)" "$(echo "scale=1; $size / 1048576" | bc)" "$ratio"
    done
  done
  echo
  echo "$COUNT images a set, median of $RUNS run(s), $(nproc) cores; floor = decode every input and deflate its pixels at level 6 on all cores (CPU, peak and size not measured)."
} > "$table"
cat "$table"
