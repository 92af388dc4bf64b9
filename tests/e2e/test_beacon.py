"""The real daemon on a simulated device: what only a real kernel shows
(netlink, sysfs, files turning hostile, churn between cycles, descriptor
starvation, start-up failures, cadence, the listener beside it).  Which
destinations a cycle sends to, in which order and to which port is settled
by the unit tests of the cycle; here it is the kernel's answers that count.

Cycles are ~3 s apart and times count from the first, so a 4.5 s run sees
two and an action at 1.5 s lands between them.
"""

import json
import pwd
import re
import subprocess

import pytest

from simdevice import AP_MAC, DIRECTORY, TWO_USB_DEVICES, program

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
TYPICAL_PAYLOAD = payload(mac=AP_MAC, ip_ap="192.168.8.1", ip_lan="10.0.0.23", usb=2)
ROUTED = payload(mac=AP_MAC, ip_ap="192.168.8.1", ip_lan="10.0.0.23")


def bare_uplink(device, macs={}, hostname="", files={}, usb=None):
    """eth0, without IPv4, holds the default route: the limited broadcast
    leaves, with nothing to report and no directed send.  macs: more links
    {name: MAC}; files: {path: content, or (content, size)}."""
    device.link("eth0")
    for name, mac in macs.items():
        device.link(name, mac)
    device.ip("route add default dev eth0")
    device.hostname(hostname)
    for path, content in files.items():
        device.write(path, *content) if isinstance(content, tuple) else device.write(path, content)
    device.usb(usb)


# Identity files and links; each row runs 4.5 s, for two cycles alike.
@pytest.mark.parametrize("setup, expected", [
    pytest.param(dict(macs={"wlan0": "02:5a:17:00:e0:02"}), DEFAULT,
                 id="defaults"),  # no files, empty host name, no /sys/bus/usb, no MAC source
    pytest.param(dict(macs={"br-lan": BRIDGE_MAC, "phy0-ap0": AP_MAC},
                      hostname="ql-7f3a", files={NAME: "Living Room Link\r\n", VERSION: "2.3.1\n"}),
                 payload(name="Living Room Link", hostname="ql-7f3a", version="2.3.1", mac=AP_MAC),
                 id="identity"),  # CR LF from another system; phy0-ap0's MAC before br-lan's
    pytest.param(dict(macs={"br-lan": BRIDGE_MAC},
                      files={NAME: "\r\nnot the name\n", VERSION: "\n2.3.1\n"}),
                 payload(version="", mac=BRIDGE_MAC),
                 id="identity_fallbacks"),  # empty first lines; br-lan's MAC without phy0-ap0
    pytest.param(dict(hostname="ql-7f3a", files={NAME: DIRECTORY, VERSION: DIRECTORY}),
                 payload(hostname="ql-7f3a"), id="identity_directories"),
    pytest.param(dict(files={NAME: (b"", GIB), VERSION: (b"", GIB)}), payload(version=""),
                 id="identity_sparse"),  # 1 GiB of NULs: an empty first line, read in no time
    pytest.param(dict(files={NAME: b"\xff\xfeAB\x00CD\n",
                             VERSION: b"2.0\t\x01\xc3\xa9\xe2\x82\r\n"}),
                 payload(name="\ufffd\ufffdAB", version="2.0\\t\\u0001\u00e9\ufffd\ufffd\\r"),
                 id="identity_garbage"),  # text ends at NUL; bad UTF-8 replaced, controls escaped
])
def test_identity(device, beacon, setup, expected):
    bare_uplink(device, **setup)
    run = beacon(device, 4.5)
    assert run.cycles == 2 * [(expected, [LIMITED])]
    assert run.read < 1 << 20  # what an emulator loads is some tens of KiB


def test_identity_change(device, beacon):
    bare_uplink(device, hostname="ql-1", files={NAME: "Kitchen Link\n", VERSION: "1.0.0\n"})

    def change():
        device.write(NAME, 'Bob\'s "Garage"\n')
        device.write(VERSION, "")  # an empty file is a missing version, unlike an empty line
        device.hostname("ql-2")

    run = beacon(device, 4.5, actions={1.5: change})
    assert run.cycles == [(payload(name="Kitchen Link", hostname="ql-1", version="1.0.0"), [LIMITED]),
                          (payload(name='Bob\'s \\"Garage\\"', hostname="ql-2"), [LIMITED])]


def test_identity_turns_hostile(device, beacon):
    bare_uplink(device, files={NAME: "Kitchen Link\n", VERSION: "1.0.0\n"})

    def first():
        device.write(NAME, DIRECTORY)
        device.write(VERSION, 20 * "\u00e9")  # 40 bytes, no line feed: cut inside the 16th

    def then():
        device.write(NAME, "Attic Link\n", size=GIB)
        device.write(VERSION, DIRECTORY)

    run = beacon(device, 7.5, actions={1.5: first, 4.5: then})
    assert [c[0] for c in run.cycles] == [payload(name="Kitchen Link", version="1.0.0"),
                                          payload(version=15 * "\u00e9" + "\ufffd"),
                                          payload(name="Attic Link")]
    assert run.read < 1 << 20


def test_typical(device, beacon):
    """Directed broadcasts in list order, then the limited one, nothing else;
    arguments ignored; the cadence held over three cycles."""
    device.typical()
    run = beacon(device, 7.5, strace="sendto", args=["--help", "-p", "9999", "/etc/quorvellan.conf"])
    assert run.cycles == 3 * [(TYPICAL_PAYLOAD, TYPICAL)]
    assert run.sendto == 3 * [TYPICAL]


def test_no_broadcast_address(device, beacon):
    """Without `brd` the kernel lists the address itself as the broadcast
    address: the /24 gets its subnet's, the /32 no directed send at all."""
    device.typical()
    device.ip("addr flush dev br-lan")
    device.ip("addr add 192.168.8.1/24 dev br-lan")
    device.ip("addr add 172.16.1.1/32 dev br-lan")
    run = beacon(device, 4.5, strace="sendto")
    assert run.sendto == 2 * [TYPICAL]
    assert run.cycles == 2 * [(payload(mac=AP_MAC, ip_ap="172.16.1.1", ip_lan="10.0.0.23",
                                       usb=2), TYPICAL)]


def test_address_change(device, beacon):
    device.typical(usb=[])

    def move():
        # The new address before the old goes: a link's last address takes its routes along.
        device.ip("addr add 192.168.50.1/24 brd 192.168.50.255 dev br-lan")
        device.ip("addr del 192.168.8.1/24 dev br-lan")

    run = beacon(device, 4.5, actions={1.5: move})
    assert run.cycles == [(ROUTED, TYPICAL),
                          (payload(mac=AP_MAC, ip_ap="192.168.50.1", ip_lan="10.0.0.23"),
                           ["192.168.50.255", "10.0.0.255", LIMITED])]


def test_interface_churn(device, beacon):
    """An uplink created, readdressed and deleted; after phy0-sta0 in the
    list, it is ip_lan while it has an address."""
    device.typical(usb=[])

    def readdress():
        device.ip("addr add 172.16.9.1/24 brd 172.16.9.255 dev wwan")
        device.ip("addr del 172.16.5.1/24 dev wwan")

    run = beacon(device, 10.5, actions={
        1.5: lambda: (device.link("wwan"),
                      device.ip("addr add 172.16.5.1/24 brd 172.16.5.255 dev wwan")),
        4.5: readdress, 7.5: lambda: device.ip("link del wwan")})
    assert run.cycles == [
        (ROUTED, TYPICAL),
        (payload(mac=AP_MAC, ip_ap="192.168.8.1", ip_lan="172.16.5.1"),
         ["192.168.8.255", "10.0.0.255", "172.16.5.255", LIMITED]),
        (payload(mac=AP_MAC, ip_ap="192.168.8.1", ip_lan="172.16.9.1"),
         ["192.168.8.255", "10.0.0.255", "172.16.9.255", LIMITED]),
        (ROUTED, TYPICAL)]


def test_sends_all_fail(device, beacon):
    """Every link down, addresses kept, no route: every send fails and the
    cadence holds (it is checked on the traced calls)."""
    device.typical(usb=[])
    for link in ("br-lan", "phy0-sta0", "phy0-ap0"):
        device.ip("link set %s down" % link)
    run = beacon(device, 7.5, strace="sendto")
    assert run.cycles == []
    assert run.sendto == 3 * [[d + " ENETUNREACH" for d in TYPICAL]]


def test_down_interface(device, beacon):
    """A down link keeping its address still gets its send attempt."""
    device.typical(usb=[])
    device.ip("link set phy0-sta0 down")
    device.ip("route add default dev br-lan")
    run = beacon(device, 4.5, strace="sendto")
    assert run.sendto == 2 * [TYPICAL]
    # Only the copies that loop back through an up link arrive.
    assert run.cycles == 2 * [(ROUTED, ["192.168.8.255", LIMITED])]


def test_usb_churn(device, beacon):
    """A device unplugged, then /sys/bus/usb gone: each shows in the next cycle."""
    bare_uplink(device, usb=TWO_USB_DEVICES)
    run = beacon(device, 7.5, actions={1.5: lambda: device.write("/sys/bus/usb/devices/1-1.3"),
                                       4.5: lambda: device.usb(None)})
    assert run.cycles == [(payload(usb=2), [LIMITED]), (payload(usb=1), [LIMITED]),
                          (payload(usb=0), [LIMITED])]


def test_unprivileged(device, beacon):
    device.typical()
    run = beacon(device, 4.5, user="nobody")
    assert run.cycles == 2 * [(TYPICAL_PAYLOAD, TYPICAL)]
    assert run.uid == pwd.getpwnam("nobody").pw_uid


def test_descriptor_starvation(device, beacon):
    """Descriptors for the standard three and the socket only: every file,
    directory and netlink socket after it fails, and the defaults go to the
    limited broadcast alone.  qemu-user holds no descriptor once its guest
    runs, so the same limit serves under it."""
    device.typical()
    device.hostname("ql-7f3a")
    device.write(NAME, "Living Room Link\n")
    device.write(VERSION, "2.3.1\n")
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
    device.hostname("ql-7f3a")
    device.write(NAME, "Living Room Link\n")
    device.write(VERSION, "2.3.1\n")
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
