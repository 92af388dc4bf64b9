"""What reaches the network: a receiver for port 32400 that learns each
datagram's destination, and the cadence checks.  Standard library only, so
that any test that has a network namespace of its own can use it.

  Receiver(netns=None)  listens on 0.0.0.0:32400 (in netns, a path such as
                        /proc/PID/ns/net, if given); .datagrams(), .close()
  cycles(datagrams)     the datagrams grouped into cycles
  cadence_faults(starts) what is wrong with the gaps between cycle starts
"""

import collections
import ctypes
import os
import socket
import struct
import threading
import time

PORT = 32400
PERIOD_WINDOW = (2.5, 4.5)  # seconds between the starts of two cycles
CYCLE_BREAK = 1.0           # datagrams further apart belong to different cycles

_IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)
_SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
_CLONE_NEWNET = 0x40000000

Datagram = collections.namedtuple("Datagram", "time payload source port destination ifindex")


def monotonic_from_realtime(stamp):
    """A recent CLOCK_REALTIME stamp (kernel, strace) on the time.monotonic() scale."""
    return time.monotonic() - (time.time() - stamp)


def in_netns(netns, make):
    """make() called in the network namespace netns; what it makes (a socket)
    stays there.  Runs in a thread of its own: setns moves one thread only."""
    if netns is None:
        return make()
    result = []

    def enter():
        fd = os.open(netns, os.O_RDONLY)
        try:
            if ctypes.CDLL(None, use_errno=True).setns(fd, _CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns " + netns)
            result.append(make())
        finally:
            os.close(fd)

    thread = threading.Thread(target=enter)
    thread.start()
    thread.join()
    if not result:
        raise RuntimeError("could not enter " + netns)
    return result[0]


class Receiver:
    """Every datagram to the port, any address, with its destination and the
    index of the link it came in on (IP_PKTINFO), and the kernel's arrival
    time, which no late reading can stretch: they wait in the socket until
    datagrams() collects them."""

    def __init__(self, netns=None, port=PORT):
        def make():
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
            s.setsockopt(socket.IPPROTO_IP, _IP_PKTINFO, 1)
            s.setsockopt(socket.SOL_SOCKET, _SO_TIMESTAMPNS, 1)
            s.bind(("0.0.0.0", port))
            s.setblocking(False)
            return s

        self._socket = in_netns(netns, make)
        self._datagrams = []

    def datagrams(self):
        while self._socket.fileno() >= 0:
            try:
                payload, ancillary, _, source = self._socket.recvmsg(65535, 256)
            except BlockingIOError:
                break
            fields = {}
            for level, kind, data in ancillary:
                if level == socket.IPPROTO_IP and kind == _IP_PKTINFO:
                    fields["ifindex"] = struct.unpack("@i", data[:4])[0]
                    fields["destination"] = socket.inet_ntoa(data[8:12])
                elif level == socket.SOL_SOCKET and kind == _SO_TIMESTAMPNS:
                    seconds, nanoseconds = struct.unpack("@ll", data[:16])
                    fields["time"] = monotonic_from_realtime(seconds + nanoseconds / 1e9)
            self._datagrams.append(Datagram(payload=payload, source=source[0], port=source[1],
                                            **fields))
        return list(self._datagrams)

    def close(self):
        self.datagrams()
        self._socket.close()


def cycles(items, time_of=lambda d: d.time):
    grouped = []
    for item in items:
        if grouped and time_of(item) - time_of(grouped[-1][-1]) <= CYCLE_BREAK:
            grouped[-1].append(item)
        else:
            grouped.append([item])
    return grouped


def cadence_faults(starts):
    low, high = PERIOD_WINDOW
    return ["cycles %.2f s apart, not %.1f-%.1f s" % (b - a, low, high)
            for a, b in zip(starts, starts[1:]) if not low <= b - a <= high]
