"""What the bench's Python senders share: a broadcasting socket bound to one
of the sender's addresses, and an announcement as the daemon renders it."""

import json
import socket


def broadcaster(source):
    """A UDP socket that may broadcast, sending from source."""
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    sender.bind((source, 0))
    return sender


def announcement(**members):
    """The bytes of an announcement with these members, the others as a
    device with empty addresses and no USB devices sends them."""
    rendered = dict(id="quorvellan_link", name="", hostname="", version="1.0.0", mac="",
                    ip_ap="", ip_lan="", http=80, usbip=3240, usb_devices=0)
    rendered.update(members)
    return json.dumps(rendered).encode()
