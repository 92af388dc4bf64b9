"""The device build of the daemon on a real 32-bit MIPS little-endian kernel.

One boot (guest.py) runs every row of guest.ROWS in turn; each test below
judges one row from what reached the taps and what the guest's console
said.  Run by CTest as device_kernel.malta with QUORVELLAN_TARGET_DAEMON
(the device build), DEVICE_KERNEL_CACHE (where the kernel, busybox and
the base initramfs are kept between runs) and QUORVELLAN_DISCOVER (the
listener, which asks the guest's USB/IP server with --usb) in the
environment.
"""

import json
import os
import re

import pytest

import guest
import netcheck

# The typical device as a listener must see it, byte for byte.
PAYLOAD = ('{"id":"quorvellan_link","name":"Lab Router","hostname":"lab-router",'
           '"version":"24.10.1","mac":"52:54:00:5a:00:01","ip_ap":"192.168.8.1",'
           '"ip_lan":"10.0.0.23","http":80,"usbip":3240,"usb_devices":4}')
# Each cycle's destinations in order, with the tap each must arrive on.
TYPICAL = [("192.168.8.255", "tap-ap"), ("10.0.0.255", "tap-sta"),
           ("255.255.255.255", "tap-sta")]
# br-lan down: the kernel has no link route to 192.168.8.0/24 then and
# sends that datagram to the default gateway as unicast; the rest is as ever.
LINK_DOWN = [("10.0.0.255", "tap-sta"), ("255.255.255.255", "tap-sta")]
SENDS = {"typical": TYPICAL, "link_down": LINK_DOWN, "link_up": TYPICAL,
         "no_broadcast_address": TYPICAL, "unprivileged": TYPICAL}
NOBODY = 65534
# What the guest's USB/IP server shares, as the listener must show it: each
# device but the hub, by bus id, with its ids, the names from this machine's
# database, its class and its interfaces.  The serial adapter is left
# unconfigured, so the server lists no interfaces and no class is known.
SHARED = {
    "1-1.1": ("0403", "6001", "Future Technology Devices International, Ltd",
              "FT232 Serial (UART) IC", ""),
    "1-1.2": ("46f4", "0001", "QEMU", "", "Mass Storage"),
    "1-2": ("0627", "0001", "Adomax Technology Co., Ltd", "QEMU Tablet", "Human Interface Device"),
}
NO_ANSWER = "no answer from the USB/IP server"


@pytest.fixture(scope="module")
def record():
    daemon = os.environ.get("QUORVELLAN_TARGET_DAEMON")
    cache = os.environ.get("DEVICE_KERNEL_CACHE")
    reason = None
    if os.getuid() != 0:
        reason = "needs root for its network namespace"
    elif not daemon or not cache:
        reason = "QUORVELLAN_TARGET_DAEMON and DEVICE_KERNEL_CACHE are not both set"
    elif not os.path.exists(daemon):
        reason = "no device build at %s" % daemon
    if reason:
        if os.environ.get("QUORVELLAN_E2E_REQUIRED") == "1":
            pytest.fail(reason)
        pytest.skip(reason)
    result = guest.boot(daemon, cache, discover=os.environ.get("QUORVELLAN_DISCOVER"))
    # Kept beside the cache for a look after a failure, and the server's
    # reply for the device list parser's seed corpus (tests/fuzz).
    with open(os.path.join(cache, "last-run.json"), "w") as out:
        json.dump(result, out, indent=1)
    shared = [ran.get("host", {}) for ran in result["rows"] if ran["name"] == "usbip_shared"]
    if shared and "reply" in shared[0]:
        with open(os.path.join(cache, "usbip-reply.bin"), "wb") as out:
            out.write(bytes.fromhex(shared[0]["reply"]))
    print()
    guest.print_figures(guest.figures(result))
    return result


def row(record, name):
    for ran in record["rows"]:
        if ran["name"] == name:
            return ran
    pytest.fail("row %s did not run: %s" % (name, record["error"]))


def console_tail(record, lines=40):
    return "\n".join(text for _, text in record["console"][-lines:])


def describe(cycles):
    return "\n".join(" | ".join("%s via %s" % (d[1], d[2]) for d in cycle) for cycle in cycles)


def test_the_run_ends_without_a_fault(record):
    """No panic, no cycle missing or late, no step failing, qemu powered off."""
    assert record["error"] is None, record["error"] + "\n" + console_tail(record)
    failed = [(step["line"], step["status"]) for ran in record["rows"] for step in ran["steps"]
              if step["status"] != 0]
    assert not failed, console_tail(record)


@pytest.mark.parametrize("name", sorted(SENDS))
def test_every_cycle_sends_the_payload_to_each_destination_in_order(record, name):
    cycles = row(record, name)["cycles"]
    assert cycles, "no cycle recorded: %s" % record["error"]
    seen = []
    for cycle in cycles:
        if name == "link_down":
            cycle = [d for d in cycle if (d[1], d[2]) != ("192.168.8.255", "tap-sta")]
        seen.append([(d[1], d[2]) for d in cycle])
        assert [d[4] for d in cycle] == [PAYLOAD] * len(cycle)
    assert seen == [SENDS[name]] * len(cycles), describe(cycles)


def test_cycles_keep_their_cadence_while_the_daemon_runs(record):
    """Between each start and stop, across link changes and address changes."""
    steps = [step for ran in record["rows"] for step in ran["steps"]]
    lives = []
    for step in steps:
        if step["line"].startswith("start"):
            lives.append([step["sent"], record.get("ended")])
        elif step["line"] == "stop" and lives:
            lives[-1][1] = step["sent"]
    assert lives, record["error"]
    for start, end in lives:
        cycles = guest.cycles(record["datagrams"], start, end or float("inf"))
        assert len(cycles) >= 3
        assert not netcheck.cadence_faults([cycle[0][0] for cycle in cycles])


def test_the_daemon_was_running_whenever_it_was_stopped(record):
    alive = [line for ran in record["rows"] for step in ran["steps"] if step["line"] == "stop"
             for line in step["output"] if line.startswith("alive")]
    assert alive and alive == ["alive yes"] * len(alive), console_tail(record)


def test_usb_count_comes_from_the_kernel(record):
    """A hub with two devices behind it and one device on a root port."""
    counts = {json.loads(d[4])["usb_devices"] for d in record["datagrams"]}
    assert counts == {len(guest.USB_DEVICES)}


def test_an_unprivileged_daemon_runs_as_that_user(record):
    started = row(record, "unprivileged")["steps"][-1]
    daemon = [line.split() for line in started["output"] if line.startswith("daemon ")]
    assert daemon and int(daemon[0][2]) == NOBODY, started["output"]


def asked(record, name):
    """What the host learnt from the guest's USB/IP server after the row."""
    host = row(record, name).get("host")
    assert host, "the host did not ask: %s" % record["error"]
    return host


def listened(record, name):
    """The listener's last usb event, from `--json --usb` beside the guest."""
    host = asked(record, name)
    if "listener" not in host:
        if os.environ.get("QUORVELLAN_E2E_REQUIRED") == "1":
            pytest.fail("QUORVELLAN_DISCOVER is not set")
        pytest.skip("QUORVELLAN_DISCOVER is not set")
    return host["listener"]


def test_debians_own_client_lists_every_device_but_the_hub(record):
    listed = asked(record, "usbip_shared")["usbip_list"]
    found = {}
    for line in listed["output"]:
        match = re.match(r"^ +(\S+): .* \(([0-9a-f]{4}):([0-9a-f]{4})\)$", line)
        if match:
            found[match.group(1)] = (match.group(2), match.group(3))
    assert listed["status"] == 0, listed["output"]
    assert found == {busid: shared[:2] for busid, shared in SHARED.items()}, listed["output"]


def test_the_listener_lists_the_shared_devices_with_their_names(record):
    event = listened(record, "usbip_shared")
    assert "usb" in event, event
    found = {device["busid"]: (device["vendor"], device["product"], device["vendor_name"],
                               device["product_name"], device["class"])
             for device in event["usb"]}
    assert found == SHARED
    assert len(event["usb"]) == len(SHARED)


def test_with_the_server_stopped_the_listener_says_no_answer(record):
    event = listened(record, "usbip_stopped")
    assert event.get("usb_error") == NO_ANSWER, event
    assert asked(record, "usbip_stopped")["usbip_list"]["status"] != 0
