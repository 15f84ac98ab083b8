#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine. Idempotent:
# does nothing when every tool is already there.
set -euo pipefail

need=()
have() { command -v "$1" >/dev/null 2>&1; }
pkg_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }

have cmake || need+=(cmake)
have ninja || need+=(ninja-build)
have g++ || need+=(g++)
have i686-w64-mingw32-g++ || need+=(g++-mingw-w64-i686-win32)
have x86_64-w64-mingw32-g++ || need+=(g++-mingw-w64-x86-64-win32)
[ -d /usr/src/googletest ] || need+=(googletest)
pkg_installed libgtest-dev || need+=(libgtest-dev libgmock-dev)
have clang-14 || need+=(clang-14)
pkg_installed libclang-rt-14-dev || need+=(libclang-rt-14-dev)
have valgrind || need+=(valgrind)
have file || need+=(file)
have pgrep || need+=(procps)
have objdump || need+=(binutils)
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

export DEBIAN_FRONTEND=noninteractive
if [ $want_wine -eq 1 ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  need+=(wine wine32:i386 wine64)
fi
apt-get update -qq
[ ${#need[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
