#!/usr/bin/python3
"""Counts the connections a listener makes, for scripts/bench-listener.

  connection_counter.py ADDRESS PORT SECONDS

Accepts every connection to PORT on ADDRESS (0.0.0.0: any) for SECONDS,
closing each at once. Prints "ready" once it listens, then, at the end, how
many came in each second from its start (a JSON list).
"""

import json
import socket
import sys
import time


def main(address, port, seconds):
    server = socket.create_server((address, int(port)), backlog=4096)
    server.settimeout(0.05)
    print("ready", flush=True)
    start, counts = time.monotonic(), []
    while time.monotonic() < start + float(seconds):
        try:
            connection, _ = server.accept()
        except socket.timeout:
            continue
        second = int(time.monotonic() - start)
        counts.extend([0] * (second + 1 - len(counts)))
        counts[second] += 1
        connection.close()
    print(json.dumps(counts))


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__.split("\n\n")[1])
    main(*sys.argv[1:])
