#!/usr/bin/env bash
# Runs the README's test command (tools/test.sh, with CI=true) inside a Debian 13 (trixie)
# chroot on a clean copy of this checkout: the whole suite on the current Debian release, whose
# SDL 1.2 is sdl12-compat, from a Debian 12 machine.
#   tools/test_debian13.sh [--fresh] [--beside N] [CTEST ARGS ...]   (tools/test.sh's arguments)
#   tools/test_debian13.sh [--fresh] --run 'COMMAND'   (e.g. --run 'tools/client_bench.sh')
# Needs root (debootstrap, mount, chroot; runs itself through sudo otherwise) and Debian's
# archive. The chroot is made with debootstrap in DEBIAN13_ROOT (default
# /var/tmp/brackenreach-debian13) and kept for the next run, with the packages tools/setup.sh
# installed in it; --fresh makes it anew. The checkout (tracked files and untracked ones git
# does not ignore) is copied in afresh every run and built from scratch. Safe to run again:
# whatever a killed run left mounted is unmounted first, and every mount is undone on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
  exec sudo --preserve-env=DEBIAN13_ROOT,DEBIAN13_MIRROR "$0" "$@"
fi

if ! command -v debootstrap >/dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
fi

root=${DEBIAN13_ROOT:-/var/tmp/brackenreach-debian13}
mirror=${DEBIAN13_MIRROR:-http://deb.debian.org/debian}
fresh=0
if [ "${1:-}" = --fresh ]; then
  fresh=1
  shift
fi
command='tools/test.sh "$@"'
if [ "${1:-}" = --run ]; then
  command=$2
  shift 2
fi
started=$SECONDS

mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
if ! flock -n 9; then
  echo "test_debian13: another run is using $root" >&2
  exit 1
fi

# Mount points at or below the chroot, deepest first (mountinfo's fifth field).
mounts_below() {
  awk -v r="$root" '$5 == r || index($5, r "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}
unmount_all() {
  local point
  for point in $(mounts_below); do
    umount "$point" 2>/dev/null || umount -l "$point"
  done
}
trap unmount_all EXIT
unmount_all

if [ "$fresh" = 1 ] || [ ! -e "$root/.debootstrap-done" ]; then
  # Nothing may be mounted inside while it is deleted, or rm would reach the host's /dev.
  if [ -n "$(mounts_below)" ]; then
    echo "test_debian13: still mounted below $root:" $(mounts_below) >&2
    exit 1
  fi
  rm -rf --one-file-system "$root"
  echo "test_debian13: debootstrap trixie into $root"
  debootstrap --variant=buildd trixie "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    { tail -n 30 "$root.debootstrap.log" >&2; exit 1; }
  touch "$root/.debootstrap-done"
fi
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
# Packages installed in a chroot must not start services on the host.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"

copy=/src/brackenreach
rm -rf --one-file-system "$root$copy"
mkdir -p "$root$copy"
git -C "$checkout" ls-files -z --cached --others --exclude-standard |
  tar -C "$checkout" --null --ignore-failed-read -T - -cf - | tar -C "$root$copy" -xf -

# The chroot's / a mount point of its own, private: unshare --mount (the network-fault tests
# run the client in mount and network namespaces) changes the propagation of / and refuses
# when / is a plain directory. /proc and /sys for unshare -n and ip netns, /run for ip netns'
# /run/netns, /dev/shm for POSIX shared memory, a private /tmp.
mount --bind "$root" "$root"
mount --make-private "$root"
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mount -t tmpfs tmpfs "$root/dev/shm"
mount -t tmpfs tmpfs "$root/run"
mount -t tmpfs tmpfs "$root/tmp"

status=0
chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb CI=true \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  bash -c "cd $copy && $command" bash "$@" || status=$?
echo "test_debian13: exit status $status after $((SECONDS - started)) s"
exit "$status"
