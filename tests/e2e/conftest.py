"""Runs the daemon on the simulated device and gathers what it did.

Times count from the daemon's first cycle as observed (its first datagram,
or its first traced sendto), not from its start, which an emulator on a
loaded machine can delay.  Every run also checks what must always hold: one
source port, payloads that are one JSON object in UTF-8 ending in '}' with no
newline or NUL, cycles 2.5-4.5 s apart (received and traced), and the
stderr and exit status asked for (by default: silence, still running).
"""

import errno
import json
import os
import pwd
import re
import shlex
import subprocess
import time

import pytest

import netcheck
from simdevice import children_of, program, stop

FIRST_CYCLE_LIMIT = 15.0  # a daemon silent for longer will not be fixed by waiting
STRERROR = {
    "glibc": {"EMFILE": "Too many open files", "ENOPROTOOPT": "Protocol not available"},
    "musl": {"EMFILE": "No file descriptors available", "ENOPROTOOPT": "Protocol not available"},
}
CALL = re.compile(r"^(?:\d+ +)?(?P<time>\d+\.\d+) (?P<call>\w+)\((?P<arguments>.*)\)\s+= (?P<result>.*)$")
SENDTO = re.compile(r'sin_port=htons\((\d+)\), sin_addr=inet_addr\("([0-9.]+)"\)')


class Outcome:
    """What one run produced.  cycles: (payload, [destinations]) per cycle
    received; sendto: per traced cycle, each destination, with the errno name
    after it if the call failed (and ":PORT" if not to 32400); opens: the
    open, openat and socket calls after the broadcast socket was made."""

    def __init__(self, datagrams, trace, stderr, status, uid, read):
        self.datagrams, self.stderr, self.status, self.uid, self.read = (
            datagrams, stderr, status, uid, read)
        self.cycles = []
        for cycle in netcheck.cycles(datagrams):
            payloads = sorted({d.payload.decode(errors="replace") for d in cycle})
            self.cycles.append((payloads[0] if len(payloads) == 1 else payloads,
                                [d.destination for d in cycle]))
        calls = [m.groupdict() for m in map(CALL.match, trace.splitlines()) if m]
        sends = []
        for call in calls:
            address = SENDTO.search(call["arguments"])
            if call["call"] == "sendto" and address:
                port, destination = address.groups()
                failed = call["result"].split()[1] if call["result"].startswith("-1") else None
                sends.append((float(call["time"]), destination
                              + ("" if port == str(netcheck.PORT) else ":" + port)
                              + (" " + failed if failed else "")))
        traced = netcheck.cycles(sends, lambda s: s[0])
        self.sendto = [[text for _, text in cycle] for cycle in traced]
        self.send_times = [cycle[0][0] for cycle in traced]
        after_socket = [i for i, c in enumerate(calls) if c["call"] == "socket"
                        and c["arguments"].startswith("AF_INET, SOCK_DGRAM")
                        and not c["result"].startswith("-1")]
        self.opens = [(c["call"], c["arguments"], c["result"])
                      for c in calls[after_socket[0] + 1 if after_socket else len(calls):]
                      if c["call"] in ("open", "openat", "socket")]


def first_cycle(process, receiver, trace_path):
    give_up = time.monotonic() + FIRST_CYCLE_LIMIT
    while process.poll() is None and time.monotonic() < give_up:
        seen = [d.time for d in receiver.datagrams()[:1]]
        if trace_path and os.path.exists(trace_path):
            with open(trace_path) as f:
                text = f.read()
            # A line strace is still writing could match with its result cut short.
            for line in text[:text.rfind("\n") + 1].splitlines():
                m = CALL.match(line)
                if m and m["call"] == "sendto":
                    seen.append(netcheck.monotonic_from_realtime(float(m["time"])))
                    break
        if seen:
            return min(seen)
        time.sleep(0.01)
    return None


def leaf(pid):
    """The innermost process below pid: the daemon behind nsenter and strace."""
    while children_of(pid):
        pid = min(children_of(pid))
    return pid


def proc_field(path, key):
    try:
        with open(path) as f:
            return next(int(line.split()[1]) for line in f if line.startswith(key))
    except (OSError, StopIteration):
        return None


@pytest.fixture
def beacon(request, tmp_path):
    """beacon(device, duration, ...) runs the daemon and returns an Outcome:
      actions   {seconds after the first cycle: function}
      strace    the calls to trace ("sendto", or "sendto,open,openat,socket")
      user      run as this user; fail (call, errno name): see fail_syscall.c
      nofile    descriptor limit of the daemon alone (an emulator shares it)
      args      command-line arguments
      exits     the status it must exit with, with stderr the text it must print,
                {ERRNO} standing for that error's message in its C library
    """
    config = request.config
    daemon = program(request, "--daemon")
    emulator = shlex.split(config.getoption("--emulator"))

    def run(device, duration, actions={}, strace=None, user=None, fail=None, nofile=None,
            args=(), exits=None, stderr=""):
        trace_path = str(tmp_path / "trace")
        command = []
        if strace:
            command += ["strace", "-f", "-qq", "-ttt", "-e", "trace=" + strace, "-o", trace_path]
        if user:
            account = pwd.getpwnam(user)
            command += ["setpriv", "--reuid=%d" % account.pw_uid, "--regid=%d" % account.pw_gid,
                        "--clear-groups"]
        if fail:
            command += [fail_syscall(request, tmp_path), fail[0], str(getattr(errno, fail[1]))]
        if nofile:
            # Last before the daemon: strace and the launchers need descriptors.
            command += ["prlimit", "--nofile=%d" % nofile, "--"]
        command += emulator + [daemon] + list(args)

        receiver = netcheck.Receiver(device.netns)
        with open(tmp_path / "stderr", "w+b") as errors:
            process = device.popen(command, stdout=subprocess.DEVNULL, stderr=errors)
            try:
                start = first_cycle(process, receiver, trace_path if strace else None)
                uid = read = None
                if exits is not None:
                    status = process.wait(timeout=FIRST_CYCLE_LIMIT)
                else:
                    assert start is not None, "no cycle within %.0f s" % FIRST_CYCLE_LIMIT
                    for at, action in sorted(actions.items()):
                        time.sleep(max(0.0, start + at - time.monotonic()))
                        action()
                    time.sleep(max(0.0, start + duration - time.monotonic()))
                    status = process.poll()
                    daemon_pid = leaf(process.pid)
                    uid = proc_field("/proc/%d/status" % daemon_pid, "Uid:")
                    read = proc_field("/proc/%d/io" % daemon_pid, "rchar:")
            finally:
                stop(process)
                receiver.close()
            errors.seek(0)
            text = errors.read()
        trace = open(trace_path).read() if strace else ""
        outcome = Outcome(receiver.datagrams(), trace, text, status, uid, read)

        assert status == exits, "exit status %s, expected %s" % (status, exits)
        libcs = STRERROR if config.getoption("--libc") == "any" else [config.getoption("--libc")]
        assert text in {stderr.format(**STRERROR[c]).encode() for c in libcs}
        assert len({d.port for d in outcome.datagrams}) <= 1, "several source ports"
        for d in outcome.datagrams:
            assert d.payload.endswith(b"}") and not set(d.payload) & set(b"\n\0"), d.payload
            assert isinstance(json.loads(d.payload.decode("utf-8")), dict), d.payload
        assert not netcheck.cadence_faults([c[0].time for c in netcheck.cycles(outcome.datagrams)])
        assert not netcheck.cadence_faults(outcome.send_times)
        return outcome

    return run


def fail_syscall(request, tmp_path):
    built = request.config.getoption("--fail-syscall")
    if not built:  # run by hand without the CMake-built launcher
        built = str(tmp_path / "fail_syscall")
        subprocess.run(["cc", "-O2", "-o", built,
                        os.path.join(os.path.dirname(__file__), "fail_syscall.c")], check=True)
    return os.path.abspath(built)
