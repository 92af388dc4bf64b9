"""quorvellan-discover serving its page, fed by simulated devices, all inside
the network namespace the browser tests made (browser.isolate): each device
announces from an address of its own on loopback, as often as the daemon
does, and may run a USB/IP server that answers the device-list request with
a reply recorded from Debian's usbipd on the MIPS kernel.

  Listener(program, address, port, reply)
    url                  the page's address
    start(), stop()      the listener comes and goes; the devices announce on
    announce(device)     the device announces these values from now on, and
                         at once; device: the announcement's members, with
                         "source" (default its ip_ap) and "usb_server" (what
                         its USB/IP server replies: "listed", "deeper" (1-2
                         as 3-10.4.2.1), "named" (1-2 as usb-1_a), "refused"
                         or None for no server)
    silence(mac)         the device stops announcing
    close()
"""

import json
import socket
import subprocess
import threading
import time

from simdevice import stop

PERIOD = 3.0  # the daemon's announcement period
DEFAULTS = dict(id="quorvellan_link", name="", hostname="", version="unknown", mac="", ip_ap="",
                ip_lan="", http=80, usbip=3240, usb_devices=0)


def add_address(address):
    subprocess.run(["ip", "address", "replace", address + "/32", "dev", "lo"], check=True)


class UsbipServer:
    """Answers every connection with reply once the request has come."""

    def __init__(self, address, port, reply):
        self._socket = socket.create_server((address, port))
        self._reply = reply
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                client, _ = self._socket.accept()
            except OSError:
                return
            with client:
                client.settimeout(2)
                try:
                    client.recv(8)
                    client.sendall(self._reply)
                except OSError:
                    pass

    def close(self):
        self._socket.close()


class Listener:
    def __init__(self, program, address, port, reply, options=()):
        """reply: the recorded OP_REP_DEVLIST bytes."""
        self.url = "http://%s:%d/" % (address, port)
        self._command = [program, "--http", "%s:%d" % (address, port), "--usb", "--quiet"]
        self._command += list(options)
        self._replies = {"listed": reply, "refused": b"\x01\x10" + reply[2:],
                         # One of them behind two hubs: a longer bus id.
                         "deeper": reply.replace(b"1-2" + bytes(7), b"3-10.4.2.1"),
                         # A bus id no Linux port has, yet a plain name.
                         "named": reply.replace(b"1-2" + bytes(7), b"usb-1_a" + bytes(3))}
        self._lock = threading.Lock()
        self._devices = {}  # mac -> datagram
        self._sources = {}  # mac -> address it announces from
        self._servers = {}  # (address, port) -> UsbipServer
        self._process = None
        self._done = threading.Event()
        self._announcer = threading.Thread(target=self._announce_on, daemon=True)
        self._announcer.start()

    def start(self):
        self._process = subprocess.Popen(self._command, start_new_session=True,
                                         stdin=subprocess.DEVNULL)
        # Ready once it listens for datagrams and its page answers.
        deadline = time.monotonic() + 5
        while True:
            try:
                socket.create_connection(self.url[7:-1].rsplit(":", 1), timeout=1).close()
                return
            except OSError:
                if self._process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("quorvellan-discover did not start")
                time.sleep(0.05)

    def stop(self):
        if self._process is not None:
            status = stop(self._process)
            self._process = None
            assert status == 0, "quorvellan-discover ended with status %d" % status

    def announce(self, device):
        device = dict(device)
        source = device.pop("source", None) or device["ip_ap"]
        server = device.pop("usb_server", None)
        announced = dict(DEFAULTS, **device)
        add_address(source)
        if server is not None and (source, announced["usbip"]) not in self._servers:
            self._servers[(source, announced["usbip"])] = UsbipServer(
                source, announced["usbip"], self._replies[server])
        with self._lock:
            self._devices[announced["mac"]] = json.dumps(announced).encode()
            self._sources[announced["mac"]] = source
        self._send(announced["mac"])

    def silence(self, mac):
        with self._lock:
            self._devices.pop(mac)

    def _send(self, mac):
        with self._lock:
            datagram, source = self._devices.get(mac), self._sources[mac]
        if datagram is None:
            return
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            sender.bind((source, 0))
            sender.sendto(datagram, (self.url[7:].split(":")[0], 32400))

    def _announce_on(self):
        while not self._done.wait(PERIOD):
            with self._lock:
                macs = list(self._devices)
            for mac in macs:
                self._send(mac)

    def close(self):
        self._done.set()
        self.stop()
        for server in self._servers.values():
            server.close()
