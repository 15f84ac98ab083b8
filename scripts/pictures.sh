#!/usr/bin/env bash
# Installs what is missing, builds launcher.exe and captures the message
# boxes it shows under Wine and Xvfb as PNGs in docs/pictures, cropped to
# each box, for the README.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
if ! command -v xwd >/dev/null || ! command -v convert >/dev/null; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "pictures: needs xwd (x11-apps) and convert (imagemagick); run as root" >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    x11-apps imagemagick >/dev/null
fi
preset=$(python3 scripts/host.py --preset)
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" >/dev/null
exec python3 e2e/harness.py pictures --build "build/$preset" --out docs/pictures
