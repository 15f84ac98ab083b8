#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: unit tests
# under ASan/UBSan and under Valgrind, the Wine end-to-end scenarios and soak,
# and a bounded fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for preset in win32 win64 win32-clang host host-plain fuzz; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
# The release, unsigned, for the installer's Wine scenario.
env -u SIGN_CERT -u SIGN_KEY -u SIGN_PFX -u SIGN_PASS -u SIGN_TIMESTAMP_URL \
  cmake --build --preset win32 --target package

# A label or preset that matches no test is an error, not a pass.
ctest --test-dir build/host-plain -L valgrind --output-on-failure --no-tests=error
ctest --preset fuzz --no-tests=error
# The Wine layer: which kinds of run this host allows decides what runs.
python3 scripts/host.py
status=0
ctest --preset host --no-tests=error --output-junit junit.xml || status=$?
python3 tests/summary.py build/host/junit.xml || status=1
exit $status
