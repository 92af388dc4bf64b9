"""`beacon`: runs the daemon on the simulated device and gathers what it did.

Times count from the daemon's first cycle as observed (its first datagram,
or its first traced sendto), not from its start, which an emulator on a
loaded machine can delay.  Every run also checks what must always hold: one
source port, payloads that are one JSON object in UTF-8 ending in '}' with no
newline or NUL, cycles 2.5-4.5 s apart (received and traced), and the exit
status and stderr asked for (by default: still running, silent).
"""

import errno
import os
import json
import pwd
import re
import shlex
import subprocess
import time
from types import SimpleNamespace

import pytest

import netcheck
from simdevice import children_of, program, stop

FIRST_CYCLE_LIMIT = 15.0  # a daemon silent for longer will not be fixed by waiting
STRERROR = {
    "glibc": {"EMFILE": "Too many open files", "ENOPROTOOPT": "Protocol not available"},
    "musl": {"EMFILE": "No file descriptors available", "ENOPROTOOPT": "Protocol not available"},
}
CALL = re.compile(r"^(?:\d+ +)?(\d+\.\d+) (\w+)\((.*)\)\s+= (.*)$")
SENDTO = re.compile(r'sin_port=htons\((\d+)\), sin_addr=inet_addr\("([0-9.]+)"\)')


def traced_sends(text):
    """(time, "DESTINATION[:PORT if not 32400][ ERRNO if it failed]") per sendto."""
    sends = []
    for at, call, arguments, result in (m.groups() for m in map(CALL.match, text.splitlines())
                                        if m and m[2] == "sendto" and SENDTO.search(m[3])):
        port, destination = SENDTO.search(arguments).groups()
        sends.append((float(at), destination + ("" if int(port) == netcheck.PORT else ":" + port)
                      + (" " + result.split()[1] if result.startswith("-1") else "")))
    return sends


def traced_opens(text):
    """(call, arguments, result) of each open, openat and socket call after
    the broadcast socket was made."""
    calls = [m.groups()[1:] for m in map(CALL.match, text.splitlines()) if m]
    made = [i for i, (call, arguments, result) in enumerate(calls) if call == "socket"
            and arguments.startswith("AF_INET, SOCK_DGRAM") and not result.startswith("-1")]
    return [c for c in calls[made[0] + 1 if made else len(calls):]
            if c[0] in ("open", "openat", "socket")]


def first_cycle(process, receiver, trace_path):
    give_up = time.monotonic() + FIRST_CYCLE_LIMIT
    while process.poll() is None and time.monotonic() < give_up:
        seen = [d.time for d in receiver.datagrams()[:1]]
        if trace_path:
            with open(trace_path, "a+") as f:
                f.seek(0)
                text = f.read()
            # A line strace is still writing could match with its result cut short.
            seen += [netcheck.monotonic_from_realtime(at)
                     for at, _ in traced_sends(text[:text.rfind("\n") + 1])[:1]]
        if seen:
            return min(seen)
        time.sleep(0.01)
    return None


def payload_of(cycle):
    """The one payload of a cycle's datagrams, or all of them if they differ."""
    payloads = {d.payload.decode(errors="replace") for d in cycle}
    return payloads.pop() if len(payloads) == 1 else sorted(payloads)


def proc_field(pid, name, key):
    """The first number on a line of /proc/PID/name, such as Uid: in status."""
    try:
        with open("/proc/%d/%s" % (pid, name)) as f:
            return next(int(line.split()[1]) for line in f if line.startswith(key))
    except (OSError, StopIteration):
        return None


@pytest.fixture
def beacon(request, tmp_path):
    """beacon(device, duration, ...) runs the daemon and returns what it did:
    cycles, (payload, [destinations]) per cycle received; sendto, per traced
    cycle, traced_sends' texts; opens (traced_opens); uid and read, the
    daemon's user and rchar at the end.  Options:
      actions   {seconds after the first cycle: function}
      strace    the calls to trace ("sendto", or "sendto,open,openat,socket")
      user      run as this user; fail (call, errno name): see fail_syscall.c
      nofile    descriptor limit of the daemon alone (an emulator shares it)
      args      command-line arguments
      exits     the status it must exit with, and stderr the text it must print,
                {ERRNO} standing for that error's message in its C library
      closed    start it with its standard input, output and error closed;
                standard is then what its descriptors 0 to 2 lead to
    """
    config = request.config
    daemon = program(request, "--daemon")
    libcs = STRERROR if config.getoption("--libc") == "any" else [config.getoption("--libc")]

    def run(device, duration, actions={}, strace=None, user=None, fail=None, nofile=None,
            args=(), exits=None, stderr="", closed=False):
        trace_path = str(tmp_path / "trace") if strace else None
        command = []
        if strace:
            command += ["strace", "-f", "-qq", "-ttt", "-e", "trace=" + strace, "-o", trace_path]
        if user:
            account = pwd.getpwnam(user)
            command += ["setpriv", "--reuid=%d" % account.pw_uid, "--regid=%d" % account.pw_gid,
                        "--clear-groups"]
        if fail:
            command += [program(request, "--fail-syscall"), fail[0], str(getattr(errno, fail[1]))]
        if nofile:  # last before the daemon: strace and the launchers need descriptors
            command += ["prlimit", "--nofile=%d" % nofile, "--"]
        command += shlex.split(config.getoption("--emulator")) + [daemon] + list(args)
        if closed:
            command = ["sh", "-c", 'exec "$@" <&- >&- 2>&-', "sh"] + command

        receiver = netcheck.Receiver(device.netns)
        process = device.popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        uid = read = standard = None
        def wait_until(moment):
            # Collecting meanwhile: a long run's datagrams would overflow the
            # receiver's buffer.
            while time.monotonic() < moment:
                receiver.datagrams()
                time.sleep(max(0.0, min(0.5, moment - time.monotonic())))

        try:
            start = first_cycle(process, receiver, trace_path)
            if exits is None:
                assert start is not None, "no cycle within %.0f s" % FIRST_CYCLE_LIMIT
                for at, action in sorted(actions.items()):
                    wait_until(start + at)
                    action()
                wait_until(start + duration)
                leaf = process.pid  # the daemon, behind nsenter and strace
                while children_of(leaf):
                    leaf = min(children_of(leaf))
                uid, read = proc_field(leaf, "status", "Uid:"), proc_field(leaf, "io", "rchar:")
                standard = [os.readlink("/proc/%d/fd/%d" % (leaf, fd)) for fd in range(3)]
            status = process.wait(timeout=FIRST_CYCLE_LIMIT) if exits else process.poll()
        finally:
            stop(process)
            receiver.close()
        text = process.stderr.read()
        process.stderr.close()
        trace = open(trace_path).read() if strace else ""
        datagrams = receiver.datagrams()
        received = netcheck.cycles(datagrams)
        traced = netcheck.cycles(traced_sends(trace), lambda s: s[0])
        run = SimpleNamespace(
            uid=uid, read=read, standard=standard, opens=traced_opens(trace),
            cycles=[(payload_of(c), [d.destination for d in c]) for c in received],
            sendto=[[s for _, s in c] for c in traced])

        assert status == exits, "exit status %s, expected %s" % (status, exits)
        assert text in {stderr.format(**STRERROR[c]).encode() for c in libcs}
        assert len({d.port for d in datagrams}) <= 1, "several source ports"
        for d in datagrams:
            assert d.payload.endswith(b"}") and not set(d.payload) & set(b"\n\0"), d.payload
            assert isinstance(json.loads(d.payload.decode("utf-8")), dict), d.payload
        assert not netcheck.cadence_faults([c[0].time for c in received])
        assert not netcheck.cadence_faults([c[0][0] for c in traced])
        return run

    return run

