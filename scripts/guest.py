#!/usr/bin/env python3
"""Runs one command on an x86-64 CPU with the 32-bit mode, for hosts without it: QEMU
(KVM where the CPU has hardware virtualization, TCG otherwise or with GUEST_ACCEL=tcg)
boots Debian's kernel with busybox-static and its virtio, 9p and overlay modules, fetched
once into $XDG_CACHE_HOME/vendrel2-guest (~/.cache). The guest's root is this host's,
read-only, with writes in memory; the command runs as root here, with this environment
but its secrets (and TMPDIR=/var/tmp, LAUNCHER_GUEST=kvm or tcg), for at most GUEST_TIMEOUT
seconds (5400); only --share folders are written through. The exit code is the command's,
124 if it did not finish, 125 if no guest could run it.

  guest.py [--share DIR]... -- COMMAND [ARG...]
  guest.py --check    prepares the guest, or says in one sentence what is missing
"""

import ctypes
import glob
import lzma
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile

CACHE = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                     "vendrel2-guest")
# What mounting the host's root needs, each after what it depends on.
MODULES = ("virtio_pci", "9pnet_virtio", "9p", "overlay")
# With -cpu max, Debian's kernel oopses on a 32-bit iret inside Wine.
TCG_CPU = "qemu64,+ssse3,+sse4.1,+sse4.2,+popcnt"
HIDDEN = re.compile(r"SIGN_|TOKEN|SECRET|PASSW|_KEY|^(PWD|OLDPWD|SHLVL|_|LAUNCHER_EMULATE_32BIT)$")
INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for module in $(cat /modules/order); do insmod /modules/$module.ko; done
mkdir -p /lower /rw /root /ctl; p9=trans=virtio,version=9p2000.L,msize=512000
mount -t 9p -o $p9,cache=loose,ro root /lower && mount -t 9p -o $p9 ctl /ctl
mount -t tmpfs -o size=90% rw /rw && mkdir /rw/upper /rw/work
mount -t overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work root /root
for fs in proc sys dev; do mount --move /$fs /root/$fs; done; ip link set lo up
mkdir -p /root/dev/pts /root/dev/shm; mount -t devpts pts /root/dev/pts; mount -t tmpfs shm /root/dev/shm
while read -r tag path; do mkdir -p "/root$path" && mount -t 9p -o $p9 $tag "/root$path"; done < /ctl/shares
mkdir -p /root/run/guest && mount --bind /ctl /root/run/guest
chroot /root /bin/sh /run/guest/run.sh < /dev/console > /dev/console 2>&1; code=$?; [ -f /ctl/exit ] && echo $code > /ctl/exit
sync; poweroff -f
"""


def fail(sentence):
    print("guest: cannot start an emulated guest here: %s." % sentence, file=sys.stderr)
    sys.exit(125)  # the runner's own failure, not the command's


def fetch():
    if not shutil.which("qemu-system-x86_64") or not shutil.which("cpio"):
        fail("qemu-system-x86_64 or cpio is missing (scripts/install-deps.sh installs them on a host without 32-bit code)")
    depends = subprocess.run(["apt-cache", "depends", "linux-image-amd64"],
                             capture_output=True, text=True).stdout.split()
    package = next((w for w in depends if w.startswith("linux-image-") and w[12].isdigit()), None)
    cached = sorted(glob.glob(os.path.join(CACHE, "linux-image-*", "initrd")))
    if package is None and not cached:
        fail("apt-cache knows no linux-image-amd64 package (run apt-get update)")
    folder = os.path.join(CACHE, package) if package else os.path.dirname(cached[-1])
    kernel, initrd = os.path.join(folder, "vmlinuz"), os.path.join(folder, "initrd")
    if os.path.isfile(initrd):
        return kernel, initrd
    os.makedirs(folder, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=CACHE) as work:
        if subprocess.run(["apt-get", "download", package, "busybox-static"], cwd=work,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode:
            if cached:  # offline: the newest kernel made before
                return os.path.join(os.path.dirname(cached[-1]), "vmlinuz"), cached[-1]
            fail("apt-get download %s busybox-static failed (no network?)" % package)
        tree, root = os.path.join(work, "x"), os.path.join(work, "root")
        for deb in glob.glob(os.path.join(work, "*.deb")):
            subprocess.run(["dpkg-deb", "-x", deb, tree], check=True)
        for name in ("bin", "proc", "sys", "dev", "modules"):
            os.makedirs(os.path.join(root, name))
        # Debian 13 ships them under /usr (merged /usr), Debian 12 at the root.
        busybox = glob.glob(tree + "/bin/busybox") + glob.glob(tree + "/usr/bin/busybox")
        modules = glob.glob(tree + "/lib/modules/*/kernel/**/*.ko*", recursive=True) \
            + glob.glob(tree + "/usr/lib/modules/*/kernel/**/*.ko*", recursive=True)
        if not busybox or not modules:
            fail("busybox-static or %s holds no busybox or no modules" % package)
        shutil.copy(busybox[0], os.path.join(root, "bin"))
        found = {os.path.basename(p).split(".ko")[0].replace("-", "_"): p for p in modules}
        order = []

        def add(name):  # after what it depends on; a built-in one is not a file
            if name in order or name not in found:
                return
            data = open(found[name], "rb").read()
            data = lzma.decompress(data) if found[name].endswith(".xz") else data
            field = next((f for f in data.split(b"\0") if f.startswith(b"depends=")), b"=")
            for dependency in filter(None, field.split(b"=", 1)[1].decode().split(",")):
                add(dependency.replace("-", "_"))
            open(os.path.join(root, "modules", name + ".ko"), "wb").write(data)
            order.append(name)

        for name in MODULES:
            add(name)
        open(os.path.join(root, "modules", "order"), "w").write("\n".join(order) + "\n")
        open(os.path.join(root, "init"), "w").write(INIT)
        os.chmod(os.path.join(root, "init"), 0o755)
        shutil.copy(glob.glob(tree + "/boot/vmlinuz-*")[0], kernel)
        subprocess.run("find . | cpio -o -H newc --quiet > " + shlex.quote(initrd + ".part"),
                       shell=True, cwd=root, check=True)
        os.rename(initrd + ".part", initrd)
    return kernel, initrd


def run(command, shares):
    kernel, initrd = fetch()
    with tempfile.TemporaryDirectory(prefix="guest-") as ctl:
        with open(os.path.join(ctl, "shares"), "w") as handle:
            handle.writelines("share%d %s\n" % (i, os.path.abspath(s)) for i, s in enumerate(shares))
        # A software KVM (as in some cloud machines) opens, but boots no kernel.
        flags = open("/proc/cpuinfo").read().split()
        kvm = os.environ.get("GUEST_ACCEL", "kvm") == "kvm" and ("vmx" in flags or "svm" in flags) \
            and os.access("/dev/kvm", os.R_OK | os.W_OK)
        # Temporary folders beside the templates they hard-link from; no secrets on disk.
        env = dict(os.environ, TMPDIR="/var/tmp", LAUNCHER_GUEST="kvm" if kvm else "tcg")
        script = ["echo 124 > /run/guest/exit; cd %s || exit 125" % shlex.quote(os.getcwd())]
        script += ["export %s=%s" % (k, shlex.quote(v)) for k, v in env.items()
                   if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", k) and not HIDDEN.search(k.upper())]
        open(os.path.join(ctl, "run.sh"), "w", errors="surrogateescape").write(
            "\n".join(script + ["exec " + shlex.join(command), ""]))
        memory = min(8192, os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") >> 21)
        accel = ["-accel", "kvm", "-cpu", "host"] if kvm else \
            ["-accel", "tcg,thread=multi", "-cpu", TCG_CPU]
        # Only our tests run there: no mitigations (a third of TCG's CPU); huge pages on request;
        # no check of the timer interrupt, which a loaded TCG CPU can fail (a panic at boot).
        qemu = ["qemu-system-x86_64"] + accel + [
            "-smp", str(os.cpu_count() or 1), "-m", str(memory), "-nic", "none",
            "-display", "none", "-monitor", "none", "-no-reboot",
            "-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console",
            "-kernel", kernel, "-initrd", initrd, "-append",
            "console=ttyS0 quiet loglevel=3 panic=-1 transparent_hugepage=madvise mitigations=off "
            "no_timer_check",
            "-virtfs", "local,path=/,mount_tag=root,security_model=none,readonly=on,"
            "multidevs=remap", "-virtfs", "local,path=%s,mount_tag=ctl,security_model=none" % ctl]
        for i, share in enumerate(shares):
            qemu += ["-virtfs", "local,path=%s,mount_tag=share%d,security_model=none,"
                     "multidevs=remap" % (os.path.abspath(share).replace(",", ",,"), i)]
        try:  # a guest that hangs is ended; QEMU is killed when this ends (prctl 1: PDEATHSIG)
            subprocess.run(qemu, stdin=subprocess.DEVNULL, timeout=float(os.environ.get(
                "GUEST_TIMEOUT", 5400)), preexec_fn=lambda: ctypes.CDLL(None).prctl(1, 9))
        except subprocess.TimeoutExpired:
            print("guest: QEMU ran past GUEST_TIMEOUT and was ended", file=sys.stderr)
        except OSError as error:
            fail("QEMU did not run (%s)" % error)
        if not os.path.isfile(os.path.join(ctl, "exit")):  # run.sh writes 124 first
            fail("the guest stopped before its command had started")
        return int(open(os.path.join(ctl, "exit")).read())


def main(argv):
    if argv == ["--check"]:
        return 0 if fetch() else 1
    split = argv.index("--") if "--" in argv else len(argv)
    shares, command = argv[1:split:2], argv[split + 1:]
    if argv[:split:2] != ["--share"] * len(shares) or split % 2 or not command:
        sys.exit(__doc__)
    return run(command, shares)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PDEATHSIG: ends, and ends QEMU, with its parent
    sys.exit(main(sys.argv[1:]))
