#!/usr/bin/env python3
"""Checks the real launcher.exe: a 32-bit GUI PE (or the x86-64 proof build's
PE32+) of at most 8 KiB, with no C runtime, importing only allowed functions
of kernel32 and advapi32, declaring nothing newer than Windows XP, with a
manifest that Windows would accept and a version resource, installable, and
reproducible (a second clean build elsewhere gives the same bytes)."""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
import zipfile

MAX_SIZE = 8 * 1024
# Per build, by PE machine: its name and optional header's magic, the manifest's
# architecture, the oldest declared system (Windows XP SP2 is 5.1, XP x64 5.2).
ARCHES = {0x14C: ("PE32 i386", 0x10B, "x86", (5, 1)),
          0x8664: ("PE32+ x86-64", 0x20B, "amd64", (5, 2))}

# Every function the launcher may import, with the oldest Windows that
# exports it, as Microsoft's documentation gives its minimum client (which
# it lists no further back than Windows 2000 or XP). A new import fails the
# check until it is added here with its reason.
ALLOWED = {
    "advapi32.dll": {
        "RegOpenKeyExA": "Windows 2000",
        "RegQueryValueExA": "Windows 2000",
        "RegCloseKey": "Windows 2000",
    },
    "kernel32.dll": {
        "CloseHandle": "Windows XP (in every Win32 release)",
        "CreateProcessA": "Windows XP (in every Win32 release)",
        "CreateToolhelp32Snapshot": "Windows XP (Windows 2000 already had Tool Help)",
        "ExitProcess": "Windows XP (in every Win32 release); the entry point ends with it",
        "FreeLibrary": "Windows XP (in every Win32 release); releases user32 after a box",
        "GetLastError": "Windows XP (in every Win32 release); tells a gone messenger from a "
                        "refusal",
        "GetCommandLineA": "Windows XP (in every Win32 release); WinMain's arguments",
        "GetModuleHandleA": "Windows XP (in every Win32 release); WinMain's instance",
        "GetProcAddress": "Windows XP (in every Win32 release); finds MessageBoxA",
        "GetStartupInfoA": "Windows XP (in every Win32 release); WinMain's show state",
        "LoadLibraryA": "Windows XP (in every Win32 release); user32 only for a box",
        "OpenProcess": "Windows XP (in every Win32 release)",
        "Process32Next": "Windows XP (Windows 2000 already had Tool Help)",
        "Sleep": "Windows XP (in every Win32 release)",
        "TerminateProcess": "Windows XP (in every Win32 release)",
        "WaitForSingleObject": "Windows XP (in every Win32 release)",
        "lstrcatA": "Windows XP (in every Win32 release)",
    },
}

ASM1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
WS2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
WS2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
COMMON_CONTROLS = {"type": "win32", "name": "Microsoft.Windows.Common-Controls",
                   "version": "6.0.0.0", "publicKeyToken": "6595b64144ccf1df"}
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}


def fail(message):
    print("FAILED: " + message)
    sys.exit(1)


def headers(data):
    """The fields of the PE headers that matter here, read from the file
    itself (objdump prints the time stamp in local time)."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        fail("no PE signature")
    opt = pe + 24
    # PE32+ has no BaseOfData and an 8-byte ImageBase and stack sizes.
    wide = 16 if struct.unpack_from("<H", data, opt)[0] == 0x20B else 0
    table = opt + struct.unpack_from("<H", data, pe + 20)[0]
    return {
        "machine": struct.unpack_from("<H", data, pe + 4)[0],
        "characteristics": struct.unpack_from("<H", data, pe + 22)[0],
        "magic": struct.unpack_from("<H", data, opt)[0],
        "kind": struct.unpack_from("<H", data, opt + 68)[0],
        "stamp": struct.unpack_from("<I", data, pe + 8)[0],
        "os": struct.unpack_from("<HH", data, opt + 40),
        "subsystem": struct.unpack_from("<HH", data, opt + 48),
        "dll_characteristics": struct.unpack_from("<H", data, opt + 70)[0],
        # Directories (1 imports, 9 TLS, 13 delay imports); sections: size, address, raw size, offset
        "directory": [struct.unpack_from("<II", data, opt + wide + 96 + 8 * i) for i in range(16)],
        "sections": [struct.unpack_from("<4I", data, table + 40 * i + 8)
                     for i in range(struct.unpack_from("<H", data, pe + 6)[0])],
    }


def imports(data, pe):  # each DLL's functions (#N by ordinal), from the PE's own tables
    width, thunk = (8, "<Q") if pe["magic"] == 0x20B else (4, "<I")  # top bit: an ordinal
    at = lambda a: next((o + a - va for n, va, _, o in pe["sections"] if va <= a < va + n), len(data))
    text = lambda rva: data[at(rva):].split(b"\0", 1)[0].decode("ascii")
    found, entry = {}, at(pe["directory"][1][0])
    while any(data[entry:entry + 20]):
        lookup, _, _, name, first = struct.unpack_from("<5I", data, entry)
        names, functions = at(lookup or first), []  # a DLL may have several descriptors
        for value in iter(lambda: struct.unpack_from(
                thunk, data, names + width * len(functions))[0], 0):
            functions.append("#%d" % (value & 0xFFFF) if value >> (8 * width - 1)
                             else text(value + 2))
        found.setdefault(text(name).lower(), []).extend(functions)
        entry += 20
    return found


def check_manifest(data, arch):
    start, end = data.find(b"<?xml"), data.find(b"</assembly>")
    if start < 0 or end < 0:
        fail("no manifest")
    text = data[start:end + len(b"</assembly>")]
    try:
        root = ET.fromstring(text)
    except ET.ParseError as error:
        fail("the manifest is not well-formed XML: %s" % error)
    # Windows XP SP2's loader corrupts memory on an element that declares
    # its namespace twice (KB921337): declare each once, unprefixed.
    if b"xmlns:" in text:
        fail("the manifest uses a prefixed namespace declaration")
    if root.tag != ASM1 + "assembly" or root.get("manifestVersion") != "1.0":
        fail("the manifest's root is not an asm.v1 assembly, version 1.0")
    own = root.find(ASM1 + "assemblyIdentity")
    if own is None or own.get("type") != "win32" or own.get("processorArchitecture") != arch:
        fail("the manifest's own identity is not a win32 %s one" % arch)
    deps = [d.attrib for d in root.findall(ASM1 + "dependency/" + ASM1 + "dependentAssembly/"
                                           + ASM1 + "assemblyIdentity")]
    controls = [d for d in deps if d.get("name") == COMMON_CONTROLS["name"]]
    if len(controls) != 1 or any(controls[0].get(k) != v for k, v in COMMON_CONTROLS.items()) \
            or controls[0].get("processorArchitecture") not in ("*", arch) \
            or controls[0].get("language") != "*":
        fail("Common Controls 6 is not the dependency, with its exact identity: %s" % controls)
    level = root.find("%strustInfo/%ssecurity/%srequestedPrivileges/%srequestedExecutionLevel"
                      % ((ASM3,) * 4))
    if level is None or level.get("level") != "asInvoker" or level.get("uiAccess") != "false":
        fail("requestedExecutionLevel asInvoker is missing or not in asm.v3")
    ids = {e.get("Id") for e in root.iter(COMPAT + "supportedOS")}
    if ids != SUPPORTED_OS:
        fail("supportedOS is not Vista to 11: %s" % ids)
    settings = root.find("%sapplication/%swindowsSettings" % (ASM3, ASM3))
    if settings is None:
        fail("no asm.v3 application/windowsSettings")
    aware = settings.find(WS2005 + "dpiAware")
    awareness = settings.find(WS2016 + "dpiAwareness")
    if aware is None or (aware.text or "").strip() != "true/pm":
        fail("dpiAware true/pm is missing or not in the 2005 WindowsSettings namespace")
    if awareness is None or (awareness.text or "").strip() != "PerMonitorV2, PerMonitor":
        fail("dpiAwareness PerMonitorV2, PerMonitor is missing or not in the 2016 namespace")
    known = {WS2005 + "dpiAware", WS2016 + "dpiAwareness"}
    stray = [e.tag for e in settings if e.tag not in known]
    if stray:
        fail("unexpected or misplaced settings: %s" % stray)


def main():
    source, build = sys.argv[1], sys.argv[2]
    version = re.search(r"project\(\w+ VERSION ([0-9.]+)",
                        open(os.path.join(source, "CMakeLists.txt")).read()).group(1)
    release = "vendrel2-launcher-%s-%%s" % version
    exe = os.path.join(build, "launcher", "launcher.exe")
    if not os.path.exists(exe):
        fail("%s is missing: build its preset first" % exe)
    data = open(exe, "rb").read()
    pe = headers(data)
    if pe["machine"] not in ARCHES:
        fail("neither an i386 nor an x86-64 executable")
    name, magic, arch, max_version = ARCHES[pe["machine"]]
    made_with = re.search(r"CMAKE_TOOLCHAIN_FILE:\w+=.*/(.*)",
                          open(os.path.join(build, "CMakeCache.txt")).read()).group(1)

    # The Windows GUI subsystem (2); an executable image (0x0002), not a DLL (0x2000).
    if (pe["magic"], pe["kind"], pe["characteristics"] & 0x2002) != (magic, 2, 0x0002):
        fail("not a %s GUI executable: magic 0x%X, subsystem %d, characteristics 0x%X"
             % (name, pe["magic"], pe["kind"], pe["characteristics"]))
    print("type: %s executable, Windows GUI subsystem" % name)
    print("size: %d bytes (limit %d)" % (len(data), MAX_SIZE))
    if len(data) > MAX_SIZE:
        fail("too large")

    if pe["stamp"] != 0:
        fail("the PE header carries a link time stamp: %d" % pe["stamp"])
    for field in ("os", "subsystem"):
        if tuple(pe[field]) > max_version:
            fail("%s version %d.%d is newer than Windows XP" % ((field,) + tuple(pe[field])))
    if pe["directory"][9] != (0, 0) or pe["directory"][13] != (0, 0):
        fail("a TLS or delay-import directory: the C runtime, or imports past the allowlist")
    for flag, name in ((0x40, "ASLR"), (0x100, "DEP")):
        if not pe["dll_characteristics"] & flag:
            fail("%s is off" % name)
    print("versions: OS %d.%d, subsystem %d.%d (Windows XP and later); no TLS; ASLR, DEP"
          % (pe["os"] + pe["subsystem"]))

    found = imports(data, pe)
    if not found.get("kernel32.dll"):
        fail("no import from kernel32.dll was read: %s" % found)
    for dll, functions in sorted(found.items()):
        allowed = ALLOWED.get(dll)
        if allowed is None:
            fail("imports from %s, which is not allowed" % dll)
        for function in functions:
            if function not in allowed:
                fail("%s!%s is not in the allowlist: add it with the oldest Windows that "
                     "exports it" % (dll, function))
        print("imports %s: %s" % (dll, ", ".join(sorted(functions))))
    if b"libgcc_s" in data:
        fail("the libgcc DLL is probed for")

    check_manifest(data, arch)
    if "VS_VERSION_INFO".encode("utf-16-le") not in data \
            or "Vendrel 2".encode("utf-16-le") not in data:
        fail("no version resource")
    print("resources: manifest (asInvoker, Common Controls 6, per-monitor DPI v2, Vista to 11) "
          "and version information")

    with tempfile.TemporaryDirectory() as scratch:
        # Another source path and build path must not change a byte.
        copy = os.path.join(scratch, "src")
        shutil.copytree(source, copy, ignore=shutil.ignore_patterns("build", ".git"))
        again = os.path.join(scratch, "build")
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT, check=True)
        subprocess.run(["cmake", "-S", copy, "-B", again, "-G", "Ninja",
                        "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/%s" % (copy, made_with),
                        "-DCMAKE_BUILD_TYPE=MinSizeRel"], **quiet)
        subprocess.run(["cmake", "--build", again, "--target", "launcher"], **quiet)
        if open(os.path.join(again, "launcher", "launcher.exe"), "rb").read() != data:
            fail("a second clean build gave different bytes")
        print("reproducible: a clean build from another path gives the same bytes")
        if made_with != "mingw-i686.cmake":
            return 0  # a proof build or the second compiler's: the release is g++'s i686 build

        # The release, unsigned: the same two files, byte for byte, as the
        # build's own (made before the tests, which read it meanwhile).
        unsigned = {k: v for k, v in os.environ.items() if not k.startswith("SIGN_")}
        subprocess.run(["cmake", "--build", again, "--target", "package"], env=unsigned, **quiet)
        releases = []
        for tree in (build, again):
            folder = os.path.join(tree, "release")
            if not os.path.isdir(folder):
                fail("%s is missing: build the package target first" % folder)
            releases.append({n: open(os.path.join(folder, n), "rb").read()
                             for n in sorted(os.listdir(folder))})
        names = sorted(releases[0])
        if names != [release % "setup.exe", release % "toolchain.txt", release % "win32.zip"]:
            fail("the release is not exactly the installer, the toolchain and the zip: %s" % names)
        if releases[0] != releases[1]:
            fail("two clean builds gave different release files")
        with zipfile.ZipFile(os.path.join(build, "release", release % "win32.zip")) as archive:
            if archive.namelist() != ["launcher.exe", "README.txt"]:
                fail("the zip holds %s" % archive.namelist())
            if archive.read("launcher.exe") != data:
                fail("the zip's launcher.exe is not the one the build made")
            guide = archive.read("README.txt")
        if b"\n" in guide.replace(b"\r\n", b"") or b"\r\n" not in guide:
            fail("README.txt does not have Windows line endings")
        for message in (b"Error Loading Vendrel 2.", b"Error Loading MSN Messenger",
                        b"Error Waiting for existing MSN's and Windows Messenger"):
            if message not in guide:
                fail("README.txt does not explain %r" % message)
        print("release: %s; reproducible, unsigned" % ", ".join(names))
        # Signing settings that are not one complete set stop the release and scripts/sign.sh.
        for partial in ("SIGN_CERT", "SIGN_KEY", "SIGN_PASS", "SIGN_TIMESTAMP_URL",
                        "SIGN_PFX SIGN_KEY", "SIGN_CERT SIGN_KEY SIGN_PASS"):
            env = dict(unsigned, **dict.fromkeys(partial.split(), "x"))
            for command in (["cmake", "--build", again, "--target", "package"],
                            [os.path.join(source, "scripts", "sign.sh"), exe + ".unsigned"]):
                result = subprocess.run(command, env=env, capture_output=True, text=True)
                said = result.stdout + result.stderr
                if result.returncode == 0 or "not one complete set" not in said:
                    fail("signing settings %s did not stop %s" % (partial, command[0]))

        prefix = os.path.join(scratch, "prefix")
        subprocess.run(["cmake", "--install", build, "--prefix", prefix], **quiet)
        installed = os.path.join(prefix, "bin", "launcher.exe")
        if not os.path.exists(installed) or open(installed, "rb").read() != data:
            fail("cmake --install did not put launcher.exe in bin/")
        print("install: bin/launcher.exe")
    return 0


if __name__ == "__main__":
    sys.exit(main())
