#!/usr/bin/env python3
"""Prints how many Wine scenarios ran, and in which prefixes, from CTest's
JUnit report; under CI=true, fails when none ran in either kind."""

import collections
import os
import sys
import xml.etree.ElementTree as ET

KINDS = {"wine32": "32-bit prefix", "wine64": "64-bit prefix (WoW64)"}


def main():
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
    for kind, where in KINDS.items():
        c = counts[kind]
        print("Wine scenarios in a %s: %d passed, %d failed, %d skipped"
              % (where, c["passed"], c["failed"], c["skipped"]))
    ran = all(counts[kind]["passed"] + counts[kind]["failed"] for kind in KINDS)
    if not ran and os.environ.get("CI", "").lower() == "true":
        print("FAILED: under CI the Wine scenarios must run in both kinds of prefix")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
