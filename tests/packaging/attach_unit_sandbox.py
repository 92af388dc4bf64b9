#!/usr/bin/python3
"""quorvellan-attach.service in real systemd on a real kernel: boots
Debian's amd64 kernel under qemu with this machine's systemd as init, and
starts the unit as cmake --install writes it, its sandbox whole, with only
its ExecStart replaced by a probe (attach_unit_guest.sh) of the writes the
listener makes: vhci-hcd loaded before it starts, the root hub's
authorized_default, an import handed to vhci-hcd with its record, the
arrived device's authorized; all with no capability at all. And what it
must not reach: another root hub, /run, /etc. Stopped, the attachment and
its record stay.

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
# The probe's steps: those that must work, and those the sandbox must refuse.
MUST_WORK = ["hold", "release", "attach", "descriptors", "deauthorize", "authorize", "record",
             "detach", "reattach"]
MUST_BE_REFUSED = ["other_hub", "run_unit", "etc"]
NO_CAPABILITIES = "0000000000000000 " * 3
LIMIT = 180


def stage(build_dir, staging):
    """systemd, systemctl and kmod with their libraries; the targets and
    slices systemd's own units name, and its modprobe@.service; the unit as
    installed, with a drop-in that runs the probe instead of the listener;
    and the driver, as the default target's one service."""
    guest.copy_into(staging, guest.with_libraries(
        ["/usr/lib/systemd/systemd", "/usr/bin/systemctl", "/bin/kmod"]))
    os.makedirs(os.path.join(staging, "sbin"), exist_ok=True)
    os.symlink("/bin/kmod", os.path.join(staging, "sbin", "modprobe"))
    units = os.path.join(staging, SYSTEM_UNITS.lstrip("/"))
    os.makedirs(units, exist_ok=True)
    for name in os.listdir(SYSTEM_UNITS):
        path = os.path.join(SYSTEM_UNITS, name)
        if (name.endswith((".target", ".slice")) or name == "modprobe@.service") \
                and not os.path.islink(path):
            shutil.copy(path, units)
    installed = os.path.join(os.path.dirname(staging), "installed")
    subprocess.run(["cmake", "--install", build_dir, "--prefix", "/usr"], check=True,
                   env=dict(os.environ, DESTDIR=installed), stdout=subprocess.DEVNULL)
    shutil.copy(os.path.join(installed, SYSTEM_UNITS.lstrip("/"), UNIT), units)
    script = "/lib/attach_unit_guest.sh"
    shutil.copy(os.path.join(HERE, "attach_unit_guest.sh"), staging + script)
    etc = os.path.join(staging, "etc", "systemd", "system")
    os.makedirs(os.path.join(etc, UNIT + ".d"))
    with open(os.path.join(etc, UNIT + ".d", "probe.conf"), "w") as conf:
        conf.write("[Service]\nExecStart=\nExecStart=/bin/sh %s probe\n"
                   "StandardOutput=null\nStandardError=null\nRestart=no\n" % script)
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
    problems = []
    for name in MUST_WORK:
        if said.get(name, ("",))[0] != "ok":
            problems.append("%s did not work: %s" % (name, said.get(name, ("", "not run"))[1]))
    for name in MUST_BE_REFUSED:
        if said.get(name, ("",))[0] != "refused":
            problems.append("%s was not refused" % name)
    expected = {"caps " + NO_CAPABILITIES.strip(), "vhci loaded before start: 0",
                "result success", "probe done", "kept", "driver done"}
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
    print("%s: every write the listener makes works with no capability; "
          "the rest of /sys, /run and /etc stay read-only" % UNIT)
    return 0


if __name__ == "__main__":
    sys.exit(main())
