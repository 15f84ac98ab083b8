#!/usr/bin/env bash
# Installs what is missing, builds the real launcher and the fuzz targets,
# and prints the benchmark's figures (about a quarter of an hour).
#   bench/run.sh [--runs N] [--soak-waits N] [--fuzz-seconds N] [--only STEP]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
for preset in win32 fuzz; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
echo "machine: $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB, $(wine --version), $(uname -sr)"
exec python3 bench/bench.py --build build/win32 --fuzz-build build/fuzz "$@"
