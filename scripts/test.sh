#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: unit tests
# under ASan/UBSan and under Valgrind, the Wine end-to-end scenarios and soak,
# and a bounded fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# Where a guest runs the 32-bit kinds, Valgrind's build waits to run beside it (below).
native32=
if [ "$(python3 scripts/host.py --preset)" = win32 ]; then native32=yes; fi
for preset in win32 win64 win32-clang host host-plain fuzz; do
  cmake --preset "$preset" >/dev/null
  if [ "$preset" != host-plain ] || [ -n "$native32" ]; then
    cmake --build --preset "$preset"
  fi
done
# The release, unsigned, for the installer's Wine scenario.
env -u SIGN_CERT -u SIGN_KEY -u SIGN_PFX -u SIGN_PASS -u SIGN_TIMESTAMP_URL \
  cmake --build --preset win32 --target package

# Where this host cannot execute 32-bit code, the two Wine kinds that run the
# 32-bit launcher go to one emulated guest. It starts now, in the background,
# to make its two prefixes, which takes minutes; its timed scenarios wait
# until the tests here are done, so that neither slows the other's. Meanwhile
# it yields to them: nice, and in this session, since a session of its own
# would be a scheduling group of its own, which nice does not lower.
python3 scripts/host.py
status=0
guest=
reports=(build/host/junit.xml)
if [ "$(python3 scripts/host.py --preset)" = win64 ]; then
  emulated=(-LE '^wine(32|64)$')
  reports+=(build/guest/junit.xml)
  rm -rf build/guest && mkdir -p build/guest
  if python3 scripts/guest.py --check; then
    python=$(python3 -S -c 'import sys; print(sys.executable)')  # not a version manager's shim
    # The quoted script is the guest's: its shell expands the variables.
    # shellcheck disable=SC2016
    nice -n 19 python3 scripts/guest.py --share build/guest -- sh -c '
      up() { echo "== guest: $1 $(cut -d" " -f1 /proc/uptime) s after its boot"; }
      up "started its command"
      for arch in 32 64; do "$1" -S e2e/harness.py template --build build/win32 \
        --template build/host/wine-template-wine$arch --arch win$arch & done; wait
      up "made its two prefixes"
      for i in $(seq 3600); do [ -e build/guest/host-done ] && break; sleep 1; done
      up "starts its scenarios"
      exec ctest --test-dir build/host -L "^wine(32|64)$" -j "${GUEST_JOBS:-4}" \
        --no-tests=error --output-on-failure --output-junit "$PWD/build/guest/junit.xml"' \
      guest "$python" > build/guest/output.txt 2>&1 &
    guest=$!
    trap 'kill $guest 2>/dev/null' EXIT  # QEMU too, should a step here fail
  fi
fi

# The linters and the documents' names, from the compile databases configured above.
scripts/lint.sh || status=1

# A label or preset that matches no test is an error, not a pass.
valgrind() {
  cmake --build --preset host-plain &&
    ctest --test-dir build/host-plain -L valgrind --output-on-failure --no-tests=error
}
[ -n "$guest" ] || valgrind
ctest --preset fuzz --no-tests=error
ctest --preset host --no-tests=error --output-junit junit.xml ${emulated[@]+"${emulated[@]}"} \
  || status=$?
if [ -n "$guest" ]; then
  touch build/guest/host-done
  # From here the guest's timed scenarios run at full priority, and Valgrind, which times
  # nothing, runs beside them on what they leave (SCHED_IDLE) rather than before them.
  qemu=$(pgrep -P "$guest" | head -1) || qemu=
  if [ -n "$qemu" ]; then
    threads=("/proc/$qemu/task"/*)  # QEMU's threads: their ids name the folders
    renice --priority 0 -p "${threads[@]##*/}" >/dev/null || true
  fi
  chrt --idle --pid 0 $$  # this script, and so Valgrind's build and run
  valgrind || status=$?
  echo "== the 32-bit kinds, in the emulated guest"
  wait "$guest" || { code=$?; [ $code = 125 ] && [ "${CI:-}" != true ] || status=$code; }
  trap - EXIT
  cat build/guest/output.txt
fi
python3 tests/summary.py "${reports[@]}" || status=1
exit $status
