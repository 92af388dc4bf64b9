"""Keeping shared USB devices attached, on a real amd64 kernel with vhci-hcd.

One boot (guest.py) runs every row of guest.ROWS in turn: the real
quorvellan-discover in the guest's laptop namespace, with attach rules for
the serial adapter (by name and bus id) and the disk (by MAC and ids, from
a rules file), against Debian's usbipd in the device's namespace.  Each
test below judges one row from the lines of ours the guest's console gave:
the listener's JSON events, stamped with the guest's clock, what vhci-hcd
and `usbip port` show, and when the row acted.  Run by CTest as
attach_kernel.amd64 with ATTACH_KERNEL_CACHE (where the kernel, busybox and
the base initramfs are kept between runs), QUORVELLAN_BEACON,
QUORVELLAN_DISCOVER and USBIP_LIAR in the environment.
"""

import json
import os
import re

import pytest

import guest

OLD, NEW = guest.DEVICE_ADDRESS, "192.168.8.3"
SERIAL, STORAGE, KEYBOARD = guest.SERIAL, guest.STORAGE, guest.KEYBOARD
# What the server shares, as the listener must list it: bus id, ids.
SHARED = {SERIAL: ("0403", "6001"), STORAGE: ("46f4", "0001"), KEYBOARD: ("0627", "0001")}
PROGRAMS = {"quorvellan-beacon": "QUORVELLAN_BEACON", "quorvellan-discover": "QUORVELLAN_DISCOVER",
            "usbip_liar": "USBIP_LIAR"}


@pytest.fixture(scope="module")
def record():
    cache = os.environ.get("ATTACH_KERNEL_CACHE")
    programs = {name: os.environ.get(variable) for name, variable in PROGRAMS.items()}
    reason = None
    if os.getuid() != 0:
        reason = "needs root for the initramfs's device node"
    elif not cache or not all(programs.values()):
        reason = "ATTACH_KERNEL_CACHE and the programs are not all set"
    if reason:
        if os.environ.get("QUORVELLAN_E2E_REQUIRED") == "1":
            pytest.fail(reason)
        pytest.skip(reason)
    result = guest.boot(cache, programs)
    # Kept beside the cache for a look after a failure, and the server's
    # import reply for the import reply parser's seed corpus (tests/fuzz).
    with open(os.path.join(cache, "last-run.json"), "w") as out:
        json.dump(result, out, indent=1)
    raw = [line for line in output(result, "import_reply") if line.startswith("raw_reply ")]
    if raw:
        with open(os.path.join(cache, "usbip-import-reply.bin"), "wb") as out:
            out.write(bytes.fromhex(raw[0].split()[1]))
    print()
    guest.print_times(result)
    for name, seconds in figures(result):
        print("%-40s %6.2f s" % (name, seconds))
    return result


def output(record, name):
    """The lines of ours of the row's steps."""
    for ran in record["rows"]:
        if ran["name"] == name:
            return [line for taken in ran["steps"] for line in taken["output"]]
    pytest.fail("row %s did not run: %s" % (name, record["error"]))


def events(record, name, kind=None):
    """The listener's events in the row, as (seconds, object)."""
    found = []
    for line in output(record, name):
        if line.startswith("event "):
            _, stamp, text = line.split(" ", 2)
            event = json.loads(text)
            if kind is None or event["event"] == kind:
                found.append((float(stamp), event))
    return found


def at(record, name, label):
    (stamp,) = [float(line.split()[2]) for line in output(record, name)
                if line.startswith("at %s " % label)]
    return stamp


def attached(record, name):
    """{busid: port} of the row's attached events."""
    return {event["busid"]: event["port"] for _, event in events(record, name, "attached")}


def last_attached(record, name):
    return max(stamp for stamp, _ in events(record, name, "attached"))


def on_vhci(lines):
    """show_vhci's lines: {vid:pid: (port, authorized, configuration)}."""
    found = {}
    for line in lines:
        match = re.match(r"^vhci (\d+) \S+ (\S+) authorized=(\d) configuration=(\d*)$", line)
        if match:
            found[match.group(2)] = (int(match.group(1)), match.group(3), match.group(4))
    return found


def named_by_usbip_port(lines, address):
    """The bus ids that `usbip port` names as coming from the address."""
    return sorted(re.findall(r"-> usbip://%s:3240/(\S+)" % re.escape(address), "\n".join(lines)))


def figures(record):
    """The re-attach times, each to the last device authorized, and how long
    vhci-hcd took to free a port behind a silent link."""
    found = []
    if record["error"] is not None:
        return found
    found.append(("server took it back: re-attached after", last_attached(record, "server_lets_go")
                  - at(record, "server_lets_go", "bind")))
    (first_new,) = [stamp for stamp, event in events(record, "address_changes")
                    if event["ip_ap"] == NEW][:1]
    found.append(("new address: re-attached after", last_attached(record, "address_changes")
                  - first_new))
    for row, whose in [("link_goes_silent", "ours"), ("silent_after_restart", "taken over")]:
        down = at(record, row, "down")
        for stamp, event in events(record, row, "detached"):
            found.append(("silent link (%s): port %d freed after" % (whose, event["port"]),
                          stamp - down))
        (back,) = [stamp for stamp, _ in events(record, row, "online")][:1]
        found.append(("link back (%s): re-attached after" % whose, last_attached(record, row)
                      - back))
        if row == "link_goes_silent":
            found.append(("restart: taken over after", last_attached(record, "listener_restarts")
                          - at(record, "listener_restarts", "restart")))
    return found


def attach_metrics(record, row):
    """The row's quorvellan_attach_* samples: {"rule_attached": {RULE:
    VALUE}, "attempts_total": {RESULT: VALUE}}."""
    found = {}
    for line in output(record, row):
        match = re.match(r'metrics quorvellan_attach_(\w+)\{\w+="(.*)"\} (\d+)$', line)
        if match:
            found.setdefault(match.group(1), {})[match.group(2)] = int(match.group(3))
    return found


def console_tail(record, lines=40):
    return "\n".join(text for _, text in record["console"][-lines:])


def test_the_run_ends_without_a_fault(record):
    """No panic, no step failing, nothing the listener said on stderr."""
    assert record["error"] is None, record["error"] + "\n" + console_tail(record)
    wrong = [(ran["name"], step["line"], step["status"]) for ran in record["rows"]
             for step in ran["steps"] if step["status"] != 0]
    assert not wrong, console_tail(record)
    said = [line for ran in record["rows"] for line in output(record, ran["name"])
            if line.startswith("stderr ")]
    assert not said


def test_the_servers_import_reply_is_one_device_record(record):
    (raw,) = [line.split()[1] for line in output(record, "import_reply")
              if line.startswith("raw_reply ")]
    reply = bytes.fromhex(raw)
    # version 1.1.1, OP_REP_IMPORT, status 0, then the 312-byte record
    assert reply[:8] == bytes.fromhex("0111000300000000") and len(reply) == 8 + 312
    assert reply[8 + 256:8 + 256 + 4] == SERIAL.encode() + b"\0"


def test_a_rule_attaches_its_device_and_lets_it_in_after_the_check(record):
    """(a) By name and bus id, and from the file by MAC and ids, on both
    hubs; named by usbip port; and the device list heard with them."""
    lines = output(record, "attach")
    assert sorted(attached(record, "attach")) == [SERIAL, STORAGE]
    shown = on_vhci(lines)
    assert {ids: state[1:] for ids, state in shown.items()} == {
        "0403:6001": ("1", "1"), "46f4:0001": ("1", "1")}, lines
    assert named_by_usbip_port(lines, OLD) == [SERIAL, STORAGE], lines
    # Its server lists a device no more once it is attached: whichever list
    # came first, each was heard in one.
    heard = {device["busid"]: (device["vendor"], device["product"])
             for _, usb in events(record, "attach", "usb") for device in usb["usb"]}
    assert heard == SHARED
    assert not events(record, "attach", "attach_failed")


def test_a_device_the_server_let_go_is_attached_again_once_it_takes_it_back(record):
    """(b) usbip unbind on the device, then bind."""
    (_, gone), = events(record, "server_lets_go", "detached")
    assert (gone["busid"], gone["reason"]) == (SERIAL, "server let go")
    assert SERIAL in attached(record, "server_lets_go")
    assert on_vhci(output(record, "server_lets_go"))["0403:6001"][1:] == ("1", "1")


def test_a_device_at_a_new_address_is_attached_there(record):
    """(c) Let go at the old one once the new one has settled."""
    reasons = {event["busid"]: event["reason"]
               for _, event in events(record, "address_changes", "detached")}
    assert reasons == {SERIAL: "moved", STORAGE: "moved"}
    lines = output(record, "address_changes")
    assert named_by_usbip_port(lines, NEW) == [SERIAL, STORAGE], lines
    assert named_by_usbip_port(lines, OLD) == [], lines


@pytest.mark.parametrize("row", ["link_goes_silent", "silent_after_restart"])
def test_a_silent_link_frees_the_ports_and_they_are_attached_again_when_it_returns(record, row):
    """(d) vhci-hcd frees the ports by keepalive, ours and those taken over
    at a restart alike; told as link lost; once the device is heard again,
    both are attached again, although its server held them for the dead
    connections."""
    reasons = {event["busid"]: event["reason"] for _, event in events(record, row, "detached")}
    assert reasons == {SERIAL: "link lost", STORAGE: "link lost"}
    assert events(record, row, "online")
    assert sorted(attached(record, row)) == [SERIAL, STORAGE]
    shown = on_vhci(output(record, row))
    assert {ids: state[1:] for ids, state in shown.items()} == {
        "0403:6001": ("1", "1"), "46f4:0001": ("1", "1")}


def test_a_restarted_listener_takes_the_attachments_over_without_doubling_them(record):
    """(e) The same ports as before the restart, and no other in use; run
    as root without any capability."""
    assert attached(record, "listener_restarts") == attached(record, "link_goes_silent")
    lines = output(record, "listener_restarts")
    assert len(on_vhci(lines)) == 2, lines
    assert not events(record, "listener_restarts", "detached")
    assert "capabilities CapEff:\t0000000000000000" in lines
    assert attach_metrics(record, "listener_restarts")["rule_attached"] == {
        "Lab Router/" + SERIAL: 1, "52:54:00:5a:00:01/46f4:0001": 1}


def test_a_persons_own_attach_beside_the_listener_keeps_working(record):
    """(g) The keyboard, which no rule names, let in and left alone."""
    lines = output(record, "own_attach")
    assert on_vhci(lines)["0627:0001"][1:] == ("1", "1"), lines
    assert KEYBOARD in named_by_usbip_port(lines, NEW)
    assert not [event for _, event in events(record, "own_attach")
                if event.get("busid") == KEYBOARD]


def test_a_spoofed_device_is_never_let_in_and_said_once(record):
    """(f) A server that lists its keyboard as 0403:6001 where a rule asks
    for 0403:6001: detached before any driver saw it, said once though
    tried again; run as nobody with CAP_DAC_OVERRIDE alone, which then lets
    go of all it kept (--detach-on-exit)."""
    failed = [event for _, event in events(record, "spoof", "attach_failed")]
    assert [(event["busid"], event["error"]) for event in failed] == [
        (KEYBOARD, "refused: 0627:0001 HID, the rule expects 0403:6001")], failed
    assert sorted(attached(record, "spoof")) == [SERIAL, STORAGE]
    reasons = {event["busid"]: event["reason"] for _, event in events(record, "spoof", "detached")}
    assert reasons == {SERIAL: "by rule", STORAGE: "by rule"}
    lines = output(record, "spoof")
    assert on_vhci(lines) == {} and named_by_usbip_port(lines, NEW) == [], lines
    assert "records " in lines
    # The serial adapter, attached by the first rule, counts for this one too.
    shown = attach_metrics(record, "spoof")
    assert shown["rule_attached"]["Lab Router/0403:6001"] == 1, shown
    assert shown["attempts_total"]["refused"] >= 2, shown
