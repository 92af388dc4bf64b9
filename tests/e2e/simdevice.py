"""A simulated device in fresh network, mount, UTS and PID namespaces.

The daemon sends broadcasts, so it must never run in this machine's own
network namespace.  Device holds new namespaces with a sleeping PID 1, checks
that they really are new, and starts programs in them with nsenter; when it
closes, the kernel ends every process in there.
"""

import os
import shutil
import signal
import socket
import subprocess
import time

import pytest

import netcheck

# The namespaces, mounts and names of a simulated device (with an empty host
# name), made by the recipe that scripts/bench and scripts/demo run too.
NAMESPACES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "device_namespaces.sh")
# Root hubs (usbN) and interfaces (with ':') are not devices: two remain.
TWO_USB_DEVICES = ["usb1", "1-0:1.0", "1-1", "1-1:1.0", "1-1.3", "1-1.3:1.0"]
AP_MAC = "02:5a:17:00:be:ef"
DIRECTORY = object()  # write() makes an empty directory
FIFO = object()  # write() makes a named pipe
TOOLS = ["unshare", "nsenter", "ip", "tc", "strace", "setpriv", "prlimit", "busybox"]


def cannot_run(reason):
    if os.environ.get("QUORVELLAN_E2E_REQUIRED") == "1":
        pytest.fail(reason + " (QUORVELLAN_E2E_REQUIRED=1)", pytrace=False)
    pytest.skip(reason)


def program(request, option):
    path = request.config.getoption(option)
    if not path:
        cannot_run("needs --" + option.lstrip("-"))
    if not os.access(path, os.X_OK):
        pytest.fail("%s is not an executable" % path, pytrace=False)
    return os.path.abspath(path)


def children_of(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(word) for word in f.read().split()]
    except OSError:
        return []


def stop(process):
    """Ends a process started in a session of its own, with its whole group."""
    try:
        os.killpg(process.pid, signal.SIGTERM)
        process.wait(timeout=5)
    except ProcessLookupError:
        pass
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
    return process.wait()


def identity(path):
    st = os.stat(path)
    return "%d:%d" % (st.st_dev, st.st_ino)


class Device:
    """The namespaces of one simulated device, shaped from outside: `ip` and
    the host name through nsenter, files through /proc/PID/root."""

    def __init__(self):
        self._holder = subprocess.Popen(
            [NAMESPACES, "--pid", "", "sh", "-c", "echo ready; exec sleep infinity"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, start_new_session=True)
        if self._holder.stdout.readline() != b"ready\n":
            raise RuntimeError("could not set up the namespaces (status %s)"
                               % self._holder.wait())
        self.pid = children_of(self._holder.pid)[0]
        self.root = "/proc/%d/root" % self.pid
        self.netns = "/proc/%d/ns/net" % self.pid
        # Never aim anything at namespaces of our own by mistake.
        for kind in ("net", "mnt", "uts", "pid"):
            if identity("/proc/%d/ns/%s" % (self.pid, kind)) == identity("/proc/self/ns/" + kind):
                raise RuntimeError("the device shares our %s namespace" % kind)
        if os.listdir(self.root + "/sys/class/net") != ["lo"]:
            raise RuntimeError("the device's network namespace is not fresh")
        # What a program must see to know it runs in a namespace of ours
        # (quorvellan-soak checks it).
        self.env = dict(os.environ, QUORVELLAN_DEVICENET_HOST_NETNS=identity("/proc/self/ns/net"))

    def command(self, words):
        return ["nsenter", "-t", str(self.pid), "-n", "-m", "-u", "-p", "--"] + list(words)

    def popen(self, words, **options):
        """A program in the device, in a process group of its own (see stop)."""
        options.setdefault("stdin", subprocess.DEVNULL)
        return subprocess.Popen(self.command(words), start_new_session=True, env=self.env,
                                **options)

    def run(self, *words, input=None):
        done = subprocess.run(self.command(words), input=input, capture_output=True, text=True)
        assert done.returncode == 0, "%s: %s" % (" ".join(words), done.stderr.strip())

    def ip(self, *commands):
        """Each command: the words after `ip`, as one string."""
        self.run("ip", "-batch", "-", input="\n".join(commands))

    def link(self, name, mac=None):
        """A bridge without ports: any name and MAC, loops each broadcast sent
        through it back to local sockets exactly once, and nothing leaves."""
        self.ip("link add %s %s type bridge" % (name, "address " + mac if mac else ""),
                "link set %s up" % name)

    def hostname(self, name):
        self.run("busybox", "hostname", name)  # hostname(1) refuses ""

    def write(self, path, content=None, size=None):
        """Replaces whatever is at path (under /etc or /sys/bus) with content:
        str or bytes, made `size` bytes long by a hole of NULs if given;
        DIRECTORY, an empty directory; FIFO, a named pipe; None, nothing."""
        assert path.startswith(("/etc/", "/sys/bus/")), path
        path = self.root + path
        if os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.lexists(path):
            os.unlink(path)
        if content is DIRECTORY:
            os.mkdir(path)
        elif content is FIFO:
            os.mkfifo(path)
        elif content is not None:
            with open(path, "wb") as f:
                f.write(content.encode() if isinstance(content, str) else content)
                f.truncate(size or f.tell())

    def usb(self, entries):
        """/sys/bus/usb/devices with these entries; None: no /sys/bus/usb at all."""
        self.write("/sys/bus/usb")
        if entries is not None:
            os.makedirs(self.root + "/sys/bus/usb/devices")
            for entry in entries:
                # Like sysfs, a link into the device tree; only the name counts.
                os.symlink("../../../devices/platform/usb/" + entry,
                           self.root + "/sys/bus/usb/devices/" + entry)

    def typical(self):
        """A device in ordinary use: the LAN bridge, the uplink with the
        default route, the access point whose MAC is announced."""
        self.ip("link add br-lan type bridge", "link add phy0-sta0 type bridge",
                "link add phy0-ap0 address %s type bridge" % AP_MAC,
                "link set br-lan up", "link set phy0-sta0 up", "link set phy0-ap0 up",
                "addr add 192.168.8.1/24 brd 192.168.8.255 dev br-lan",
                "addr add 10.0.0.23/24 brd 10.0.0.255 dev phy0-sta0",
                "route add default via 10.0.0.1 dev phy0-sta0")
        self.usb(TWO_USB_DEVICES)

    def wait_for_sockets(self, count, process, port=netcheck.PORT):
        """Waits until count UDP sockets are bound to port, so that a sender
        started next is heard from its first datagram; False if in vain."""
        deadline = time.monotonic() + 5
        while process.poll() is None and time.monotonic() < deadline:
            with open("/proc/%d/net/udp" % self.pid) as table:
                if sum(int(line.split()[1].rsplit(":", 1)[1], 16) == port
                       for line in list(table)[1:]) >= count:
                    return True
            time.sleep(0.01)
        return False

    def socket(self, *args):
        """A socket of the device's network."""
        return netcheck.in_netns(self.netns, lambda: socket.socket(*args))

    def close(self):
        # unshare ignores SIGTERM; --kill-child takes PID 1 in there, and so
        # everything in the namespaces, along with it.
        os.killpg(self._holder.pid, signal.SIGKILL)
        self._holder.wait()
        self._holder.stdout.close()
