"""SCAFFOLDING, replaced by the real listener when it serves the page: a
small HTTP server that speaks the listener's side of the page's contract
(the embedded files, GET /api/devices, the event stream GET /api/events,
the security headers), with a table the test scripts instead of devices
announcing.  The integration step swaps it for quorvellan-discover with
--http, fed by simulated devices; the tests only use what both offer:

  url                 the page's address
  announce(device)    the device is heard with these values (new, changed,
                      or back online); device: the announcement's members
  silence(mac)        the device stops announcing (the listener then marks
                      it offline; here that happens at once)
  forget(mac)         the device leaves the table ("removed")
  share(mac, usb=None, error=None)  what its USB/IP server answered
  stop(), start()     the listener goes away and comes back on its address

dump_assets(tool, directory) writes the embedded files there for it, with
web_asset_dump (tests/web/asset_dump.cpp).
"""

import datetime
import http.server
import json
import os
import queue
import subprocess
import threading
import time
import urllib.parse

# The contract's headers, so that the page runs under the same policy as
# when the listener serves it.
HEADERS = {
    "Content-Security-Policy": "default-src 'none'; script-src 'self'; style-src 'self'; "
                               "connect-src 'self'; img-src 'self'; base-uri 'none'; "
                               "form-action 'none'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "X-Frame-Options": "DENY",
    "Cache-Control": "no-store",
}
DEFAULTS = dict(id="quorvellan_link", name="", hostname="", version="unknown", mac="", ip_ap="",
                ip_lan="", http=80, usbip=3240, usb_devices=0)
MEMBERS = list(DEFAULTS)
KEEPALIVE = 15.0


def rfc3339(when):
    return datetime.datetime.fromtimestamp(int(when), datetime.timezone.utc).strftime(
        "%Y-%m-%dT%H:%M:%SZ")


def web_link(announced, source):
    address = announced["ip_ap"] or source
    port = announced["http"]
    return "http://%s%s/" % (address, "" if port == 80 else ":%d" % port)


def dump_assets(tool, directory):
    with open(os.path.join(directory, "manifest"), "w") as manifest:
        subprocess.run([tool, directory], check=True, stdout=manifest)


class StandIn:
    def __init__(self, assets, host, port):
        """assets: directory with the files and manifest written by web_asset_dump."""
        self.url = "http://%s:%d/" % (host, port)
        self._address = (host, port)
        self._files = {}
        with open(os.path.join(assets, "manifest")) as manifest:
            for line in manifest:
                path, content_type, etag = line.rstrip("\n").split("\t")
                with open(assets + path, "rb") as f:
                    self._files[path] = (content_type, etag, f.read())
        self._files["/"] = self._files["/index.html"]
        self._lock = threading.Lock()
        self._devices = {}  # mac -> device object as in the snapshot
        self._clients = []  # one queue of event lines per stream
        self._server = None

    # The table's side.

    def reset(self, devices=()):
        """The table holds these devices (snapshot objects, with "state",
        optionally "presence", "usb", "usb_error"), and nothing is streamed."""
        with self._lock:
            self._devices = {d["mac"]: self._complete(d) for d in devices}

    def _complete(self, d):
        d = dict(DEFAULTS, **d)
        d.setdefault("state", "online")
        d["online"] = d["state"] == "online"
        d.setdefault("source", d["ip_ap"] or d["ip_lan"] or "192.0.2.1")
        d.setdefault("source_suspect", False)
        d.setdefault("web", web_link(d, d["source"]))
        d.setdefault("last_seen", rfc3339(time.time()))
        d.setdefault("presence", {"cell_seconds": 600, "end": d["last_seen"], "cells": "-" * 144})
        return d

    def announce(self, device):
        with self._lock:
            old = self._devices.get(device["mac"])
            new = self._complete(dict(old or {}, **device, state="online",
                                      last_seen=rfc3339(time.time())))
            new["web"] = web_link(new, new["source"]) if "web" not in device else device["web"]
            self._devices[new["mac"]] = new
            changed = [m for m in MEMBERS if old and old[m] != new[m]]
            kind = "new" if old is None else "online" if old["state"] == "offline" else "changed"
            if kind != "changed" or changed:
                self._send(kind, new, changed)

    def silence(self, mac):
        with self._lock:
            d = self._devices[mac]
            d.update(state="offline", online=False)
            self._send("offline", d, [])

    def forget(self, mac):
        with self._lock:
            d = self._devices.pop(mac)
            self._send("removed", d, [], reason="forgotten")

    def share(self, mac, usb=None, error=None):
        with self._lock:
            d = self._devices[mac]
            d.pop("usb", None)
            d.pop("usb_error", None)
            if usb is not None:
                d["usb"] = usb
            if error:
                d["usb_error"] = error
            self._send("usb", d, [])

    def _send(self, kind, d, changed, **extra):
        line = {"event": kind, "online": d["online"]}
        line.update((m, d[m]) for m in MEMBERS)
        line.update((m, d[m]) for m in ("source", "source_suspect", "web", "last_seen"))
        line["changed"] = changed
        if kind in ("usb", "removed"):
            line.update((m, d[m]) for m in ("usb", "usb_error") if m in d)
        line.update(extra)
        data = json.dumps(line).encode()
        for client in self._clients:
            client.put(data)

    def snapshot(self):
        with self._lock:
            devices = list(self._devices.values())
        online = sum(d["online"] for d in devices)
        return {"now": rfc3339(time.time()), "devices": devices,
                "counts": {"online": online, "offline": len(devices) - online,
                           "all": len(devices)}}

    # The server's side.

    def start(self):
        stand_in = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def respond(self, status, content_type, body, extra=()):
                self.send_response(status)
                for name, value in list(HEADERS.items()) + list(extra):
                    self.send_header(name, value)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                if self.command != "HEAD":
                    self.wfile.write(body)

            def do_HEAD(self):
                self.do_GET()

            def do_GET(self):
                path = urllib.parse.urlsplit(self.path).path
                if path == "/api/events":
                    return self.stream()
                if path == "/api/devices":
                    body = json.dumps(stand_in.snapshot()).encode()
                    return self.respond(200, "application/json", body)
                if path in stand_in._files:
                    content_type, etag, body = stand_in._files[path]
                    return self.respond(200, content_type, body, [("ETag", etag)])
                self.respond(404, "text/plain; charset=utf-8", b"not found\n")

            def stream(self):
                events = queue.Queue()
                with stand_in._lock:
                    stand_in._clients.append(events)
                try:
                    self.send_response(200)
                    for name, value in HEADERS.items():
                        self.send_header(name, value)
                    self.send_header("Content-Type", "text/event-stream")
                    self.end_headers()
                    self.wfile.flush()
                    while True:
                        try:
                            data = events.get(timeout=KEEPALIVE)
                        except queue.Empty:
                            self.wfile.write(b": keepalive\n\n")
                            continue
                        if data is None:
                            break
                        self.wfile.write(b"data: " + data + b"\n\n")
                        self.wfile.flush()
                except OSError:
                    pass
                finally:
                    with stand_in._lock:
                        stand_in._clients.remove(events)

        self._server = http.server.ThreadingHTTPServer(self._address, Handler)
        self._server.daemon_threads = True
        threading.Thread(target=self._server.serve_forever, daemon=True).start()

    def stop(self):
        """Closes the listening socket and every stream."""
        self._server.shutdown()
        self._server.server_close()
        with self._lock:
            for client in self._clients:
                client.put(None)
        self._server = None
