"""Wine prefixes: the kinds of run, their environment, templates and a run's own copy."""

import os
import shutil
import struct
import subprocess

ARCHES = ("win32", "win64")
WINE64 = "/usr/lib/wine/wine64"
# By launcher and prefix: the kind, its Wine loader (Debian's `wine` picks the
# 32-bit one even where it cannot run), its system folder, where it installs.
KINDS = {("i386", "win32"): ("wine32", "wine", r"C:\windows\system32", r"C:\Program Files"),
         ("i386", "win64"): ("wine64", "wine", r"C:\windows\syswow64",
                             r"C:\Program Files (x86)"),
         ("x86-64", "win64"): ("wine-x64", WINE64, r"C:\windows\system32", r"C:\Program Files")}



def missing_tools(arch="win32"):
    missing = [tool for tool in ("wine", "wineserver", "Xvfb") if shutil.which(tool) is None]
    # Debian's wine64 keeps its loader out of PATH.
    return missing + (["wine64"] if arch == "win64" and not os.path.exists(WINE64) else [])


def launcher_machine(build):
    """"i386" or "x86-64", from the PE header of the build's launcher."""
    with open(os.path.join(build, "launcher", "launcher.exe"), "rb") as handle:
        data = handle.read(512)
    at = struct.unpack_from("<I", data, 0x3C)[0] + 4
    return {0x14C: "i386", 0x8664: "x86-64"}[struct.unpack_from("<H", data, at)[0]]


def kind_for(build, arch="win32"):
    """The prefix and KINDS entry for the build's launcher: x86-64 only in a 64-bit prefix."""
    machine = launcher_machine(build)
    arch = "win64" if machine == "x86-64" else arch
    return arch, KINDS[machine, arch]


def wine_env(prefix, display=None, arch="win32", loader="wine"):
    # Debian 13's Wine 10.0 calls free() on TMPDIR's value in the environment at start.
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "TMPDIR")}
    # No menu entries or file associations outside the prefix.
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEARCH=arch,
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    if loader != "wine":
        env["WINELOADER"] = loader
    if display is not None:
        env["DISPLAY"] = display
    return env


def quiet(cmd, env, timeout=120, cwd=None, check=True):
    # Wine's services inherit our output streams and keep them open, so they
    # must never be pipes we wait on.
    return subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout, check=check,
                          cwd=cwd).returncode


def template_arch(template):
    with open(os.path.join(template, ".ready")) as handle:
        return handle.read().strip() or "win32"


# Windows close at once without a window manager. The services that no run needs (event log,
# Plug and Play, network, mount manager) stay off: emulated, each costs every run seconds.
TEMPLATE_SETTINGS = 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Managed"="N"\n' \
    + "".join('\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\%s]\n'
              '"Start"=dword:00000004\n' % name
              for name in ("Eventlog", "PlugPlay", "NDIS", "nsiproxy", "MountMgr"))


def make_template(template, arch="win32", loader="wine"):
    """A fully booted prefix with TEMPLATE_SETTINGS."""
    ready = os.path.join(template, ".ready")
    if os.path.isfile(ready) and template_arch(template) == arch:
        return
    shutil.rmtree(template, ignore_errors=True)
    os.makedirs(os.path.dirname(os.path.abspath(template)), exist_ok=True)
    env = wine_env(template, arch=arch, loader=loader)
    try:
        quiet([loader, "wineboot", "-i"], env, timeout=300)
        open(os.path.join(template, "drive_c", "template.reg"), "w").write(TEMPLATE_SETTINGS)
        quiet([loader, "reg", "import", r"C:\template.reg"], env)
        os.remove(os.path.join(template, "drive_c", "template.reg"))
        quiet(["wineserver", "-w"], env)
    finally:
        quiet(["wineserver", "-k"], env, check=False)
    with open(ready, "w") as handle:
        handle.write(arch + "\n")


# Wine only reads these once a prefix is booted, so runs may share them.
SHARED_SUFFIXES = (".dll", ".exe", ".drv", ".sys", ".ocx", ".acm", ".cpl", ".tlb", ".ax",
                   ".ds", ".nls", ".ttf", ".manifest", ".mui", ".msstyles")


def copy_prefix(template, prefix):
    """A prefix of a run's own, with the system's binaries hard-linked from the template where
    it can (a 64-bit prefix is over a gigabyte): Wine renames registry files, never binaries."""
    for root, dirs, files in os.walk(template):
        target = os.path.join(prefix, os.path.relpath(root, template))
        os.makedirs(target, exist_ok=True)
        for name in dirs + files:
            source = os.path.join(root, name)
            if os.path.islink(source):
                os.symlink(os.readlink(source), os.path.join(target, name))
                if name in dirs:
                    dirs.remove(name)
        for name in files:
            source, dest = os.path.join(root, name), os.path.join(target, name)
            if os.path.islink(source):
                continue
            if name.lower().endswith(SHARED_SUFFIXES):
                try:
                    os.link(source, dest)
                    continue
                except OSError:  # another file system or mount (EXDEV), or not allowed
                    pass
            shutil.copy2(source, dest)

