#!/usr/bin/env python3
"""scripts/install-deps.sh through a mirror's bad hour, without a network: a stand-in
apt-get fails an index a given number of times, and its installs as each row says."""

import os, re, subprocess, sys, tempfile

INDEX = "http://mirror.invalid/debian-security/dists/x-security/main/binary-i386/Packages.xz"
APT = """#!/bin/sh
echo "$*" >> "$LOG"
[ "$1" = install ] && case " $* " in *" -t "*) exit $TARGETED;; *) exit $PLAIN;; esac
[ "$1" = update ] && [ $(grep -c ^update "$LOG") -le $FAILS ] && echo "E: Failed to fetch \
%s  File has unexpected size (1 != 2). Mirror sync in progress? [IP: 192.0.2.1 80]" && exit 100
exit 0""" % INDEX
STUBS = {"apt-get": APT, "dpkg-query": "#!/bin/sh\nexit 1", "id": "#!/bin/sh\necho 0",
         "dpkg": "#!/bin/sh\necho i386", "sleep": "#!/bin/sh\nexit 0"}
# Index fetches that fail, whether an install without -t and one with it succeed; then the
# exit code, the last line said, and how often the lists were fetched.
ROWS = [(1, 0, 1, 0, r"^$", 2),
        (9, 0, 1, 0, r"^install-deps: installed without the index %s \(File has unexpected size "
         r"\(1 != 2\)\. Mirror sync in progress\?\)$", 4),
        (9, 1, 0, 0, r"^install-deps: installed \w+'s own versions of both architectures, as "
         r"the index %s \(.*\) failed$", 4),
        (9, 1, 1, 1, r"^install-deps: the index %s \(.*\) failed, .* again later", 4)]

failed = 0
for row, (fails, plain, targeted, code, said, updates) in enumerate(ROWS):
    with tempfile.TemporaryDirectory() as bin:
        for name, text in STUBS.items():
            open(os.path.join(bin, name), "w").write(text + "\n")
            os.chmod(os.path.join(bin, name), 0o755)
        for tool in ("bash", "env", "sed", "grep", "head", "mktemp", "rm", "cat", "dirname"):
            os.symlink(subprocess.getoutput("command -v " + tool), os.path.join(bin, tool))
        env = dict(PATH=bin, LOG=bin + "/log", FAILS=str(fails), PLAIN=str(plain),
                   TARGETED=str(targeted))
        run = subprocess.run([sys.argv[1] + "/scripts/install-deps.sh"], env=env, text=True,
                             capture_output=True)
        last = (run.stdout + run.stderr).strip().split("\n")[-1]
        calls = open(bin + "/log").read().split("\n")
        if (run.returncode, sum(c == "update -qq" for c in calls)) != (code, updates) \
                or not re.search(said.replace("%s", re.escape(INDEX)), last):
            failed = print("FAILED: row %d: exit %d, said %r, calls %s"
                           % (row, run.returncode, last, calls)) or 1
sys.exit(failed)
