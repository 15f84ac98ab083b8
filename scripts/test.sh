#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: unit tests
# under ASan/UBSan and under Valgrind, the Wine end-to-end scenarios and soak,
# and a bounded fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for preset in win32 win32-clang host host-plain fuzz; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

ctest --test-dir build/host-plain -L valgrind --output-on-failure
ctest --preset fuzz
ctest --preset host
