#!/usr/bin/python3
"""Keeps shared USB devices attached through a real vhci-hcd: boots Debian's
amd64 kernel under qemu-system-x86_64 (TCG) with QEMU's USB devices on an
xHCI controller, and runs every row in one boot.

  guest.py --cache DIR --beacon PATH --discover PATH --liar PATH
           [--rows ROW,...] [--json]

Inside the guest, two network namespaces joined by a veth: "device" runs
the beacon and Debian's usbipd sharing the USB devices, "laptop" (the
initial namespace) has vhci-hcd, Debian's usbip and the listener, which
keeps what its attach rules name attached.  usbip_liar, a test program,
stands in for a server that lies about a device.  The guest has no NIC:
nothing it sends leaves it.

The kernel, its modules and a static busybox come from Debian's packages,
unpacked into --cache with dpkg -x, never installed here; Debian's usbip,
usbipd and setpriv and the programs under test are this machine's, copied
with the libraries ldd names.  The host drives the guest through its
console (init.sh), one row after another, and records every step with its
time.  Run as a program it prints each row's time and the figures.
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
import qemu_guest  # noqa: E402
from qemu_guest import GuestEnded, apt_download, cpio, run  # noqa: E402

KERNEL_PACKAGE = "linux-image-amd64"
BUSYBOX_PACKAGE = "busybox-static"
MODULES = ["xhci-pci", "usbip-host", "vhci-hcd", "veth"]
USBIP_PROGRAMS = ["/usr/sbin/usbip", "/usr/sbin/usbipd"]
# util-linux's, under a name of its own: busybox has a setpriv of fewer options.
SETPRIV = "/usr/bin/setpriv"

# On the xHCI controller: an FTDI serial adapter (0403:6001) and QEMU's
# keyboard (0627:0001) on its USB 2 hub, the guest's 1-1 and 1-3, and QEMU's
# disk (46f4:0001), which goes on its USB 3 hub as 2-2: three makers, three
# classes (HID among them), both of vhci-hcd's hubs.
USB_DEVICES = [("usb-serial", "1", "chardev=serial"), ("usb-storage", "2", "drive=stick"),
               ("usb-kbd", "3", "")]
USB_DISK_BYTES = 1 << 20
SERIAL, STORAGE, KEYBOARD = "1-1", "2-2", "1-3"
DEVICE_ADDRESS = "192.168.8.1"

# Each row: its name and the console lines that run it (init.sh's
# functions), each on the state the rows before it left.
ROWS = [
    ("setup", ["setup"]),
    ("import_reply", ["raw_import " + SERIAL]),
    ("attach", ["attach_by_rule"]),
    ("server_lets_go", ["server_lets_go"]),
    ("address_changes", ["address_changes"]),
    ("link_goes_silent", ["link_goes_silent"]),
    ("listener_restarts", ["listener_restarts"]),
    ("silent_after_restart", ["link_goes_silent"]),
    ("own_attach", ["own_attach_beside"]),
    ("spoof", ["spoof"]),
]

BOOT_LIMIT = 60.0
COMMAND_LIMIT = 60.0
RUN_LIMIT = 150.0


def say(text):
    print("attach_kernel: " + text, file=sys.stderr, flush=True)


# Outside the guest: the kernel and the base initramfs ---------------------------

def with_libraries(programs):
    """The programs and every library they load, the dynamic loader among
    them, as ldd finds them on this machine."""
    found = []
    for program in programs:
        found.append(program)
        listed = subprocess.run(["ldd", program], check=True, capture_output=True,
                                text=True).stdout
        for path in re.findall(r"(/\S+) \(0x", listed):
            if path not in found:
                found.append(path)
    return found


def copy_into(staging, paths, renamed=None):
    """Each path to the same place in staging, symlinks followed; renamed
    maps a path to another place."""
    for path in paths:
        target = os.path.join(staging, (renamed or {}).get(path, path).lstrip("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(os.path.realpath(path), target)
        os.chmod(target, 0o755)


def build_base(kernel, busybox, staging, release):
    """busybox, the modules with their modules.dep, Debian's usbip and usbipd
    with their libraries, and what init needs."""
    for directory in ["bin", "proc", "sys", "tmp", "run", "var", "etc"]:
        os.makedirs(os.path.join(staging, directory), exist_ok=True)
    shutil.copy(os.path.join(busybox, "bin", "busybox"), os.path.join(staging, "bin", "busybox"))
    os.symlink("busybox", os.path.join(staging, "bin", "sh"))
    os.symlink("../run", os.path.join(staging, "var", "run"))
    qemu_guest.stage_modules(kernel, staging, release, MODULES)
    copy_into(staging, with_libraries(USBIP_PROGRAMS + [SETPRIV]),
              {SETPRIV: "/usr/bin/setpriv-full"})
    qemu_guest.base_accounts(staging)


def prepare(cache):
    """The kernel and the base initramfs, made once per cache directory and
    again whenever what goes into them changes."""
    programs = {path: hashlib.sha256(open(path, "rb").read()).hexdigest()
                for path in with_libraries(USBIP_PROGRAMS + [SETPRIV])}

    def build(work, debs):
        unpacked = os.path.join(work, "kernel")
        release = qemu_guest.unpack_kernel(debs, KERNEL_PACKAGE, unpacked)
        busybox = os.path.join(work, "busybox")
        run("dpkg", "-x", apt_download(debs, BUSYBOX_PACKAGE), busybox)
        staging = os.path.join(work, "staging")
        build_base(unpacked, busybox, staging, release)
        return staging, os.path.join(unpacked, "boot", "vmlinuz-" + release)

    return qemu_guest.cached_base(
        cache, [KERNEL_PACKAGE, BUSYBOX_PACKAGE, MODULES, programs], build, say)


def make_initrd(base, programs, directory):
    """The base archive with this run's init, and the programs under test
    (name: path) with their libraries, as /usr/bin/NAME."""
    staging = os.path.join(directory, "run")
    os.makedirs(staging)
    qemu_guest.init_files(os.path.join(HERE, "init.sh"), staging)
    paths = list(programs.values())
    copy_into(staging, with_libraries(paths),
              {path: "/usr/bin/" + name for name, path in programs.items()})
    appended = os.path.join(directory, "run.cpio")
    cpio(staging, appended)
    return qemu_guest.concatenate([base, appended], os.path.join(directory, "initrd.cpio"))


def qemu_command(kernel, initrd, disk):
    command = ["qemu-system-x86_64", "-accel", "tcg", "-cpu", "max", "-m", "512",
               "-nographic", "-monitor", "none", "-no-reboot",
               "-kernel", kernel, "-initrd", initrd,
               "-append", "console=ttyS0 panic=-1 quiet",
               "-nic", "none", "-device", "qemu-xhci,id=xhci"]
    # The serial adapter's line leads nowhere (a null backend would never
    # open, and QEMU attaches the adapter only once it is); the disk is a
    # file of zeros.
    command += ["-chardev", "file,id=serial,path=/dev/null",
                "-drive", "if=none,id=stick,format=raw,file=" + disk]
    for device, port, more in USB_DEVICES:
        command += ["-device", ",".join(filter(None, [device, "bus=xhci.0", "port=" + port,
                                                      more]))]
    return command


# The run -------------------------------------------------------------------------

def out_of_time(*_):
    raise GuestEnded("the run took longer than %.0f s" % RUN_LIMIT)


def boot(cache, programs, row_names=None):
    """One boot, the rows named (all by default), and the record of it:
    each row's steps with their status, their lines of ours and times."""
    kernel, base = prepare(cache)
    rows = [row for row in ROWS if row_names is None or row[0] in row_names]
    with tempfile.TemporaryDirectory() as scratch:
        initrd = make_initrd(base, programs, scratch)
        disk = os.path.join(scratch, "disk.img")
        with open(disk, "wb") as image:
            image.truncate(USB_DISK_BYTES)
        console = qemu_guest.Console(qemu_command(kernel, initrd, disk))
        record = {"launched": console.launched, "console": console.lines, "rows": [],
                  "error": None}
        # Whatever happens, the emulator does not outlive the run.
        signal.signal(signal.SIGALRM, out_of_time)
        signal.alarm(int(RUN_LIMIT))
        try:
            ready, record["ready"], _ = console.expect("ready", BOOT_LIMIT)
            record["kernel"] = ready.split()[1:]
            for name, lines in rows:
                row = {"name": name, "steps": []}
                record["rows"].append(row)
                for line in lines:
                    row["steps"].append(console.command(line, COMMAND_LIMIT))
        except (GuestEnded, OSError) as ended:
            record["error"] = str(ended)
        finally:
            signal.alarm(0)
            record["qemu_status"] = console.stop()
            record["ended"] = time.monotonic()
    return record


def row_times(record):
    """Each row's seconds, from its first line sent to its last answer."""
    times = [("boot to init", record["ready"] - record["launched"])] if "ready" in record else []
    for row in record["rows"]:
        if row["steps"]:
            times.append((row["name"], row["steps"][-1]["done"] - row["steps"][0]["sent"]))
    return times


def figures(record):
    """Lines of ours that carry a figure: "figure NAME VALUE UNIT"."""
    found = []
    for row in record["rows"]:
        for step in row["steps"]:
            for line in step["output"]:
                if line.startswith("figure "):
                    _, name, value, unit = line.split(" ", 3)
                    found.append((name, float(value), unit))
    return found


def print_times(record):
    for name, seconds in row_times(record):
        print("%-40s %6.2f s" % ("row " + name if name != "boot to init" else name, seconds))
    for name, value, unit in figures(record):
        print("%-40s %6.2f %s" % (name, value, unit))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cache", required=True)
    for name in ["beacon", "discover", "liar"]:
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--rows", help="comma-separated rows (default: all)")
    parser.add_argument("--json", action="store_true", help="print the whole record")
    options = parser.parse_args()
    programs = {"quorvellan-beacon": options.beacon, "quorvellan-discover": options.discover,
                "usbip_liar": options.liar}
    record = boot(os.path.abspath(options.cache),
                  {name: os.path.abspath(path) for name, path in programs.items()},
                  options.rows.split(",") if options.rows else None)
    if options.json:
        json.dump(record, sys.stdout, indent=1)
        print()
    else:
        print_times(record)
    if record["error"]:
        print("attach_kernel: " + record["error"], file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
