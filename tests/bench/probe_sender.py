#!/usr/bin/python3
"""Times datagrams to a page's events, for scripts/bench-listener.

  probe_sender.py BROADCAST PORT FIRST COUNT EVERY LEAD SECONDS

Announces COUNT probe devices, four from each address from FIRST on, then
renames one after another every EVERY seconds from LEAD seconds on, each
name ("probe T") the monotonic time T it was sent at, for SECONDS: the
page's stream shows when each rename reached it. One rename of a device
per period at most, so that each is reported at once. Prints the renames
made.
"""

import ipaddress
import sys
import time

from announcement import announcement, broadcaster


def main(broadcast, port, first, count, every, lead, seconds):
    first, count, every = ipaddress.IPv4Address(first), int(count), float(every)
    lead, seconds, to = float(lead), float(seconds), (broadcast, int(port))
    sockets = [broadcaster(str(first + a)) for a in range((count + 3) // 4)]

    def send(i, name):
        sockets[i // 4].sendto(announcement(
            name=name, hostname="probe-%d" % i, mac="02:00:77:00:00:%02x" % i), to)

    for i in range(count):
        send(i, "probe %d" % i)
    start = time.monotonic()
    renamed = 0
    while time.monotonic() < start + seconds:
        due = start + lead + renamed * every
        if time.monotonic() < due:
            time.sleep(max(0.0, due - time.monotonic()))
            continue
        send(renamed % count, "probe %.6f" % time.monotonic())
        renamed += 1
    print(renamed)


if __name__ == "__main__":
    if len(sys.argv) != 8:
        sys.exit(__doc__.split("\n\n")[1])
    main(*sys.argv[1:])
