#!/usr/bin/python3
"""A slow-header attack, for scripts/bench-listener.

  slowloris.py PORT ADDRESS CONNECTIONS EVERY SECONDS

CONNECTIONS connections to 127.0.0.1:PORT from ADDRESS, each sending one
byte of a request's headers every EVERY seconds, and opening again whenever
the listener closes one, for SECONDS. Prints how many were closed at once
(refused), how many after a while (cut), how many were held to the end, and
the longest any stayed open (a JSON object).
"""

import json
import select
import socket
import sys
import threading
import time

HEAD = b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"x" * 4096


def main(port, address, connections, every, seconds):
    end = time.monotonic() + float(seconds)
    found = {"refused": 0, "cut": 0, "held to the end": 0, "longest": 0.0}
    lock = threading.Lock()

    def hold():
        while time.monotonic() < end:
            s = socket.socket()
            s.bind((address, 0))
            try:
                s.connect(("127.0.0.1", int(port)))
            except OSError:
                s.close()
                time.sleep(0.1)
                continue
            opened, sent, closed = time.monotonic(), 0, False
            while not closed and time.monotonic() < end:
                try:
                    s.send(HEAD[sent:sent + 1])
                    sent += 1
                    if select.select([s], [], [], float(every))[0] and not s.recv(1):
                        closed = True
                except OSError:
                    closed = True
            s.close()
            lived = time.monotonic() - opened
            with lock:
                found["longest"] = max(found["longest"], lived)
                if not closed:
                    found["held to the end"] += 1
                else:
                    found["cut" if lived > 0.5 else "refused"] += 1
            if closed:
                time.sleep(0.1)

    threads = [threading.Thread(target=hold) for _ in range(int(connections))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(json.dumps(found))


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__.split("\n\n")[1])
    main(*sys.argv[1:])
