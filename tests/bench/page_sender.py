#!/usr/bin/python3
"""Keeps a page busy, for scripts/bench-listener.

  page_sender.py BROADCAST PORT FIRST COUNT RATE LEAD SECONDS

Announces COUNT devices, four from each address from FIRST on, every 3 s for
SECONDS; from LEAD seconds on it also renames one device after another at
RATE a second ("changed N"). Prints the renames made and the monotonic time
of the last one.
"""

import ipaddress
import sys
import time

from announcement import announcement, broadcaster


def main(broadcast, port, first, count, rate, lead, seconds):
    first, count, rate = ipaddress.IPv4Address(first), int(count), float(rate)
    lead, seconds, to = float(lead), float(seconds), (broadcast, int(port))
    names = ["bench %d" % i for i in range(count)]
    sockets = {}

    def send(i):
        source = str(first + i // 4)
        if source not in sockets:
            sockets[source] = broadcaster(source)
        sockets[source].sendto(announcement(
            name=names[i], hostname="bench-%d" % i, mac="02:00:00:00:%02x:%02x" % (i >> 8, i & 255),
            ip_ap=source), to)

    start = time.monotonic()
    next_round, changes, last = start, 0, 0.0
    while time.monotonic() < start + seconds:
        now = time.monotonic()
        if now >= next_round:
            for i in range(count):
                send(i)
            next_round += 3
        if now >= start + lead and rate > 0:
            due = int((now - start - lead) * rate)
            while changes < due:
                i = changes % count
                names[i] = "changed %d" % changes
                send(i)
                changes += 1
                last = time.monotonic()
        time.sleep(0.002)
    print(changes, last)


if __name__ == "__main__":
    if len(sys.argv) != 8:
        sys.exit(__doc__.split("\n\n")[1])
    main(*sys.argv[1:])
