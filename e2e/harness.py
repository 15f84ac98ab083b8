#!/usr/bin/env python3
"""Runs the real launcher.exe under Wine, with stand-in programs, and checks
what happened.

Each run gets its own Wine prefix (a copy of a prepared template) and its own
Xvfb display, so runs can go on side by side. Afterwards it ends its own
wineserver and display and removes the prefix, also when a check fails or the
run times out. A template is 32-bit (win32) or 64-bit (win64). The kind of
run follows from the prefix and the build's launcher (see KINDS).

  harness.py template --build DIR --template DIR [--arch win32|win64]
  harness.py scenario NAME --build DIR --template DIR [--arch ...]
  harness.py list [--arch ...]                     the scenarios for that kind
  harness.py demo --build DIR [--case CASE] [--msn-life-ms N]
  harness.py pictures --build DIR [--out DIR]      capture each box as a PNG
  harness.py soak --build DIR --template DIR --waits N [--arch ...]

Without Wine or Xvfb a run is skipped (exit 77), unless CI=true: then it fails.
A 32-bit launcher on a host that cannot execute 32-bit x86 code is skipped.
"""

import argparse
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import struct
import tempfile
import threading
import time
import zipfile

SKIP = 77  # CTest's SKIP_RETURN_CODE
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
import host  # noqa: E402
ARCHES = ("win32", "win64")
WINE64 = "/usr/lib/wine/wine64"
# By launcher and prefix: the kind, its Wine loader (Debian's `wine` picks the
# 32-bit one even where it cannot run), its system folder, where it installs.
KINDS = {("i386", "win32"): ("wine32", "wine", r"C:\windows\system32", r"C:\Program Files"),
         ("i386", "win64"): ("wine64", "wine", r"C:\windows\syswow64",
                             r"C:\Program Files (x86)"),
         ("x86-64", "win64"): ("wine-x64", WINE64, r"C:\windows\system32", r"C:\Program Files")}

VENDREL_KEY = r"HKLM\SOFTWARE\Orvane\Vendrel2"
MSN_KEY = r"HKLM\SOFTWARE\Microsoft\MSNMessenger"
# Where a 32-bit installer puts programs: on 64-bit Windows that is
# "Program Files (x86)".
PROGRAM_FILES = {"win32": r"C:\Program Files", "win64": r"C:\Program Files (x86)"}
LOAD_VENDREL = "Error Loading Vendrel 2."
LOAD_MSN = "Error Loading MSN Messenger"
WAIT_MSN = "Error Waiting for existing MSN's and Windows Messenger"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


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
    """The prefix and the KINDS entry for the build's launcher: an x86-64
    one runs only in a 64-bit prefix, a 32-bit one in either."""
    machine = launcher_machine(build)
    arch = "win64" if machine == "x86-64" else arch
    return arch, KINDS[machine, arch]


def wine_env(prefix, display=None, arch="win32", loader="wine"):
    env = dict(os.environ)
    # No menu entries or file associations outside the prefix.
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEARCH=arch,
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    if loader != "wine":
        env["WINELOADER"] = loader
    if display is not None:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
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


def make_template(template, arch="win32", loader="wine"):
    """A fully booted prefix in which windows close at once without a
    window manager."""
    ready = os.path.join(template, ".ready")
    if os.path.isfile(ready) and template_arch(template) == arch:
        return
    shutil.rmtree(template, ignore_errors=True)
    os.makedirs(os.path.dirname(os.path.abspath(template)), exist_ok=True)
    env = wine_env(template, arch=arch, loader=loader)
    try:
        quiet([loader, "wineboot", "-i"], env, timeout=300)
        quiet([loader, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
               "/d", "N", "/f"], env)
        quiet(["wineserver", "-w"], env)
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
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


class Event:
    def __init__(self, line, origin):
        parts = line.split(" ", 4)
        self.ms = (int(parts[0]) - origin) / 1000.0
        self.kind, self.name, self.pid = parts[1], parts[2], int(parts[3])
        self.detail = parts[4] if len(parts) > 4 else ""

    def field(self, key):
        """A number from a "key=value ..." detail, as the observer's samples carry."""
        return int(dict(kv.split("=") for kv in self.detail.split())[key])

    def __repr__(self):
        return "%+9.1f ms %s %s %d %s" % (self.ms, self.kind, self.name, self.pid, self.detail)


class Run:
    """One launcher run in a prefix and display of its own."""

    def __init__(self, build, template, keep=False, arch="win32"):
        self.build = build
        self.arch, (self.kind, self.loader, self.system_dir, self.installs_to) = \
            kind_for(build, template_arch(template) if template else arch)
        self.workdir = tempfile.mkdtemp(prefix="launcher-e2e-")
        self.prefix = os.path.join(self.workdir, "prefix")
        self.keep = keep
        self.xvfb = None
        self.display = None
        try:
            if template:
                copy_prefix(template, self.prefix)
            else:
                make_template(self.prefix, arch, self.loader)
        except BaseException:
            shutil.rmtree(self.workdir, ignore_errors=True)
            raise
        self.vendrel_dir = PROGRAM_FILES[self.arch] + r"\Orvane\Vendrel 2"
        self.msn_dir = PROGRAM_FILES[self.arch] + "\\MSN Messenger\\"
        self.drive = os.path.join(self.prefix, "drive_c")
        self.log = []
        self.registry = []
        self.launcher = os.path.join(build, "launcher", "launcher.exe")
        # Wine's services start once a run (seconds emulated), end a minute after a killed one.
        quiet(["wineserver", "-p60"], self.environment())

    def environment(self):
        """Wine's environment for this prefix, on this run's display once it
        has one."""
        return wine_env(self.prefix, self.display, self.arch, self.loader)

    # -- set-up -----------------------------------------------------------
    def start_display(self):
        if self.xvfb:
            return
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0",
             "800x600x24"], pass_fds=(write_end,), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_end)
        number = b""
        deadline = time.time() + 30
        while not number.endswith(b"\n") and time.time() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        check(number.strip().isdigit(), "Xvfb did not start")
        self.display = ":" + number.strip().decode()

    def unix_path(self, windows_path):
        check(windows_path[:3].upper() == "C:\\", "only drive C is mapped: " + windows_path)
        return os.path.join(self.drive, *windows_path[3:].split("\\"))

    def install(self, windows_path, life_ms=None, spawn=()):
        """Put a stand-in program at the path, steered by a file beside it."""
        target = self.unix_path(windows_path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if os.path.lexists(target):
            os.unlink(target)  # it may be linked to the template's
        shutil.copyfile(os.path.join(self.build, "e2e", "fakeprog.exe"), target)
        config = os.path.splitext(target)[0] + ".cfg"
        with open(config, "w") as handle:
            if life_ms is not None:
                handle.write("life_ms=%d\n" % life_ms)
            for delay, path in spawn:
                handle.write("spawn=%d %s\n" % (delay, path))

    def reg(self, key, name, value, kind="REG_SZ", view=32):
        """A value as a 32-bit installer writes it; on 64-bit Windows the
        64-bit view is another place."""
        self.registry.append((key, name, value, kind, view))

    def installed_except(self, case, msn_life_ms):
        """Both programs and their values, but for the one a case leaves out
        ("addon-missing" or "msn-missing")."""
        if case != "addon-missing":
            self.reg(VENDREL_KEY, "BinDir", self.vendrel_dir)
            self.install(self.vendrel_dir + "\\vendrel.exe")
        if case != "msn-missing":
            self.reg(MSN_KEY, "InstallationDirectory", self.msn_dir)
            self.install(self.msn_dir + "msnmsgr.exe", life_ms=msn_life_ms)

    def standard(self, msn_life_ms=1500):
        self.installed_except(None, msn_life_ms)
        return self

    # -- running ----------------------------------------------------------
    def run(self, args="", prestart=(), box_delay_ms=200, sample_ms=0, timeout=90, watch=True):
        tools = os.path.join(self.drive, "e2e")
        os.makedirs(tools, exist_ok=True)
        for name, source in (("launcher.exe", self.launcher),
                             ("observer.exe", os.path.join(self.build, "e2e", "observer.exe")),
                             ("boxhelper.exe", os.path.join(self.build, "e2e", "boxhelper.exe"))):
            shutil.copyfile(source, os.path.join(tools, name))
        self.start_display()
        self.write_registry()
        env = self.environment()
        env.update(E2E_LOG=r"C:\e2e\log.txt",
                   E2E_LAUNCHER=r"C:\e2e\launcher.exe" + (" " + args if args else ""),
                   E2E_BOXHELPER=r"C:\e2e\boxhelper.exe", E2E_WATCH="vendrel.exe" if watch else "",
                   E2E_PRESTART=";".join(prestart), E2E_BOX_DELAY_MS=str(box_delay_ms),
                   E2E_SAMPLE_MS=str(sample_ms))
        try:
            # From C:\, so that a relative name would be looked for there.
            quiet([self.loader, r"C:\e2e\observer.exe"], env, timeout=timeout, cwd=self.drive)
        except subprocess.TimeoutExpired:
            raise Failure("the run did not finish within %d s" % timeout)
        finally:
            self.read_log()
        return self

    def write_registry(self):
        """The values given, in one Wine command for each view."""
        data = {"REG_SZ": lambda v: '"%s"' % v.replace("\\", "\\\\").replace('"', '\\"'),
                "REG_EXPAND_SZ": lambda v: "hex(2):" + (v + "\0").encode("utf-16-le").hex(","),
                "REG_DWORD": lambda v: "dword:%08x" % int(v),
                "REG_BINARY": lambda v: "hex:" + bytes.fromhex(v).hex(",")}
        for bits in (32, 64):
            lines = ["Windows Registry Editor Version 5.00"] + [
                '\r\n[HKEY_LOCAL_MACHINE%s]\r\n"%s"=%s' % (key[4:], name, data[kind](value))
                for key, name, value, kind, view in self.registry if view == bits]
            if len(lines) > 1:
                open(os.path.join(self.drive, "values.reg"), "w", encoding="utf-16").write(
                    "\r\n".join(lines) + "\r\n")
                quiet([self.loader, "reg", "import", r"C:\values.reg"] + self.view(bits),
                      self.environment())
        self.registry = []

    def view(self, bits=32):
        return ["/reg:%d" % bits] if self.arch == "win64" else []

    def wine(self, *command, timeout=120):
        """A Windows command in this prefix, on this run's display if it has
        one; its exit code."""
        try:
            return quiet([self.loader] + list(command), self.environment(), timeout,
                         self.drive, check=False)
        except subprocess.TimeoutExpired:
            raise Failure("%s did not finish within %d s" % (" ".join(command), timeout))

    def reg_query(self, key):
        """What `reg query` prints for a key in the 32-bit view, or None."""
        result = subprocess.run([self.loader, "reg", "query", key] + self.view(),
                                env=self.environment(), stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=120)
        return result.stdout.decode("latin-1") if result.returncode == 0 else None

    def query(self, key):
        """The values under a registry key in the 32-bit view, or None."""
        text = self.reg_query(key)
        if text is None:
            return None
        values = {}
        for line in text.splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[1].startswith("REG_"):
                values[parts[0]] = parts[2] if len(parts) > 2 else ""
        return values

    def await_event(self, kind, name, seconds=30):
        """The events of a kind and name, once one is logged by a run that goes on."""
        deadline = time.time() + seconds
        while not self.events(kind, name) and time.time() < deadline:
            time.sleep(0.1)
            self.read_log()
        return self.events(kind, name)

    def read_log(self):
        path = os.path.join(self.drive, "e2e", "log.txt")
        if not os.path.exists(path):
            return
        with open(path, encoding="latin-1") as handle:
            lines = [line.rstrip("\r\n") for line in handle if line.strip()]
        origin = next((int(l.split()[0]) for l in lines if " started launcher " in l),
                      int(lines[0].split()[0]) if lines else 0)
        self.log = sorted((Event(line, origin) for line in lines), key=lambda e: e.ms)

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.environment(),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        if self.xvfb is not None:
            os.killpg(self.xvfb.pid, signal.SIGTERM)
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.xvfb.pid, signal.SIGKILL)
                self.xvfb.wait()
        if not self.keep:
            shutil.rmtree(self.workdir, ignore_errors=True)

    # -- reading what happened --------------------------------------------
    def events(self, kind, name=None):
        return [e for e in self.log if e.kind == kind and (name is None or e.name == name)]

    def one(self, kind, name):
        found = self.events(kind, name)
        check(len(found) == 1, "expected one '%s %s', saw %d" % (kind, name, len(found)))
        return found[0]

    def boxes(self):
        return [e.detail for e in self.events("box")]

    def exit_code(self):
        return self.one("exit", "launcher").detail

    def timeline(self):
        return "\n".join(repr(e) for e in self.log)


def within(value, nominal, what):
    """A delay at its nominal length: Wine's process start-up and a loaded
    machine may add a little, but a longer sleep must show."""
    low, high = nominal - 100, nominal + LATE
    check(low <= value <= high, "%s was %.0f ms, expected %d to %d" % (what, value, low, high))


SETTLE = 1000        # the add-on's start (or its box dismissed) to MSN Messenger's start
# Emulated, a start, a box or a scan takes up to 800 ms longer, a first box 20 s.
EMULATED = os.environ.get("LAUNCHER_GUEST") == "tcg"
LATE, SLOW = (800, 20000) if EMULATED else (400, 0)
AFTER_MSN = 7250     # the end of the MSN Messenger it started to the add-on's end
GRACE = 7000         # the last other messenger's end to the add-on's end


def scenario_normal(r):
    r.standard().run()
    addon = r.one("start", "vendrel.exe")
    msn = r.one("start", "msnmsgr.exe")
    check(addon.ms < msn.ms, "the add-on must start first")
    within(msn.ms - addon.ms, SETTLE, "add-on start to MSN Messenger start")
    ended = r.one("ended", "vendrel.exe")
    within(ended.ms - r.one("end", "msnmsgr.exe").ms, AFTER_MSN, "MSN's end to the add-on's end")
    check(ended.detail == "code=0", "the add-on's exit code: " + ended.detail)
    check(r.exit_code() == "code=0", "launcher " + r.exit_code())
    check(r.boxes() == [], "unexpected boxes %s" % r.boxes())
    check(msn.detail.startswith('"%smsnmsgr.exe"' % r.msn_dir),
          "MSN Messenger's command line: " + msn.detail)
    check(addon.detail.startswith('"%s\\vendrel.exe"' % r.vendrel_dir),
          "the add-on's command line: " + addon.detail)


def scenario_other_messengers(r):
    r.standard()
    r.install(r"C:\Other\msmsgs.exe", life_ms=4500)  # outlives the MSN the launcher started
    r.install(r"C:\Other\msnmsgr.exe", life_ms=3000)
    r.install(r.msn_dir + "msnmsgr.exe", life_ms=1500, spawn=[(1000, r"C:\Other\msnmsgr.exe")])
    r.run(prestart=[r"C:\Other\msmsgs.exe"])
    ends = r.events("end", "msnmsgr.exe") + r.events("end", "msmsgs.exe")
    check(len(ends) == 3, "expected three messengers to end, saw %d" % len(ends))
    last = max(e.ms for e in ends)
    within(r.one("ended", "vendrel.exe").ms - last, GRACE, "last messenger's end to the add-on's end")
    check(r.exit_code() == "code=0" and r.boxes() == [], "exit code or boxes")


def addon_fails(r, breakage):
    r.standard()
    breakage(r)
    r.run(box_delay_ms=1500, watch=False)  # no add-on to look for: fewer snapshots
    check(r.boxes() == [LOAD_VENDREL], "boxes %s" % r.boxes())
    dismissed = r.one("dismissed", "Error")
    within(r.one("start", "msnmsgr.exe").ms - dismissed.ms, SETTLE,
           "box dismissed to MSN Messenger start")
    check(r.events("start", "vendrel.exe") == [], "the add-on started")
    check(r.exit_code() == "code=0", "launcher " + r.exit_code())


def scenario_addon_key_missing(r):
    def breakage(run):
        run.registry = [x for x in run.registry if x[0] != VENDREL_KEY]
    addon_fails(r, breakage)


def scenario_addon_not_in_folder(r):
    def breakage(run):
        empty = PROGRAM_FILES[run.arch] + r"\Orvane\Empty"
        run.registry = [x for x in run.registry if x[0] != VENDREL_KEY]
        run.reg(VENDREL_KEY, "BinDir", empty)
        os.makedirs(run.unix_path(empty))
    addon_fails(r, breakage)


def msn_fails(r, breakage):
    r.standard()
    breakage(r)
    r.install(r"C:\Other\msmsgs.exe", life_ms=5000 + SLOW)
    r.run(prestart=[r"C:\Other\msmsgs.exe"])
    check(r.boxes() == [LOAD_MSN], "boxes %s" % r.boxes())
    check(r.events("start", "msnmsgr.exe") == [], "MSN Messenger started")
    within(r.one("ended", "vendrel.exe").ms - r.one("end", "msmsgs.exe").ms, GRACE,
           "running messenger's end to the add-on's end")
    check(r.exit_code() == "code=0", "launcher " + r.exit_code())


def scenario_msn_no_backslash(r):
    def breakage(run):
        run.registry = [x for x in run.registry if x[0] != MSN_KEY]
        run.reg(MSN_KEY, "InstallationDirectory", run.msn_dir.rstrip("\\"))
    msn_fails(r, breakage)


def scenario_msn_missing(r):
    def breakage(run):
        run.registry = [x for x in run.registry if x[0] != MSN_KEY]
    msn_fails(r, breakage)


def scenario_both_fail(r):
    r.run(watch=False)
    check(r.boxes() == [LOAD_VENDREL, LOAD_MSN], "boxes %s" % r.boxes())
    check(r.exit_code() == "code=0", "launcher " + r.exit_code())


def scenario_addon_exits_early(r):
    r.standard()
    r.install(r.vendrel_dir + "\\vendrel.exe", life_ms=300)
    r.run()
    check(r.one("end", "vendrel.exe").ms < r.one("end", "msnmsgr.exe").ms,
          "the add-on should have ended by itself first")
    within(r.one("exit", "launcher").ms - r.one("end", "msnmsgr.exe").ms, AFTER_MSN,
           "MSN's end to the launcher's exit")
    check(r.exit_code() == "code=0" and r.boxes() == [], "exit code or boxes")


def scenario_planted_programs(r):
    r.standard()
    # Each shorter name that an unquoted path would be taken for.
    for path in (r.vendrel_dir + "\\vendrel.exe", r.msn_dir + "msnmsgr.exe"):
        for space in [i for i, c in enumerate(path) if c == " "]:
            r.install(path[:space] + ".exe", life_ms=0)
    r.run()
    started = sorted(e.name for e in r.events("start"))
    check(started == ["msnmsgr.exe", "vendrel.exe"], "programs started: %s" % started)
    check(r.boxes() == [] and r.exit_code() == "code=0", "exit code or boxes")


def bad_values(r, vendrel, msn):
    r.standard()
    r.registry = []
    r.reg(VENDREL_KEY, "BinDir", *vendrel)
    r.reg(MSN_KEY, "InstallationDirectory", *msn)
    r.run(watch=False)
    check(r.boxes() == [LOAD_VENDREL, LOAD_MSN], "boxes %s" % r.boxes())
    check(r.events("start") == [], "a program started: %s" % [e.name for e in r.events("start")])
    check(r.exit_code() == "code=0", "launcher " + r.exit_code())


def scenario_bad_values_expand_dword(r):
    # Expanded, this would name the installed add-on: it must stay raw.
    bad_values(r, (r"%ProgramFiles%\Orvane\Vendrel 2", "REG_EXPAND_SZ"), ("4096", "REG_DWORD"))


def scenario_bad_values_long(r):
    bad_values(r, ("41" * 256, "REG_BINARY"), ("C:\\" + "x" * 297, "REG_SZ"))


def scenario_bad_values_empty(r):
    r.install(r.system_dir + r"\msnmsgr.exe", life_ms=0)  # a bare name would find this
    r.install(r"C:\e2e\msnmsgr.exe", life_ms=0)
    bad_values(r, ("", "REG_SZ"), ("", "REG_SZ"))


def scenario_bad_values_relative(r):
    # Searched for, these would be found in the launcher's folder or the
    # system folder; resolved against the current folder, in C:\.
    for folder in (r"C:\e2e", r.system_dir, "C:"):
        r.install(folder + r"\Vendrel\vendrel.exe", life_ms=0)
        r.install(folder + r"\xmsnmsgr.exe", life_ms=0)
    bad_values(r, ("Vendrel", "REG_SZ"), ("x", "REG_SZ"))


def scenario_bad_values_rooted(r):
    # "\x" is the current drive's root, "C:x" the current folder of C:.
    r.install(r"C:\Vendrel\vendrel.exe", life_ms=0)
    for folder in (r"C:\e2e", r.system_dir, "C:", r"C:\windows"):
        r.install(folder + r"\x\msnmsgr.exe", life_ms=0)
    bad_values(r, (r"\Vendrel", "REG_SZ"), ("C:x\\", "REG_SZ"))


def scenario_arguments_ignored(r):
    r.standard()
    r.install(r"C:\Program.exe", life_ms=0)
    r.run(args=r'/quit --help "C:\Program.exe" C:\Program.exe')
    started = sorted(e.name for e in r.events("start"))
    check(started == ["msnmsgr.exe", "vendrel.exe"], "programs started: %s" % started)
    within(r.one("ended", "vendrel.exe").ms - r.one("end", "msnmsgr.exe").ms, AFTER_MSN,
           "MSN's end to the add-on's end")
    check(r.boxes() == [] and r.exit_code() == "code=0", "exit code or boxes")


def scenario_messenger_of_another_user(r):
    # A messenger that this user may not open, even to wait: the box shows
    # once, the wait ends there, and the add-on is ended 7 s after OK while
    # that messenger goes on.
    r.standard()
    r.install(r"C:\Other\msmsgs.exe", life_ms=60000)
    r.run(prestart=[r"!C:\Other\msmsgs.exe"], box_delay_ms=1000)
    check(r.boxes() == [WAIT_MSN], "boxes %s" % r.boxes())
    within(r.one("ended", "vendrel.exe").ms - r.one("dismissed", "Error").ms, GRACE,
           "box dismissed to the add-on's end")
    check(r.one("box", "Error").ms - r.one("end", "msnmsgr.exe").ms < 2000 + SLOW,
          "the box should follow MSN Messenger's end")
    check(r.events("end", "msmsgs.exe") == [], "the other user's messenger should still run")
    check(r.exit_code() == "code=0", "launcher " + r.exit_code())


def scenario_elevated_messenger(r):
    # "Run as administrator": waiting needs no more than it grants, so the
    # launcher waits for it, and ends the add-on 7 s after it ends.
    r.standard()
    r.install(r"C:\Other\msmsgs.exe", life_ms=4500 + SLOW)
    r.run(prestart=[r"^C:\Other\msmsgs.exe"])
    check(r.boxes() == [], "boxes %s" % r.boxes())
    within(r.one("ended", "vendrel.exe").ms - r.one("end", "msmsgs.exe").ms, GRACE,
           "the elevated messenger's end to the add-on's end")
    check(r.exit_code() == "code=0", "launcher " + r.exit_code())


def scenario_other_letter_case(r):
    r.standard()
    r.install(r"C:\Other\MSNMSGR.EXE", life_ms=30000)
    r.run(prestart=[r"C:\Other\MSNMSGR.EXE"])
    check(r.events("end", "MSNMSGR.EXE") == [], "MSNMSGR.EXE should still be running")
    within(r.one("ended", "vendrel.exe").ms - r.one("end", "msnmsgr.exe").ms, AFTER_MSN,
           "MSN's end to the add-on's end")


def scenario_signed(r):
    # A release made with a throwaway certificate: the launcher in the zip,
    # the installer and the uninstaller it writes all verify with it as the
    # CA, and the installed, signed launcher runs as before. A PEM pair in
    # the 32-bit prefix, a password-protected PKCS#12 file in the 64-bit one.
    keys = os.path.join(r.workdir, "keys")
    os.makedirs(keys)
    cert, key = os.path.join(keys, "cert.pem"), os.path.join(keys, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=Vendrel 2 launcher test", "-keyout", key, "-out", cert,
                    "-addext", "extendedKeyUsage=codeSigning"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env = {k: v for k, v in os.environ.items() if not k.startswith("SIGN_")}
    if r.arch == "win32":
        env.update(SIGN_CERT=cert, SIGN_KEY=key)
    else:
        pfx = os.path.join(keys, "test.pfx")
        subprocess.run(["openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-out", pfx,
                        "-passout", "pass:s3cret"], check=True)
        env.update(SIGN_PFX=pfx, SIGN_PASS="s3cret")
    setup, release_zip = make_release(r, env=env)
    with zipfile.ZipFile(release_zip) as archive:
        signed = archive.read("launcher.exe")
    check(signed != open(r.launcher, "rb").read(), "the zip's launcher is not signed")

    def verify(path):
        result = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", path],
                                capture_output=True, text=True)
        check(result.returncode == 0, "%s does not verify:\n%s%s"
              % (os.path.basename(path), result.stdout, result.stderr))

    verify(setup)
    check(install_silently(r, setup) == 0, "the signed installer failed")
    folder = r.installs_to + INSTALLED
    for name in ("launcher.exe", "uninstall.exe"):
        verify(r.unix_path(folder + "\\" + name))
    r.launcher = r.unix_path(folder + r"\launcher.exe")
    check(open(r.launcher, "rb").read() == signed, "the installed launcher is not the zip's")
    r.standard().run()  # that it runs; the normal scenario times the same code
    check(r.exit_code() == "code=0" and r.boxes() == [] and len(r.events("start")) == 2,
          "the signed launcher:\n" + r.timeline())


def make_release(r, version="1.0.0", launcher=None, env=None):
    """The installer and zip of a release made as the package target does (x86-64 for x86-64),
    given relative paths."""
    out, arch = "release-" + version, "win64" if r.kind == "wine-x64" else "win32"
    subprocess.run([sys.executable, os.path.join(HERE, "..", "scripts", "release.py"),
                    "--source", os.path.relpath(os.path.join(HERE, ".."), r.workdir),
                    "--launcher", os.path.relpath(launcher or r.launcher, r.workdir),
                    "--name", "vendrel2-launcher", "--version", version, "--out", out,
                    "--arch", arch], env=env, check=True, stdout=subprocess.DEVNULL, cwd=r.workdir)
    return [os.path.join(r.workdir, out, "vendrel2-launcher-%s-%s" % (version, end))
            for end in ("setup.exe", arch + ".zip")]


INSTALLED = r"\Vendrel 2 Launcher"
SHORTCUT = (r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs"
            r"\MSN Messenger with Vendrel 2.lnk")
DESKTOP = r"C:\users\Public\Desktop\MSN Messenger with Vendrel 2.lnk"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
PENDING = r"HKLM\System\CurrentControlSet\Control\Session Manager"  # files moved at reboot


def install_silently(r, setup, *args):
    """Runs an installer with /S on the run's display, where a box would hold it; its code."""
    shutil.copyfile(setup, os.path.join(r.drive, "setup.exe"))
    r.start_display()
    return r.wine(r"C:\setup.exe", "/S", *args, timeout=60)


def run_as_written(r, command):
    """A registered command line run as a tool runs it, in words split as Windows does."""
    return r.wine(*[word.strip('"') for word in re.findall(r'"[^"]*"|\S+', command)])


def shortcut_target(path):
    """The local path a .lnk file points to (its LinkInfo's base path)."""
    data = open(path, "rb").read()
    flags = struct.unpack_from("<I", data, 0x14)[0]
    at = 0x4C
    if flags & 0x1:  # an item ID list comes first
        at += 2 + struct.unpack_from("<H", data, at)[0]
    check(flags & 0x2, "the shortcut has no link information")
    base = struct.unpack_from("<I", data, at + 16)[0]
    return data[at + base:data.index(b"\0", at + base)].decode("latin-1")


def scenario_installer(r):
    r.standard(msn_life_ms=120000)
    release = os.path.join(r.build, "release")  # as built; x86-64 makes its own
    setups = make_release(r)[:1] if r.kind == "wine-x64" else glob.glob(release + "/*-setup.exe")
    check(len(setups) == 1, "no installer in %s: build the package target first" % release)
    theirs = {p: open(r.unix_path(p), "rb").read()
              for p in (r.vendrel_dir + r"\vendrel.exe", r.msn_dir + "msnmsgr.exe")}
    # An older version first: other launcher bytes, another DisplayVersion.
    older = os.path.join(r.workdir, "older.exe")
    open(older, "wb").write(open(r.launcher, "rb").read() + b"0.9.0")
    folder = r.installs_to + INSTALLED

    def ours():
        entries = []
        keys = r.reg_query(UNINSTALL_KEY) or ""
        for key in (k.strip() for k in keys.splitlines() if k.strip().startswith("HKEY")):
            values = r.query(key) or {}
            if values.get("DisplayName") == "Vendrel 2 launcher":
                entries.append(values)
        return entries

    def installed(attempt, launcher, version):
        listed = sorted(os.listdir(r.unix_path(folder)))
        check(listed == ["README.txt", "launcher.exe", "uninstall.exe"],
              "%s: installed %s" % (attempt, listed))
        check(open(r.unix_path(folder + r"\launcher.exe"), "rb").read()
              == open(launcher, "rb").read(), "%s: another version's launcher" % attempt)
        check(shortcut_target(r.unix_path(SHORTCUT)).lower()
              == (folder + r"\launcher.exe").lower(), "the shortcut points elsewhere")
        shortcuts = [n for n in os.listdir(os.path.dirname(r.unix_path(SHORTCUT)))
                     if "Vendrel" in n]
        check(shortcuts == [SHORTCUT.split("\\")[-1]], "shortcuts %s" % shortcuts)
        entries = ours()
        check(len(entries) == 1, "%s: %d Add/Remove Programs entries" % (attempt, len(entries)))
        entry = entries[0]
        for name in ("Publisher", "DisplayIcon", "UninstallString", "QuietUninstallString",
                     "EstimatedSize", "NoModify", "NoRepair"):
            check(entry.get(name), "the entry has no %s" % name)
        check(entry.get("DisplayVersion") == version, "%s: the entry's version is %s"
              % (attempt, entry.get("DisplayVersion")))
        check(entry["QuietUninstallString"].lower() == ('"%s\\uninstall.exe" /S _?=%s'
              % (folder, folder)).lower(), entry["QuietUninstallString"])
        check(entry["UninstallString"].replace(" _?=", " /S _?=") == entry["QuietUninstallString"],
              "UninstallString " + entry["UninstallString"])
        check(entry["NoModify"] == entry["NoRepair"] == "0x1", "NoModify/NoRepair")

    # The first install runs before the add-on and the messenger are
    # registered, over the entry of a newer version whose drive is gone: a fresh install.
    for name, value in (("InstallLocation", r"Q:\Vendrel 2 Launcher"), ("DisplayVersion", "9.0.0")):
        r.wine("reg", "add", UNINSTALL_KEY + r"\Vendrel2Launcher", "/v", name, "/d", value, "/f",
               *r.view())
    older_setup = make_release(r, "0.9.0", older)[0]
    check(install_silently(r, older_setup) == 0, "the install failed")
    r.write_registry()
    installed("install", older, "0.9.0")
    # While the launcher runs, a silent upgrade and the registered quiet uninstall each fail
    # and change nothing.
    os.makedirs(os.path.join(r.drive, "e2e"), exist_ok=True)
    running = subprocess.Popen([r.loader, folder + r"\launcher.exe"], env=dict(
        r.environment(), E2E_LOG=r"C:\e2e\log.txt"), stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=r.drive)
    check(r.await_event("start", "msnmsgr.exe"), "the installed launcher did not start")
    check(install_silently(r, setups[0]) == 2, "the upgrade went ahead while the launcher ran")
    check(run_as_written(r, ours()[0]["QuietUninstallString"]) == 2,
          "the uninstall went ahead while the launcher ran")
    installed("while running", older, "0.9.0")
    r.wine("taskkill", "/F", "/IM", "launcher.exe", "/IM", "vendrel.exe", "/IM", "msnmsgr.exe")
    running.wait(timeout=30)  # its file is free only once it has gone
    # The upgrade stays in the earlier folder and keeps its desktop shortcut.
    shutil.copyfile(r.unix_path(SHORTCUT), r.unix_path(DESKTOP))
    check(install_silently(r, setups[0], r"/D=C:\Elsewhere") == 0, "the upgrade failed")
    check(not os.path.exists(r.unix_path(r"C:\Elsewhere")), "the upgrade moved elsewhere")
    version = os.path.basename(setups[0]).split("-")[2]
    installed("upgrade", r.launcher, version)
    check(os.path.exists(r.unix_path(DESKTOP)), "the upgrade removed the desktop shortcut")
    check([n for n in os.listdir(r.unix_path(r.installs_to)) if "Vendrel 2 L" in n]
          == [INSTALLED[1:]], "more than one folder")

    # An older installer changes nothing, silently. A file of ours that cannot be written for
    # good, not for being in use, is no reason to wait: exit 4, no change. (Run as root, Wine
    # writes read-only files: a folder in its place stands in.)
    check(install_silently(r, older_setup) == 3, "the older installer did not exit with 3")
    for name in ("launcher.exe", "README.txt"):
        path = r.unix_path(folder + "\\" + name)
        os.rename(path, path + ".kept")
        os.mkdir(path)
        check([install_silently(r, setups[0]), run_as_written(r, ours()[0]["QuietUninstallString"])]
              == [4, 4], "an unwritable %s was not told from a running launcher" % name)
        os.rmdir(path)
        os.rename(path + ".kept", path)
        installed("older installer, unwritable " + name, r.launcher, version)

    # The registered quiet uninstall as a tool runs it, then with the folder spelled otherwise (as
    # by its short name), each while a program has the folder as its current one: within 15 s (60
    # emulated) it returns, the rest gone; uninstall.exe, its folder and copy follow within 5 s.
    for spelling in ("_?=C:\\", "_?=C:\\.\\"):
        check(install_silently(r, setups[0]) == 0, "the repair failed")
        subprocess.Popen([r.loader, "cmd", "/c", "ping -n 3 127.0.0.1 >nul"], env=r.environment(),
                         cwd=r.unix_path(folder), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        began = time.time()
        code = run_as_written(r, ours()[0]["QuietUninstallString"].replace("_?=C:\\", spelling))
        check(code == 0 and time.time() - began < (60 if EMULATED else 15), "the uninstall (%s)"
              " exited %d after %.0f s" % (spelling, code, time.time() - began))
        for path in (folder + r"\launcher.exe", folder + r"\README.txt", SHORTCUT, DESKTOP):
            check(not os.path.exists(r.unix_path(path)), path + " is left when it returns")
        check(ours() == [], "the Add/Remove Programs entry is left")
        deadline, copies = time.time() + 5 + SLOW / 1000, r.drive + "/users/**/uninstall.exe"
        while (os.path.exists(r.unix_path(folder)) or glob.glob(copies, recursive=True)) \
                and time.time() < deadline:
            time.sleep(0.1)
        check(not os.path.exists(r.unix_path(folder)), folder + " is left after its limit")
        check(not glob.glob(copies, recursive=True), "the uninstaller's copy is left after its limit")
    check("PendingFileRenameOperations" not in r.query(PENDING), "a file waits for a reboot")
    for path, data in theirs.items():
        check(os.path.exists(r.unix_path(path)) and open(r.unix_path(path), "rb").read() == data,
              path + " was touched")
    check(r.query(VENDREL_KEY) == {"BinDir": r.vendrel_dir}, "the add-on's value was touched")
    check(r.query(MSN_KEY) == {"InstallationDirectory": r.msn_dir},
          "the messenger's value was touched")


def scenario64_views_disagree(r):
    # A 64-bit installer's values, in the 64-bit view, name other programs;
    # the 32-bit launcher must read the 32-bit view that its peers use.
    r.standard()
    other_vendrel, other_msn = r"C:\Program Files\Orvane\Vendrel 2", "C:\\Program Files\\MSN\\"
    r.reg(VENDREL_KEY, "BinDir", other_vendrel, view=64)
    r.reg(MSN_KEY, "InstallationDirectory", other_msn, view=64)
    r.install(other_vendrel + r"\vendrel.exe", life_ms=0)
    r.install(other_msn + "msnmsgr.exe", life_ms=0)
    r.run()
    addon, msn = r.one("start", "vendrel.exe"), r.one("start", "msnmsgr.exe")
    check("(x86)" in addon.detail and "(x86)" in msn.detail,
          "started %s and %s" % (addon.detail, msn.detail))
    within(r.one("ended", "vendrel.exe").ms - r.one("end", "msnmsgr.exe").ms, AFTER_MSN,
           "MSN's end to the add-on's end")
    check(r.boxes() == [] and r.exit_code() == "code=0", "exit code or boxes")


SCENARIOS = {name[len("scenario_"):].replace("_", "-"): func
             for name, func in globals().items() if name.startswith("scenario_")}
# Only a 64-bit Windows has two registry views.
SCENARIOS64 = {name[len("scenario64_"):].replace("_", "-"): func
               for name, func in globals().items() if name.startswith("scenario64_")}


def scenarios(arch):
    return dict(SCENARIOS, **(SCENARIOS64 if arch == "win64" else {}))


def run_scenario(name, build, template, arch="win32"):
    r = Run(build, template, arch=arch)
    try:
        scenarios(r.arch)[name](r)
    except Failure as failure:
        print("FAILED %s: %s\n%s" % (name, failure, r.timeline()))
        return 1
    finally:
        r.close()
    print("passed %s (%s%s)\n%s" % (name, r.kind, ", emulated" if EMULATED else "", r.timeline()))
    return 0


# -- demo -----------------------------------------------------------------

DEMO_CASES = {
    "normal": "both programs installed; MSN Messenger is quit after a while",
    "other-messenger": "a Windows Messenger is still running when MSN Messenger quits",
    "addon-missing": "the add-on is not installed",
    "msn-missing": "MSN Messenger is not installed",
}


def describe(e):
    who = {"vendrel.exe": "add-on (vendrel.exe)", "msnmsgr.exe": "MSN Messenger (msnmsgr.exe)",
           "msmsgs.exe": "Windows Messenger (msmsgs.exe)"}.get(e.name, e.name)
    text = {"start": "{who} started, command line {detail}", "end": "{who} quit by itself",
            "ended": "{who} ended by force, exit {detail}", "started": "launcher started (pid {pid})",
            "exit": "launcher exited with {detail}", "box": 'message box "Error": "{detail}"',
            "dismissed": "message box dismissed with OK"}.get(e.kind)
    return text and text.format(who=who, pid=e.pid, detail=e.detail.strip().replace("code=", "code "))


def demo(build, case, msn_life_ms, arch, loader):
    # The prepared prefix is kept in the build, so later demos skip Wine's
    # first-time set-up.
    template = os.path.join(build, "demo-wine-template")
    if not os.path.isfile(os.path.join(template, ".ready")):
        print("Preparing a Wine prefix (once)...", flush=True)
    make_template(template, arch, loader)
    r = Run(build, template)
    try:
        r.installed_except(case, msn_life_ms)
        prestart = []
        if case in ("other-messenger", "msn-missing"):
            r.install(r"C:\Other\msmsgs.exe", life_ms=msn_life_ms + 3000)
            prestart.append(r"C:\Other\msmsgs.exe")
        print("Case: %s (%s)" % (case, DEMO_CASES[case]))
        for key, name, value, _, _ in r.registry:
            print("  registry %s\\%s = %s" % (key, name, value))
        print("Running the launcher under Wine...\n")
        r.run(prestart=prestart, box_delay_ms=1000)
        print("  time since launcher start")
        for e in r.log:
            text = describe(e)
            if text is not None:
                print("  %+8.0f ms  %s" % (e.ms, text))
        ends = [e.ms for e in r.events("end") if e.name in ("msnmsgr.exe", "msmsgs.exe")]
        addon, msn = r.events("start", "vendrel.exe"), r.events("start", "msnmsgr.exe")
        ended = r.events("ended", "vendrel.exe")
        print()
        if addon and msn:
            print("  add-on start to MSN Messenger start: %.0f ms (nominal 1000)"
                  % (msn[0].ms - addon[0].ms))
        if ended and ends:
            print("  last messenger's end to the add-on's end: %.0f ms (nominal 7250 after the "
                  "one it started, 7000 after another)" % (ended[0].ms - max(ends)))
        print("  message boxes: %d" % len(r.boxes()))
    finally:
        r.close()
    return 0


# -- pictures -------------------------------------------------------------

# Each box, from the run that shows it: what is left out, what already runs.
PICTURES = (("addon-missing", [], LOAD_VENDREL, "box-error-loading-vendrel.png"),
            ("msn-missing", [], LOAD_MSN, "box-error-loading-msn.png"),
            ("", [r"!C:\Other\msmsgs.exe"], WAIT_MSN, "box-error-waiting.png"))


def pictures(build, out, arch, loader):
    """Captures each box from a real run of launcher.exe, cropped to it."""
    template = os.path.join(build, "demo-wine-template")
    make_template(template, arch, loader)
    os.makedirs(out, exist_ok=True)
    for case, prestart, text, name in PICTURES:
        r = Run(build, template)
        taken = []

        def capture():
            at = r.await_event("boxat", "Error", 60)
            if at:
                time.sleep(1.0)  # let it paint
                box = dict(kv.split("=") for kv in at[0].detail.split())
                screen = os.path.join(r.workdir, "screen.xwd")
                subprocess.run(["xwd", "-root", "-silent", "-display", r.display, "-out", screen],
                               check=True)
                # No time chunks: the same box gives the same file.
                subprocess.run(["convert", "xwd:" + screen, "-crop",
                                "%(w)sx%(h)s+%(x)s+%(y)s" % box, "+repage", "-strip",
                                "-define", "png:exclude-chunks=date,time",
                                os.path.join(out, name)], check=True)
                taken.append(name)

        try:
            r.installed_except(case, 500)
            if prestart:
                r.install(r"C:\Other\msmsgs.exe", life_ms=30000)
            camera = threading.Thread(target=capture)
            camera.start()
            r.run(prestart=prestart, box_delay_ms=4000)
            camera.join()
            check(taken and r.boxes()[:1] == [text], "no box captured for %s: %s"
                  % (case, r.boxes()))
            print("%s: %s" % (name, text))
        finally:
            r.close()
    return 0


# -- soak -----------------------------------------------------------------

def soak(build, template, waits, report=True, keep=False, arch="win32"):
    """Messenger processes come and go `waits` times, one after another with
    a few overlapping, while the observer samples the launcher."""
    r = Run(build, template, keep=keep, arch=arch)
    try:
        r.standard(msn_life_ms=200)
        chain = []
        # Each link starts the next and outlives that start: a messenger is always there.
        for i in range(waits):
            name = "msnmsgr.exe" if i % 2 == 0 else "msmsgs.exe"
            chain.append("C:\\Soak\\%d\\%s" % (i, name))
        for i, path in enumerate(chain):
            spawn = [(20, chain[i + 1])] if i + 1 < len(chain) else []
            if i % 10 == 0 and i + 1 < len(chain):
                # Now and then a side messenger, which starts nothing, overlaps the chain.
                side = "C:\\Soak\\%d\\side\\msmsgs.exe" % i
                r.install(side, life_ms=100)
                spawn.append((30, side))
            r.install(path, life_ms=300, spawn=spawn)
        r.install(r.msn_dir + "msnmsgr.exe", life_ms=200, spawn=[(100, chain[0])])
        # Well inside CTest's limit, so a stuck run is still cleaned up here.
        r.run(sample_ms=250, timeout=(60 + waits * 0.3) * (4 if EMULATED else 1))
        samples = r.events("sample")
        check(len(samples) >= 20, "too few samples: %d" % len(samples))

        chain_ends = [e for e in r.events("end") if e.name in ("msnmsgr.exe", "msmsgs.exe")]
        started = [e for e in r.events("start") if e.name in ("msnmsgr.exe", "msmsgs.exe")]
        last_end = max(e.ms for e in chain_ends)
        grace = r.one("ended", "vendrel.exe").ms - last_end
        within(grace, GRACE, "last messenger's end to the add-on's end")
        waiting = [s for s in samples if s.ms < last_end]
        # The first tenth is warm-up (the platform's own first-use
        # allocations); compare the second tenth with the last.
        tenth = max(1, len(waiting) // 10)
        first, last = waiting[tenth:2 * tenth], waiting[-tenth:]
        handles = (max(s.field("handles") for s in first), max(s.field("handles") for s in last))
        memory = (max(s.field("private") for s in first), max(s.field("private") for s in last))
        cpu_ms = (samples[-1].field("cpu_us") - waiting[0].field("cpu_us")) / 1000.0
        if report:
            print("soak: %d messengers started and ended, %d samples over %.1f s"
                  % (len(chain_ends), len(samples), last_end / 1000.0))
            print("soak: launcher handles second/last tenth: %d / %d" % handles)
            print("soak: launcher private bytes second/last tenth: %d / %d" % memory)
            print("soak: launcher CPU time over the run: %.1f ms" % cpu_ms)
            print("soak: last messenger's end to the add-on's end: %.0f ms" % grace)
        check(handles[1] <= handles[0], "handles grew: %d -> %d" % handles)
        # One page of slack: the platform's heap may round up once.
        check(memory[1] <= memory[0] + 4096, "private memory grew: %d -> %d" % memory)
        sides = len([i for i in range(0, waits, 10) if i + 1 < waits])
        check(len(chain_ends) == waits + sides + 1,
              "%d messengers ended, expected %d" % (len(chain_ends), waits + sides + 1))
    finally:
        r.close()
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command",
                        choices=["template", "scenario", "demo", "soak", "list", "pictures"])
    parser.add_argument("name", nargs="?")
    parser.add_argument("--build", default="build/win32")
    parser.add_argument("--template")
    parser.add_argument("--case", default="normal", choices=sorted(DEMO_CASES))
    parser.add_argument("--msn-life-ms", type=int, default=2000)
    parser.add_argument("--waits", type=int, default=300)
    parser.add_argument("--keep", action="store_true", help="keep the prefix, for debugging")
    parser.add_argument("--out", default="docs/pictures", help="where pictures go")
    parser.add_argument("--arch", choices=ARCHES, help="the prefix's kind for a 32-bit launcher, "
                        "when the template is made (default win32); x86-64 runs in win64")
    args = parser.parse_args()

    if args.command == "list":
        print("\n".join(sorted(scenarios(args.arch or "win32"))))
        return 0
    build = os.path.abspath(args.build)
    try:
        arch, (kind, loader, _, _) = kind_for(build, args.arch or "win32")
    except (OSError, KeyError):
        print("FAILED: %s has no launcher.exe of a known machine: build its preset first" % build)
        return 1
    if kind != "wine-x64" and not host.runs_32bit():
        if args.command == "scenario" and not args.template:
            # On its own, a scenario runs in an emulated guest; none is a skip but under CI.
            code = subprocess.run([sys.executable, os.path.join(HERE, "..", "scripts", "guest.py"),
                                   "--", sys.executable, __file__] + sys.argv[1:]).returncode
            return SKIP if code == 125 and os.environ.get("CI", "").lower() != "true" else code
        # Not a failure of the launcher: scripts/test.sh runs these in a guest.
        skip = args.command in ("template", "scenario", "soak")
        print("%s: %s; the %s kind cannot run here" % ("SKIPPED" if skip else "FAILED",
                                                        host.line(False), kind))
        return SKIP if skip else 1
    missing = missing_tools(arch)
    if missing:
        if os.environ.get("CI", "").lower() == "true":
            # A test that did not run must not pass for one that did.
            print("FAILED: Wine tests need %s, and under CI they must run" % ", ".join(missing))
            return 1
        print("SKIPPED: Wine tests need %s (scripts/install-deps.sh installs them)"
              % ", ".join(missing))
        return SKIP
    template = os.path.abspath(args.template) if args.template else None
    try:
        if args.command in ("demo", "pictures"):
            print(host.line(host.runs_32bit()) + "; this run is of the %s kind (%s build)"
                  % (kind, os.path.basename(build)), flush=True)
        if args.command == "demo":
            return demo(build, args.case, args.msn_life_ms, arch, loader)
        if args.command == "pictures":
            return pictures(build, os.path.abspath(args.out), arch, loader)
        if template is not None:
            make_template(template, arch, loader)
        if args.command == "soak":
            return soak(build, template, args.waits, keep=args.keep, arch=arch)
        if args.command == "scenario":
            return run_scenario(args.name, build, template, arch)
        return 0
    except Failure as failure:
        print("FAILED: %s" % failure)
    except (OSError, subprocess.SubprocessError) as error:
        # A tool that failed or would not start: one sentence, no traceback.
        print("FAILED: Wine could not run the %s kind: %s" % (kind, error))
    return 1


if __name__ == "__main__":
    sys.exit(main())
