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

Peer adds another machine (a second device, a laptop) with network, mount,
UTS and PID namespaces of its own, made from inside ours so that they can
never be the machine's own, and joined to ours by a veth pair.

Python 3 standard library only.
"""

import collections
import json
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

BEACON_PORT = 32400

# Set in the environment of the re-executed program: the identity of the
# network namespace it was started from, so that it can prove it left it.
# A Peer's program gets a comma-separated list: every namespace above it.
_HOST_NETNS_VARIABLE = "QUORVELLAN_DEVICENET_HOST_NETNS"

# Private scratch space inside the namespaces: holds the /etc overlay's upper
# and work directories and whatever files a caller wants to keep there.  The
# daemon never looks under /run, and a tmpfs mounted in our own mount
# namespace disappears with it.
SCRATCH = "/run"

# One spelling for enter(), cannot_enter() and Peer, so that the probe tries
# exactly what the others will ask for.  --mount-proc: /proc must show the
# new PID namespace, for the PID 1 check and for children_of().
_UNSHARE = ["unshare", "--net", "--mount", "--uts", "--pid", "--fork", "--mount-proc"]

# Python before 3.12 lacks these constants; the values are Linux's.
_IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)
_SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
_STAMP = struct.Struct("@ll")


class NotIsolated(RuntimeError):
    """The program is not where enter() should have put it."""


def _namespace_identity(kind="net"):
    """Tells namespaces apart; kind is a name under /proc/self/ns."""
    st = os.stat("/proc/self/ns/" + kind)
    return "%d:%d" % (st.st_dev, st.st_ino)


def inside():
    """True in the program that enter() re-executed."""
    return _HOST_NETNS_VARIABLE in os.environ


def enter(argv=None, forward_signals=False):
    """Re-executes this program in fresh namespaces; returns only there.

    argv defaults to the current command line.  Needs root.  The process
    that calls this is replaced by unshare, which waits for the re-executed
    program and exits with its status.

    unshare itself ignores SIGINT and SIGTERM, so a `kill` of the caller's
    PID or `timeout` would go unheard.  With forward_signals the caller
    stays instead: it passes SIGINT, SIGTERM and SIGHUP on to the program
    (PID 1 in there, which needs handlers for them), and exits with its
    status.  Should the caller die, unshare and everything below go too.
    """
    if inside():
        _check_isolated()
        return
    if argv is None:
        argv = [os.path.abspath(sys.argv[0])] + sys.argv[1:]
    env = dict(os.environ)
    env[_HOST_NETNS_VARIABLE] = _namespace_identity()
    sys.stdout.flush()
    sys.stderr.flush()
    # --kill-child: should unshare itself be killed (a test timeout), the
    # namespace's PID 1 dies too and takes every process of the run with it.
    command = _UNSHARE + ["--kill-child", sys.executable] + list(argv)
    if not forward_signals:
        os.execvpe("unshare", command, env)
    unshare = subprocess.Popen(command, env=env, preexec_fn=_die_with_parent)

    def forward(signum, frame):
        for pid in children_of(unshare.pid):
            try:
                os.kill(pid, signum)
            except ProcessLookupError:
                pass

    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, forward)
    status = unshare.wait()
    sys.exit(status if status >= 0 else 128 - status)


def _die_with_parent():
    """In a child before exec: SIGKILL when the parent dies."""
    import ctypes  # only here: most callers never need it
    pr_set_pdeathsig = 1
    if ctypes.CDLL(None, use_errno=True).prctl(pr_set_pdeathsig, signal.SIGKILL) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_PDEATHSIG)")


def children_of(pid):
    """The processes whose parent is pid."""
    children = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            if parent == pid:
                children.append(int(entry))
    return children


def cannot_enter():
    """Why enter() would fail here (say, in a container without the right
    to make namespaces), or None when it would not."""
    probe = subprocess.run(_UNSHARE + ["true"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           universal_newlines=True)
    if probe.returncode != 0:
        return probe.stderr.strip() or "unshare failed with status %d" % probe.returncode
    return None


def _check_isolated(fresh=True):
    """fresh: the network namespace must still hold nothing but loopback."""
    if os.getpid() != 1:
        raise NotIsolated("not PID 1 of a fresh PID namespace")
    if _namespace_identity() in os.environ[_HOST_NETNS_VARIABLE].split(","):
        raise NotIsolated("still in the network namespace we were started from")
    names = sorted(name for _, name in socket.if_nameindex())
    if fresh and names != ["lo"]:
        raise NotIsolated("network namespace is not fresh: it holds %s" % ", ".join(names))


def run(*command, pass_fds=()):
    """Runs a set-up command; a failure raises with the command's own message."""
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, pass_fds=pass_fds)
    if result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(command), result.returncode,
                                                   result.stderr.strip()))
    return result.stdout


def _check_etc_path(path):
    if not path.startswith("/etc/"):
        raise ValueError("only files under /etc are ours to change: %s" % path)


def _remove_entry(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    else:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def _put_in_place(temporary, path):
    """Moves a prepared file or directory to path.  A file replaces a file
    at once, so a reader sees the old or the new one; a change of kind
    (file to directory or back) cannot be one rename, and for a moment
    nothing is there."""
    os.chmod(temporary, 0o755 if os.path.isdir(temporary) else 0o644)
    if os.path.isdir(temporary) or (os.path.isdir(path) and not os.path.islink(path)):
        _remove_entry(path)
    os.rename(temporary, path)


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
        under /etc, or removes it when content is None.  Whatever stood at
        path before, a directory included, is replaced."""
        _check_etc_path(path)
        if content is None:
            _remove_entry(path)
            return
        if isinstance(content, str):
            content = content.encode("utf-8")
        temporary = path + ".devicenet-new"
        with open(temporary, "wb") as f:
            f.write(content)
        _put_in_place(temporary, path)

    def write_sparse(self, path, size, head=""):
        """A file under /etc of size bytes: head (str or bytes), then a hole
        that reads as NUL bytes and takes no room, however big."""
        _check_etc_path(path)
        if isinstance(head, str):
            head = head.encode("utf-8")
        temporary = path + ".devicenet-new"
        with open(temporary, "wb") as f:
            f.write(head)
            f.truncate(size)
        _put_in_place(temporary, path)

    def make_directory(self, path):
        """An empty directory under /etc where a file is expected."""
        _check_etc_path(path)
        temporary = path + ".devicenet-new"
        os.mkdir(temporary, 0o755)
        _put_in_place(temporary, path)

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

    def add_port(self, bridge, link):
        """Makes link a port of bridge, forwarding at once."""
        # Even without STP a new port would only learn for 15 s before it
        # forwards, and the first announcements would be lost meanwhile.
        run("ip", "link", "set", "dev", bridge, "type", "bridge", "forward_delay", "0")
        run("ip", "link", "set", "dev", link, "master", bridge)

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


def build_device(description):
    """A DeviceNet shaped as a description says, with the keys "hostname",
    "files", "links", "addresses", "routes" and "usb" (see the end-to-end
    scenarios, which are such descriptions); other keys are not looked at.
    A "files" value is write_file's content, or a tuple (method, *arguments)
    naming another file method, such as ("write_sparse", 1 << 30)."""
    dev = DeviceNet()
    dev.set_hostname(description.get("hostname", ""))
    for path, content in description.get("files", {}).items():
        if isinstance(content, tuple):
            # (method, *arguments): another of DeviceNet's ways to fill path.
            method, *arguments = content
            getattr(dev, method)(path, *arguments)
        else:
            dev.write_file(path, content)
    for link in description.get("links", []):
        dev.add_link(link["name"], kind=link.get("kind", "bridge"), mac=link.get("mac"),
                     up=link.get("up", True))
    for link, cidr, broadcast in description.get("addresses", []):
        dev.add_address(link, cidr, broadcast)
    for route in description.get("routes", []):
        dev.add_route(route)
    dev.set_usb(description.get("usb"))
    return dev


def wait_until_listening(process, port=BEACON_PORT, timeout=5.0):
    """Waits until process holds a UDP socket bound to port, so that a
    sender started next is heard from its first datagram on.  True if it
    does within timeout; False if not, or if the process ended."""
    deadline = time.monotonic() + timeout
    while process.poll() is None:
        if _udp_port_held(process.pid, port):
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return False


def _udp_port_held(pid, port):
    """Whether pid has a UDP socket bound to port, in whichever network
    namespace pid is in (as /proc/PID/net shows it)."""
    try:
        sockets = set()
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if target.startswith("socket:["):
                sockets.add(target[len("socket:["):-1])
        with open("/proc/%d/net/udp" % pid) as table:
            next(table)
            for line in table:
                fields = line.split()
                if int(fields[1].rsplit(":", 1)[1], 16) == port and fields[9] in sockets:
                    return True
    except (OSError, StopIteration):
        pass
    return False


Datagram = collections.namedtuple(
    "Datagram", "time payload source_address source_port destination interface")


def monotonic_from_realtime(stamp):
    """A CLOCK_REALTIME time (a kernel or strace timestamp) of the recent
    past on the time.monotonic() scale, so that it can be compared with
    times taken here and with other stamps converted alike."""
    return time.monotonic() - (time.time() - stamp)


class Receiver:
    """Records every datagram arriving on port 32400 of any address.

    Bound to 0.0.0.0 with IP_PKTINFO, so it receives directed and limited
    broadcasts alike and learns the destination address each was sent to.
    Times are on the time.monotonic() scale but taken by the kernel as each
    datagram arrived: on a loaded machine this thread may get to run late,
    and its own clock readings would stretch or shrink the gaps between
    cycles.  on_datagram, if given, is called from the receiving thread for
    each datagram as it is read.
    """

    # Room for an in_pktinfo and a time stamp (seconds, nanoseconds).
    _ANCILLARY_SIZE = socket.CMSG_SPACE(12) + socket.CMSG_SPACE(_STAMP.size)

    def __init__(self, port=BEACON_PORT, on_datagram=None):
        self._socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._socket.setsockopt(socket.IPPROTO_IP, _IP_PKTINFO, 1)
        self._socket.setsockopt(socket.SOL_SOCKET, _SO_TIMESTAMPNS, 1)
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
                        self._record(*self._socket.recvmsg(65535, self._ANCILLARY_SIZE))
                except BlockingIOError:
                    return
            self._record(*self._socket.recvmsg(65535, self._ANCILLARY_SIZE))

    def _record(self, payload, ancillary, _flags, source):
        arrived = None
        destination, interface = None, None
        for level, kind, data in ancillary:
            if level == socket.IPPROTO_IP and kind == _IP_PKTINFO:
                # struct in_pktinfo: ifindex, local address, header destination
                interface, _, header_destination = struct.unpack("i4s4s", data[:12])
                destination = socket.inet_ntoa(header_destination)
            elif level == socket.SOL_SOCKET and kind == _SO_TIMESTAMPNS:
                seconds, nanoseconds = _STAMP.unpack(data[:_STAMP.size])
                arrived = monotonic_from_realtime(seconds + nanoseconds / 1e9)
        if arrived is None:
            raise RuntimeError("the kernel gave no receive time for a datagram")
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


class Peer:
    """Another machine on the simulated network, such as a second device.

    Made from inside the namespaces of enter(): fresh network, mount, UTS
    and PID namespaces of its own, with a DeviceNet built there by a small
    agent (this file run as a program, PID 1 of the new PID namespace).
    DeviceNet's methods called on a Peer run in the agent, so the peer is
    shaped like the device here.  connect() joins the two networks with a
    veth pair; popen() starts a program in the peer's network, mounts and
    host name, as a child of ours: it dies with our PID namespace whatever
    happens, and close() stops it first.
    """

    _NAMESPACES = (("net", "--net"), ("mnt", "--mount"), ("uts", "--uts"))

    def __init__(self):
        # Ours may hold links already; the peer's is checked by its agent.
        _check_isolated(fresh=False)
        ours, theirs = socket.socketpair()
        env = dict(os.environ)
        env[_HOST_NETNS_VARIABLE] = ",".join([os.environ[_HOST_NETNS_VARIABLE],
                                              _namespace_identity()])
        # A session of its own: Ctrl-C is ours to handle, not the agent's.
        self._unshare = subprocess.Popen(
            _UNSHARE + ["--kill-child", sys.executable, os.path.abspath(__file__),
                        "--peer-agent"],
            stdin=theirs, env=env, start_new_session=True)
        theirs.close()
        self._control = ours.makefile("rw", encoding="utf-8")
        self._socket = ours
        self._processes = []
        self._namespace_fds = {}
        try:
            reported = self._exchange({"hello": True})
            # unshare(1) made the namespaces in its own process before it
            # forked the agent, so they can be held open from here; checked
            # against what the agent saw, so that nothing is ever aimed at
            # another namespace (our own, say) by mistake.
            for kind, _ in self._NAMESPACES:
                fd = os.open("/proc/%d/ns/%s" % (self._unshare.pid, kind),
                             os.O_RDONLY | os.O_CLOEXEC)
                self._namespace_fds[kind] = fd
                st = os.fstat(fd)
                if "%d:%d" % (st.st_dev, st.st_ino) != reported[kind]:
                    raise NotIsolated("the peer's %s namespace is not the one its agent is in"
                                      % kind)
                if reported[kind] == _namespace_identity(kind):
                    raise NotIsolated("the peer shares our %s namespace" % kind)
        except BaseException:
            self.close()
            raise

    def _exchange(self, request):
        self._control.write(json.dumps(request) + "\n")
        self._control.flush()
        line = self._control.readline()
        if not line:
            raise RuntimeError("the peer's agent ended (status %s)" % self._unshare.wait())
        reply = json.loads(line)
        if "error" in reply:
            raise RuntimeError("peer: " + reply["error"])
        return reply["result"]

    def call(self, method, *arguments, **keywords):
        """Calls a DeviceNet method in the peer; returns what it returns."""
        return self._exchange({"method": method, "arguments": list(arguments),
                               "keywords": keywords})

    def __getattr__(self, name):
        if name.startswith("_") or not callable(getattr(DeviceNet, name, None)):
            raise AttributeError(name)
        return lambda *arguments, **keywords: self.call(name, *arguments, **keywords)

    def _namespace_path(self, kind):
        return "/proc/self/fd/%d" % self._namespace_fds[kind]

    def connect(self, here, there):
        """Adds a veth pair: link `here` in our network namespace, up, and
        link `there` in the peer's, down until the peer brings it up."""
        run("ip", "link", "add", here, "type", "veth", "peer", "name", there,
            "netns", self._namespace_path("net"), pass_fds=(self._namespace_fds["net"],))
        run("ip", "link", "set", "dev", here, "up")

    def popen(self, command, **options):
        """subprocess.Popen of command in the peer's namespaces (but ours
        for PIDs)."""
        fds = tuple(self._namespace_fds.values())
        options["pass_fds"] = tuple(options.get("pass_fds", ())) + fds
        enter = ["nsenter"] + ["%s=%s" % (option, self._namespace_path(kind))
                               for kind, option in self._NAMESPACES]
        process = subprocess.Popen(enter + ["--"] + list(command), **options)
        self._processes.append(process)
        return process

    def close(self):
        """Stops what popen() started and ends the peer's namespaces."""
        for process in self._processes:
            stop(process)
        for fd in self._namespace_fds.values():
            os.close(fd)
        self._namespace_fds = {}
        # The agent ends at end of input; as PID 1 it takes its namespace
        # with it.
        self._control.close()
        self._socket.close()
        try:
            self._unshare.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self._unshare.kill()
            self._unshare.wait()


def stop(process, timeout=5):
    """Ends a process started with start_new_session=True, or popen(): its
    whole group, so that nothing it started stays behind."""
    if process.poll() is not None:
        return process.returncode
    for signum in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(process.pid, signum)
        except (ProcessLookupError, PermissionError):
            # Not a group leader: the process alone.
            process.send_signal(signum)
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            pass
    return process.wait()


def _serve_peer():
    """The agent of a Peer: builds the DeviceNet, then runs the methods
    asked for on standard input, a socket, until it closes."""
    # As PID 1, a signal without a handler of ours would be ignored.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(1))
    control = socket.socket(fileno=0)
    stream = control.makefile("rw", encoding="utf-8")
    dev = None
    for line in stream:
        request = json.loads(line)
        try:
            if "hello" in request:
                dev = DeviceNet()
                result = {kind: _namespace_identity(kind) for kind in ("net", "mnt", "uts")}
            else:
                method = request["method"]
                if method.startswith("_") or not callable(getattr(DeviceNet, method, None)):
                    raise ValueError("no DeviceNet method %r" % method)
                result = getattr(dev, method)(*request["arguments"], **request["keywords"])
            reply = {"result": result}
        except Exception as problem:  # noqa: BLE001 - reported to the caller, who raises it
            reply = {"error": "%s: %s" % (type(problem).__name__, problem)}
        stream.write(json.dumps(reply) + "\n")
        stream.flush()
    return 0


if __name__ == "__main__" and sys.argv[1:] == ["--peer-agent"]:
    sys.dont_write_bytecode = True
    if not inside():
        raise SystemExit("devicenet: --peer-agent runs only inside a Peer's namespaces")
    sys.exit(_serve_peer())
