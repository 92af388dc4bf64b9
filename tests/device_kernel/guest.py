#!/usr/bin/python3
"""Boots the device build of the daemon on a 32-bit MIPS little-endian kernel
and records what reaches the network.

  guest.py --daemon PATH --cache DIR [--rows ROW,...] [--json]

The kernel (Debian's 4Kc Malta flavour), its modules, a static busybox
for the guest's init, and Debian's USB/IP server with the libraries it
loads come from Debian's mipsel packages, unpacked into --cache with
dpkg -x, never installed here; the base initramfs is built there once as
well.  qemu-system-mipsel emulates a Malta board with two NICs and USB
devices on the board's UHCI controller.

The guest runs inside a network namespace made for the run and checked to
hold nothing but loopback: its NICs are tap devices in that namespace, and
the receiver listens there, so nothing it sends can leave.  The host drives
the guest through its console (init.sh), one row of ROWS after another, and
records every datagram with its destination (IP_PKTINFO) and tap, every
console line, and every row's steps.  Run as a program it prints the
figures of the run (memory, descriptors, time to the first datagram), or
with --json the whole record.  Needs root.
"""

import argparse
import ctypes
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import traceback

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
# The end-to-end suite's receiver and cadence checks, and what the kernel
# tests share, also when run as a program.
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
import netcheck  # noqa: E402
import qemu_guest  # noqa: E402
from qemu_guest import GuestEnded, apt_download, cpio, die_with_parent, run  # noqa: E402

KERNEL_PACKAGE = "linux-image-4kc-malta"
BUSYBOX_PACKAGE = "busybox-static"
MODULES = ["bridge", "pcnet32", "uhci-hcd", "usbip-host"]
# Debian's USB/IP server and client, and the packages of the libraries they
# load; only the programs and those libraries go into the initramfs.
USBIP_PACKAGES = ["usbip", "libc6", "libudev1", "libwrap0", "libnsl2", "libtirpc3",
                  "libgssapi-krb5-2", "libkrb5-3", "libk5crypto3", "libkrb5support0",
                  "libcom-err2", "libkeyutils1"]
USBIP_PROGRAMS = ["usr/sbin/usbipd", "usr/sbin/usbip"]
USBIP_PORT = 3240

# The typical device: what its firmware sets, and its NICs.  Its addresses,
# 192.168.8.1/24 on br-lan and 10.0.0.23/24 on phy0-sta0 with the default
# route through 10.0.0.1, are init.sh's.
DEVICE = {
    "name": "Lab Router",
    "hostname": "lab-router",
    "version": "24.10.1",
    "ap_mac": "52:54:00:5a:00:01",
    "sta_mac": "52:54:00:5a:00:02",
}
# The host's ends: the LAN beside phy0-ap0, the gateway beside phy0-sta0.
TAPS = {"tap-ap": "192.168.8.2/24", "tap-sta": "10.0.0.1/24"}
# On the board's UHCI controller: a hub on the first root port with two
# devices behind it, and one device on the second.  Root hubs and
# interfaces are not devices, the hub is.  (An OHCI controller in a slot
# was tried too: under load its first device's enumeration hangs for good.)
# Three makers' ids, so that their names tell them apart: an FTDI serial
# adapter (0403:6001), QEMU's disk (46f4:0001) and keyboard (0627:0001).
USB_DEVICES = [("usb-hub", "1", ""), ("usb-serial", "1.1", "chardev=serial"),
               ("usb-storage", "1.2", "drive=stick"), ("usb-kbd", "2", "")]
USB_DISK_BYTES = 1 << 20
# The guest's address on the LAN, where its USB/IP server listens.
LAN_ADDRESS = "192.168.8.1"
# usbip bind leaves a device unconfigured, and the server then lists no
# interfaces for it; these two are configured after binding, the serial
# adapter is left as bound, so that one reply holds both kinds.
USBIP_CONFIGURED = ["1-1.2", "1-2"]

# Each row: its name, the console lines that set it up, and how many of
# the daemon's cycles to watch afterwards.  Lines run in the gap after a
# cycle, so a cycle sees a row's setting whole or not at all.
ROWS = [
    ("typical", [
        "provision %s %s %d" % (DEVICE["ap_mac"], DEVICE["sta_mac"], len(USB_DEVICES)),
        "identity '%s' %s %s" % (DEVICE["name"], DEVICE["hostname"], DEVICE["version"]),
        "start",
    ], 3),
    ("usbip_shared", ["usbip_serve " + " ".join(USBIP_CONFIGURED)], 0),
    ("usbip_stopped", ["usbip_stop"], 0),
    ("link_down", ["ip link set br-lan down"], 1),
    ("link_up", ["ip link set br-lan up"], 2),
    ("no_broadcast_address", ["ip addr flush dev br-lan && ip addr add 192.168.8.1/24 dev br-lan"],
     2),
    ("figures", ["ip addr flush dev br-lan && ip addr add 192.168.8.1/24 brd + dev br-lan",
                 "figures"], 0),
    ("unprivileged", ["stop", "start nobody"], 3),
    ("end", ["stop"], 0),
]
FIGURE_ROWS = ["typical", "usbip_shared", "figures", "end"]

# From the start command to the first cycle, for an emulated CPU.
FIRST_CYCLE_LIMIT = 15.0
BOOT_LIMIT = 90.0
COMMAND_LIMIT = 90.0
RUN_LIMIT = 240.0

CLONE_NEWNET = 0x40000000


def say(text):
    print("guest: " + text, file=sys.stderr, flush=True)


# Outside the namespace: the kernel, busybox and the base initramfs -----------

def shared_objects(root, programs):
    """The libraries the programs load, and those these load, as paths in
    root, the dynamic loader among them."""
    directories = ["lib/mipsel-linux-gnu", "usr/lib/mipsel-linux-gnu"]
    found, pending = [], list(programs)
    while pending:
        path = pending.pop()
        dynamic = subprocess.run(["readelf", "-d", os.path.join(root, path)], check=True,
                                 capture_output=True, text=True).stdout
        for name in re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", dynamic):
            places = [os.path.join(directory, name) for directory in directories
                      if os.path.exists(os.path.join(root, directory, name))]
            if not places:
                raise RuntimeError("%s needs %s, which none of %s holds"
                                   % (path, name, " ".join(USBIP_PACKAGES)))
            if places[0] not in found:
                found.append(places[0])
                pending.append(places[0])
    return found


def build_base(unpacked, staging, release):
    """busybox, the modules with their modules.dep, the USB/IP programs with
    their libraries, and what init needs."""
    for directory in ["bin", "dev", "etc", "proc", "sys", "tmp", "usr/bin", "usr/sbin"]:
        os.makedirs(os.path.join(staging, directory), exist_ok=True)
    shutil.copy(os.path.join(unpacked, "busybox", "bin", "busybox"),
                os.path.join(staging, "bin", "busybox"))
    os.symlink("busybox", os.path.join(staging, "bin", "sh"))
    qemu_guest.stage_modules(os.path.join(unpacked, "kernel"), staging, release, MODULES)
    usbip = os.path.join(unpacked, "usbip")
    for path in USBIP_PROGRAMS + shared_objects(usbip, USBIP_PROGRAMS):
        os.makedirs(os.path.dirname(os.path.join(staging, path)), exist_ok=True)
        shutil.copy(os.path.join(usbip, path), os.path.join(staging, path))
    # The programs' interpreter, where they ask for it.
    os.symlink("mipsel-linux-gnu/ld.so.1", os.path.join(staging, "lib", "ld.so.1"))
    qemu_guest.base_accounts(staging)


def prepare(cache):
    """The kernel and the base initramfs, made once per cache directory and
    again whenever what goes into them changes."""

    def build(work, debs):
        foreign = subprocess.run(["dpkg", "--print-foreign-architectures"], check=True,
                                 capture_output=True, text=True).stdout.split()
        if "mipsel" not in foreign:
            run("dpkg", "--add-architecture", "mipsel")
            run("apt-get", "update", "-qq")
        unpacked = os.path.join(work, "unpacked")
        os.mkdir(unpacked)
        release = qemu_guest.unpack_kernel(debs, KERNEL_PACKAGE + ":mipsel",
                                           os.path.join(unpacked, "kernel"))
        run("dpkg", "-x", apt_download(debs, BUSYBOX_PACKAGE + ":mipsel"),
            os.path.join(unpacked, "busybox"))
        for package in USBIP_PACKAGES:
            run("dpkg", "-x", apt_download(debs, package + ":mipsel"),
                os.path.join(unpacked, "usbip"))
        staging = os.path.join(work, "staging")
        build_base(unpacked, staging, release)
        return staging, os.path.join(unpacked, "kernel", "boot", "vmlinuz-" + release)

    return qemu_guest.cached_base(
        cache, [KERNEL_PACKAGE, BUSYBOX_PACKAGE, MODULES, USBIP_PACKAGES, USBIP_PROGRAMS], build,
        say)


def make_initrd(base, daemon, directory):
    """The base archive with this run's init and daemon appended."""
    staging = os.path.join(directory, "run")
    os.makedirs(os.path.join(staging, "usr", "bin"))
    qemu_guest.init_files(os.path.join(HERE, "init.sh"), staging)
    shutil.copy(daemon, os.path.join(staging, "usr", "bin", "quorvellan-beacon"))
    os.chmod(os.path.join(staging, "usr", "bin", "quorvellan-beacon"), 0o755)
    appended = os.path.join(directory, "run.cpio")
    cpio(staging, appended)
    return qemu_guest.concatenate([base, appended], os.path.join(directory, "initrd.cpio"))


# Inside the namespace ----------------------------------------------------------

def enter_fresh_namespace():
    """A network namespace of our own, with nothing in it but loopback."""
    if qemu_guest.LIBC.unshare(CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNET)")
    names = [name for _, name in socket.if_nameindex()]
    if names != ["lo"]:
        raise SystemExit("guest: the new network namespace is not fresh: %s" % names)
    with open("/proc/sys/net/ipv6/conf/default/disable_ipv6", "w") as ipv6:
        ipv6.write("1")
    run("ip", "link", "set", "lo", "up")
    for tap, address in TAPS.items():
        run("ip", "tuntap", "add", "dev", tap, "mode", "tap")
        run("ip", "addr", "add", address, "brd", "+", "dev", tap)
        run("ip", "link", "set", tap, "up")


def qemu_command(kernel, initrd, disk):
    command = ["qemu-system-mipsel", "-M", "malta", "-cpu", "24Kc", "-m", "128",
               "-nographic", "-vga", "none", "-monitor", "none", "-no-reboot",
               "-kernel", kernel, "-initrd", initrd,
               "-append", "console=ttyS0 panic=-1"]
    # Only some Malta slots have interrupts wired: 0x12 to 0x15 do.  No NIC
    # but these two, and never a user-mode one.
    command += ["-nic", "none"]
    for slot, (tap, mac) in [("0x12", ("tap-ap", DEVICE["ap_mac"])),
                             ("0x13", ("tap-sta", DEVICE["sta_mac"]))]:
        command += ["-netdev", "tap,id=%s,ifname=%s,script=no,downscript=no" % (tap, tap),
                    "-device", "pcnet,netdev=%s,mac=%s,addr=%s,romfile=" % (tap, mac, slot)]
    # The serial adapter's line leads nowhere (a null backend would never
    # open, and QEMU attaches the adapter only once it is); the disk is a
    # file of zeros.
    command += ["-chardev", "file,id=serial,path=/dev/null",
                "-drive", "if=none,id=stick,format=raw,file=" + disk]
    for device, port, more in USB_DEVICES:
        command += ["-device", ",".join(filter(None, [device, "bus=usb-bus.0", "port=" + port,
                                                      more]))]
    return command


class Guest(qemu_guest.Console):
    """One boot: the console, the datagrams, and the rows as they ran."""

    def __init__(self, command, receiver, discover=None):
        super().__init__(command)
        self.receiver = receiver
        self.discover = discover
        self.taps = {socket.if_nametoindex(tap): tap for tap in TAPS}
        # The console's lines are the record's, as they come.
        self.record = {"launched": self.launched, "console": self.lines, "datagrams": [],
                       "rows": [], "error": None}

    def receive(self):
        """The record's datagrams: [time, destination, tap, source, payload].
        They wait in the receiver, stamped by the kernel, until collected."""
        self.record["datagrams"] = [
            [d.time, d.destination, self.taps.get(d.ifindex, str(d.ifindex)), d.source,
             d.payload.decode("utf-8", "replace")] for d in self.receiver.datagrams()]
        return self.record["datagrams"]

    def command(self, line):
        return super().command(line, COMMAND_LIMIT)

    def watch(self, start, count, first_limit):
        """Waits for count complete cycles after start; a cycle later than
        the cadence window allows is missing."""
        limit = first_limit + count * netcheck.PERIOD_WINDOW[1]
        deadline = time.monotonic() + limit
        while True:
            complete = [cycle for cycle in cycles(self.receive(), start)
                        if time.monotonic() - cycle[-1][0] > netcheck.CYCLE_BREAK]
            if len(complete) >= count:
                return complete[:count]
            if time.monotonic() >= deadline:
                raise GuestEnded("%d of %d cycles within %.0f s" % (len(complete), count, limit))
            self.pump(min(deadline, time.monotonic() + 0.1))

    def run_rows(self, rows):
        _, self.record["ready"], _ = self.expect("ready", BOOT_LIMIT)
        for name, lines, count in rows:
            row = {"name": name, "steps": [], "cycles": []}
            self.record["rows"].append(row)
            for line in lines:
                row["steps"].append(self.command(line))
            if name in USBIP_ROWS:
                row["host"] = ask_usbip(self.discover)
            if count:
                # From the row's first line, sent in the gap after the last
                # cycle watched: a cycle that starts meanwhile is this row's.
                starts = [step for step in row["steps"] if step["line"].startswith("start")]
                first_limit = FIRST_CYCLE_LIMIT if starts else 0.0
                row["cycles"] = self.watch(row["steps"][0]["sent"], count, first_limit)

    def stop(self):
        self.record["qemu_status"] = super().stop()
        self.receive()
        self.record["ended"] = time.monotonic()


# From the host's side of the LAN ------------------------------------------------

# The rows after which the host asks the guest's USB/IP server.
USBIP_ROWS = ["usbip_shared", "usbip_stopped"]


def devlist_reply():
    """The server's raw device list, asked as any client asks, and the
    seconds from the connect to the server's close."""
    started = time.monotonic()
    with socket.create_connection((LAN_ADDRESS, USBIP_PORT), timeout=5) as connection:
        connection.sendall(struct.pack(">HHI", 0x0111, 0x8005, 0))
        chunks = []
        while True:
            chunk = connection.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    return b"".join(chunks), time.monotonic() - started


def ask_usbip(discover):
    """The guest's USB/IP server as Debian's own client lists it, its raw
    reply, and the listener's (discover, when given) as `--json --usb`
    reports it: the last usb event's device object."""
    client = shutil.which("usbip") or "/usr/sbin/usbip"
    listed = subprocess.run([client, "list", "-r", LAN_ADDRESS], capture_output=True, text=True,
                            timeout=30)
    result = {"usbip_list": {"status": listed.returncode,
                             "output": (listed.stdout + listed.stderr).splitlines()}}
    try:
        reply, seconds = devlist_reply()
        result.update(reply=reply.hex(), round_trip=seconds)
    except OSError as problem:
        result["reply_error"] = str(problem)
    if discover:
        # Two announcements at least, and the query after the first.
        heard = subprocess.run([discover, "--json", "--usb", "--timeout", "6"],
                               capture_output=True, text=True, timeout=30, check=True)
        events = [json.loads(line) for line in heard.stdout.splitlines()]
        usb = [event for event in events if event["event"] == "usb"]
        result["listener"] = usb[-1] if usb else {"events": events}
    return result


def cycles(datagrams, start, end=float("inf")):
    """The record's datagrams received from start to end, as cycles."""
    return netcheck.cycles([d for d in datagrams if start <= d[0] < end], lambda d: d[0])


def out_of_time(*_):
    raise GuestEnded("the run took longer than %.0f s" % RUN_LIMIT)


def boot_inside(kernel, base, daemon, rows, discover):
    """In a fresh network namespace: one boot, all the rows, the record."""
    enter_fresh_namespace()
    receiver = netcheck.Receiver()
    with tempfile.TemporaryDirectory() as scratch:
        initrd = make_initrd(base, daemon, scratch)
        disk = os.path.join(scratch, "disk.img")
        with open(disk, "wb") as image:
            image.truncate(USB_DISK_BYTES)
        guest = Guest(qemu_command(kernel, initrd, disk), receiver, discover)
        # Whatever happens, the emulator does not outlive the run.
        signal.signal(signal.SIGALRM, out_of_time)
        signal.alarm(int(RUN_LIMIT))
        try:
            guest.run_rows(rows)
        except (GuestEnded, OSError) as ended:
            guest.record["error"] = str(ended)
        finally:
            signal.alarm(0)
            guest.stop()
    return guest.record


def boot(daemon, cache, row_names=None, discover=None):
    """Prepares what is needed here, then boots in a child of its own
    namespace; returns the record of the run.  discover: the listener, run
    with --usb against the guest's USB/IP server."""
    kernel, base = prepare(cache)
    rows = [row for row in ROWS if row_names is None or row[0] in row_names]
    reader, writer = os.pipe()
    child = os.fork()
    if child == 0:
        os.close(reader)
        status = 0
        try:
            die_with_parent()
            record = boot_inside(kernel, base, daemon, rows, discover)
            with os.fdopen(writer, "w") as out:
                json.dump(record, out)
        except BaseException:  # noqa: B902 - a forked child must not return
            traceback.print_exc()
            status = 1
        os._exit(status)
    os.close(writer)
    with os.fdopen(reader) as out:
        text = out.read()
    _, status = os.waitpid(child, 0)
    if status != 0 or not text:
        raise RuntimeError("the boot failed before it could record anything")
    return json.loads(text)


# What the run shows ------------------------------------------------------------

def figures(record):
    """The device maker's figures from one run's record.  Times are the
    host's: an emulated 24Kc is slower than most devices, so they bound a
    device's from above rather than predict it."""
    result = {}
    for line in (line for _, line in record["console"]):
        at = line.find("@@figure ")
        if at >= 0:
            who, *pairs = line[at + len("@@figure "):].split()
            result[who] = dict(pair.split("=", 1) for pair in pairs)
    starts = [step["sent"] for row in record["rows"] for step in row["steps"]
              if step["line"] == "start"]
    if record["datagrams"] and starts and "ready" in record:
        first = record["datagrams"][0][0]
        result["times"] = [("emulator start to init", record["ready"] - record["launched"]),
                           ("init to daemon start (modules, links, USB)",
                            starts[0] - record["ready"]),
                           ("daemon start to first datagram", first - starts[0]),
                           ("emulator start to first datagram", first - record["launched"])]
    shared = [row.get("host", {}) for row in record["rows"] if row["name"] == "usbip_shared"]
    if shared and "round_trip" in shared[0]:
        result.setdefault("milliseconds", []).append(
            ("USB/IP device list, connect to close", 1000 * shared[0]["round_trip"]))
    return result


def print_figures(found):
    for who, label in [("daemon", "daemon"), ("idle", "busybox sleep (idle, same guest)")]:
        values = found.get(who, {})
        print("%-44s VmRSS %s kB, RssAnon %s kB, %s open descriptors"
              % (label, values.get("VmRSS", "?"), values.get("RssAnon", "?"),
                 values.get("fds", "?")))
    for label, seconds in found.get("times", []):
        print("%-44s %.2f s" % (label, seconds))
    for label, milliseconds in found.get("milliseconds", []):
        print("%-44s %.0f ms" % (label, milliseconds))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--cache", required=True)
    parser.add_argument("--discover", help="quorvellan-discover, to ask the guest's USB/IP server")
    parser.add_argument("--rows", help="comma-separated rows (default: those for the figures)")
    parser.add_argument("--json", action="store_true", help="print the whole record")
    options = parser.parse_args()
    if os.getuid() != 0:
        raise SystemExit("guest.py needs root: it builds a network namespace")
    rows = options.rows.split(",") if options.rows else FIGURE_ROWS
    record = boot(os.path.abspath(options.daemon), os.path.abspath(options.cache), rows,
                  options.discover and os.path.abspath(options.discover))
    if options.json:
        json.dump(record, sys.stdout, indent=1)
        print()
    else:
        print_figures(figures(record))
    if record["error"]:
        print("guest: " + record["error"], file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
