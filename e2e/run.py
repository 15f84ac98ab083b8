"""One launcher run in a Wine prefix and display of its own; the checks and timing windows."""

import fcntl
import os
import shutil
import signal
import subprocess
import tempfile
import time
from collections import Counter

from prefixes import copy_prefix, kind_for, make_template, quiet, template_arch, wine_env

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
        # Held shared; emulated, a run timing the first sleep holds it alone until MSN starts.
        self.lock = os.open(os.path.join(tempfile.gettempdir(), "launcher-e2e.lock"),
                            os.O_RDONLY | os.O_CREAT, 0o666)  # any user's, whoever made it
        fcntl.flock(self.lock, fcntl.LOCK_SH)
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
        """Wine's environment for this prefix, on this run's display once it has one."""
        return wine_env(self.prefix, self.display, self.arch, self.loader)

    # -- set-up -----------------------------------------------------------
    def start_display(self):
        if self.xvfb:
            return
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-noreset", "-screen", "0",
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
        """A value as a 32-bit installer writes it (the 64-bit view is another place)."""
        self.registry.append((key, name, value, kind, view))

    def installed_except(self, case, msn_life_ms):
        """Both programs and their values, but the one a case leaves out (addon- or msn-missing)."""
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
    def run(self, args="", prestart=(), box_delay_ms=200, sample_ms=0, timeout=90, watch=True,
            launcher=r"C:\e2e\launcher.exe", background=False, alone=False):
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
                   E2E_LAUNCHER=launcher + (" " + args if args else ""),
                   E2E_BOXHELPER=r"C:\e2e\boxhelper.exe", E2E_WATCH="vendrel.exe" if watch else "",
                   E2E_PRESTART=";".join(prestart), E2E_BOX_DELAY_MS=str(box_delay_ms),
                   E2E_SAMPLE_MS=str(sample_ms))
        if alone:  # another run's Wine start-up beside it would stretch the first sleep
            fcntl.flock(self.lock, fcntl.LOCK_EX)
        # From C:\, so that a relative name would be looked for there.
        observer = subprocess.Popen([self.loader, r"C:\e2e\observer.exe"], env=env, cwd=self.drive,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        if background:  # the caller ends the launcher and waits for the observer
            return observer
        if alone:  # until the first sleep is over, or the run without it
            self.await_event("start", "msnmsgr.exe", timeout, observer)
            fcntl.flock(self.lock, fcntl.LOCK_UN)
        try:
            code = observer.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            observer.kill()
            raise Failure("the run did not finish within %d s" % timeout)
        finally:
            self.read_log()
        check(code == 0, "the observer exited with %d" % code)
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
                quiet([self.loader, self.tool("reg"), "import", r"C:\values.reg"] + self.view(bits),
                      self.environment())
        self.registry = []

    def view(self, bits=32):
        return ["/reg:%d" % bits] if self.arch == "win64" else []

    def tool(self, name):
        """Wine's own program (reg, cmd...) by its path, as a bare name costs a start.exe."""
        return "%s\\%s.exe" % (self.system_dir, name) if name.isalnum() else name

    def wine(self, *command, timeout=120):
        """A Windows command in this prefix, on this run's display if it has one; its exit code."""
        try:
            return quiet([self.loader, self.tool(command[0]), *command[1:]], self.environment(),
                         timeout, self.drive, check=False)
        except subprocess.TimeoutExpired:
            raise Failure("%s did not finish within %d s" % (" ".join(command), timeout))

    def reg_query(self, key, *options):
        """What `reg query` prints for a key in the 32-bit view, or None."""
        result = subprocess.run([self.loader, self.tool("reg"), "query", key, *options,
                                 *self.view()], env=self.environment(), stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=120)
        return result.stdout.decode("latin-1") if result.returncode == 0 else None

    def query(self, key):
        """The values under a registry key in the 32-bit view, or None."""
        text = self.reg_query(key)
        return None if text is None else values(text)

    def await_event(self, kind, name, seconds=30, observer=None):
        """The events of a kind and name, once one is logged by a run that goes on."""
        deadline = time.time() + seconds
        while not self.events(kind, name) and time.time() < deadline \
                and (observer is None or observer.poll() is None):
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

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def close(self):
        quiet(["wineserver", "-k"], self.environment(), 60, check=False)
        if self.xvfb is not None:
            os.killpg(self.xvfb.pid, signal.SIGTERM)
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.xvfb.pid, signal.SIGKILL)
                self.xvfb.wait()
        if not self.keep:
            shutil.rmtree(self.workdir, ignore_errors=True)
        os.close(self.lock)

    # -- reading what happened --------------------------------------------
    def events(self, kind, name=None):
        return [e for e in self.log if e.kind == kind and (name is None or e.name == name)]

    def one(self, kind, name):
        found = self.events(kind, name)
        check(len(found) == 1, "expected one '%s %s', saw %d" % (kind, name, len(found)))
        return found[0]

    def boxes(self):
        return [e.detail for e in self.events("box")]

    def exited(self, *boxes):
        """The launcher showed exactly these boxes and exited with code 0."""
        check(self.boxes() == list(boxes), "boxes %s" % self.boxes())
        code = self.one("exit", "launcher").detail
        check(code == "code=0", "launcher " + code)

    def lost_starts(self):
        """Starts that Wine lost before the program ran any code: the observer's of the launcher, or
        the launcher's (its Error Loading box, and a process of its job gone without a line)."""
        unlogged = Counter(e.pid for e in self.events("gone")) - Counter(
            e.pid for e in self.log if e.kind in ("start", "started"))
        boxed = any(box.startswith("Error Loading") for box in self.boxes())
        return ["the launcher" for e in self.events("fail") if e.detail == "lost"] + \
            ["process %d" % pid for pid in sorted(unlogged) if boxed]

    def timeline(self):
        return "\n".join(repr(e) for e in self.log)


def values(text):
    """The values that `reg query` printed, by name."""
    lines = [line.strip().split(None, 2) for line in text.splitlines()]
    return {p[0]: p[2] if len(p) > 2 else "" for p in lines if len(p) > 1 and p[1][:4] == "REG_"}


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

