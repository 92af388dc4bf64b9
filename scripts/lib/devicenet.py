"""A simulated device network, built in namespaces of its own.

The daemon under test sends broadcasts, so it must never run in the
machine's own network namespace.  enter() re-executes the calling program
inside fresh network, mount, UTS and PID namespaces and returns only there,
after checking that the namespace really is new.  Because the program then
runs as PID 1 of its own PID namespace, every process it starts (daemon,
strace, emulator) is killed by the kernel when it exits, however it exits.

DeviceNet then shapes that namespace into the device the daemon expects:
bridge-type links with chosen names and MACs, IPv4 addresses with explicit
broadcast addresses, routes, identity files under /etc, a host name and
/sys/bus/usb/devices entries.  Receiver listens for the announcements.

Python 3 standard library only.
"""

import collections
import os
import select
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time

BEACON_PORT = 32400

# Set in the environment of the re-executed program: the identity of the
# network namespace it was started from, so that it can prove it left it.
_HOST_NETNS_VARIABLE = "QUORVELLAN_DEVICENET_HOST_NETNS"

# Private scratch space inside the namespaces: holds the /etc overlay's upper
# and work directories and whatever files a caller wants to keep there.  The
# daemon never looks under /run, and a tmpfs mounted in our own mount
# namespace disappears with it.
SCRATCH = "/run"

# Python before 3.12 lacks the constant; the value is Linux's.
_IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)


class NotIsolated(RuntimeError):
    """The program is not where enter() should have put it."""


def _netns_identity():
    st = os.stat("/proc/self/ns/net")
    return "%d:%d" % (st.st_dev, st.st_ino)


def inside():
    """True in the program that enter() re-executed."""
    return _HOST_NETNS_VARIABLE in os.environ


def enter(argv=None):
    """Re-executes this program in fresh namespaces; returns only there.

    argv defaults to the current command line.  Needs root.  The process
    that calls this is replaced by unshare, which waits for the re-executed
    program and exits with its status.
    """
    if inside():
        _check_isolated()
        return
    if argv is None:
        argv = [os.path.abspath(sys.argv[0])] + sys.argv[1:]
    env = dict(os.environ)
    env[_HOST_NETNS_VARIABLE] = _netns_identity()
    sys.stdout.flush()
    sys.stderr.flush()
    # --kill-child: should unshare itself be killed (a test timeout), the
    # namespace's PID 1 dies too and takes every process of the run with it.
    os.execvpe("unshare", ["unshare", "--net", "--mount", "--uts", "--pid", "--fork",
                           "--mount-proc", "--kill-child", sys.executable] + list(argv), env)


def cannot_enter():
    """Why enter() would fail here (say, in a container without the right
    to make namespaces), or None when it would not."""
    probe = subprocess.run(["unshare", "--net", "--mount", "--uts", "--pid", "--fork",
                            "--mount-proc", "true"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           universal_newlines=True)
    if probe.returncode != 0:
        return probe.stderr.strip() or "unshare failed with status %d" % probe.returncode
    return None


def _check_isolated():
    if os.getpid() != 1:
        raise NotIsolated("not PID 1 of a fresh PID namespace")
    if _netns_identity() == os.environ[_HOST_NETNS_VARIABLE]:
        raise NotIsolated("still in the network namespace we were started from")
    names = sorted(name for _, name in socket.if_nameindex())
    if names != ["lo"]:
        raise NotIsolated("network namespace is not fresh: it holds %s" % ", ".join(names))


def run(*command):
    """Runs a set-up command; a failure raises with the command's own message."""
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True)
    if result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(command), result.returncode,
                                                   result.stderr.strip()))
    return result.stdout


class DeviceNet:
    """The simulated device, inside the namespaces enter() made.

    Links are bridges without ports unless asked otherwise: a bridge can
    carry any name and MAC, holds addresses, and loops a broadcast sent
    through it back to local sockets exactly once, with or without carrier.
    Nothing leaves it, since it has no ports.  (Our machines have no dummy
    links.  A veth works too, as long as its peer stays down: an up peer
    is one more link in the namespace that frames can come back through.)
    """

    ETC_FILES = ("/etc/quorvellan-name", "/etc/quorvellan-version")

    def __init__(self):
        _check_isolated()
        run("ip", "link", "set", "lo", "up")
        # Sysfs shows the network devices of the namespace that mounted it,
        # so /sys/class/net is the host's until we mount it again here.
        run("mount", "-t", "sysfs", "sysfs", "/sys")
        # Over the new sysfs, so that the USB view is ours to shape.
        run("mount", "-t", "tmpfs", "-o", "mode=0755", "devicenet-bus", "/sys/bus")
        run("mount", "-t", "tmpfs", "-o", "mode=0755", "devicenet-scratch", SCRATCH)
        upper = os.path.join(SCRATCH, "etc-upper")
        work = os.path.join(SCRATCH, "etc-work")
        os.mkdir(upper)
        os.mkdir(work)
        # /etc stays readable (passwd for setpriv, ld.so.cache for the
        # loader); our writes land in the tmpfs upper directory.
        run("mount", "-t", "overlay", "-o",
            "lowerdir=/etc,upperdir=%s,workdir=%s" % (upper, work), "devicenet-etc", "/etc")
        for path in self.ETC_FILES:
            self.write_file(path, None)
        self.set_hostname("")

    # Identity -------------------------------------------------------------

    def set_hostname(self, name):
        """Sets the UTS host name; "" leaves it empty.

        hostname(1) refuses "" and a zero-length write to
        /proc/sys/kernel/hostname changes nothing; sethostname(2) with
        length 0 works.
        """
        socket.sethostname(name)
        with open("/proc/sys/kernel/hostname") as f:
            if f.read() != name + "\n":
                raise RuntimeError("host name did not become %r" % name)

    def write_file(self, path, content):
        """Writes content (str or bytes, exactly, no newline added) to a file
        under /etc, or removes it when content is None."""
        if not path.startswith("/etc/"):
            raise ValueError("only files under /etc are ours to change: %s" % path)
        if content is None:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
            return
        if isinstance(content, str):
            content = content.encode("utf-8")
        # Replaced, not rewritten in place, so a reader sees old or new.
        temporary = path + ".devicenet-new"
        with open(temporary, "wb") as f:
            f.write(content)
        os.chmod(temporary, 0o644)
        os.rename(temporary, path)

    # Links, addresses, routes ---------------------------------------------

    def add_link(self, name, kind="bridge", mac=None, up=True):
        """Adds a link: kind "bridge" (no ports) or "veth" (peer NAME-p left
        down, so it never delivers anything back to us)."""
        command = ["ip", "link", "add", name]
        if mac:
            command += ["address", mac]
        if kind == "bridge":
            command += ["type", "bridge"]
        elif kind == "veth":
            command += ["type", "veth", "peer", "name", name[:13] + "-p"]
        else:
            raise ValueError("unknown link kind %r" % kind)
        run(*command)
        if up:
            self.set_link(name, True)

    def set_link(self, name, up):
        run("ip", "link", "set", "dev", name, "up" if up else "down")

    def remove_link(self, name):
        run("ip", "link", "del", "dev", name)

    def add_address(self, link, cidr, broadcast):
        run("ip", "addr", "add", cidr, "broadcast", broadcast, "dev", link)

    def remove_address(self, link, cidr):
        run("ip", "addr", "del", cidr, "dev", link)

    def add_route(self, route):
        """route: the words after "ip route add", e.g. "default dev br-lan"."""
        run("ip", "route", "add", *route.split())

    # USB ------------------------------------------------------------------

    USB_DEVICES = "/sys/bus/usb/devices"

    def set_usb(self, entries):
        """Fills /sys/bus/usb/devices with entries; None means no /sys/bus/usb
        at all, as on a device without USB support."""
        usb = os.path.dirname(self.USB_DEVICES)
        if os.path.isdir(usb):
            shutil.rmtree(usb)
        if entries is None:
            return
        os.makedirs(self.USB_DEVICES)
        for entry in entries:
            self.add_usb_entry(entry)

    def add_usb_entry(self, name):
        # Like sysfs: a symbolic link into the device tree.  Only the name
        # matters to the daemon, so the target need not exist.
        os.symlink("../../../devices/platform/usb/" + name, os.path.join(self.USB_DEVICES, name))

    def remove_usb_entry(self, name):
        os.unlink(os.path.join(self.USB_DEVICES, name))

    # ----------------------------------------------------------------------

    def describe(self):
        """The device as `ip` sees it, for logs."""
        return run("ip", "-br", "addr") + run("ip", "route")


Datagram = collections.namedtuple(
    "Datagram", "time payload source_address source_port destination interface")


class Receiver:
    """Records every datagram arriving on port 32400 of any address.

    Bound to 0.0.0.0 with IP_PKTINFO, so it receives directed and limited
    broadcasts alike and learns the destination address each was sent to.
    Times are time.monotonic().  on_datagram, if given, is called from the
    receiving thread for each datagram as it arrives.
    """

    def __init__(self, port=BEACON_PORT, on_datagram=None):
        self._socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._socket.setsockopt(socket.IPPROTO_IP, _IP_PKTINFO, 1)
        self._socket.bind(("0.0.0.0", port))
        self._on_datagram = on_datagram
        self._lock = threading.Lock()
        self._datagrams = []
        self._stop_read, self._stop_write = os.pipe()
        self._thread = threading.Thread(target=self._receive, daemon=True)
        self._thread.start()

    def _receive(self):
        while True:
            ready, _, _ = select.select([self._socket, self._stop_read], [], [])
            if self._stop_read in ready:
                # Whatever the kernel has queued already still counts.
                self._socket.setblocking(False)
                try:
                    while True:
                        self._record(*self._socket.recvmsg(65535, socket.CMSG_SPACE(12)))
                except BlockingIOError:
                    return
            self._record(*self._socket.recvmsg(65535, socket.CMSG_SPACE(12)))

    def _record(self, payload, ancillary, _flags, source):
        arrived = time.monotonic()
        destination, interface = None, None
        for level, kind, data in ancillary:
            if level == socket.IPPROTO_IP and kind == _IP_PKTINFO:
                # struct in_pktinfo: ifindex, local address, header destination
                interface, _, header_destination = struct.unpack("i4s4s", data[:12])
                destination = socket.inet_ntoa(header_destination)
        datagram = Datagram(arrived, payload, source[0], source[1], destination, interface)
        with self._lock:
            self._datagrams.append(datagram)
        if self._on_datagram:
            self._on_datagram(datagram)

    def datagrams(self):
        with self._lock:
            return list(self._datagrams)

    def close(self):
        """Stops after reading whatever is already queued on the socket."""
        os.write(self._stop_write, b"x")
        self._thread.join()
        self._socket.close()
        os.close(self._stop_read)
        os.close(self._stop_write)
