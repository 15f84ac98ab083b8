#!/usr/bin/env bash
# Installs what is missing, builds the launcher and runs it for real under
# Wine with stand-in programs, printing a timeline of the run.
#   scripts/demo.sh [--case normal|other-messenger|addon-missing|msn-missing]
#                   [--msn-life-ms N]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
# The 32-bit launcher, as released; the x86-64 build where this host cannot
# execute 32-bit x86 code.
preset=$(python3 scripts/host.py --preset)
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" >/dev/null
exec python3 e2e/harness.py demo --build "build/$preset" "$@"
