#!/usr/bin/python3
"""Clients that fetch the largest answers back to back, for scripts/bench-listener.

  fetchers.py PORT ADDRESSES PER_ADDRESS PATHS SECONDS

HTTP/1.0 clients of 127.0.0.1:PORT from each of ADDRESSES (comma-separated),
PER_ADDRESS from each, every one fetching PATHS (comma-separated) in turn,
back to back, for SECONDS. Prints how many answers were whole (200), shed
(503) or lost, and their bytes (a JSON object).
"""

import json
import socket
import sys
import threading
import time


def main(port, addresses, per_address, paths, seconds):
    end = time.monotonic() + float(seconds)
    paths = paths.split(",")
    counts = {"200": 0, "503": 0, "lost": 0, "bytes": 0}
    lock = threading.Lock()

    def fetch(source, k):
        while time.monotonic() < end:
            path = paths[k % len(paths)]
            k += 1
            reply = b""
            try:
                with socket.socket() as s:
                    s.settimeout(10)
                    s.bind((source, 0))
                    s.connect(("127.0.0.1", int(port)))
                    s.sendall(("GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % path).encode())
                    while chunk := s.recv(65536):
                        reply += chunk
            except OSError:
                pass
            status = reply[9:12].decode() if len(reply) >= 12 else "lost"
            with lock:
                counts[status if status in counts else "lost"] += 1
                counts["bytes"] += len(reply)
            if status != "200":
                time.sleep(0.05)

    threads = [threading.Thread(target=fetch, args=(a, k)) for a in addresses.split(",")
               for k in range(int(per_address))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(json.dumps(counts))


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__.split("\n\n")[1])
    main(*sys.argv[1:])
