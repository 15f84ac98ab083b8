#!/usr/bin/env python3
"""Makes the release in OUT: a zip, an installer, and the record of the toolchain
that built them, and nothing else.

  release.py --source DIR --launcher EXE --name NAME --version X.Y.Z --out DIR [--arch win64]

The zip holds launcher.exe and the end-user README.txt (CRLF), with fixed
times, order and permissions, so two builds of the same source give the same
bytes. When SIGN_CERT and SIGN_KEY, or SIGN_PFX, are set, launcher.exe, the
uninstaller and then the installer are signed with scripts/sign.sh; otherwise
nothing is signed and the bytes stay reproducible. --arch win64 makes an
x86-64 zip and installer from the same script, for the tests of the x86-64
proof build only: the release is 32-bit. The bytes are reproducible on one
Debian release; another release's compilers give other bytes, hence the record."""

import argparse
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import zipfile
import zlib

ZIP_TIME = (1980, 1, 1, 0, 0, 0)  # the earliest a zip can hold


def signing(who="release"):
    """True for a complete set of signing settings, False for none. Any other
    set stops the release, naming what is missing, rather than leave it
    unsigned: SIGN_CERT with SIGN_KEY, or SIGN_PFX (with SIGN_PASS if it has a
    password); SIGN_TIMESTAMP_URL beside either."""
    given = {name for name in ("SIGN_CERT", "SIGN_KEY", "SIGN_PFX", "SIGN_PASS",
                               "SIGN_TIMESTAMP_URL") if os.environ.get(name)}
    pem, pfx = given & {"SIGN_CERT", "SIGN_KEY"}, "SIGN_PFX" in given
    problem = None
    if pem and pfx:
        problem = "SIGN_PFX is set beside %s: give one certificate" % " and ".join(sorted(pem))
    elif len(pem) == 1:
        problem = "%s is set without %s" % (pem.pop(), ({"SIGN_CERT", "SIGN_KEY"} - given).pop())
    elif "SIGN_PASS" in given and not pfx:
        problem = "SIGN_PASS is set without SIGN_PFX"
    elif given and not pem and not pfx:
        problem = "%s is set without a certificate (SIGN_CERT and SIGN_KEY, or SIGN_PFX)" \
            % " and ".join(sorted(given))
    if problem:
        sys.exit("%s: the signing settings are not one complete set: %s; nothing was %s."
                 % (who, problem, "made" if who == "release" else "signed"))
    return bool(given)


def toolchain(arch, signed):
    """What made the release's bytes: the Debian release, the packages of the launcher's
    compiler, linker, headers and import libraries and of NSIS, and the Python and zlib that
    made the zip (and the signing tool). A package not installed is left out."""
    mingw = "i686" if arch == "win32" else "x86-64"
    packages = ["g++-mingw-w64-%s-win32" % mingw, "binutils-mingw-w64-%s" % mingw,
                "mingw-w64-%s-dev" % mingw, "mingw-w64-common", "nsis"]
    listed = subprocess.run(["dpkg-query", "-W", "-f=${Package} ${Version}\\n"] + packages
                            + (["osslsigncode"] if signed else []), capture_output=True,
                            text=True).stdout
    return "Debian %s\n%sPython %s, zlib %s\n" % (
        open("/etc/debian_version").read().strip(), listed, platform.python_version(),
        zlib.ZLIB_RUNTIME_VERSION)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for option in ("--source", "--launcher", "--name", "--version", "--out"):
        parser.add_argument(option, required=True)
    parser.add_argument("--arch", choices=("win32", "win64"), default="win32")
    args = parser.parse_args()
    # makensis runs in the staging folder: paths given relative to here must
    # still name the same files there.
    for name in ("source", "launcher", "out"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    # OUT is emptied first: never where that deletes what the release is made from.
    out = os.path.normcase(os.path.realpath(args.out)).rstrip(os.sep) + os.sep
    for what, path in (("the source folder", args.source), ("the launcher", args.launcher),
                       ("the current folder", os.getcwd())):
        if (os.path.normcase(os.path.realpath(path)) + os.sep).startswith(out):
            sys.exit("release: --out %s is or holds %s, which making the release would delete; "
                     "nothing was made." % (args.out, what))
    sign_it = signing()
    base = "%s-%s" % (args.name, args.version)
    shutil.rmtree(args.out, ignore_errors=True)
    os.makedirs(args.out)

    with tempfile.TemporaryDirectory() as stage:
        launcher = os.path.join(stage, "launcher.exe")
        shutil.copyfile(args.launcher, launcher)
        # Read as text, so that LF, CRLF and CR line ends are all written as CRLF.
        text = open(os.path.join(args.source, "packaging", "README.txt"), encoding="ascii").read()
        readme = os.path.join(stage, "README.txt")
        with open(readme, "w", encoding="ascii", newline="\r\n") as handle:
            handle.write(text.replace("@VERSION@", args.version))
        sign = [os.path.join(args.source, "scripts", "sign.sh")]
        if sign_it:
            subprocess.run(sign + [launcher], check=True)

        with zipfile.ZipFile(os.path.join(args.out, base + "-%s.zip" % args.arch), "w") as archive:
            for name in ("launcher.exe", "README.txt"):
                entry = zipfile.ZipInfo(name, ZIP_TIME)
                entry.external_attr = 0o100644 << 16
                entry.create_system = 3
                entry.compress_type = zipfile.ZIP_DEFLATED
                with open(os.path.join(stage, name), "rb") as handle:
                    archive.writestr(entry, handle.read(), compresslevel=9)

        setup = os.path.join(args.out, base + "-setup.exe")
        target = ["-XTarget amd64-unicode"] if args.arch == "win64" else []
        subprocess.run(["makensis", "-V2", "-NOCD"] + target + ["-DVERSION=" + args.version,
                        "-DLAUNCHER=" + launcher, "-DREADME=" + readme, "-DOUTFILE=" + setup]
                       + (["-DSIGN=" + sign[0]] if sign_it else [])
                       + [os.path.join(args.source, "packaging", "installer.nsi")],
                       check=True, cwd=stage)
        if sign_it:
            subprocess.run(sign + [setup], check=True)
    with open(os.path.join(args.out, base + "-toolchain.txt"), "w") as handle:
        handle.write(toolchain(args.arch, sign_it))
    for name in sorted(os.listdir(args.out)):
        print("release: %s (%d bytes)" % (name, os.path.getsize(os.path.join(args.out, name))))
    return 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--check-signing"]:  # for scripts/sign.sh: a complete set, or none
        sys.exit(0 if signing("sign") else "sign: set SIGN_CERT and SIGN_KEY, or SIGN_PFX")
    sys.exit(main())
