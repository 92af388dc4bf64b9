#!/usr/bin/python3
"""quorvellan-attach.service in real systemd on a real kernel: boots
Debian's amd64 kernel under qemu with this machine's systemd as init, and
starts the unit as cmake --install writes it, the listener it installs
under its whole sandbox, with a drop-in that only logs to a file, does not
restart, and first probes the sandbox (attach_unit_guest.sh). A device in a
network namespace of the guest (the beacon and Debian's usbipd, sharing
the guest's FTDI adapter) is announced; the listener, with no capability
at all, attaches the adapter a rule names through vhci-hcd, loaded by the
unit, and authorizes it. The probe must not reach another root hub, /run
or /etc. Stopped, the attachment and its record stay.

  attach_unit_sandbox.py BUILD_DIR KERNEL_CACHE

The kernel, busybox, the modules and Debian's usbip come from the attach
kernel test's base initramfs (tests/attach_kernel/guest.py), kept in
KERNEL_CACHE between runs. Exits 77 when it cannot run here (not root).
"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "attach_kernel"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
import guest  # noqa: E402
import qemu_guest  # noqa: E402

UNIT = "quorvellan-attach.service"
SYSTEM_UNITS = "/usr/lib/systemd/system"
# The probe's writes, which the sandbox must refuse.
MUST_BE_REFUSED = ["other_hub", "run_unit", "etc"]
# Inheritable, permitted, effective, bounding and ambient.
NO_CAPABILITIES = "0000000000000000 " * 5
SHARED = "usbip://192.168.8.1:3240/1-1"
LIMIT = 180


def stage(build_dir, staging):
    """systemd, systemctl and kmod with their libraries; the targets and
    slices systemd's own units name, and its modprobe@.service; the unit,
    the listener and the beacon as installed, with a drop-in that runs the
    probe first; and the driver, as the default target's one service."""
    installed = os.path.join(os.path.dirname(staging), "installed")
    subprocess.run(["cmake", "--install", build_dir, "--prefix", "/usr"], check=True,
                   env=dict(os.environ, DESTDIR=installed), stdout=subprocess.DEVNULL)
    programs = [installed + "/usr/bin/quorvellan-discover",
                installed + "/usr/sbin/quorvellan-beacon"]
    guest.copy_into(staging, guest.with_libraries(
        ["/usr/lib/systemd/systemd", "/usr/bin/systemctl", "/bin/kmod"] + programs),
        {path: path[len(installed):] for path in programs})
    os.makedirs(os.path.join(staging, "sbin"), exist_ok=True)
    os.symlink("/bin/kmod", os.path.join(staging, "sbin", "modprobe"))
    units = os.path.join(staging, SYSTEM_UNITS.lstrip("/"))
    os.makedirs(units, exist_ok=True)
    for name in os.listdir(SYSTEM_UNITS):
        path = os.path.join(SYSTEM_UNITS, name)
        if (name.endswith((".target", ".slice")) or name == "modprobe@.service") \
                and not os.path.islink(path):
            shutil.copy(path, units)
    shutil.copy(os.path.join(installed, SYSTEM_UNITS.lstrip("/"), UNIT), units)
    script = "/lib/attach_unit_guest.sh"
    shutil.copy(os.path.join(HERE, "attach_unit_guest.sh"), staging + script)
    etc = os.path.join(staging, "etc", "systemd", "system")
    os.makedirs(os.path.join(etc, UNIT + ".d"))
    with open(os.path.join(etc, UNIT + ".d", "probe.conf"), "w") as conf:
        conf.write("[Service]\nExecStartPre=/bin/sh %s probe\n"
                   "StandardOutput=append:/run/attach.log\nRestart=no\n" % script)
    with open(os.path.join(etc, "driver.service"), "w") as driver:
        driver.write("[Service]\nType=oneshot\nExecStart=/bin/sh %s driver\n"
                     "StandardOutput=file:/dev/ttyS0\nStandardError=inherit\n" % script)
    with open(os.path.join(etc, "check.target"), "w") as target:
        target.write("[Unit]\nWants=driver.service\n")
    os.symlink("check.target", os.path.join(etc, "default.target"))
    with open(os.path.join(staging, "etc", "os-release"), "w") as release:
        release.write("ID=debian\n")


def boot(build_dir, cache):
    """The guest's lines for us, without their "@@"."""
    kernel, base = guest.prepare(cache)
    with tempfile.TemporaryDirectory() as scratch:
        staging = os.path.join(scratch, "staging")
        os.makedirs(staging)
        stage(build_dir, staging)
        qemu_guest.cpio(staging, os.path.join(scratch, "extra.cpio"))
        initrd = qemu_guest.concatenate([base, os.path.join(scratch, "extra.cpio")],
                                        os.path.join(scratch, "initrd.cpio"))
        disk = os.path.join(scratch, "disk.img")
        with open(disk, "wb") as image:
            image.truncate(guest.USB_DISK_BYTES)
        command = guest.qemu_command(kernel, initrd, disk)
        command[command.index("-append") + 1] = (
            "console=ttyS0 panic=-1 quiet rdinit=/usr/lib/systemd/systemd "
            "systemd.show_status=0 systemd.log_level=warning")
        ran = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, timeout=LIMIT,
                             preexec_fn=qemu_guest.die_with_parent)
    console = ran.stdout.decode("utf-8", "replace").replace("\r", "")
    ours = [line[line.index("@@") + 2:] for line in console.split("\n") if "@@" in line]
    return console, ours


def problems_in(lines):
    said = {}
    for line in lines:
        word, _, rest = line.partition(" ")
        if word in ("ok", "refused"):
            said[rest.split(":")[0]] = (word, rest)
    problems = ["%s was not refused" % name for name in MUST_BE_REFUSED
                if said.get(name, ("",))[0] != "refused"]
    # How the probe or the listener ended, when not as it should (killed by
    # the system call filter: "code=killed, signal=SYS").
    problems += ["the unit's " + line[len("status "):].strip() for line in lines
                 if line.startswith("status ") and "status=0/SUCCESS" not in line]
    if not any("attached (1-1 on port" in line for line in lines):
        problems.append("the listener said no attached (1-1 on port N)")
    if not any(line.startswith("port ") and SHARED in line for line in lines):
        problems.append("usbip port names no " + SHARED)
    expected = {"caps " + NO_CAPABILITIES.strip(), "vhci loaded before start: 0",
                "authorized 1", "result success", "kept", "driver done"}
    for line in sorted(expected - {line.strip() for line in lines}):
        problems.append("no line %r" % line)
    return problems


def main():
    if os.getuid() != 0:
        print("skipped: needs root for the initramfs's device node")
        return 77
    build_dir, cache = sys.argv[1], os.path.abspath(sys.argv[2])
    console, ours = boot(build_dir, cache)
    problems = problems_in(ours)
    for line in ours:
        print(line)
    if problems:
        print(console[-6000:])
        for problem in problems:
            print("FAIL:", problem)
        return 1
    print("%s: the listener attached and authorized the adapter with no capability; "
          "the rest of /sys, /run and /etc stay read-only" % UNIT)
    return 0


if __name__ == "__main__":
    sys.exit(main())
