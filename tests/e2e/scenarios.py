"""End-to-end scenarios: what the simulated device looks like, what changes
while the daemon runs, and what must be seen on the wire.

Each scenario is plain data, read by harness.py:

  name        the CTest name is e2e.<platform>.<name>
  about       one line for people
  hostname    UTS host name ("" by default: the daemon must fall back)
  files       {path under /etc: content}; identity files not listed do not
              exist.  Content is str or bytes, written exactly; None: no
              file; DIRECTORY: an empty directory; sparse(size, head): a
              file of size bytes, head and then a hole of NUL bytes
  links       [{"name", optional "mac", "kind" ("bridge"|"veth"), "up"}],
              created in this order, which is the order getifaddrs lists them
  addresses   [(link, "a.b.c.d/len", broadcast)], added in this order
  routes      ["words after `ip route add`"]
  usb         entries of /sys/bus/usb/devices; None: no /sys/bus/usb at all
  user        run the daemon as this user instead of root
  fail        (call, errno name): make a start-up call fail, see fail_syscall.c
  nofile      limit on the descriptors of the daemon alone (strace, the
              launchers and the harness keep theirs); an emulator shares
              its guest's limit
  strace      trace the daemon's sendto calls
  args        command-line arguments for the daemon (it must ignore them)
  discover    arguments for quorvellan-discover, run beside the daemon (bound
              before it starts); its --timeout must end within the duration
  actions     [(seconds after the first cycle, DeviceNet method, *arguments)]
  duration    seconds the run lasts after the first cycle (a daemon that must
              exit at start-up sends none: it has harness.py's
              FIRST_CYCLE_LIMIT to exit)
  expect      cycles:  per cycle, in order: the exact payload and the exact
                       list of destination addresses it arrived at
              sendto:  per cycle, the destinations of the daemon's sendto
                       calls to the beacon port, as strace saw them; a
                       (destination, "ERRNO") pair must fail with that error
              opens:   errno name: with strace, every open, openat and socket
                       call after the daemon's broadcast socket must fail
                       with it, and there must be some
              read_at_most: bytes the daemon (with its emulator) may read
                       through read calls in the whole run (/proc/PID/io's
                       rchar)
              exit:    the daemon must exit with this status (else it must
                       still be running at the end)
              stderr:  exact text; {ERRNO_NAME} stands for that error's
                       message in the daemon's C library (see harness --libc)
              uid:     user the daemon must be running as
              discover: the listener's --json report:
                       announcement: the payload every line must carry,
                                     member for member, plus
                       sources: the addresses its "source" may name;
                       it must exit 0 with nothing on stderr, having
                       printed exactly one line

Times count from the daemon's first cycle as observed (its first datagram
received, or its first sendto in the trace), not from its start, which an
emulator on a loaded machine can delay.  Cycles are ~3 s apart, so a 4.5 s
run sees two and an action at 1.5 s lands between them.  Every run also
checks, without being asked: one source port for everything, payloads ending
in '}' with no newline or NUL that parse as one JSON object in UTF-8, cycles
2.5-4.5 s apart (received ones, and traced sendto calls, which count even
when every send fails), silence on stderr.
"""

LIMITED = "255.255.255.255"

# "files" values other than contents: a DeviceNet method and its arguments,
# called with the path first.
DIRECTORY = ("make_directory",)
GIB = 1 << 30


def sparse(size, head=""):
    return ("write_sparse", size, head)


def payload(name="Quorvellan Link", hostname="quorvellan", version="unknown", mac="", ip_ap="",
            ip_lan="", usb=0):
    """The announcement the daemon must send; values are given already
    JSON-escaped, so that every expected byte is written out here."""
    return ('{"id":"quorvellan_link","name":"%s","hostname":"%s","version":"%s","mac":"%s",'
            '"ip_ap":"%s","ip_lan":"%s","http":80,"usbip":3240,"usb_devices":%d}'
            % (name, hostname, version, mac, ip_ap, ip_lan, usb))


# What the daemon sends on a device that has nothing to tell, byte for byte.
DEFAULT_PAYLOAD = ('{"id":"quorvellan_link","name":"Quorvellan Link","hostname":"quorvellan",'
                   '"version":"unknown","mac":"","ip_ap":"","ip_lan":"","http":80,"usbip":3240,'
                   '"usb_devices":0}')
assert len(DEFAULT_PAYLOAD) == 164 and DEFAULT_PAYLOAD == payload()

AP_MAC = "02:5a:17:00:be:ef"
BRIDGE_MAC = "02:5a:17:00:0b:01"

# A link without IPv4 that carries the default route: the limited broadcast
# can leave, yet the daemon has no address to report and no directed send.
BARE_UPLINK = {
    "links": [{"name": "eth0"}],
    "routes": ["default dev eth0"],
}

# A device in ordinary use: the LAN bridge first, then the uplink, then the
# access point, whose MAC the daemon reports.
TYPICAL_NETWORK = {
    "links": [{"name": "br-lan"}, {"name": "phy0-sta0"}, {"name": "phy0-ap0", "mac": AP_MAC}],
    "addresses": [("br-lan", "192.168.8.1/24", "192.168.8.255"),
                  ("phy0-sta0", "10.0.0.23/24", "10.0.0.255")],
    "routes": ["default via 10.0.0.1 dev phy0-sta0"],
}

# Root hubs (usbN) and interfaces (with ':') are not devices: two remain.
TWO_USB_DEVICES = ["usb1", "1-0:1.0", "1-1", "1-1:1.0", "1-1.3", "1-1.3:1.0"]

TYPICAL_DESTINATIONS = ["192.168.8.255", "10.0.0.255", LIMITED]
TYPICAL_PAYLOAD = payload(mac=AP_MAC, ip_ap="192.168.8.1", ip_lan="10.0.0.23", usb=2)

# Every member set, none of them a default, for the listener to reproduce.
DISCOVER_PAYLOAD = payload(name="Living Room Link", hostname="ql-7f3a", version="2.3.1",
                           mac=AP_MAC, ip_ap="192.168.8.1", ip_lan="10.0.0.23", usb=2)


def scenario(*parts, **fields):
    """Merges shared set-up pieces and a scenario's own fields."""
    merged = {}
    for part in parts + (fields,):
        merged.update(part)
    return merged


SCENARIOS = [
    scenario(
        BARE_UPLINK,
        name="defaults",
        about="no identity files, empty host name, no addresses, no /sys/bus/usb, no MAC source",
        usb=None,
        duration=4.5,
        expect={"cycles": 2 * [{"payload": DEFAULT_PAYLOAD, "destinations": [LIMITED]}]},
    ),
    scenario(
        BARE_UPLINK,
        name="identity",
        about="name and version files, host name and access point MAC are announced",
        hostname="ql-7f3a",
        # A name file written on another system ends its line with CR LF.
        files={"/etc/quorvellan-name": "Living Room Link\r\n",
               "/etc/quorvellan-version": "2.3.1\n"},
        links=[{"name": "eth0"}, {"name": "phy0-ap0", "mac": AP_MAC}],
        duration=4.5,
        expect={"cycles": 2 * [{
            "payload": payload(name="Living Room Link", hostname="ql-7f3a", version="2.3.1",
                               mac=AP_MAC),
            "destinations": [LIMITED]}]},
    ),
    scenario(
        BARE_UPLINK,
        name="identity-fallbacks",
        about="empty first lines: the name falls back, the version stays empty",
        files={"/etc/quorvellan-name": "\r\nnot the name\n",
               "/etc/quorvellan-version": "\n2.3.1\n"},
        duration=4.5,
        expect={"cycles": 2 * [{"payload": payload(version=""), "destinations": [LIMITED]}]},
    ),
    scenario(
        BARE_UPLINK,
        name="identity-change",
        about="new name, version and host name show in the next cycle",
        hostname="ql-1",
        files={"/etc/quorvellan-name": "Kitchen Link\n", "/etc/quorvellan-version": "1.0.0\n"},
        actions=[(1.5, "write_file", "/etc/quorvellan-name", 'Bob\'s "Garage"\n'),
                 # An empty file is a missing version, unlike an empty line.
                 (1.5, "write_file", "/etc/quorvellan-version", ""),
                 (1.5, "set_hostname", "ql-2")],
        duration=4.5,
        expect={"cycles": [
            {"payload": payload(name="Kitchen Link", hostname="ql-1", version="1.0.0"),
             "destinations": [LIMITED]},
            {"payload": payload(name='Bob\'s \\"Garage\\"', hostname="ql-2", version="unknown"),
             "destinations": [LIMITED]},
        ]},
    ),
    scenario(
        BARE_UPLINK,
        name="identity-directories",
        about="identity files that are directories open but yield no line: defaults",
        hostname="ql-7f3a",
        files={"/etc/quorvellan-name": DIRECTORY, "/etc/quorvellan-version": DIRECTORY},
        duration=4.5,
        expect={"cycles": 2 * [{"payload": payload(hostname="ql-7f3a"),
                                "destinations": [LIMITED]}]},
    ),
    scenario(
        BARE_UPLINK,
        name="identity-sparse",
        about="1 GiB identity files of NUL bytes: one line's worth read, text empty at once",
        files={"/etc/quorvellan-name": sparse(GIB), "/etc/quorvellan-version": sparse(GIB)},
        duration=4.5,
        # A first line of NULs is an empty text: the name falls back, the
        # version stays empty.
        expect={"cycles": 2 * [{"payload": payload(version=""), "destinations": [LIMITED]}],
                # Reading either file whole would be a GiB; what the emulator
                # loads at start is some tens of KiB.
                "read_at_most": 1 << 20},
    ),
    scenario(
        BARE_UPLINK,
        name="identity-garbage",
        about="binary identity files: text ends at the first NUL, bad UTF-8 and controls carried",
        files={"/etc/quorvellan-name": b"\xff\xfeAB\x00CD\n",
               # Tab, a control, a whole character, one cut short by the
               # carriage return, which the version keeps.
               "/etc/quorvellan-version": b"2.0\t\x01\xc3\xa9\xe2\x82\r\n"},
        duration=4.5,
        expect={"cycles": 2 * [{
            "payload": payload(name="\ufffd\ufffdAB",
                               version="2.0\\t\\u0001\u00e9\ufffd\ufffd\\r"),
            "destinations": [LIMITED]}]},
    ),
    scenario(
        BARE_UPLINK,
        name="identity-turns-hostile",
        about="identity files becoming directories, long lines and huge files between cycles",
        files={"/etc/quorvellan-name": "Kitchen Link\n", "/etc/quorvellan-version": "1.0.0\n"},
        actions=[(1.5, "make_directory", "/etc/quorvellan-name"),
                 # 40 bytes without a line feed: cut to 31, inside the 16th
                 # character.
                 (1.5, "write_file", "/etc/quorvellan-version", 20 * "\u00e9"),
                 (4.5, "write_sparse", "/etc/quorvellan-name", GIB, "Attic Link\n"),
                 (4.5, "make_directory", "/etc/quorvellan-version")],
        duration=7.5,
        expect={"cycles": [
            {"payload": payload(name="Kitchen Link", version="1.0.0"),
             "destinations": [LIMITED]},
            {"payload": payload(version=15 * "\u00e9" + "\ufffd"), "destinations": [LIMITED]},
            {"payload": payload(name="Attic Link", version="unknown"),
             "destinations": [LIMITED]},
        ],
            "read_at_most": 1 << 20},
    ),
    scenario(
        name="mac-bridge-fallback",
        about="without phy0-ap0 the MAC comes from br-lan",
        links=[{"name": "br-lan", "mac": BRIDGE_MAC}],
        routes=["default dev br-lan"],
        duration=4.5,
        expect={"cycles": 2 * [{"payload": payload(mac=BRIDGE_MAC), "destinations": [LIMITED]}]},
    ),
    scenario(
        name="mac-ap-wins",
        about="with both phy0-ap0 and br-lan present, phy0-ap0's MAC is announced",
        links=[{"name": "br-lan", "mac": BRIDGE_MAC}, {"name": "phy0-ap0", "mac": AP_MAC}],
        routes=["default dev br-lan"],
        duration=4.5,
        expect={"cycles": 2 * [{"payload": payload(mac=AP_MAC), "destinations": [LIMITED]}]},
    ),
    scenario(
        name="mac-none",
        about="neither phy0-ap0 nor br-lan: no MAC, though other links have one",
        links=[{"name": "eth0", "mac": "02:5a:17:00:e0:01"},
               {"name": "wlan0", "mac": "02:5a:17:00:e0:02"}],
        routes=["default dev eth0"],
        duration=4.5,
        expect={"cycles": 2 * [{"payload": DEFAULT_PAYLOAD, "destinations": [LIMITED]}]},
    ),
    scenario(
        TYPICAL_NETWORK,
        name="typical-cycle",
        about="directed broadcast per address in list order, then 255.255.255.255, nothing else",
        usb=TWO_USB_DEVICES,
        strace=True,
        duration=4.5,
        expect={"cycles": 2 * [{"payload": TYPICAL_PAYLOAD,
                                "destinations": TYPICAL_DESTINATIONS}],
                "sendto": 2 * [TYPICAL_DESTINATIONS]},
    ),
    scenario(
        TYPICAL_NETWORK,
        name="arguments-ignored",
        about="options and operands on the command line change nothing",
        usb=TWO_USB_DEVICES,
        args=["--help", "-p", "9999", "/etc/quorvellan.conf"],
        duration=4.5,
        expect={"cycles": 2 * [{"payload": TYPICAL_PAYLOAD,
                                "destinations": TYPICAL_DESTINATIONS}]},
    ),
    scenario(
        TYPICAL_NETWORK,
        name="cadence",
        about="cycles keep coming about 3 s apart from one source port",
        usb=TWO_USB_DEVICES,
        duration=7.5,
        expect={"cycles": 3 * [{"payload": TYPICAL_PAYLOAD,
                                "destinations": TYPICAL_DESTINATIONS}]},
    ),
    scenario(
        TYPICAL_NETWORK,
        name="two-bridge-addresses",
        about="two addresses on br-lan: two directed sends, the later one is ip_ap",
        addresses=[("br-lan", "192.168.8.1/24", "192.168.8.255"),
                   ("br-lan", "172.16.0.1/16", "172.16.255.255"),
                   ("phy0-sta0", "10.0.0.23/24", "10.0.0.255")],
        duration=4.5,
        expect={"cycles": 2 * [{
            "payload": payload(mac=AP_MAC, ip_ap="172.16.0.1", ip_lan="10.0.0.23"),
            "destinations": ["192.168.8.255", "172.16.255.255", "10.0.0.255", LIMITED]}]},
    ),
    scenario(
        TYPICAL_NETWORK,
        name="address-change",
        about="br-lan moves to another subnet; the next cycle reports and uses it",
        # Added before the old one goes: removing a link's last address
        # would take its routes with it.
        actions=[(1.5, "add_address", "br-lan", "192.168.50.1/24", "192.168.50.255"),
                 (1.5, "remove_address", "br-lan", "192.168.8.1/24")],
        duration=4.5,
        expect={"cycles": [
            {"payload": payload(mac=AP_MAC, ip_ap="192.168.8.1", ip_lan="10.0.0.23"),
             "destinations": TYPICAL_DESTINATIONS},
            {"payload": payload(mac=AP_MAC, ip_ap="192.168.50.1", ip_lan="10.0.0.23"),
             "destinations": ["192.168.50.255", "10.0.0.255", LIMITED]},
        ]},
    ),
    scenario(
        TYPICAL_NETWORK,
        name="interface-churn",
        about="an uplink created, readdressed and deleted shows in the next cycle each time",
        # wwan comes after phy0-sta0 in the list, so while it has an address
        # it is ip_lan.  Its new address goes on before the old one comes
        # off: removing a link's last address would take its routes with it.
        actions=[(1.5, "add_link", "wwan"),
                 (1.5, "add_address", "wwan", "172.16.5.1/24", "172.16.5.255"),
                 (4.5, "add_address", "wwan", "172.16.9.1/24", "172.16.9.255"),
                 (4.5, "remove_address", "wwan", "172.16.5.1/24"),
                 (7.5, "remove_link", "wwan")],
        duration=10.5,
        expect={"cycles": [
            {"payload": payload(mac=AP_MAC, ip_ap="192.168.8.1", ip_lan="10.0.0.23"),
             "destinations": TYPICAL_DESTINATIONS},
            {"payload": payload(mac=AP_MAC, ip_ap="192.168.8.1", ip_lan="172.16.5.1"),
             "destinations": ["192.168.8.255", "10.0.0.255", "172.16.5.255", LIMITED]},
            {"payload": payload(mac=AP_MAC, ip_ap="192.168.8.1", ip_lan="172.16.9.1"),
             "destinations": ["192.168.8.255", "10.0.0.255", "172.16.9.255", LIMITED]},
            {"payload": payload(mac=AP_MAC, ip_ap="192.168.8.1", ip_lan="10.0.0.23"),
             "destinations": TYPICAL_DESTINATIONS},
        ]},
    ),
    scenario(
        name="loopback-only",
        about="no route for 255.255.255.255: one failing send per cycle, cadence unchanged",
        strace=True,
        duration=7.5,
        expect={"cycles": [], "sendto": 3 * [[(LIMITED, "ENETUNREACH")]]},
    ),
    scenario(
        TYPICAL_NETWORK,
        name="sends-all-fail",
        about="every link down, addresses kept, no route: every send fails, cadence unchanged",
        links=[{"name": "br-lan", "up": False}, {"name": "phy0-sta0", "up": False},
               {"name": "phy0-ap0", "mac": AP_MAC, "up": False}],
        # A down link has no routes, and none can be added through it.
        routes=[],
        strace=True,
        duration=7.5,
        expect={"cycles": [], "sendto": 3 * [[("192.168.8.255", "ENETUNREACH"),
                                              ("10.0.0.255", "ENETUNREACH"),
                                              (LIMITED, "ENETUNREACH")]]},
    ),
    scenario(
        TYPICAL_NETWORK,
        name="down-interface",
        about="a down link keeping its address and broadcast still gets its send attempt",
        links=[{"name": "br-lan"}, {"name": "phy0-sta0", "up": False},
               {"name": "phy0-ap0", "mac": AP_MAC}],
        routes=["default dev br-lan"],
        strace=True,
        duration=4.5,
        expect={"cycles": 2 * [{
            "payload": payload(mac=AP_MAC, ip_ap="192.168.8.1", ip_lan="10.0.0.23"),
            # Only the copies that loop back through an up link arrive.
            "destinations": ["192.168.8.255", LIMITED]}],
            "sendto": 2 * [TYPICAL_DESTINATIONS]},
    ),
    scenario(
        BARE_UPLINK,
        name="usb-removal",
        about="a device unplugged between cycles is gone from the next count",
        usb=TWO_USB_DEVICES,
        actions=[(1.5, "remove_usb_entry", "1-1.3")],
        duration=4.5,
        expect={"cycles": [{"payload": payload(usb=2), "destinations": [LIMITED]},
                           {"payload": payload(usb=1), "destinations": [LIMITED]}]},
    ),
    scenario(
        BARE_UPLINK,
        name="usb-vanishes",
        about="/sys/bus/usb disappearing counts as no devices",
        usb=TWO_USB_DEVICES,
        actions=[(1.5, "set_usb", None)],
        duration=4.5,
        expect={"cycles": [{"payload": payload(usb=2), "destinations": [LIMITED]},
                           {"payload": payload(usb=0), "destinations": [LIMITED]}]},
    ),
    scenario(
        TYPICAL_NETWORK,
        name="unprivileged",
        about="run as nobody, the daemon sends what it sends as root",
        usb=TWO_USB_DEVICES,
        user="nobody",
        duration=4.5,
        expect={"cycles": 2 * [{"payload": TYPICAL_PAYLOAD,
                                "destinations": TYPICAL_DESTINATIONS}],
                "uid": "nobody"},
    ),
    scenario(
        TYPICAL_NETWORK,
        name="discover",
        about="quorvellan-discover beside the daemon reports the one device with its facts",
        hostname="ql-7f3a",
        files={"/etc/quorvellan-name": "Living Room Link\n",
               "/etc/quorvellan-version": "2.3.1\n"},
        usb=TWO_USB_DEVICES,
        discover=["--json", "--timeout", "7"],
        duration=7.5,
        expect={"cycles": 3 * [{"payload": DISCOVER_PAYLOAD,
                                "destinations": TYPICAL_DESTINATIONS}],
                # Each cycle's copies come from br-lan's address, then twice
                # from the uplink's (its own broadcast and the limited one,
                # routed there): the listener reports that move every time.
                "discover": {"announcement": DISCOVER_PAYLOAD,
                             "sources": ["192.168.8.1", "10.0.0.23"]}},
    ),
    scenario(
        TYPICAL_NETWORK,
        name="descriptor-starvation",
        about="descriptors for the socket only: all defaults, one send per cycle, the limited one",
        hostname="ql-7f3a",
        files={"/etc/quorvellan-name": "Living Room Link\n",
               "/etc/quorvellan-version": "2.3.1\n"},
        usb=TWO_USB_DEVICES,
        # Standard input, output and error, and the socket as descriptor 3:
        # every file, directory and netlink socket after it fails.  The
        # same limit serves under qemu-user, which once the guest runs holds
        # no descriptor of its own (/proc/PID/fd of a qemu-run daemon shows
        # 0 to 3 only); the reads of its own start-up that fail under it
        # (/proc/self/maps, /proc/sys/vm/mmap_min_addr) it does without.
        # An emulator that kept one would make socket() fail here.
        nofile=4,
        strace=True,
        duration=7.5,
        expect={"cycles": 3 * [{"payload": DEFAULT_PAYLOAD, "destinations": [LIMITED]}],
                "sendto": 3 * [[LIMITED]],
                "opens": "EMFILE"},
    ),
    scenario(
        TYPICAL_NETWORK,
        name="socket-fails",
        about="socket() failing is reported on stderr and ends the daemon with status 1",
        fail=("socket", "EMFILE"),
        duration=3.0,
        expect={"exit": 1, "stderr": "socket: {EMFILE}\n", "cycles": []},
    ),
    scenario(
        TYPICAL_NETWORK,
        name="setsockopt-fails",
        about="SO_BROADCAST refused is reported on stderr and ends the daemon with status 1",
        fail=("setsockopt-broadcast", "ENOPROTOOPT"),
        # The socket exists here: not even a failing send may follow.
        strace=True,
        duration=3.0,
        expect={"exit": 1, "stderr": "setsockopt SO_BROADCAST: {ENOPROTOOPT}\n", "cycles": [],
                "sendto": []},
    ),
]


def named(name):
    """One scenario, for the tools that measure on the devices tested here."""
    return next(sc for sc in SCENARIOS if sc["name"] == name)
