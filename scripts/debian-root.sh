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
# live in $DEBIAN_ROOTS (/var/lib/vendrel2-roots), a folder of root's alone.
# The exit code is the command's, or 2 when no run could start.
set -euo pipefail

fail() { echo "debian-root: $*" >&2; exit 2; }
case "${1:-}" in
  12) suite=bookworm ;;
  13) suite=trixie ;;
  *) fail "usage: scripts/debian-root.sh 12|13 [COMMAND [ARG...]]" ;;
esac
[ "$(id -u)" -eq 0 ] || fail "must run as root (it mounts and chroots)"
# Every mount is made in a mount namespace of this run's own, with nothing
# shared with the host's: none reaches the host, and all go with the run,
# however it ends.
namespace=$(readlink /proc/self/ns/mnt)
if [ "${DEBIAN_ROOT_OUTER:-$namespace}" = "$namespace" ]; then
  command -v unshare >/dev/null || fail "no unshare (util-linux)"
  unshare --mount true 2>/dev/null || fail "cannot make a mount namespace (unshare needs CAP_SYS_ADMIN)"
  DEBIAN_ROOT_OUTER=$namespace exec unshare --mount --propagation private -- "$0" "$@"
fi
shift
[ $# -gt 0 ] || set -- scripts/test.sh
command -v mmdebstrap >/dev/null || fail "no mmdebstrap: apt-get install mmdebstrap"
# Its sources: the release, its updates and its security suite.
timeout 10 bash -c 'exec 3<>/dev/tcp/deb.debian.org/80' 2>/dev/null \
  || fail "the package registry (deb.debian.org) cannot be reached"

source=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel) \
  || fail "git cannot read the checkout (above); as root, git refuses another user's unless run with sudo"
roots=$(realpath -m -s "${DEBIAN_ROOTS:-/var/lib/vendrel2-roots}")
case $roots in *[!A-Za-z0-9._/-]*) fail "$roots: only letters, digits and ._-/ in its path" ;; esac
[ "$roots" = "$(realpath -m "$roots")" ] || fail "$roots: name it without symbolic links"
# A folder that another user could write to, or rename from a folder above,
# could hold a root of theirs, which this would enter as root. A sticky folder
# above (as /tmp) lets no one else rename what is root's. Each folder is
# checked before anything is made in it.
for dir in $(p=$(dirname "$roots"); while [ "$p" != / ]; do echo "$p"; p=$(dirname "$p"); done) "$roots"; do
  [ "$dir" != "$roots" ] || mkdir -m 700 "$roots" 2>/dev/null || true
  if ! mode=0$(stat -c %a "$dir" 2>/dev/null) || [ ! -d "$dir" ] || [ "$(stat -c %u "$dir")" != 0 ] ||
      { [ $((mode & 022)) != 0 ] && { [ "$dir" = "$roots" ] || [ $((mode & 01000)) = 0 ]; }; }; then
    fail "$roots must be a folder of root's, in existing folders of root's, and no one else may write to it or them"
  fi
done
base=$roots/$suite
mkdir -p "$roots/runs"

# Mounts below a folder, deepest first.
mounts_below() {
  awk -v dir="$1" '$5 == dir || index($5, dir "/") == 1 { print $5 }' /proc/self/mountinfo |
    sort -r
}
# Ends the processes still running in a root, undoes its mounts, and deletes
# its folder only once nothing is mounted there. Not to be cut short.
release() {
  trap '' INT TERM HUP
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
# One run at a time clears what killed runs left, makes a base root, and
# takes its own folder, which it holds a lock on while it runs. Each release
# in a subshell: it ignores the signals that should still stop this one.
exec 8>"$roots/.lock"
flock 8
for stale in "$roots"/runs/*; do
  [ -d "$stale" ] || continue
  flock -n "$stale" true 2>/dev/null && { (release "$stale") || true; }
done
if [ ! -d "$base" ]; then
  echo "debian-root: making the Debian $suite base root in $base"
  (release "$base.part") || fail "a half-made $base.part is still mounted"
  mmdebstrap --quiet --variant=apt --include=ca-certificates "$suite" "$base.part" \
    || fail "mmdebstrap could not make the $suite root (see above)"
  mv -T "$base.part" "$base"
fi
run=$(mktemp -d "$roots/runs/run.XXXXXX")
exec 9<"$run"
flock 9
exec 8>&-
trap 'status=$?; set +e; release "$run"; exit $status' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
merged=$run/merged
mkdir "$run/upper" "$run/work" "$merged"
{
  mount -t overlay overlay -o "lowerdir=$base,upperdir=$run/upper,workdir=$run/work" "$merged" &&
    mount -t proc proc "$merged/proc" &&
    mount --rbind /sys "$merged/sys" && mount --rbind /dev "$merged/dev" &&
    cp -L /etc/resolv.conf "$merged/etc/resolv.conf"
} || fail "cannot set up the root in $merged"
git clone --quiet --no-hardlinks "$source" "$merged/src" || fail "cannot clone $source"

pass=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb)
for name in CI LAUNCHER_EMULATE_32BIT GUEST_ACCEL GUEST_JOBS; do
  [ -z "${!name+x}" ] || pass+=("$name=${!name}")
done
echo "debian-root: Debian $(cat "$base/etc/debian_version"), $(git -C "$merged/src" log -1 \
  --format=%h) in $merged/src: $*"
# In the background, so that a signal is handled at once, not once it ends;
# with this standard input and the default SIGINT and SIGQUIT, not the
# /dev/null and ignored signals of a background command.
status=0
env --default-signal=INT,QUIT chroot "$merged" /usr/bin/env -i "${pass[@]}" \
  /bin/sh -c 'cd /src && exec "$@"' sh "$@" <&0 9<&- &
wait $! || status=$?
exit $status
