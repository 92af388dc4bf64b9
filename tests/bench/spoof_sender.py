#!/usr/bin/python3
"""Spoofed announcements that draw USB/IP queries, for scripts/bench-listener.

  spoof_sender.py BROADCAST PORT FIRST COUNT devices|new-macs RATE SECONDS

Announces from FIRST on: "devices", COUNT invented devices, each from an
address of its own, every 3 s; "new-macs", a new MAC in every datagram at
RATE a second, from COUNT addresses in turn. Every one names 127.0.0.1 as
its ip_ap and has a USB device to share. For SECONDS; prints the datagrams
sent.
"""

import ipaddress
import resource
import sys
import time

from announcement import announcement, broadcaster


def main(broadcast, port, first, count, mode, rate, seconds):
    first, count, rate = ipaddress.IPv4Address(first), int(count), float(rate)
    seconds, to = float(seconds), (broadcast, int(port))
    # A socket per address, beyond the usual descriptor limit.
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    sockets = [broadcaster(str(first + i)) for i in range(count)]

    def send(i, mac):
        sockets[i].sendto(announcement(
            name="spoof %d" % mac, hostname="spoof-%d" % mac,
            mac="02:55:%02x:%02x:%02x:%02x" % (mac >> 24 & 255, mac >> 16 & 255,
                                               mac >> 8 & 255, mac & 255),
            ip_ap="127.0.0.1", usb_devices=1), to)

    start = time.monotonic()
    sent = 0
    if mode == "devices":
        next_round = start
        while time.monotonic() < start + seconds:
            if time.monotonic() >= next_round:
                for i in range(count):
                    send(i, i)
                    sent += 1
                next_round += 3
            time.sleep(0.01)
    else:
        while time.monotonic() < start + seconds:
            due = int((time.monotonic() - start) * rate)
            while sent < due:
                send(sent % count, sent)
                sent += 1
            time.sleep(0.002)
    print(sent)


if __name__ == "__main__":
    if len(sys.argv) != 8 or sys.argv[5] not in ("devices", "new-macs"):
        sys.exit(__doc__.split("\n\n")[1])
    main(*sys.argv[1:])
