#!/usr/bin/env python3
"""scripts/install-deps.sh through a mirror's bad hour, against a stand-in apt-get."""

import os, re, subprocess, sys, tempfile

URL = "http://mirror.invalid/debian-security/dists/x-security/main/binary-i386/Packages.xz"
APT = r"""log=${0%%/*}/log; echo "$*" >> $log; [ "$1" = install ] && case "$*" in
*"--no-remove -t "[a-z]*) exit $T;; *"--no-remove "[!-]*) exit $P;; *) exit 9;; esac
[ "$1" = update ] && [ $(grep -c ^update $log) -le $F ] && echo "E: Failed to fetch %s  File has \
unexpected size (1 != 2). Mirror sync in progress? [IP: 192.0.2.1 80]" && exit 100; exit 0""" % URL
# Row: index fetches that fail; apt-get install's code, then -t's; exit code, last line, fetches.
STUBS = {"apt-get": APT, "dpkg-query": "exit 1", "dpkg": "echo i386", "id": "echo 0", "sleep": ":"}
ROWS = [(1, 0, 1, 0, "", 2),
        (9, 0, 1, 0, r"installed without the index URL \(File has .* Mirror sync in progress\?\)", 4),
        (9, 1, 0, 0, r"installed \w+'s own versions of both architectures, as the index URL \(.*\) failed", 4),
        (9, 1, 1, 1, r"the index URL \(.*\) failed, .* again later, or choose another mirror .*", 4)]
for row, (*given, code, said, updates) in enumerate(ROWS):
    with tempfile.TemporaryDirectory() as bin:
        for name, text in STUBS.items():
            open(bin + "/" + name, "w").write("#!/bin/sh\nF=%s P=%s T=%s\n%s\n" % (*given, text))
            os.chmod(bin + "/" + name, 0o755)
        run = subprocess.run([os.path.abspath(__file__ + "/../../scripts/install-deps.sh")],
                             text=True, capture_output=True, env=dict(PATH=bin + ":/usr/bin:/bin"))
        last, calls = (run.stdout + run.stderr).strip().split("\n")[-1], open(bin + "/log").read()
        if (run.returncode, calls.count("update -qq")) != (code, updates) or not re.fullmatch(
                said and "install-deps: " + said.replace("URL", re.escape(URL)), last):
            sys.exit("FAILED: row %d: %d, %r, %r" % (row, run.returncode, last, calls))
