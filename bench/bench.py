#!/usr/bin/env python3
"""Measures the real launcher under Wine and prints its figures: executable
size and imports, the two observable delays over repeated runs, CPU time
while waiting, the footprint beside a floor program, the cost of one scan, a
full soak and a long fuzzing run.

  bench.py --build build/win32 --fuzz-build build/fuzz [--runs 10] ...
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import prefixes  # noqa: E402
import run  # noqa: E402
import scenarios  # noqa: E402


def section(title):
    print("\n== %s" % title, flush=True)


def executable(build):
    section("executable")
    subprocess.run([sys.executable, os.path.join(HERE, "..", "tests", "check_executable.py"),
                    os.path.join(HERE, ".."), build], check=True)


def delays(build, template, runs):
    section("delays over %d runs (nominal 1000 ms and 7250 ms)" % runs)
    settle, grace = [], []
    for i in range(runs):
        with run.Run(build, template) as r:
            r.standard(msn_life_ms=1500).run()
            settle.append(r.one("start", "msnmsgr.exe").ms - r.one("start", "vendrel.exe").ms)
            grace.append(r.one("ended", "vendrel.exe").ms - r.one("end", "msnmsgr.exe").ms)
        print("run %2d: add-on start to MSN start %7.1f ms; MSN end to add-on end %7.1f ms"
              % (i + 1, settle[-1], grace[-1]), flush=True)
    for name, values, nominal in (("add-on start to MSN start", settle, 1000),
                                  ("MSN end to add-on end", grace, 7250)):
        deviations = [v - nominal for v in values]
        print("%s: median %.1f ms (deviation %+.1f), worst deviation %+.1f ms"
              % (name, statistics.median(values), statistics.median(deviations),
                 max(deviations, key=abs)))


def cpu_while_waiting(build, template, seconds):
    section("CPU time while MSN Messenger runs for %d s" % seconds)
    with run.Run(build, template) as r:
        r.standard(msn_life_ms=seconds * 1000).run(sample_ms=1000, timeout=seconds + 120)
        start, end = r.one("start", "msnmsgr.exe").ms, r.one("end", "msnmsgr.exe").ms
        during = [s for s in r.events("sample") if start + 500 <= s.ms <= end]
        cpu = [s.field("cpu_us") for s in during]
        span = (during[-1].ms - during[0].ms) / 1000.0
        print("launcher CPU time over %.1f s of waiting: %.1f ms (total for the run %.1f ms)"
              % (span, (cpu[-1] - cpu[0]) / 1000.0, cpu[-1] / 1000.0))


def scan_cost(build, template, counts, scans):
    section("cost of one scan (the launcher's own code, no messenger running)")
    for count in counts:
        with run.Run(build, template) as r:
            tools = os.path.join(r.drive, "bench")
            os.makedirs(tools)
            shutil.copyfile(os.path.join(build, "bench", "scanbench.exe"),
                            os.path.join(tools, "scanbench.exe"))
            shutil.copyfile(os.path.join(build, "e2e", "fakeprog.exe"),
                            os.path.join(tools, "idle.exe"))
            out = os.path.join(r.workdir, "scan.txt")
            with open(out, "w") as handle:
                subprocess.run([r.loader, r"C:\bench\scanbench.exe", r"C:\bench\idle.exe",
                                str(count), str(scans)], env=r.environment(),
                               stdin=subprocess.DEVNULL, stdout=handle,
                               stderr=subprocess.DEVNULL, timeout=600, check=True)
            print(open(out).read().strip(), flush=True)


def linux_memory(prefix, exe):
    """Resident and anonymous kilobytes of the Wine process running exe in
    this prefix, from Linux's own count."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            cmdline = open("/proc/%s/cmdline" % pid, "rb").read().split(b"\0")[0]
            environ = open("/proc/%s/environ" % pid, "rb").read().split(b"\0")
            status = open("/proc/%s/status" % pid).read()
        except OSError:
            continue
        if cmdline.lower().endswith(exe.encode()) and ("WINEPREFIX=" + prefix).encode() in environ:
            fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
            return int(fields["VmRSS"].split()[0]), int(fields["RssAnon"].split()[0])
    return None


def footprint(build, template, samples=5):
    section("footprint while waiting on MSN Messenger, beside the floor program")
    measured = {"launcher.exe": [], "floor.exe": []}
    with run.Run(build, template) as r:
        r.standard(msn_life_ms=4000 + samples * 1000)
        shutil.copyfile(os.path.join(build, "bench", "floor.exe"),
                        os.path.join(r.drive, "floor.exe"))

        def sample():
            time.sleep(4)  # both settled, MSN Messenger running
            for _ in range(samples):
                for exe in measured:
                    found = linux_memory(r.prefix, exe)
                    if found:
                        measured[exe].append(found)
                time.sleep(1)
        sampler = threading.Thread(target=sample)
        sampler.start()
        r.run(prestart=[r"C:\floor.exe"], timeout=120)
        sampler.join()
    if not all(measured.values()):
        print("not measured: %s" % [exe for exe, values in measured.items() if not values])
        return
    median = {exe: [statistics.median(v[i] for v in values) for i in (0, 1)]
              for exe, values in measured.items()}
    for exe in ("launcher.exe", "floor.exe"):
        print("%-12s resident %6d kB, anonymous %6d kB (median of %d samples)"
              % ((exe,) + tuple(median[exe]) + (len(measured[exe]),)))
    ratio = [median["launcher.exe"][i] / median["floor.exe"][i] for i in (0, 1)]
    print("launcher / floor: resident %.3fx, anonymous %.3fx (limit 1.10x)%s"
          % (ratio[0], ratio[1], "" if max(ratio) <= 1.10 else " OVER THE LIMIT"))


def soak(build, template, waits):
    section("soak: %d messengers one after another" % waits)
    if scenarios.run_scenario("soak", build, template, play=lambda r: scenarios.soak(r, waits)):
        sys.exit("bench: the soak failed")


def fuzz(fuzz_build, seconds):
    section("fuzzing, %d s per target, both at once" % seconds)
    source = os.path.join(HERE, "..", "fuzz", "corpus")
    total = 0
    with tempfile.TemporaryDirectory() as scratch:
        runs = []
        for target, seeds in (("lookup_start", "lookup"), ("wait", "wait")):
            found = os.path.join(scratch, target)
            os.makedirs(found)
            log = open(os.path.join(scratch, target + ".log"), "w")
            runs.append((target, log, subprocess.Popen(
                [os.path.join(fuzz_build, "fuzz", target + "_fuzz"),
                 "-max_total_time=%d" % seconds, "-print_final_stats=1", found,
                 os.path.join(source, seeds)], stdout=log, stderr=subprocess.STDOUT)))
        for target, log, process in runs:
            code = process.wait()
            log.close()
            text = open(log.name).read()
            executed = int(re.search(r"number_of_executed_units:\s*(\d+)", text).group(1))
            total += executed
            print("%s: %d executions, exit code %d%s"
                  % (target, executed, code, "" if code == 0 else " (FINDING)"))
    print("total: %d executions" % total)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build/win32")
    parser.add_argument("--fuzz-build", default="build/fuzz")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--cpu-seconds", type=int, default=60)
    parser.add_argument("--soak-waits", type=int, default=2000)
    parser.add_argument("--fuzz-seconds", type=int, default=300)
    parser.add_argument("--only",
                        help="some of executable, delays, cpu, footprint, scan, soak, fuzz, "
                        "separated by commas")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    arch, (_, loader, _, _) = prefixes.kind_for(build)
    missing = prefixes.missing_tools(arch)
    if missing:
        print("the benchmark needs %s" % ", ".join(missing))
        return 1
    work = tempfile.mkdtemp(prefix="launcher-bench-")
    template = os.path.join(work, "template")
    try:
        steps = {
            "executable": lambda: executable(build),
            "delays": lambda: delays(build, template, args.runs),
            "cpu": lambda: cpu_while_waiting(build, template, args.cpu_seconds),
            "footprint": lambda: footprint(build, template),
            "scan": lambda: scan_cost(build, template, (50, 500), 100),
            "soak": lambda: soak(build, template, args.soak_waits),
            "fuzz": lambda: fuzz(os.path.abspath(args.fuzz_build), args.fuzz_seconds),
        }
        for name, step in steps.items():
            if args.only and name not in args.only.split(","):
                continue
            if name != "executable" and name != "fuzz":
                prefixes.make_template(template, arch, loader)
            step()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
