"""Two quorvellan-discover listeners side by side on a simulated device,
fed datagrams broadcast there: the JSON lines, the change lines, hostile
text made safe, and the closing status line."""

import json
import re
import socket
import subprocess
import time

from simdevice import program

PLAIN = dict(id="quorvellan_link", name="Quorvellan Link", hostname="quorvellan",
             version="unknown", mac="02:00:00:00:00:01", ip_ap="", ip_lan="",
             http=80, usbip=3240, usb_devices=0)
HOSTILE_NAME = "evil\x1b[2J\r\x07\u202e"


def test_two_listeners(device, request):
    tool = program(request, "--discover")
    # A veth pair gives the namespace a broadcast address, so that both
    # listeners sharing the port receive each datagram, as from a device.
    device.ip("link add probe0 type veth peer name probe1",
              "address add 192.0.2.1/24 broadcast 192.0.2.255 dev probe0",
              "link set probe0 up", "link set probe1 up")
    listeners = [device.popen([tool, "--timeout", "4"] + args, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) for args in (["--json"], [])]
    for count, listener in enumerate(listeners, 1):
        assert device.wait_for_sockets(count, listener)

    sender = device.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    for payload in [PLAIN, PLAIN, dict(PLAIN, name=HOSTILE_NAME, mac=""), b"not json",
                    dict(PLAIN, usb_devices="2"), dict(PLAIN, usb_devices=2)]:
        data = payload if isinstance(payload, bytes) else json.dumps(payload).encode()
        sender.sendto(data, ("192.0.2.255", 32400))
    sender.close()
    (json_out, json_err), (text, text_err) = [p.communicate(timeout=20) for p in listeners]

    assert [p.returncode for p in listeners] == [0, 0] and json_err == text_err == b""
    objects = [json.loads(line) for line in json_out.splitlines()]
    assert [(o["mac"], o["name"], o["usb_devices"]) for o in objects] == [
        (PLAIN["mac"], PLAIN["name"], 0), ("", HOSTILE_NAME, 0), (PLAIN["mac"], PLAIN["name"], 2)]
    for o in objects:
        assert o["source"] == "192.0.2.1"
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", o["last_seen"])
    assert not any(b < 0x20 and b != 0x0A or b == 0x7F for b in text)
    assert "\u202e".encode() not in text
    lines = text.decode().splitlines()
    assert [line.split(" ", 1)[1].split(" name=")[0] for line in lines
            if re.match(r"\d{4}-", line)] == ["new device", "new device", "changed (usb_devices)"]
    assert r'name="evil\x1b[2J\r\x07\u202e"' in text.decode()
    assert lines[-1] == ("2 devices, 2 online | datagrams: 4 accepted, 2 rejected (last: member "
                         "of the wrong type \"usb_devices\" from 192.0.2.1)")


def test_once_into_a_reader_that_leaves(device, request):
    """A script's `--once | head -0` under pipefail: the reader has gone
    before anything is written, and the listener ends quietly, status 0,
    whether or not it heard the device announcing meanwhile."""
    tool = program(request, "--discover")
    device.ip("link add probe0 type veth peer name probe1",
              "address add 192.0.2.1/24 broadcast 192.0.2.255 dev probe0",
              "link set probe0 up", "link set probe1 up")
    listener = device.popen(["bash", "-o", "pipefail", "-c", '"$0" --once | head -0', tool],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    sender = device.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    for _ in range(25):
        if listener.poll() is not None:
            break
        sender.sendto(json.dumps(PLAIN).encode(), ("192.0.2.255", 32400))
        time.sleep(0.2)
    sender.close()
    out, err = listener.communicate(timeout=20)
    assert (listener.returncode, out, err) == (0, b"", b"")
