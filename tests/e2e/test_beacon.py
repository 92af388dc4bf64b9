"""The real daemon on a simulated device: what only a real kernel shows
(netlink, sysfs, files turning hostile, churn between cycles, descriptor
starvation, start-up failures, cadence, the listener beside it).  Which
destinations a cycle sends to, in which order and to which port is settled
by the unit tests of the cycle; here it is the kernel's answers that count.

Cycles are ~3 s apart and times count from the first, so a 4.5 s run sees
two and an action at 1.5 s lands between them.
"""

import functools
import json
import pwd
import re
import socket
import subprocess
import time

import pytest

import netcheck
from simdevice import AP_MAC, DIRECTORY, FIFO, TWO_USB_DEVICES, program

LIMITED = "255.255.255.255"
TYPICAL = ["192.168.8.255", "10.0.0.255", LIMITED]
BRIDGE_MAC = "02:5a:17:00:0b:01"
GIB = 1 << 30
NAME, VERSION = "/etc/quorvellan-name", "/etc/quorvellan-version"


def payload(name="Quorvellan Link", hostname="quorvellan", version="unknown", mac="", ip_ap="",
            ip_lan="", usb=0):
    """The announcement the daemon must send; values already JSON-escaped,
    so that every expected byte is written out here."""
    return ('{"id":"quorvellan_link","name":"%s","hostname":"%s","version":"%s","mac":"%s",'
            '"ip_ap":"%s","ip_lan":"%s","http":80,"usbip":3240,"usb_devices":%d}'
            % (name, hostname, version, mac, ip_ap, ip_lan, usb))


DEFAULT = ('{"id":"quorvellan_link","name":"Quorvellan Link","hostname":"quorvellan",'
           '"version":"unknown","mac":"","ip_ap":"","ip_lan":"","http":80,"usbip":3240,'
           '"usb_devices":0}')
assert DEFAULT == payload()


def typical(ip_ap="192.168.8.1", ip_lan="10.0.0.23"):
    return payload(mac=AP_MAC, ip_ap=ip_ap, ip_lan=ip_lan, usb=2)


def shape(device, macs={}, hostname=None, files={}, usb=False):
    """Links {name: MAC}, identity files {path: content, or (content, size)},
    host name and USB entries (None: no /sys/bus/usb), where given."""
    for name, mac in macs.items():
        device.link(name, mac)
    if hostname is not None:
        device.hostname(hostname)
    for path, content in files.items():
        device.write(path, *content) if isinstance(content, tuple) else device.write(path, content)
    if usb is not False:
        device.usb(usb)


def row(name, *values):
    return pytest.param(*values, id=name)


# eth0, without IPv4, holds the default route: the limited broadcast leaves,
# with nothing to report and no directed send.  `macs` adds links; the
# changes come between cycles, the first 1.5 s after the first cycle.
@pytest.mark.parametrize("setup, changes, payloads", [
    # No files, empty host name, no /sys/bus/usb, no MAC source.
    row("defaults", dict(macs={"wlan0": "02:5a:17:00:e0:02"}), [], 2 * [DEFAULT]),
    # CR LF from another system; phy0-ap0's MAC before br-lan's.
    row("identity", dict(macs={"br-lan": BRIDGE_MAC, "phy0-ap0": AP_MAC}, hostname="ql-7f3a",
                         files={NAME: "Living Room Link\r\n", VERSION: "2.3.1\n"}), [],
        2 * [payload(name="Living Room Link", hostname="ql-7f3a", version="2.3.1", mac=AP_MAC)]),
    # Empty first lines; br-lan's MAC without phy0-ap0.
    row("identity_fallbacks", dict(macs={"br-lan": BRIDGE_MAC},
                                   files={NAME: "\r\nnot the name\n", VERSION: "\n2.3.1\n"}),
        [], 2 * [payload(version="", mac=BRIDGE_MAC)]),
    row("identity_directories", dict(hostname="ql-7f3a",
                                     files={NAME: DIRECTORY, VERSION: DIRECTORY}),
        [], 2 * [payload(hostname="ql-7f3a")]),
    # 1 GiB of NULs: an empty first line, read in no time.
    row("identity_sparse", dict(files={NAME: (b"", GIB), VERSION: (b"", GIB)}), [],
        2 * [payload(version="")]),
    # Text ends at a NUL; bad UTF-8 replaced, controls escaped, CR kept.
    row("identity_garbage", dict(files={NAME: b"\xff\xfeAB\x00CD\n",
                                        VERSION: b"2.0\t\x01\xc3\xa9\xe2\x82\r\n"}), [],
        2 * [payload(name="\ufffd\ufffdAB", version="2.0\\t\\u0001\u00e9\ufffd\ufffd\\r")]),
    # An empty file is a missing version, unlike an empty line.
    row("identity_change", dict(hostname="ql-1", files={NAME: "Kitchen Link\n",
                                                        VERSION: "1.0.0\n"}),
        [dict(hostname="ql-2", files={NAME: 'Bob\'s "Garage"\n', VERSION: ""})],
        [payload(name="Kitchen Link", hostname="ql-1", version="1.0.0"),
         payload(name='Bob\'s \\"Garage\\"', hostname="ql-2")]),
    # A FIFO without a writer in place of the name counts as no file; 40
    # bytes without a line feed are cut to 31, inside the 16th character.
    row("identity_turns_hostile", dict(files={NAME: "Kitchen Link\n", VERSION: "1.0.0\n"}),
        [dict(files={NAME: FIFO, VERSION: 20 * "\u00e9"}),
         dict(files={NAME: ("Attic Link\n", GIB), VERSION: DIRECTORY})],
        [payload(name="Kitchen Link", version="1.0.0"), payload(version=15 * "\u00e9" + "\ufffd"),
         payload(name="Attic Link")]),
    # Root hubs and interfaces are not devices; a device unplugged, then the bus gone.
    row("usb_churn", dict(usb=TWO_USB_DEVICES), [dict(usb=TWO_USB_DEVICES[:4]), dict(usb=None)],
        [payload(usb=2), payload(usb=1), payload(usb=0)]),
])
def test_identity(device, beacon, setup, changes, payloads):
    device.ip("link add eth0 type bridge", "link set eth0 up", "route add default dev eth0")
    shape(device, **setup)
    run = beacon(device, 1.5 + 3 * (len(payloads) - 1), actions={
        1.5 + 3 * k: functools.partial(shape, device, **c) for k, c in enumerate(changes)})
    assert run.cycles == [(p, [LIMITED]) for p in payloads]
    assert run.read < 1 << 20  # a file read whole would be a GiB; an emulator loads some KiB


# The typical device, changed between cycles by `ip` commands.  A link's last
# address takes its routes along, so a new one goes on before the old comes off.
@pytest.mark.parametrize("setup, changes, cycles", [
    row("address_change", [], [["addr add 192.168.50.1/24 brd + dev br-lan",
                             "addr del 192.168.8.1/24 dev br-lan"]],
        [(typical(), TYPICAL),
         (typical(ip_ap="192.168.50.1"), ["192.168.50.255", "10.0.0.255", LIMITED])]),
    # An uplink created, readdressed and deleted: after phy0-sta0, it is ip_lan.
    row("interface_churn", [], [["link add wwan type bridge", "link set wwan up",
                             "addr add 172.16.5.1/24 brd + dev wwan"],
                            ["addr add 172.16.9.1/24 brd + dev wwan",
                             "addr del 172.16.5.1/24 dev wwan"],
                            ["link del wwan"]],
        [(typical(), TYPICAL),
         (typical(ip_lan="172.16.5.1"), ["192.168.8.255", "10.0.0.255", "172.16.5.255", LIMITED]),
         (typical(ip_lan="172.16.9.1"), ["192.168.8.255", "10.0.0.255", "172.16.9.255", LIMITED]),
         (typical(), TYPICAL)]),
    # Without `brd` the kernel lists the address itself as the broadcast
    # address: the /24 gets its subnet's, the /32 no directed send at all.
    row("no_broadcast_address", ["addr flush dev br-lan", "addr add 192.168.8.1/24 dev br-lan",
                                 "addr add 172.16.1.1/32 dev br-lan"],
        [], 2 * [(typical(ip_ap="172.16.1.1"), TYPICAL)]),
])
def test_network(device, beacon, setup, changes, cycles):
    device.typical()
    device.ip(*setup)
    run = beacon(device, 1.5 + 3 * (len(cycles) - 1), strace="sendto", actions={
        1.5 + 3 * k: functools.partial(device.ip, *change) for k, change in enumerate(changes)})
    assert run.cycles == cycles
    assert run.sendto == [destinations for _, destinations in cycles]


def udp_queues(device):
    """{local port: bytes waiting in its receive queue} of the device's UDP sockets."""
    with open("/proc/%d/net/udp" % device.pid) as table:
        rows = [line.split() for line in list(table)[1:]]
    return {int(row[1].rsplit(":", 1)[1], 16): int(row[4].split(":")[1], 16) for row in rows}


def flood_source_port(device, queued):
    """What any host on the LAN can do: 1,000 datagrams of 1,000 bytes to the
    port every announcement names as its source; then what waits for the
    daemon there (appended to queued)."""
    [port] = set(udp_queues(device)) - {netcheck.PORT}
    flood = device.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for _ in range(1000):
        flood.sendto(bytes(1000), ("192.168.8.1", port))
    flood.close()
    time.sleep(0.2)
    queued.append(udp_queues(device)[port])


def test_typical(device, beacon):
    """Directed broadcasts in list order, then the limited one, nothing else;
    arguments ignored; the cadence held over three cycles; a flood to the
    source port finds no queue to fill, since the daemon never reads one."""
    device.typical()
    queued = []
    run = beacon(device, 7.5, strace="sendto",
                 args=["--help", "-p", "9999", "/etc/quorvellan.conf"],
                 actions={4.5: functools.partial(flood_source_port, device, queued)})
    assert run.cycles == 3 * [(typical(), TYPICAL)]
    assert run.sendto == 3 * [TYPICAL]
    assert queued == [0]


def test_stalled_uplinks(device, beacon):
    """Uplinks whose queues stopped draining while their carrier stays up (a
    hung radio or modem driver) keep every datagram sent to them charged to
    the daemon's socket, 30 per link and cycle; br-lan hears every cycle all
    the same, and so do the stalled links' own addresses.  Addresses are
    listed by link in the order the links were made: phy0-sta0's before
    br-lan's, wwan's after them.  Each cycle's copies loop back whole."""
    device.ip("link add phy0-sta0 type veth peer name sta0-peer",
              "link add br-lan address %s type bridge" % BRIDGE_MAC,
              "link add wwan type veth peer name wwan-peer",
              *("link set %s up" % link for link in ("phy0-sta0", "sta0-peer", "br-lan", "wwan",
                                                     "wwan-peer")),
              "addr add 192.168.8.1/24 brd + dev br-lan",
              *("addr add 10.0.0.%d/24 brd + dev phy0-sta0" % i for i in range(1, 31)),
              *("addr add 172.16.0.%d/24 brd + dev wwan" % i for i in range(1, 31)),
              "route add default dev phy0-sta0")
    # 1 byte a second, and room for every datagram of the run.
    device.run("tc", "-batch", "-", input="".join(
        "qdisc add dev %s root tbf rate 8bit burst 1600 limit 100mb\n" % link
        for link in ("phy0-sta0", "wwan")))
    run = beacon(device, 30)
    announced = payload(mac=BRIDGE_MAC, ip_ap="192.168.8.1", ip_lan="172.16.0.30")
    every_destination = 30 * ["10.0.0.255"] + ["192.168.8.255"] + 30 * ["172.16.0.255"] + [LIMITED]
    # Cycles 3 to 3.3 s apart fill 30 s with ten.
    assert len(run.cycles) >= 9
    assert run.cycles == len(run.cycles) * [(announced, every_destination)]


def test_sends_all_fail(device, beacon):
    """Every link down, addresses kept, no route: every send fails and the
    cadence holds (it is checked on the traced calls)."""
    device.typical()
    device.ip(*("link set %s down" % link for link in ("br-lan", "phy0-sta0", "phy0-ap0")))
    run = beacon(device, 7.5, strace="sendto")
    assert run.cycles == []
    assert run.sendto == 3 * [[d + " ENETUNREACH" for d in TYPICAL]]


def test_down_interface(device, beacon):
    """A down link keeping its address still gets its send attempt."""
    device.typical()
    device.ip("link set phy0-sta0 down", "route add default dev br-lan")
    run = beacon(device, 4.5, strace="sendto")
    assert run.sendto == 2 * [TYPICAL]
    # Only the copies that loop back through an up link arrive.
    assert run.cycles == 2 * [(typical(), ["192.168.8.255", LIMITED])]


def test_unprivileged(device, beacon):
    """As a user of no privilege, started by a supervisor that closed the
    standard three: the socket does not take their place."""
    device.typical()
    run = beacon(device, 4.5, user="nobody", closed=True)
    assert run.cycles == 2 * [(typical(), TYPICAL)]
    assert run.uid == pwd.getpwnam("nobody").pw_uid
    assert run.standard == 3 * ["/dev/null"]


def test_descriptor_starvation(device, beacon):
    """Descriptors for the standard three and the socket only: every file,
    directory and netlink socket after it fails, and the defaults go to the
    limited broadcast alone.  qemu-user holds no descriptor once its guest
    runs, so the same limit serves under it."""
    device.typical()
    shape(device, hostname="ql-7f3a", files={NAME: "Living Room Link\n", VERSION: "2.3.1\n"})
    run = beacon(device, 7.5, nofile=4, strace="sendto,open,openat,socket")
    assert run.cycles == 3 * [(DEFAULT, [LIMITED])]
    assert run.sendto == 3 * [[LIMITED]]
    assert run.opens and all(result.startswith("-1 EMFILE ") for _, _, result in run.opens), \
        run.opens


@pytest.mark.parametrize("fail, stderr", [
    pytest.param(("socket", "EMFILE"), "socket: {EMFILE}\n", id="socket_fails"),
    pytest.param(("setsockopt-broadcast", "ENOPROTOOPT"),
                 "setsockopt SO_BROADCAST: {ENOPROTOOPT}\n", id="setsockopt_fails"),
])
def test_start_up(device, beacon, fail, stderr):
    """A failing start-up call is reported and ends the daemon with status 1,
    before any send (traced: the socket may exist)."""
    device.typical()
    run = beacon(device, 0, fail=fail, strace="sendto", exits=1, stderr=stderr)
    assert run.cycles == [] and run.sendto == []


def test_discover(device, beacon, request):
    """quorvellan-discover beside the daemon reports the one device with
    exactly its facts, once, though the copies come from two addresses."""
    listener = program(request, "--discover")
    device.typical()
    shape(device, hostname="ql-7f3a", files={NAME: "Living Room Link\n", VERSION: "2.3.1\n"})
    announced = payload(name="Living Room Link", hostname="ql-7f3a", version="2.3.1",
                        mac=AP_MAC, ip_ap="192.168.8.1", ip_lan="10.0.0.23", usb=2)
    process = device.popen([listener, "--json", "--timeout", "7"], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
    assert device.wait_for_sockets(1, process)
    run = beacon(device, 7.5)
    out, err = process.communicate(timeout=5)
    assert run.cycles == 3 * [(announced, TYPICAL)]
    assert (process.returncode, err) == (0, b"")
    lines = out.decode().splitlines()
    assert len(lines) == 1, lines
    record = json.loads(lines[0])
    assert record.pop("source") in ("192.168.8.1", "10.0.0.23")
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", record.pop("last_seen"))
    # Every member as the daemon sent it; as JSON text, which tells 80 from
    # 80.0 and true from 1.
    wanted = json.loads(announced)
    assert json.dumps({k: record.get(k) for k in wanted}) == json.dumps(wanted)
