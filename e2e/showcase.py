"""What a person looks at: the demo's timeline and the pictures of the boxes."""

import os
import subprocess
import threading
import time

from prefixes import make_template
from run import LOAD_MSN, LOAD_VENDREL, WAIT_MSN, Run, check


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
    with Run(build, template) as r:
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
        with Run(build, template) as r:
            taken = []

            def capture():
                at = r.await_event("boxat", "Error", 60)
                if at:
                    time.sleep(1.0)  # let it paint
                    box = dict(kv.split("=") for kv in at[0].detail.split())
                    screen = os.path.join(r.workdir, "screen.xwd")
                    subprocess.run(["xwd", "-root", "-silent", "-display", r.display, "-out",
                                    screen], check=True)
                    # No time chunks: the same box gives the same file.
                    subprocess.run(["convert", "xwd:" + screen, "-crop",
                                    "%(w)sx%(h)s+%(x)s+%(y)s" % box, "+repage", "-strip",
                                    "-define", "png:exclude-chunks=date,time",
                                    os.path.join(out, name)], check=True)
                    taken.append(name)

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
    return 0
