#!/usr/bin/env bash
# Runs a command of the README in a fresh root of a Debian release, on a clone
# of this tree's committed HEAD, to prove the two commands on a release other
# than the host's:
#
#   scripts/debian-root.sh 12|13 [COMMAND [ARG...]]   (default: scripts/test.sh)
#
# The release's base root is made once with mmdebstrap, from the package
# registry, and never written again: each run works in an overlay of it that
# goes when the run ends, so every run starts fresh, its installs included.
# From the host it takes only the kernel, /proc, /sys, /dev and resolv.conf.
# CI, LAUNCHER_EMULATE_32BIT, GUEST_ACCEL and GUEST_JOBS pass through. Roots
# live in $DEBIAN_ROOTS (/var/tmp/vendrel2-roots). The exit code is the
# command's, or 2 when no run could start.
set -euo pipefail

fail() { echo "debian-root: $*" >&2; exit 2; }
case "${1:-}" in
  12) suite=bookworm ;;
  13) suite=trixie ;;
  *) fail "usage: scripts/debian-root.sh 12|13 [COMMAND [ARG...]]" ;;
esac
shift
[ $# -gt 0 ] || set -- scripts/test.sh
[ "$(id -u)" -eq 0 ] || fail "must run as root (it mounts and chroots)"
command -v mmdebstrap >/dev/null || fail "no mmdebstrap: apt-get install mmdebstrap"
# Its sources: the release, its updates and its security suite.
timeout 10 bash -c 'exec 3<>/dev/tcp/deb.debian.org/80' 2>/dev/null \
  || fail "the package registry (deb.debian.org) cannot be reached"

source=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
roots=${DEBIAN_ROOTS:-/var/tmp/vendrel2-roots}
base=$roots/$suite
mkdir -p "$roots/runs"

# Mounts below a folder, deepest first.
mounts_below() {
  awk -v dir="$1" '$5 == dir || index($5, dir "/") == 1 { print $5 }' /proc/self/mountinfo |
    sort -r
}
# Ends the processes still running in a root, undoes its mounts, and deletes
# its folder only once nothing is mounted there.
release() {
  local dir=$1 merged=$1/merged proc left
  for _ in $(seq 50); do  # up to 5 s for them to go
    left=
    for proc in /proc/[0-9]*; do
      [ "$(readlink "$proc/root" 2>/dev/null)" = "$merged" ] || continue
      kill -9 "${proc#/proc/}" 2>/dev/null && left=yes
    done
    [ -n "$left" ] || break
    sleep 0.1
  done
  mounts_below "$dir" | while read -r mount; do
    umount "$mount" 2>/dev/null || umount -l "$mount"
  done
  if [ -n "$(mounts_below "$dir")" ]; then
    echo "debian-root: $dir is still mounted; left in place" >&2
    return 1
  fi
  rm -rf --one-file-system "$dir"
}
# Runs that a kill left behind: their shell is gone.
for stale in "$roots"/runs/*; do
  [ -d "$stale" ] || continue
  kill -0 "${stale##*/}" 2>/dev/null || release "$stale" || true
done

if [ ! -d "$base" ]; then
  echo "debian-root: making the Debian $suite base root in $base"
  rm -rf --one-file-system "$base.part"
  mmdebstrap --quiet --variant=apt --include=ca-certificates "$suite" "$base.part" \
    || fail "mmdebstrap could not make the $suite root (see above)"
  mv "$base.part" "$base"
fi

run=$roots/runs/$$
mkdir -p "$run/upper" "$run/work" "$run/merged"
trap 'release "$run"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP
merged=$run/merged
mount -t overlay overlay -o "lowerdir=$base,upperdir=$run/upper,workdir=$run/work" "$merged"
mount -t proc proc "$merged/proc"
mount --rbind /sys "$merged/sys" && mount --make-rslave "$merged/sys"
mount --rbind /dev "$merged/dev" && mount --make-rslave "$merged/dev"
cp -L /etc/resolv.conf "$merged/etc/resolv.conf"
git clone --quiet --no-hardlinks "$source" "$merged/src"

pass=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb)
for name in CI LAUNCHER_EMULATE_32BIT GUEST_ACCEL GUEST_JOBS; do
  [ -z "${!name+x}" ] || pass+=("$name=${!name}")
done
echo "debian-root: Debian $(cat "$base/etc/debian_version"), $(git -C "$merged/src" log -1 \
  --format=%h) in $merged/src: $*"
status=0
chroot "$merged" /usr/bin/env -i "${pass[@]}" /bin/sh -c 'cd /src && exec "$@"' sh "$@" \
  || status=$?
exit $status
