#!/usr/bin/env python3
"""Prints what this host runs, then the Wine scenarios of each kind from CTest's
JUnit reports: the host's, and the emulated guest's where the host cannot
execute 32-bit code. Under CI=true, fails unless every kind ran and passed.

  summary.py HOST_JUNIT [GUEST_JUNIT]
"""

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
    emulated = set()
    for report in sys.argv[1:]:
        if not os.path.isfile(report):
            continue
        for case in ET.parse(report).getroot().iter("testcase"):
            kind, _, scenario = case.get("name").partition(".")
            if kind not in KINDS or scenario in ("prepare", "cleanup"):
                continue
            if report != sys.argv[1]:
                emulated.add(kind)
            if case.find("skipped") is not None or case.get("status") == "notrun":
                counts[kind]["skipped"] += 1
            elif case.find("failure") is not None or case.get("status") == "fail":
                counts[kind]["failed"] += 1
            else:
                counts[kind]["passed"] += 1
    for kind, what in KINDS.items():
        c = counts[kind]
        how = "emulated" if kind in emulated else "native" if runs32 or kind == "wine-x64" \
            else "not run (no emulated guest)"
        print("Wine scenarios, %s (%s), %s: %d passed, %d failed, %d skipped"
              % (kind, what, how, c["passed"], c["failed"], c["skipped"]))
    ran = all(counts[kind]["passed"] and not counts[kind]["failed"] and not counts[kind]["skipped"]
              for kind in KINDS)
    if not ran and os.environ.get("CI", "").lower() == "true":
        print("FAILED: under CI every kind must run and pass, none skipped: %s" % ", ".join(KINDS))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
