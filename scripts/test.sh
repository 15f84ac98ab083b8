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
# The Wine layer. Where this host cannot execute 32-bit code, the two kinds
# that run the 32-bit launcher go to one emulated guest, after the rest.
python3 scripts/host.py
status=0
if [ "$(python3 scripts/host.py --preset)" = win32 ]; then
  ctest --preset host --no-tests=error --output-junit junit.xml || status=$?
  python3 tests/summary.py build/host/junit.xml || status=1
  exit $status
fi
ctest --preset host --no-tests=error --output-junit junit.xml -LE '^wine(32|64)$' || status=$?
rm -rf build/guest && mkdir -p build/guest
if python3 scripts/guest.py --check; then
  python3 scripts/guest.py --share build/guest -- ctest --test-dir build/host -L '^wine(32|64)$' \
    -j "${GUEST_JOBS:-4}" --no-tests=error --output-junit "$PWD/build/guest/junit.xml" || status=$?
fi
python3 tests/summary.py build/host/junit.xml build/guest/junit.xml || status=1
exit $status
