#!/usr/bin/env bash
# Installs what is missing, builds the real launcher and the fuzz targets,
# and prints the benchmark's figures.
#   bench/run.sh [--runs N] [--cpu-seconds N] [--soak-waits N] [--fuzz-seconds N] [--only STEP,...]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
preset=$(python3 scripts/host.py --preset)
echo "$(python3 scripts/host.py); the benchmark measures the $preset build"
# The executable step checks the release too, unsigned.
release() { env -u SIGN_CERT -u SIGN_KEY -u SIGN_PFX -u SIGN_PASS -u SIGN_TIMESTAMP_URL \
  cmake --build --preset win32 --target package >/dev/null; }
for build in "$preset" fuzz; do
  cmake --preset "$build" >/dev/null
  cmake --build --preset "$build" >/dev/null
done
[ "$preset" != win32 ] || release
echo "machine: $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB, $(/usr/lib/wine/wine64 --version), $(uname -sr)"
python3 bench/bench.py --build "build/$preset" --fuzz-build build/fuzz "$@"
[ "$preset" = win32 ] || [[ " $* " == *" --only "* ]] && exit 0
echo "== the shipped 32-bit launcher: size here; footprint and CPU waiting in an emulated guest"
cmake --preset win32 >/dev/null && cmake --build --preset win32 >/dev/null && release
python3 bench/bench.py --build build/win32 --only executable
exec python3 scripts/guest.py -- python3 bench/bench.py --build build/win32 --only cpu,footprint
