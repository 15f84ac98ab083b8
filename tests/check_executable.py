#!/usr/bin/env python3
"""Checks the real launcher.exe: a 32-bit GUI PE, small, importing only
system DLLs, with its manifest and version resource, installable, and
reproducible (a second clean build elsewhere gives the same bytes)."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile

SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "user32.dll", "msvcrt.dll"}
MAX_SIZE = 24 * 1024


def fail(message):
    print("FAILED: " + message)
    sys.exit(1)


def main():
    source, build = sys.argv[1], sys.argv[2]
    exe = os.path.join(build, "launcher", "launcher.exe")
    if not os.path.exists(exe):
        fail("%s is missing: build the win32 preset first" % exe)
    data = open(exe, "rb").read()

    kind = subprocess.run(["file", "-b", exe], capture_output=True, text=True).stdout
    if not kind.startswith("PE32 executable (GUI) Intel 80386"):
        fail("not a 32-bit GUI executable: " + kind)
    print("type: " + kind.strip())
    print("size: %d bytes (limit %d)" % (len(data), MAX_SIZE))
    if len(data) > MAX_SIZE:
        fail("too large")

    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", exe], capture_output=True,
                          text=True, check=True).stdout
    imports = sorted({line.split(":", 1)[1].strip().lower()
                      for line in dump.splitlines() if "DLL Name:" in line})
    print("imports: " + ", ".join(imports))
    if not imports or not set(imports) <= SYSTEM_DLLS:
        fail("imports beyond system DLLs: %s" % (set(imports) - SYSTEM_DLLS))
    # The COFF header's TimeDateStamp, read from the file itself: objdump
    # prints it in local time.
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        fail("no PE signature")
    stamp = struct.unpack_from("<I", data, pe + 8)[0]
    if stamp != 0:
        fail("the PE header carries a link time stamp: %d" % stamp)

    for needed in (b'level="asInvoker"', b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
                   b"{e2011457-1546-43c5-a5fe-008deee3d3f0}",
                   "ProductName".encode("utf-16-le"), "Vendrel 2".encode("utf-16-le"),
                   "VS_VERSION_INFO".encode("utf-16-le")):
        if needed not in data:
            fail("resource text missing: %r" % needed)
    print("resources: manifest (asInvoker, Vista to 11) and version information present")

    with tempfile.TemporaryDirectory() as scratch:
        # Another source path and build path must not change a byte.
        copy = os.path.join(scratch, "src")
        shutil.copytree(source, copy, ignore=shutil.ignore_patterns("build", ".git"))
        again = os.path.join(scratch, "build")
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT, check=True)
        subprocess.run(["cmake", "-S", copy, "-B", again, "-G", "Ninja",
                        "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(copy, "cmake", "mingw-i686.cmake"),
                        "-DCMAKE_BUILD_TYPE=MinSizeRel"], **quiet)
        subprocess.run(["cmake", "--build", again, "--target", "launcher"], **quiet)
        if open(os.path.join(again, "launcher", "launcher.exe"), "rb").read() != data:
            fail("a second clean build gave different bytes")
        print("reproducible: a clean build from another path gives the same bytes")

        prefix = os.path.join(scratch, "prefix")
        subprocess.run(["cmake", "--install", build, "--prefix", prefix], **quiet)
        installed = os.path.join(prefix, "bin", "launcher.exe")
        if not os.path.exists(installed) or open(installed, "rb").read() != data:
            fail("cmake --install did not put launcher.exe in bin/")
        print("install: bin/launcher.exe")
    return 0


if __name__ == "__main__":
    sys.exit(main())
