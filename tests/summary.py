#!/usr/bin/env python3
"""Prints what this host runs, then the Wine scenarios of each kind from CTest's JUnit
reports (HOST [GUEST]); under CI=true, fails unless every kind ran and passed, none skipped."""

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
    how = {kind: "native" if runs32 or kind == "wine-x64" else "not run" for kind in KINDS}
    for report in filter(os.path.isfile, sys.argv[1:]):
        for case in ET.parse(report).getroot().iter("testcase"):
            kind, _, scenario = case.get("name").partition(".")
            if kind not in KINDS or scenario in ("prepare", "cleanup"):
                continue
            how[kind] = "native" if report == sys.argv[1] else "emulated"
            if case.find("skipped") is not None or case.get("status") == "notrun":
                counts[kind]["skipped"] += 1
            elif case.find("failure") is not None or case.get("status") == "fail":
                counts[kind]["failed"] += 1
            else:
                counts[kind]["passed"] += 1
    for kind, what in KINDS.items():
        c = counts[kind]
        print("Wine scenarios, %s, %s (%s): %d passed, %d failed, %d skipped"
              % (what, kind, how[kind], c["passed"], c["failed"], c["skipped"]))
    ran = all(c["passed"] and not c["failed"] + c["skipped"] for c in map(counts.get, KINDS))
    if not ran and os.environ.get("CI", "").lower() == "true":
        print("FAILED: under CI every kind must run and pass, none skipped: %s" % ", ".join(KINDS))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
