#!/usr/bin/env bash
# Benchmark: brannock against the converters a user would pick instead, on a deterministic
# corpus. Usage: bench/run_bench.sh [--quick]
#   full:   40 images a set, 3 runs each, medians
#   --quick: 4 images a set, 1 run
# Needs a build in $BUILD (default build). Writes the table to $BUILD/bench/results.md.
# BASELINE=<another brannock binary> adds it as the tool "before", measured in the same runs.
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
# Real photographs beside the synthetic ones: the photos among Plasma's wallpapers, each at
# its largest size (2560 x 1600 JPEGs); the drawn wallpapers are left out.
scripts/install-deps.sh plasma-workspace-wallpapers >/dev/null
mkdir -p "$corpus/real"
for wallpaper in Autumn BytheWater ColdRipple ColorfulCups DarkestHour EveningGlow FallenLeaf \
    Grey Kite OneStandsOut Path summer_1am; do
  cp -n "/usr/share/wallpapers/$wallpaper/contents/images/2560x1600.jpg" "$corpus/real/$wallpaper.jpg"
done

# brannock runs from a private program folder, so its staging folder is the benchmark's.
mkdir -p "$work/prog" "$work/before"
cp "$BUILD/cli/brannock" "$work/prog/brannock"
tools="brannock keep gm im6 img2pdf floor"
if [ -n "${BASELINE:-}" ]; then
  cp "$BASELINE" "$work/before/brannock"
  tools="brannock before keep gm im6 img2pdf floor"
fi

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
  local out=$3 expected
  expected=$(find "$corpus/$2" -type f | wc -l)
  shift 3
  rm -f "$out"
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >/dev/null 2>&1 || true
  read -r wall user sys peak < <(tail -n 1 "$work/time.txt")
  local size=0
  [ -f "$out" ] && size=$(stat -c %s "$out")
  # A converter that gave up part way has not done the work: its run does not count.
  local pages
  pages=$(mutool info "$out" 2>/dev/null | sed -n 's/^Pages: //p')
  [ "${pages:-0}" = "$expected" ] || { wall=-1; size=0; }
  echo "$wall $(echo "$user + $sys" | bc) $peak $size"
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

results=$work/raw.txt
: > "$results"
: > "$work/keep.txt"
sets="photo real scan screen"
for set in $sets; do
  files=("$corpus/$set"/*)
  for run in $(seq "$RUNS"); do
    # Interleaved, so that every tool sees the same machine state.
    echo "$set brannock $(measure brannock "$set" "$work/out-b.pdf" "$work/prog/brannock" -i "$corpus/$set" -o "$work/out-b.pdf")" >> "$results"
    if [ -n "${BASELINE:-}" ]; then
      echo "$set before $(measure before "$set" "$work/out-before.pdf" "$work/before/brannock" -i "$corpus/$set" -o "$work/out-before.pdf")" >> "$results"
    fi
    echo "$set keep $(measure keep "$set" "$work/out-keep-$set.pdf" "$work/prog/brannock" -i "$corpus/$set" -j keep -o "$work/out-keep-$set.pdf")" >> "$results"
    echo "$set gm $(measure gm "$set" "$work/out-gm.pdf" gm convert "${files[@]}" -compress zip "$work/out-gm.pdf")" >> "$results"
    echo "$set im6 $(measure im6 "$set" "$work/out-im.pdf" "$work/im6" "${files[@]}" -compress zip "$work/out-im.pdf")" >> "$results"
    echo "$set img2pdf $(measure img2pdf "$set" "$work/out-i2p.pdf" img2pdf -o "$work/out-i2p.pdf" "${files[@]}")" >> "$results"
    read -r floor packed < <("$BUILD/bench/floor" "${files[@]}")
    echo "$set floor $floor 0 0 $packed" >> "$results"
  done
  # Pixel-exact: the first, a middle and the last page against their decoded inputs.
  n=${#files[@]}
  "$BUILD/bench/verify_pages" "$work/out-b.pdf" "1=${files[0]}" "$(( n / 2 + 1 ))=${files[$(( n / 2 ))]}" \
    "$n=${files[$(( n - 1 ))]}" | sed "s|^|$set: |"
  # With -j keep: every page, and the document against the JPEG data it keeps.
  pages=()
  for i in "${!files[@]}"; do pages+=("$(( i + 1 ))=${files[$i]}"); done
  "$BUILD/bench/verify_pages" "$work/out-keep-$set.pdf" "${pages[@]}" |
    sed 's/^page [0-9]* [^:]*: //' | sort | uniq -c | sed "s|^ *\([0-9]*\) |$set, -j keep: \1 pages |"
  if [[ ${files[0]} == *.jpg ]]; then
    jpegBytes=$(cat "${files[@]}" | wc -c)
    keepBytes=$(stat -c %s "$work/out-keep-$set.pdf")
    echo "$set: $keepBytes bytes of PDF for $jpegBytes bytes of JPEG files, $(( (keepBytes - jpegBytes) / n )) bytes a page more" >> "$work/keep.txt"
  fi
done

# What a colour profile adds: one photo with and without a Display P3 profile, timed alone,
# and the tagged page checked pixel by pixel.
icc=$work/icc
[ -f "$icc/photo-p3.jpg" ] || "$BUILD/bench/make_corpus" "$work" 1 icc
for kind in plain p3; do
  for run in $(seq 3); do
    /usr/bin/time -f %e -o "$work/time.txt" "$work/prog/brannock" -i "$icc/photo-$kind.jpg" \
      -o "$work/out-icc.pdf" >/dev/null 2>&1 || true
    tail -n 1 "$work/time.txt"
  done | median > "$work/icc-$kind.txt"
done
"$BUILD/bench/verify_pages" "$work/out-icc.pdf" "1=$icc/photo-p3.jpg" | sed "s|^|icc: |"

# Memory against the number of pages: one folder of many tiny pictures, run once.
tinyCount=20000
[ "$COUNT" = 4 ] && tinyCount=2000
tiny=$work/tiny-$tinyCount
[ -d "$tiny/tiny" ] || "$BUILD/bench/make_corpus" "$tiny" "$tinyCount" tiny
tinyRun() {  # tinyRun <brannock binary>: "<wall> s, peak <MB> MB"
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$1" -i "$tiny/tiny" -o "$work/out-tiny.pdf" \
    >/dev/null 2>&1 || true
  read -r wall peak < <(tail -n 1 "$work/time.txt")
  echo "$wall s, peak $(( peak / 1024 )) MB"
}
tinyLine="brannock $(tinyRun "$work/prog/brannock")"
[ -n "${BASELINE:-}" ] && tinyLine="$tinyLine; before $(tinyRun "$work/before/brannock")"
rm -f "$work/out-tiny.pdf"

table=$BUILD/bench/results.md
{
  echo "| set | tool | wall s | CPU s | peak MB | output MB | brannock wall / tool wall | output / gm output |"
  echo "|---|---|---:|---:|---:|---:|---:|---:|"
  for set in $sets; do
    bw=$(awk -v s=$set '$1==s && $2=="brannock" {print $3}' "$results" | median)
    gs=$(awk -v s=$set '$1==s && $2=="gm" {print $6}' "$results" | median)
    for tool in $tools; do
      col() { awk -v s=$set -v t=$tool -v c="$1" '$1==s && $2==t {print $c}' "$results" | median; }
      wall=$(col 3) cpu=$(col 4) peak=$(col 5) size=$(col 6)
      if [ "$(echo "$wall < 0" | bc)" = 1 ]; then
        printf "| %s | %s | failed | | | | | |\n" "$set" "$tool"
        continue
      fi
      ratio=$(echo "scale=2; $bw / $wall" | bc 2>/dev/null || echo "-")
      sizeRatio=$( [ "$(echo "$gs > 0" | bc)" = 1 ] && echo "scale=3; $size / $gs" | bc || echo "-")
      printf "| %s | %s | %.1f | %.1f | %.0f | %.1f | %s | %s |\n" "$set" "$tool" "$wall" "$cpu" \
        "$(echo "$peak / 1024" | bc)" "$(echo "scale=1; $size / 1048576" | bc)" "$ratio" "$sizeRatio"
    done
  done
  echo
  echo "$COUNT images a set (real: the 12 photos among Plasma's wallpapers, 2560 x 1600), median of $RUNS run(s), $(nproc) cores; floor = decode every input with libjpeg-turbo or libpng, Up filter, libdeflate level 1, on all cores (CPU and peak not measured)."
  echo
  echo "One 4000 x 3000 photo, median of 3 runs: $(cat "$work/icc-plain.txt") s without a profile, $(cat "$work/icc-p3.txt") s with a Display P3 profile."
  echo
  echo "$tinyCount pictures of 16 x 16 in one folder, one run: $tinyLine."
  echo
  echo "keep = brannock -j keep (JPEG data kept as it stands). Against the inputs, whole files:"
  echo
  sed 's/^/- /' "$work/keep.txt"
  photoKeep=$(stat -c %s "$work/out-keep-photo.pdf")
  echo
  echo "At that size a page, $(( (2048 - 64) * 1048576 / (photoKeep / COUNT) )) of the photo set's photos fit under the PDF library's 2 GB limit with -j keep."
} > "$table"
cat "$table"
