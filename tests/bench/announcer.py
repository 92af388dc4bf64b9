#!/usr/bin/python3
"""A real device beside the bench's loads, for scripts/bench-listener.

  announcer.py BROADCAST PORT SOURCE MAC SECONDS

Announces one device, "Bench Real", from SOURCE every 3 s for SECONDS;
prints the wall-clock time of its last announcement.
"""

import sys
import time

from announcement import announcement, broadcaster


def main(broadcast, port, source, mac, seconds):
    sender = broadcaster(source)
    end = time.monotonic() + float(seconds)
    while True:
        sender.sendto(announcement(name="Bench Real", hostname="bench-real", mac=mac,
                                   ip_ap=source), (broadcast, int(port)))
        last = time.time()
        if time.monotonic() + 3 > end:
            break
        time.sleep(3)
    print(last)


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__.split("\n\n")[1])
    main(*sys.argv[1:])
