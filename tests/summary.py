#!/usr/bin/env python3
"""Prints what this host runs, then the Wine scenarios of each kind from CTest's
JUnit report; under CI=true, fails when a kind the host can run did not pass."""

import collections
import os
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import host  # noqa: E402

KINDS = {"wine32": "32-bit launcher, 32-bit prefix", "wine64": "32-bit launcher, 64-bit prefix "
         "(WoW64)", "wine-x64": "x86-64 launcher, 64-bit prefix"}


def main():
    runs32 = host.runs_32bit()
    print(host.line(runs32))
    counts = collections.defaultdict(collections.Counter)
    for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
        kind, _, scenario = case.get("name").partition(".")
        if kind not in KINDS or scenario in ("prepare", "cleanup"):
            continue
        if case.find("skipped") is not None or case.get("status") == "notrun":
            counts[kind]["skipped"] += 1
        elif case.find("failure") is not None or case.get("status") == "fail":
            counts[kind]["failed"] += 1
        else:
            counts[kind]["passed"] += 1
    required = [kind for kind in KINDS if runs32 or kind == "wine-x64"]
    for kind, what in KINDS.items():
        c = counts[kind]
        print("Wine scenarios, %s: %d passed, %d failed, %d skipped%s"
              % (what, c["passed"], c["failed"], c["skipped"], "" if kind in required else
                 " (not runnable on this host: it cannot execute 32-bit x86 code)"))
    ran = all(counts[kind]["passed"] and not counts[kind]["failed"] for kind in required)
    if not ran and os.environ.get("CI", "").lower() == "true":
        print("FAILED: under CI every kind this host can run must run and pass: %s"
              % ", ".join(required))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
