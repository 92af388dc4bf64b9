"""Keeping shared USB devices attached, on a real amd64 kernel with vhci-hcd.

One boot (guest.py) runs every row of guest.ROWS in turn; each test below
judges one row from the lines of ours the guest's console gave.  Run by
CTest as attach_kernel.amd64 with ATTACH_KERNEL_CACHE (where the kernel,
busybox and the base initramfs are kept between runs), QUORVELLAN_BEACON,
QUORVELLAN_DISCOVER and ATTACH_DRIVER (the test program of the attach
units) in the environment.
"""

import json
import os
import re

import pytest

import guest

ADDRESS = guest.DEVICE_ADDRESS
# What the server shares, as the listener must list it: bus id, ids.
SHARED = {guest.SERIAL: ("0403", "6001"), guest.STORAGE: ("46f4", "0001"),
          guest.KEYBOARD: ("0627", "0001")}
# The steps that must fail, by row and step: a refusal is their success.
REFUSING = {("spoof", 0), ("import_refused", 0), ("import_refused", 1)}
PROGRAMS = {"quorvellan-beacon": "QUORVELLAN_BEACON", "quorvellan-discover": "QUORVELLAN_DISCOVER",
            "attach_driver": "ATTACH_DRIVER"}


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
    return result


def output(record, name, step=None):
    """The lines of ours of the row's steps (or of one step)."""
    for ran in record["rows"]:
        if ran["name"] == name:
            steps = ran["steps"] if step is None else ran["steps"][step:step + 1]
            return [line for taken in steps for line in taken["output"]]
    pytest.fail("row %s did not run: %s" % (name, record["error"]))


def console_tail(record, lines=40):
    return "\n".join(text for _, text in record["console"][-lines:])


def on_vhci(lines):
    """show_vhci's lines: {vid:pid: (port, authorized, configuration)}."""
    found = {}
    for line in lines:
        match = re.match(r"^vhci (\d+) \S+ (\S+) authorized=(\d) configuration=(\d*)$", line)
        if match:
            found[match.group(2)] = (int(match.group(1)), match.group(3), match.group(4))
    return found


def test_the_run_ends_without_a_fault(record):
    """No panic, no step failing but the refusals, which must fail."""
    assert record["error"] is None, record["error"] + "\n" + console_tail(record)
    wrong = [(ran["name"], step["line"], step["status"]) for ran in record["rows"]
             for index, step in enumerate(ran["steps"])
             if (step["status"] != 0) != ((ran["name"], index) in REFUSING)]
    assert not wrong, console_tail(record)


def test_the_laptop_hears_the_device_and_what_it_shares(record):
    events = [json.loads(line) for line in output(record, "heard") if line.startswith("{")]
    usb = [event for event in events if event["event"] == "usb"]
    assert usb, events
    assert {device["busid"]: (device["vendor"], device["product"])
            for device in usb[-1]["usb"]} == SHARED


def test_the_servers_import_reply_is_one_device_record(record):
    (raw,) = [line.split()[1] for line in output(record, "import_reply")
              if line.startswith("raw_reply ")]
    reply = bytes.fromhex(raw)
    # version 1.1.1, OP_REP_IMPORT, status 0, then the 312-byte record
    assert reply[:8] == bytes.fromhex("0111000300000000") and len(reply) == 8 + 312
    assert reply[8 + 256:8 + 256 + 4] == guest.SERIAL.encode() + b"\0"


def test_an_attached_device_is_let_in_after_the_check_and_named_by_usbip(record):
    attached = output(record, "attach", 0)
    assert attached == ["port 0 3-1 held", "authorized: 0403:6001 vendor-specific"], attached
    shown = output(record, "attach", 1)
    assert on_vhci(shown) == {"0403:6001": (0, "1", "1")}, shown
    assert "3-1 -> usbip://%s:3240/%s" % (ADDRESS, guest.SERIAL) in [l.strip() for l in shown]


def test_a_spoofed_device_is_never_let_in_and_detached(record):
    refused = output(record, "spoof", 0)
    assert refused == ["port 1 3-2 held",
                       "refused: 0627:0001 HID, the rule expects 0403:6001"], refused
    shown = output(record, "spoof", 1)
    assert "0627:0001" not in on_vhci(shown), shown
    assert not [line for line in shown if guest.KEYBOARD in line and "usbip://" in line], shown


def test_a_persons_own_attach_beside_keeps_working(record):
    """Alone, and while the driver holds the same hub for its own device."""
    lines = output(record, "own_attach")
    port = [line for line in lines if line.startswith("let in port ")]
    assert len(port) == 1, lines
    assert "port 0 3-1 held" in lines and "authorized: 0403:6001 vendor-specific" in lines
    shown = on_vhci(lines)
    assert set(shown) == {"0403:6001", "0627:0001", "46f4:0001"}, lines
    assert all(state[1:] == ("1", "1") for state in shown.values()), lines
    assert port[0] == "let in port %d, not ours" % shown["0627:0001"][0]


def test_an_import_refused_by_the_server_says_why(record):
    assert output(record, "import_refused") == [
        "the server refused to share %s (status 2: in use by another client)" % guest.SERIAL,
        "the server refused to share 9-9 (status 4: not shared there)"]


def test_a_start_finds_every_attachment_by_its_record(record):
    found = sorted(output(record, "adopt"))
    assert found == sorted([
        "attached port 0 hs 3-1 from %s:3240/%s" % (ADDRESS, guest.SERIAL),
        "attached port 1 hs 3-2 from %s:3240/%s" % (ADDRESS, guest.KEYBOARD),
        "attached port 15 ss 4-1 from %s:3240/%s" % (ADDRESS, guest.STORAGE)])


def test_a_silent_link_frees_our_port_but_not_those_without_keepalive(record):
    """The guest waits at most 60 s; Debian's usbip sets no keepalive, so
    its two attachments are still in use when ours is freed."""
    lines = output(record, "silent_link")
    assert [line for line in lines if line.startswith("figure silent_link_frees_port ")], lines
    assert "others_in_use 2" in lines
