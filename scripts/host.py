#!/usr/bin/env python3
"""Whether this host executes 32-bit x86 code, as the kernel itself answers
when asked to start a minimal 32-bit program. Some x86-64 machines cannot (no
32-bit mode in the virtual CPU, or a kernel booted with ia32_emulation=0):
there neither the 32-bit launcher nor 32-bit Wine can run natively: the
x86-64 build stands in for it under 64-bit Wine (the demo, pictures and
benchmark), and the 32-bit kinds of Wine run go to an emulated guest
(scripts/guest.py). LAUNCHER_EMULATE_32BIT=1 treats a host that has the mode
as one without it, to try that path.

  host.py            one line saying what this host runs
  host.py --preset   the build to run under Wine here: win32, or else win64
"""

import errno
import os
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def runs_32bit():
    """True when the kernel starts a 32-bit x86 program that only exits,
    False when it refuses it (ENOEXEC) or the program does not run."""
    if os.environ.get("LAUNCHER_EMULATE_32BIT") == "1":
        return False
    code = b"\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80"  # exit(0) through int 0x80
    size, base = 84 + len(code), 0x08048000
    elf = (b"\x7fELF\x01\x01\x01" + bytes(9)
           + struct.pack("<2H5I6H", 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0)
           + struct.pack("<8I", 1, 0, base, base, size, size, 5, 0x1000) + code)
    # In the project's own folder: a temporary folder may forbid running programs.
    with tempfile.TemporaryDirectory(dir=ROOT, prefix=".host-probe-") as scratch:
        probe = os.path.join(scratch, "probe")
        with open(probe, "wb") as handle:
            handle.write(elf)
        os.chmod(probe, 0o700)
        try:
            return subprocess.run([probe], stdin=subprocess.DEVNULL).returncode == 0
        except OSError as error:
            if error.errno != errno.ENOEXEC:
                sys.exit("host: cannot tell whether this host executes 32-bit x86 code: the "
                         "probe in %s did not start (%s)" % (os.path.abspath(ROOT), error))
            return False


def line(runs32):
    if runs32:
        return "host: executes 32-bit x86 code, so every kind of Wine run runs"
    return ("host: cannot execute 32-bit x86 code (the kernel refuses a 32-bit program), so "
            "the x86-64 launcher runs under Wine here, and the 32-bit kinds in an emulated guest")


if __name__ == "__main__":
    runs32 = runs_32bit()
    if sys.argv[1:] == ["--preset"]:
        print("win32" if runs32 else "win64")
    else:
        print(line(runs32))
