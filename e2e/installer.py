"""The release scenarios: a signed release, and the installer and uninstaller."""

import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import zipfile

from run import EMULATED, MSN_KEY, SLOW, VENDREL_KEY, check, values

HERE = os.path.dirname(os.path.abspath(__file__))


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
    r.exited()
    check(len(r.events("start")) == 2, "the signed launcher started %s" % r.events("start"))


def make_release(r, version="1.0.0", launcher=None, env=None):
    """The installer and zip of a release made as the package target does (x86-64 for x86-64),
    given relative paths."""
    out, arch = "release-" + version, "win64" if r.kind == "wine-x64" else "win32"
    subprocess.run([sys.executable, "-S", os.path.join(HERE, "..", "scripts", "release.py"),
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

    def ours():  # every entry in one query: each Wine command costs seconds emulated
        check(text := r.reg_query(UNINSTALL_KEY, "/s"), "reg query of the Uninstall key failed")
        blocks = re.split(r"\r?\n(?=HKEY_)", text)
        return [v for v in map(values, blocks) if v.get("DisplayName") == "Vendrel 2 launcher"]

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
        return entry["QuietUninstallString"]

    # The first install runs before the add-on and the messenger are
    # registered, over the entry of a newer version whose drive is gone: a fresh install.
    for name, value in (("InstallLocation", r"Q:\Vendrel 2 Launcher"), ("DisplayVersion", "9.0.0")):
        check(r.wine("reg", "add", UNINSTALL_KEY + r"\Vendrel2Launcher", "/v", name, "/d", value,
                     "/f", *r.view()) == 0, "reg add " + name)
    older_setup = make_release(r, "0.9.0", older)[0]
    check(install_silently(r, older_setup) == 0, "the install failed")
    r.write_registry()
    quiet = installed("install", older, "0.9.0")
    # While the launcher runs, a silent upgrade and the registered quiet uninstall each fail
    # and change nothing.
    running = r.run(launcher=folder + r"\launcher.exe", watch=False, background=True)
    check(r.await_event("start", "msnmsgr.exe"), "the installed launcher did not start")
    check(install_silently(r, setups[0]) == 2, "the upgrade went ahead while the launcher ran")
    check(run_as_written(r, quiet) == 2, "the uninstall went ahead while the launcher ran")
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
    # good, not for being in use, is no reason to wait: exit 4, no change. A shortcut that
    # cannot be written once the install has begun ends it with 4 too, not 0. (Run as root,
    # Wine writes read-only files: a folder in its place stands in.)
    check(install_silently(r, older_setup) == 3, "the older installer did not exit with 3")
    for name in ("launcher.exe", "README.txt", SHORTCUT):
        path = r.unix_path(name if "\\" in name else folder + "\\" + name)
        os.rename(path, path + ".kept")
        os.mkdir(path)
        code = install_silently(r, setups[0])
        check(code == 4, "an unwritable %s: the install exited with %d" % (name, code))
        check(name == SHORTCUT or run_as_written(r, quiet) == 4,
              "an unwritable %s was not told from a running launcher" % name)
        os.rmdir(path)
        os.rename(path + ".kept", path)
        installed("older installer, unwritable " + name, r.launcher, version)

    # The registered quiet uninstall as a tool runs it, then with the folder spelled otherwise (as
    # by its short name), each while a program has the folder as its current one: within 15 s (60
    # emulated) it returns, the rest gone; uninstall.exe, its folder and copy follow within 5 s.
    for spelling in ("_?=C:\\", "_?=C:\\.\\"):
        check(install_silently(r, setups[0]) == 0, "the repair failed")
        subprocess.Popen([r.loader, r.tool("cmd"), "/c", "ping -n 3 127.0.0.1 >nul"],
                         env=r.environment(), cwd=r.unix_path(folder), stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL)
        began = time.time()
        code = run_as_written(r, quiet.replace("_?=C:\\", spelling))
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

