#!/usr/bin/env python3
"""Runs the real launcher.exe under Wine, with stand-in programs, and checks
what happened.

Each run gets its own Wine prefix (a copy of a prepared template) and its own
Xvfb display, so runs can go on side by side. Afterwards it ends its own
wineserver and display and removes the prefix, also when a check fails or the
run times out. A template is 32-bit (win32) or 64-bit (win64). The kind of
run follows from the prefix and the build's launcher (KINDS in prefixes.py).
Beside it: prefixes.py, run.py, scenarios.py, installer.py, showcase.py.

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
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
import host  # noqa: E402
from prefixes import ARCHES, kind_for, make_template, missing_tools  # noqa: E402
from run import Failure  # noqa: E402
from scenarios import run_scenario, scenarios, soak  # noqa: E402
from showcase import DEMO_CASES, demo, pictures  # noqa: E402

SKIP = 77  # CTest's SKIP_RETURN_CODE


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
            return run_scenario("soak", build, template, arch, keep=args.keep,
                                play=lambda r: soak(r, args.waits))
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
