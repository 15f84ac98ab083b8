#!/usr/bin/env bash
# Installs what is missing, builds the launcher and runs it for real under
# Wine with stand-in programs, printing a timeline of the run.
#   scripts/demo.sh [--case normal|other-messenger|addon-missing|msn-missing]
#                   [--msn-life-ms N]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32 >/dev/null
exec python3 e2e/harness.py demo --build build/win32 "$@"
