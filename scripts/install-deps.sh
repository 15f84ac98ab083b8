#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 or 13, each release's
# own toolchain by the names both releases have. Idempotent: does nothing
# when every tool is already there. A mirror caught mid-sync is tried again,
# then worked around where that is safe (below).
set -euo pipefail

need=()
have() { command -v "$1" >/dev/null 2>&1; }
pkg_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }

have git || need+=(git)
have cmake || need+=(cmake)
have ninja || need+=(ninja-build)
have g++ || need+=(g++)
have i686-w64-mingw32-g++ || need+=(g++-mingw-w64-i686-win32)
have x86_64-w64-mingw32-g++ || need+=(g++-mingw-w64-x86-64-win32)
[ -d /usr/src/googletest ] || need+=(googletest)
pkg_installed libgtest-dev || need+=(libgtest-dev libgmock-dev)
have clang++ || need+=(clang)
pkg_installed libclang-rt-dev || need+=(libclang-rt-dev)
have valgrind || need+=(valgrind)
have pgrep || need+=(procps)
have Xvfb || need+=(xvfb)
have python3 || need+=(python3)
have makensis || need+=(nsis)
have osslsigncode || need+=(osslsigncode)
have openssl || need+=(openssl)
have shellcheck || need+=(shellcheck)
have pyflakes3 || need+=(pyflakes3)
have clang-tidy || need+=(clang-tidy)
# The emulated guest for hosts without 32-bit code (scripts/guest.py), whose
# kernel and busybox-static it fetches from the package lists.
lists=0
if ! have python3 || [ "$(python3 "$(dirname "$0")/host.py" --preset)" = win64 ]; then
  have qemu-system-x86_64 || need+=(qemu-system-x86)
  have cpio || need+=(cpio)
  apt-get download --print-uris busybox-static >/dev/null 2>&1 || lists=1
fi
want_wine=0
pkg_installed wine32:i386 || want_wine=1
pkg_installed wine64 || want_wine=1
have wine || want_wine=1

if [ ${#need[@]} -eq 0 ] && [ $want_wine -eq 0 ] && [ $lists -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing ${need[*]}$([ $want_wine -eq 1 ] && echo ' wine')$([ $lists -eq 1 ] && echo ' package lists'); run as root" >&2
  exit 1
fi

# apt's messages in English, which the mirror's failure below is read from.
export DEBIAN_FRONTEND=noninteractive LC_ALL=C
if [ $want_wine -eq 1 ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  need+=(wine wine32:i386 wine64)
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# A mirror mid-sync serves an index of the wrong size for a while: fetch it
# again, 15 s later, up to four times with none started past 45 s, then go on
# without it. The first failed index is named.
start=$SECONDS
for try in 1 2 3 4; do
  code=0
  apt-get update -qq >"$log" 2>&1 || code=$?
  failed=$(sed -n '/^[WE]: Failed to fetch /{s/ *\[IP: [^]]*\]//
    s/^[WE]: Failed to fetch \([^ ]*\) *\(.*\)/\1 (\2)/p;q;}' "$log")
  if [ -z "$failed" ] || [ $try -eq 4 ] || [ $((SECONDS - start + 15)) -gt 45 ]; then break; fi
  sleep 15
done
if [ "$code" -ne 0 ] && [ -z "$failed" ]; then
  cat "$log" >&2
  echo "install-deps: apt-get update failed (above)" >&2
  exit 1
fi

install() { apt-get install -y -q --no-install-recommends --no-remove "$@" "${need[@]}" >"$log" 2>&1; }
# Without an index, the newer version of a package may be listed for one
# architecture only, while wine32:i386 needs both at the same version. The
# release's own versions then match; apt itself refuses the downgrade that
# an installed newer version would take.
# shellcheck source=/dev/null
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if install; then
  [ -z "$failed" ] || echo "install-deps: installed without the index $failed"
elif [ -n "$failed" ] && [ -n "$release" ] && install -t "$release"; then
  echo "install-deps: installed $release's own versions of both architectures, as the index $failed failed"
elif [ -n "$failed" ]; then
  grep -v '^W: ' "$log" | tail -n 20 >&2 || true
  echo "install-deps: the index $failed failed, and what is needed cannot be installed without it$([ -z "$release" ] || echo ", nor from $release's own versions") (apt's reason above): run scripts/install-deps.sh again later, or choose another mirror in /etc/apt/sources.list or sources.list.d" >&2
  exit 1
else
  cat "$log" >&2
  echo "install-deps: apt-get install ${need[*]} failed (above)" >&2
  exit 1
fi
