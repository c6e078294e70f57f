#!/usr/bin/env bash
# Runs the README's two quick-start commands in a fresh minimal Debian with only git, as a
# new user would. Usage (as root): scripts/check-fresh-debian.sh bookworm|trixie
# The chroot comes from this machine's own apt mirror; it is removed afterwards. Prints
# "PASS <release>" or "FAIL <release>: <step>", and exits 0 or 1.
set -euo pipefail
release=${1:?usage: scripts/check-fresh-debian.sh <release>}
repo=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "needs root (debootstrap and chroot)" >&2; exit 2; }
command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap >/dev/null

mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
           grep -oE '^URIs: *\S+|^deb +\S+' | awk '{print $NF}' | grep '/debian$' | head -n 1 || true)
mirror=${mirror:-http://deb.debian.org/debian}
root=$(mktemp -d /var/tmp/brannock-fresh-"$release"-XXXXXX)
chmod 755 "$root"  # the chroot's "/": every user must be able to pass through it
log="$root.log"

cleanup() {
  for mount in dev/pts dev proc sys; do umount -l "$root/$mount" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT

fail() { echo "FAIL $release: $1 (log: $log)"; exit 1; }

echo "debootstrap $release from $mirror into $root" | tee "$log"
debootstrap --variant=minbase --include=git "$release" "$root" "$mirror" >>"$log" 2>&1 ||
  debootstrap --no-check-gpg --variant=minbase --include=git "$release" "$root" "$mirror" >>"$log" 2>&1 ||
  fail "debootstrap"
mount -t proc proc "$root/proc"
mount -t sysfs sys "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

# A fresh clone of what is committed, as a user would get it.
git clone -q --no-local "$repo" "$root/root/brannock"
inside() { chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
             LANG=C.UTF-8 /bin/bash -c "cd /root/brannock && $1"; }
# The two commands of the README's quick start, exactly as they stand there.
demo=$(sed -n '/^## Quick start/,/^```$/p' "$repo/README.md" | grep -E '^\./quickstart demo' | sed 's/ *#.*//')
test=$(sed -n '/^## Quick start/,/^```$/p' "$repo/README.md" | grep -E '^\./quickstart test' | sed 's/ *#.*//')
echo "== $demo" >>"$log"
inside "$demo" >>"$log" 2>&1 || fail "$demo"
echo "== $test" >>"$log"
inside "$test" >>"$log" 2>&1 || fail "$test"
grep -E 'tests passed|tests failed' "$log" | tail -n 1
echo "PASS $release"
