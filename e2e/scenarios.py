"""The launcher scenarios, the soak, and the table of scenarios by their CTest names."""

import os
import sys

import installer
from run import (AFTER_MSN, EMULATED, GRACE, LOAD_MSN, LOAD_VENDREL, MSN_KEY, PROGRAM_FILES,
                 SETTLE, SLOW, VENDREL_KEY, WAIT_MSN, Failure, Run, check, within)


def scenario_normal(r):
    r.standard().run(alone=EMULATED)
    addon = r.one("start", "vendrel.exe")
    msn = r.one("start", "msnmsgr.exe")
    check(addon.ms < msn.ms, "the add-on must start first")
    within(msn.ms - addon.ms, SETTLE, "add-on start to MSN Messenger start")
    ended = r.one("ended", "vendrel.exe")
    within(ended.ms - r.one("end", "msnmsgr.exe").ms, AFTER_MSN, "MSN's end to the add-on's end")
    check(ended.detail == "code=0", "the add-on's exit code: " + ended.detail)
    r.exited()
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
    r.exited()


def addon_fails(r, breakage):
    r.standard()
    breakage(r)
    r.run(box_delay_ms=1500, watch=False, alone=EMULATED)  # no add-on: fewer snapshots
    r.exited(LOAD_VENDREL)
    dismissed = r.one("dismissed", "Error")
    within(r.one("start", "msnmsgr.exe").ms - dismissed.ms, SETTLE,
           "box dismissed to MSN Messenger start")
    check(r.events("start", "vendrel.exe") == [], "the add-on started")


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
    r.exited(LOAD_MSN)
    check(r.events("start", "msnmsgr.exe") == [], "MSN Messenger started")
    within(r.one("ended", "vendrel.exe").ms - r.one("end", "msmsgs.exe").ms, GRACE,
           "running messenger's end to the add-on's end")


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
    r.exited(LOAD_VENDREL, LOAD_MSN)


def scenario_addon_exits_early(r):
    r.standard()
    r.install(r.vendrel_dir + "\\vendrel.exe", life_ms=300)
    r.run()
    check(r.one("end", "vendrel.exe").ms < r.one("end", "msnmsgr.exe").ms,
          "the add-on should have ended by itself first")
    within(r.one("exit", "launcher").ms - r.one("end", "msnmsgr.exe").ms, AFTER_MSN,
           "MSN's end to the launcher's exit")
    r.exited()


def scenario_planted_programs(r):
    r.standard()
    # Each shorter name that an unquoted path would be taken for.
    for path in (r.vendrel_dir + "\\vendrel.exe", r.msn_dir + "msnmsgr.exe"):
        for space in [i for i, c in enumerate(path) if c == " "]:
            r.install(path[:space] + ".exe", life_ms=0)
    r.run()
    started = sorted(e.name for e in r.events("start"))
    check(started == ["msnmsgr.exe", "vendrel.exe"], "programs started: %s" % started)
    r.exited()


def bad_values(r, vendrel, msn):
    r.standard()
    r.registry = []
    r.reg(VENDREL_KEY, "BinDir", *vendrel)
    r.reg(MSN_KEY, "InstallationDirectory", *msn)
    r.run(watch=False)
    r.exited(LOAD_VENDREL, LOAD_MSN)
    check(r.events("start") == [], "a program started: %s" % [e.name for e in r.events("start")])


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
    r.exited()


def scenario_messenger_of_another_user(r):
    # A messenger that this user may not open, even to wait: the box shows
    # once, the wait ends there, and the add-on is ended 7 s after OK while
    # that messenger goes on.
    r.standard()
    r.install(r"C:\Other\msmsgs.exe", life_ms=60000)
    r.run(prestart=[r"!C:\Other\msmsgs.exe"], box_delay_ms=1000)
    r.exited(WAIT_MSN)
    within(r.one("ended", "vendrel.exe").ms - r.one("dismissed", "Error").ms, GRACE,
           "box dismissed to the add-on's end")
    check(r.one("box", "Error").ms - r.one("end", "msnmsgr.exe").ms < 2000 + SLOW,
          "the box should follow MSN Messenger's end")
    check(r.events("end", "msmsgs.exe") == [], "the other user's messenger should still run")


def scenario_elevated_messenger(r):
    # "Run as administrator": waiting needs no more than it grants, so the
    # launcher waits for it, and ends the add-on 7 s after it ends.
    r.standard()
    r.install(r"C:\Other\msmsgs.exe", life_ms=4500 + SLOW)
    r.run(prestart=[r"^C:\Other\msmsgs.exe"])
    r.exited()
    within(r.one("ended", "vendrel.exe").ms - r.one("end", "msmsgs.exe").ms, GRACE,
           "the elevated messenger's end to the add-on's end")


def scenario_other_letter_case(r):
    r.standard()
    r.install(r"C:\Other\MSNMSGR.EXE", life_ms=30000)
    r.run(prestart=[r"C:\Other\MSNMSGR.EXE"])
    check(r.events("end", "MSNMSGR.EXE") == [], "MSNMSGR.EXE should still be running")
    within(r.one("ended", "vendrel.exe").ms - r.one("end", "msnmsgr.exe").ms, AFTER_MSN,
           "MSN's end to the add-on's end")


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
    r.exited()


def soak(r, waits):
    """Messengers come and go `waits` times, a few overlapping, while the launcher is sampled."""
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
    sides = len([i for i in range(0, waits, 10) if i + 1 < waits])
    check(len(chain_ends) == waits + sides + 1,
          "%d messengers ended, expected %d" % (len(chain_ends), waits + sides + 1))
    ends = sorted(e.ms for e in chain_ends)
    last_end = ends[-1]
    grace = r.one("ended", "vendrel.exe").ms - last_end
    within(grace, GRACE, "last messenger's end to the add-on's end")
    waiting = [s for s in samples if s.ms < last_end]
    # The platform's own memory grows now and then over the first messengers, however long a
    # loaded machine takes; a leak grows with every scan. So the work, not the clock, marks what
    # is compared (docs/test-design.md): a tenth of the ends from a third of the way in, and the
    # last tenth, whose fewest handles count, as a sample may catch a snapshot's handle open.
    tenth, third = max(1, len(ends) // 10), len(ends) // 3
    first, last = ([s for s in waiting if ends[a] <= s.ms < ends[b]]
                   for a, b in ((third, third + tenth), (-1 - tenth, -1)))
    check(first and last, "no samples to compare: %d and %d" % (len(first), len(last)))
    handles = (max(s.field("handles") for s in first), min(s.field("handles") for s in last))
    memory = (max(s.field("private") for s in first), max(s.field("private") for s in last))
    cpu_ms = (samples[-1].field("cpu_us") - waiting[0].field("cpu_us")) / 1000.0
    print("soak: %d messengers started and ended, %d samples over %.1f s"
          % (len(chain_ends), len(samples), last_end / 1000.0))
    print("soak: launcher handles a third of the way in / at the end: %d / %d" % handles)
    print("soak: launcher private bytes a third of the way in / at the end: %d / %d" % memory)
    print("soak: launcher CPU time over the run: %.1f ms" % cpu_ms)
    print("soak: last messenger's end to the add-on's end: %.0f ms" % grace)
    check(min(handles + memory) > 0, "the samples read no handles or no private bytes")
    check(handles[1] <= handles[0], "handles grew: %d -> %d" % handles)
    # One page of slack: the platform's heap may round up once.
    check(memory[1] <= memory[0] + 4096, "private memory grew: %d -> %d" % memory)


def table(prefix, *modules):
    return {name[len(prefix):].replace("_", "-"): func for module in modules
            for name, func in vars(module).items() if name.startswith(prefix)}


SCENARIOS, SCENARIOS64 = table("scenario_", sys.modules[__name__], installer), \
    table("scenario64_", sys.modules[__name__])  # only a 64-bit Windows has two registry views


def scenarios(arch):
    return dict(SCENARIOS, **(SCENARIOS64 if arch == "win64" else {}))


def run_scenario(name, build, template, arch="win32", play=None, keep=False):
    """A scenario, once more if Wine lost a start in it: only a second loss fails it."""
    for attempt in (1, 2):
        with Run(build, template, keep=keep, arch=arch) as r:
            try:
                (play or scenarios(r.arch)[name])(r)
                break
            except Failure as failure:
                lost = r.lost_starts() if attempt == 1 else []
                if lost:
                    print("Wine lost a start before the program ran any code (%s: %s); running %s"
                          " once more" % (", ".join(lost), failure, name), flush=True)
                    continue
                print("FAILED %s: %s\n%s" % (name, failure, r.timeline()))
                return 1
    print("passed %s (%s%s)%s" % (name, r.kind, ", emulated" if EMULATED else "",
                                  "" if play else "\n" + r.timeline()))
    return 0

