#!/usr/bin/python3
"""Answers USB/IP's device-list request (OP_REQ_DEVLIST) on port 3240 with
Demo Link's two devices, an FTDI serial adapter behind the hub and a SanDisk
stick, for scripts/demo --web and scripts/screenshot-page: a few lines, not
a USB/IP server. Runs until killed.
"""

import socket
import struct


def device(busid, busnum, devnum, speed, vendor, product, interface_class):
    path = ("/sys/devices/platform/usb/" + busid).encode()
    return (path.ljust(256, b"\0") + busid.encode().ljust(32, b"\0")
            + struct.pack(">IIIHHHBBBBBB", busnum, devnum, speed, vendor, product, 0x600,
                          0, 0, 0, 1, 1, 1)
            + bytes([interface_class, 0, 0, 0]))


REPLY = (struct.pack(">HHII", 0x0111, 0x0005, 0, 2)
         + device("1-1.2", 1, 3, 2, 0x0403, 0x6001, 0xff)
         + device("2-1", 2, 2, 3, 0x0781, 0x5567, 0x08))


def main():
    server = socket.create_server(("0.0.0.0", 3240))
    while True:
        client, _ = server.accept()
        with client:
            client.settimeout(2)
            try:
                if len(client.recv(8)) == 8:
                    client.sendall(REPLY)
            except OSError:
                pass


if __name__ == "__main__":
    main()
