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

# The package: it installs with apt, brannock from PATH converts a JPEG, a HEIC and an AVIF
# for an ordinary user (nobody, whose home is made for it), and brannock-gui starts with the
# menu entry's command (it is still running when the time limit ends it).
echo "== package" >>"$log"
inside "cmake --build build --target package && apt-get install -y -qq ./build/brannock_*_*.deb" \
  >>"$log" 2>&1 || fail "apt-get install ./build/brannock_*.deb"
as_user="setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME=/tmp/user"
inside "mkdir -p /tmp/user && cp 'build/samples/01 photo.jpg' /tmp/user/photo.jpg &&
        cp 'build/samples/09 iphone.heic' /tmp/user/iphone.heic &&
        cp 'build/samples/10 sticker.avif' /tmp/user/sticker.avif &&
        chown -R nobody:nogroup /tmp/user && cd /tmp/user && $as_user brannock -i photo.jpg &&
        $as_user brannock -i iphone.heic && $as_user brannock -i sticker.avif &&
        test -s /tmp/user/photo.pdf && test -s /tmp/user/iphone.pdf && test -s /tmp/user/sticker.pdf &&
        test -d /tmp/user/.cache/brannock/tmp" >>"$log" 2>&1 ||
  fail "brannock from PATH as an ordinary user"
command=$(sed -n 's/^Exec=//p' "$root/usr/share/applications/dev.brannock.Brannock.desktop" | sed 's/ %F//')
status=0
inside "cd /tmp/user && QT_QPA_PLATFORM=offscreen timeout 5 $as_user $command" >>"$log" 2>&1 || status=$?
[ "$status" = 124 ] || fail "$command from the menu entry (status $status)"
echo "package: installed, brannock converted a JPEG, a HEIC and an AVIF as nobody, $command started"
echo "PASS $release"
