#!/usr/bin/env python3
"""Runs the real daemon on a simulated device and checks what it sends.

  harness.py --daemon PATH [--emulator CMD] [--libc any|glibc|musl]
             [--fail-syscall PATH] [--discover PATH] [-v]
             (--scenario NAME | --all | --list [--without-discover])

Each scenario (see scenarios.py) runs in fresh network, mount, UTS and PID
namespaces of its own, built by scripts/lib/devicenet.py; nothing is ever
sent on the machine's own network.  --emulator prefixes the daemon's
command, e.g. "qemu-mipsel" for a static MIPS build.

Scenarios with "discover" also run the listener, quorvellan-discover, in the
namespace beside the daemon: --discover gives its path (a host build: the
emulator is for the daemon only).  Without --discover they cannot run, and
--list --without-discover leaves them out.

Needs root.  Without it the harness exits with 77, which CTest reports as a
skip, unless QUORVELLAN_E2E_REQUIRED=1, which makes it a failure; the same
holds for a missing tool (unshare, ip, strace, setpriv, prlimit, the emulator,
quorvellan-discover).

Start-up failures are expected as text built from an errno name.  The
daemon prints strerror(), whose wording depends on its C library, so by
default the texts of every C library in STRERROR are accepted; --libc
glibc or --libc musl accepts only that one's.

Exit status: 0 passed, 1 failed, 77 skipped.
"""

import argparse
import errno
import json
import os
import pwd
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

# No __pycache__ in the source tree, whoever runs us.
sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts", "lib"))
sys.path.insert(0, HERE)

import devicenet  # noqa: E402
import scenarios  # noqa: E402

SKIP = 77

# The messages the daemon's C library has for the errors we inject.
STRERROR = {
    "glibc": {"EMFILE": "Too many open files", "ENOPROTOOPT": "Protocol not available"},
    "musl": {"EMFILE": "No file descriptors available", "ENOPROTOOPT": "Protocol not available"},
}

# Datagrams further apart than this belong to different cycles.
CYCLE_BREAK = 1.0
CYCLE_GAP_RANGE = (2.5, 4.5)

# Actions and the end of a run count from the daemon's first cycle, which
# under qemu and strace on a loaded machine can come well after it is
# started; a daemon silent for longer than this is not going to be fixed
# by waiting.
FIRST_CYCLE_LIMIT = 15.0

SCENARIO_KEYS = {"name", "about", "hostname", "files", "links", "addresses", "routes", "usb",
                 "user", "fail", "nofile", "strace", "args", "discover", "actions", "duration",
                 "expect"}
EXPECT_KEYS = {"cycles", "sendto", "opens", "read_at_most", "exit", "stderr", "uid",
               "discover"}
DISCOVER_EXPECT_KEYS = {"announcement", "sources"}

# How much longer than its --timeout the listener may take to finish.
DISCOVER_GRACE = 5.0

# quorvellan-discover's last_seen: RFC 3339 UTC, whole seconds.
LAST_SEEN = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
LINK_KEYS = {"name", "mac", "kind", "up"}


def by_name():
    table = {}
    for sc in scenarios.SCENARIOS:
        unknown = (set(sc) - SCENARIO_KEYS) | (set(sc.get("expect", {})) - EXPECT_KEYS)
        for link in sc.get("links", []):
            unknown |= set(link) - LINK_KEYS
        unknown |= set(sc.get("expect", {}).get("discover", {})) - DISCOVER_EXPECT_KEYS
        if bool(sc.get("discover")) != ("discover" in sc.get("expect", {})):
            unknown.add("discover without its expectation, or the reverse")
        if "opens" in sc.get("expect", {}) and not sc.get("strace"):
            unknown.add("opens without strace")
        if unknown or "name" not in sc or "duration" not in sc or sc["name"] in table:
            raise SystemExit("harness: scenario %r is malformed (%s)"
                             % (sc.get("name"), ", ".join(sorted(unknown)) or "name/duration"))
        table[sc["name"]] = sc
    return table


# Outside the namespaces ------------------------------------------------------

def required():
    return os.environ.get("QUORVELLAN_E2E_REQUIRED") == "1"


def cannot_run(reason):
    """Skips, or fails where end-to-end tests are required."""
    if required():
        print("harness: %s (QUORVELLAN_E2E_REQUIRED=1, so this fails)" % reason, file=sys.stderr)
        return 1
    print("harness: %s; skipped" % reason, file=sys.stderr)
    return SKIP


def missing_tools(scenario_list, options):
    tools = {"unshare", "ip", "mount"}
    for sc in scenario_list:
        if sc.get("strace"):
            tools.add("strace")
        if sc.get("user"):
            tools.add("setpriv")
        if sc.get("nofile"):
            tools.add("prlimit")
        if sc.get("fail") and not options.fail_syscall:
            tools.add("cc")
    if options.emulator:
        tools.add(shlex.split(options.emulator)[0])
    return sorted(tool for tool in tools if shutil.which(tool) is None)


def run_all(table, options):
    results = {}
    started = time.monotonic()
    for name in table:
        command = [sys.executable, os.path.abspath(__file__), "--daemon", options.daemon,
                   "--libc", options.libc, "--scenario", name]
        if options.emulator:
            command += ["--emulator", options.emulator]
        if options.fail_syscall:
            command += ["--fail-syscall", options.fail_syscall]
        if options.discover:
            command += ["--discover", options.discover]
        if options.verbose:
            command.append("-v")
        results[name] = subprocess.call(command)
    failed = [name for name, status in results.items() if status not in (0, SKIP)]
    skipped = [name for name, status in results.items() if status == SKIP]
    print("%d scenarios in %.1f s: %d passed, %d failed, %d skipped"
          % (len(results), time.monotonic() - started,
             len(results) - len(failed) - len(skipped), len(failed), len(skipped)))
    for name in failed:
        print("  failed: %s" % name)
    if failed:
        return 1
    return SKIP if len(skipped) == len(results) else 0


# Inside the namespaces -------------------------------------------------------

class Run:
    """What one run of the daemon produced."""

    def __init__(self):
        self.datagrams = []
        self.sendto = []          # (time, destination, result) from strace
        self.trace_text = ""
        self.stderr = b""
        self.status = None        # exit status, or None if it had to be stopped
        self.uid = None
        self.bytes_read = None    # what it read in all, if it ran to the end
        self.opens = []           # (call, arguments, result) from strace
        self.launched = 0.0       # when the daemon was started (time.monotonic())
        self.first_cycle = None   # when its first cycle was seen, if it was
        self.start = 0.0          # what actions and the duration count from
        self.ended = 0.0          # when the run was over
        self.discover_listening = None  # whether the listener bound its port in time
        self.discover_status = None     # its exit status, None if it had to be stopped
        self.discover_stdout = b""
        self.discover_stderr = b""


def fail_syscall_launcher(options):
    if options.fail_syscall:
        return options.fail_syscall
    # Run by hand without the CMake-built helper: build it here, in scratch.
    built = os.path.join(devicenet.SCRATCH, "fail_syscall")
    devicenet.run("cc", "-O2", "-o", built, os.path.join(HERE, "fail_syscall.c"))
    return built


def daemon_command(sc, options, trace_path):
    command = []
    if sc.get("strace"):
        traced = "sendto,open,openat,socket" if "opens" in sc["expect"] else "sendto"
        # -qq: nothing of strace's own on the stderr we compare.
        command += ["strace", "-f", "-qq", "-ttt", "-e", "trace=" + traced, "-o", trace_path]
    if sc.get("user"):
        account = pwd.getpwnam(sc["user"])
        command += ["setpriv", "--reuid=%d" % account.pw_uid, "--regid=%d" % account.pw_gid,
                    "--clear-groups"]
    if sc.get("fail"):
        call, errno_name = sc["fail"]
        command += [fail_syscall_launcher(options), call, str(getattr(errno, errno_name))]
    if sc.get("nofile"):
        # Last before the daemon: strace and the launchers keep descriptors
        # of their own.  An emulator is limited with its guest, so it must
        # not hold descriptors of its own while the guest runs (qemu-user
        # holds none: it has closed the executable once it is loaded).
        command += ["prlimit", "--nofile=%d" % sc["nofile"], "--"]
    if options.emulator:
        command += shlex.split(options.emulator)
    return command + [options.daemon] + list(sc.get("args", []))


def descendant_leaf(pid):
    """The innermost process below pid: the daemon behind strace or setpriv."""
    while True:
        children = devicenet.children_of(pid)
        if not children:
            return pid
        pid = min(children)


def real_uid(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("Uid:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


SENDTO_LINE = re.compile(
    r'^(?:\d+\s+)?(?P<time>\d+\.\d+) sendto\(.*sin_port=htons\((?P<port>\d+)\), '
    r'sin_addr=inet_addr\("(?P<address>[0-9.]+)"\)\}, \d+\)\s+=\s+(?P<result>.*)$')


OPEN_LINE = re.compile(
    r'^(?:\d+\s+)?\d+\.\d+ (?P<call>open|openat|socket)\((?P<arguments>.*)\)'
    r'\s+=\s+(?P<result>.*)$')


def parse_opens(text):
    """The daemon's open, openat and socket calls after it opened its
    broadcast socket, as (call, arguments, result)."""
    calls = []
    socket_open = False
    for line in text.splitlines():
        match = OPEN_LINE.match(line)
        if not match:
            continue
        call, arguments, result = match.group("call", "arguments", "result")
        if socket_open:
            calls.append((call, arguments, result))
        elif (call == "socket" and arguments.startswith("AF_INET, SOCK_DGRAM")
              and not result.startswith("-1")):
            socket_open = True
    return calls


def bytes_read(pid):
    """What pid has read through read calls since it started (rchar)."""
    try:
        with open("/proc/%d/io" % pid) as f:
            for line in f:
                if line.startswith("rchar:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def parse_trace(text):
    calls = []
    for line in text.splitlines():
        match = SENDTO_LINE.match(line)
        if match and int(match.group("port")) == devicenet.BEACON_PORT:
            calls.append((float(match.group("time")), match.group("address"),
                          match.group("result")))
    return calls


def first_traced_sendto(trace_path):
    """The time.monotonic() of the daemon's first sendto to the beacon port
    in strace's trace so far, or None."""
    try:
        with open(trace_path) as f:
            text = f.read()
    except FileNotFoundError:
        return None
    # A line strace is still writing could match with its result cut short.
    calls = parse_trace(text[:text.rfind("\n") + 1])
    return devicenet.monotonic_from_realtime(calls[0][0]) if calls else None


def wait_for_first_cycle(process, receiver, trace_path):
    """When the daemon's first cycle happened: its first datagram received,
    or, where strace watches, its first sendto (a cycle need not deliver
    anything).  None if the daemon exits, or stays silent for
    FIRST_CYCLE_LIMIT seconds, first."""
    give_up = time.monotonic() + FIRST_CYCLE_LIMIT
    while True:
        seen = [d.time for d in receiver.datagrams()[:1]]
        traced = first_traced_sendto(trace_path) if trace_path else None
        if traced is not None:
            seen.append(traced)
        if seen:
            return min(seen)
        if process.poll() is not None or time.monotonic() > give_up:
            return None
        time.sleep(0.01)


def start_listener(sc, options):
    """quorvellan-discover beside the daemon, bound before the daemon starts
    so that it hears the first cycle too."""
    stdout = open(os.path.join(devicenet.SCRATCH, "discover.stdout"), "w+b")
    stderr = open(os.path.join(devicenet.SCRATCH, "discover.stderr"), "w+b")
    process = subprocess.Popen([options.discover] + list(sc["discover"]),
                               stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                               start_new_session=True)
    listening = devicenet.wait_until_listening(process)
    return process, stdout, stderr, listening


def finish_listener(listener, run):
    """Lets the listener end at its --timeout, which falls within the
    scenario's duration, and collects what it printed."""
    process, stdout, stderr, run.discover_listening = listener
    try:
        run.discover_status = process.wait(timeout=DISCOVER_GRACE)
    except subprocess.TimeoutExpired:
        devicenet.stop(process)
    for f in (stdout, stderr):
        f.seek(0)
    run.discover_stdout = stdout.read()
    run.discover_stderr = stderr.read()
    stdout.close()
    stderr.close()


def run_daemon(sc, options, dev):
    run = Run()
    trace_path = os.path.join(devicenet.SCRATCH, "sendto.trace")
    stderr_path = os.path.join(devicenet.SCRATCH, "daemon.stderr")
    command = daemon_command(sc, options, trace_path)
    if options.verbose:
        print("device:\n" + dev.describe(), end="")
        print("command: " + " ".join(shlex.quote(word) for word in command))
    receiver = devicenet.Receiver()
    listener = start_listener(sc, options) if sc.get("discover") else None
    expect_exit = "exit" in sc["expect"]
    with open(stderr_path, "w+b") as stderr:
        run.launched = time.monotonic()
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=stderr, start_new_session=True)
        try:
            run.first_cycle = wait_for_first_cycle(process, receiver,
                                                   trace_path if sc.get("strace") else None)
            # Without a cycle (a daemon that exits at start-up, say) from
            # when waiting for one ended.
            run.start = run.first_cycle if run.first_cycle is not None else time.monotonic()
            for at, method, *arguments in sorted(sc.get("actions", []), key=lambda a: a[0]):
                time.sleep(max(0.0, run.start + at - time.monotonic()))
                getattr(dev, method)(*arguments)
            remaining = max(0.0, run.start + sc["duration"] - time.monotonic())
            if expect_exit:
                try:
                    run.status = process.wait(timeout=remaining)
                except subprocess.TimeoutExpired:
                    pass
            else:
                time.sleep(remaining)
                run.status = process.poll()
                if run.status is None:
                    leaf = descendant_leaf(process.pid)
                    run.uid = real_uid(leaf)
                    run.bytes_read = bytes_read(leaf)
            run.ended = time.monotonic()
        finally:
            # The whole group, leaf included: strace would otherwise detach
            # and leave the daemon running until PID 1 exits.
            devicenet.stop(process)
            receiver.close()
            if listener:
                finish_listener(listener, run)
        stderr.seek(0)
        run.stderr = stderr.read()
    run.datagrams = receiver.datagrams()
    if sc.get("strace"):
        with open(trace_path) as f:
            run.trace_text = f.read()
        run.sendto = parse_trace(run.trace_text)
        run.opens = parse_opens(run.trace_text)
    return run


def group_cycles(items, time_of):
    cycles = []
    for item in items:
        if cycles and time_of(item) - time_of(cycles[-1][-1]) <= CYCLE_BREAK:
            cycles[-1].append(item)
        else:
            cycles.append([item])
    return cycles


def check_gaps(cycles, time_of, what, problems):
    starts = [time_of(cycle[0]) for cycle in cycles]
    for earlier, later in zip(starts, starts[1:]):
        gap = later - earlier
        if not CYCLE_GAP_RANGE[0] <= gap <= CYCLE_GAP_RANGE[1]:
            problems.append("%s cycles %.2f s apart, not %.1f-%.1f s"
                            % (what, gap, CYCLE_GAP_RANGE[0], CYCLE_GAP_RANGE[1]))


def expected_stderr(template, libc):
    names = set(re.findall(r"\{(\w+)\}", template))
    libcs = sorted(STRERROR) if libc == "any" else [libc]
    return {template.format(**{name: STRERROR[c][name] for name in names}).encode()
            for c in libcs}


def check(sc, options, run):
    expect = sc["expect"]
    problems = []

    if "exit" in expect:
        if run.status is None:
            problems.append("daemon still running %.1f s after it was started, expected exit "
                            "status %d" % (run.ended - run.launched, expect["exit"]))
        elif run.status != expect["exit"]:
            problems.append("exit status %d, expected %d" % (run.status, expect["exit"]))
    elif run.status is not None:
        problems.append("daemon exited (status %d) instead of running on" % run.status)

    accepted = expected_stderr(expect.get("stderr", ""), options.libc)
    if run.stderr not in accepted:
        problems.append("stderr %r, expected %s"
                        % (run.stderr, " or ".join(repr(a) for a in sorted(accepted))))

    if "uid" in expect:
        wanted = pwd.getpwnam(expect["uid"]).pw_uid
        if run.uid != wanted:
            problems.append("daemon ran as uid %s, expected %d (%s)"
                            % (run.uid, wanted, expect["uid"]))

    ports = sorted({d.source_port for d in run.datagrams})
    if len(ports) > 1:
        problems.append("datagrams from several source ports: %s" % ports)
    for d in run.datagrams:
        fault = payload_fault(d.payload)
        if fault:
            problems.append("%s: %r" % (fault, d.payload))
            break

    cycles = group_cycles(run.datagrams, lambda d: d.time)
    wanted_cycles = expect.get("cycles", [])
    if len(cycles) != len(wanted_cycles):
        problems.append("%d cycles received, expected %d" % (len(cycles), len(wanted_cycles)))
    for index, (got, wanted) in enumerate(zip(cycles, wanted_cycles)):
        destinations = [d.destination for d in got]
        if destinations != wanted["destinations"]:
            problems.append("cycle %d went to %s, expected %s"
                            % (index, destinations, wanted["destinations"]))
        for payload in sorted({d.payload for d in got}):
            if payload != wanted["payload"].encode():
                problems.append("cycle %d payload\n      %s\n    expected\n      %s"
                                % (index, payload.decode(errors="replace"), wanted["payload"]))
    check_gaps(cycles, lambda d: d.time, "received", problems)

    if "sendto" in expect:
        traced = group_cycles(run.sendto, lambda call: call[0])
        if len(traced) != len(expect["sendto"]):
            problems.append("%d cycles of sendto calls, expected %d"
                            % (len(traced), len(expect["sendto"])))
        for index, (got, wanted) in enumerate(zip(traced, expect["sendto"])):
            destinations = [call[1] for call in got]
            wanted_destinations = [w if isinstance(w, str) else w[0] for w in wanted]
            if destinations != wanted_destinations:
                problems.append("cycle %d called sendto for %s, expected %s"
                                % (index, destinations, wanted_destinations))
                continue
            for (_, destination, result), w in zip(got, wanted):
                if not isinstance(w, str) and not result.startswith("-1 %s " % w[1]):
                    problems.append("cycle %d: sendto for %s returned %s, expected -1 %s"
                                    % (index, destination, result, w[1]))
        check_gaps(traced, lambda call: call[0], "sendto", problems)

    if "opens" in expect:
        check_opens(expect["opens"], run, problems)

    if "read_at_most" in expect:
        if run.bytes_read is None:
            problems.append("could not learn how much the daemon read")
        elif run.bytes_read > expect["read_at_most"]:
            problems.append("the daemon read %d bytes, expected at most %d"
                            % (run.bytes_read, expect["read_at_most"]))

    if "discover" in expect:
        check_listener(expect["discover"], run, problems)
    return problems


def payload_fault(payload):
    """What keeps a listener from reading a payload, or None."""
    if not payload.endswith(b"}") or b"\n" in payload or b"\0" in payload:
        return "malformed payload"
    # Whatever the identity files hold, what arrives must parse: UTF-8, one
    # JSON object.
    try:
        parsed = json.loads(payload.decode("utf-8"))
    except ValueError:
        parsed = None
    if not isinstance(parsed, dict):
        return "payload is not a JSON object in UTF-8"
    return None


def check_opens(errno_name, run, problems):
    """Once its broadcast socket was open, every file, directory and socket
    the daemon tried to open must have failed with errno_name."""
    if not run.opens:
        problems.append("strace saw no open or socket call after the broadcast socket")
    for call, arguments, result in run.opens:
        if not result.startswith("-1 %s " % errno_name):
            problems.append("%s(%s) returned %s, expected -1 %s"
                            % (call, arguments, result, errno_name))


def canonical(value):
    """JSON text that tells 80 from 80.0 and true from 1."""
    return json.dumps(value, sort_keys=True)


def check_listener(expect, run, problems):
    """quorvellan-discover --json must have reported the one device with
    exactly the daemon's facts, from one of its addresses."""
    if not run.discover_listening:
        problems.append("quorvellan-discover was not listening when the daemon started")
    if run.discover_status is None:
        problems.append("quorvellan-discover did not end by itself; stopped")
    elif run.discover_status != 0:
        problems.append("quorvellan-discover exited with status %d, expected 0"
                        % run.discover_status)
    if run.discover_stderr:
        problems.append("quorvellan-discover wrote to stderr: %r" % run.discover_stderr)
    wanted = json.loads(expect["announcement"])
    lines = run.discover_stdout.decode("utf-8", errors="replace").splitlines()
    # The announcement never changes here, so the device is reported once,
    # however many of its addresses the copies arrive from.
    if len(lines) != 1:
        problems.append("quorvellan-discover printed %d lines, expected one:\n      %s"
                        % (len(lines), "\n      ".join(lines)))
    for number, line in enumerate(lines, 1):
        try:
            record = json.loads(line)
        except ValueError:
            record = None
        if not isinstance(record, dict):
            problems.append("quorvellan-discover line %d is not a JSON object: %r"
                            % (number, line))
            continue
        source = record.pop("source", None)
        last_seen = record.pop("last_seen", None)
        if canonical(record) != canonical(wanted):
            problems.append("quorvellan-discover line %d reports\n      %s\n    expected\n      %s"
                            % (number, canonical(record), canonical(wanted)))
        if source not in expect["sources"]:
            problems.append("quorvellan-discover line %d: source %r, expected one of %s"
                            % (number, source, ", ".join(expect["sources"])))
        if not isinstance(last_seen, str) or not LAST_SEEN.match(last_seen):
            problems.append("quorvellan-discover line %d: last_seen %r is not RFC 3339 UTC"
                            % (number, last_seen))


def report(sc, run, problems, verbose):
    if problems or verbose:
        if run.first_cycle is None:
            print("  no cycle seen before the daemon exited or %.0f s had passed"
                  % FIRST_CYCLE_LIMIT)
        else:
            print("  first cycle %.3f s after the daemon's start"
                  % (run.first_cycle - run.launched))
        print("  datagrams (seconds after the first cycle, destination, source, payload):")
        for d in run.datagrams:
            print("    %6.3f  %-15s  %s:%d  %s" % (d.time - run.start, d.destination,
                                                  d.source_address, d.source_port,
                                                  d.payload.decode(errors="replace")))
        if run.sendto:
            first = run.sendto[0][0]
            print("  sendto calls (seconds after the first):")
            for at, destination, result in run.sendto:
                print("    %6.3f  %-15s  = %s" % (at - first, destination, result))
        if run.opens:
            print("  open and socket calls after the broadcast socket:")
            for call, arguments, result in run.opens:
                print("    %s(%s) = %s" % (call, arguments, result))
        if run.bytes_read is not None:
            print("  bytes read: %d" % run.bytes_read)
        if run.stderr:
            print("  stderr: %r" % run.stderr)
        if run.discover_stdout or run.discover_stderr:
            print("  quorvellan-discover printed:")
            for line in run.discover_stdout.decode("utf-8", errors="replace").splitlines():
                print("    " + line)
            if run.discover_stderr:
                print("  and on stderr: %r" % run.discover_stderr)
    for problem in problems:
        print("  problem: " + problem)
    print("%s %s (%d datagrams)" % ("FAIL" if problems else "PASS", sc["name"],
                                    len(run.datagrams)))


def run_inside(sc, options):
    print("scenario %s: %s" % (sc["name"], sc.get("about", "")))
    dev = devicenet.build_device(sc)
    run = run_daemon(sc, options, dev)
    problems = check(sc, options, run)
    report(sc, run, problems, options.verbose)
    return 1 if problems else 0


def main():
    parser = argparse.ArgumentParser(description="End-to-end tests of quorvellan-beacon.")
    parser.add_argument("--daemon", help="the daemon executable to test")
    parser.add_argument("--emulator", default="",
                        help="command that runs the daemon, e.g. qemu-mipsel")
    parser.add_argument("--libc", choices=["any"] + sorted(STRERROR), default="any",
                        help="C library of the daemon, for its error messages")
    parser.add_argument("--fail-syscall", default="",
                        help="the fail_syscall launcher (else built from source with cc)")
    parser.add_argument("--discover", default="",
                        help="the quorvellan-discover executable, for the scenarios with it")
    parser.add_argument("--without-discover", action="store_true",
                        help="with --list: leave out the scenarios that need quorvellan-discover")
    parser.add_argument("-v", "--verbose", action="store_true")
    which = parser.add_mutually_exclusive_group(required=True)
    which.add_argument("--scenario", metavar="NAME")
    which.add_argument("--all", action="store_true")
    which.add_argument("--list", action="store_true")
    options = parser.parse_args()
    table = by_name()

    if options.list:
        print("\n".join(name for name, sc in table.items()
                        if not (options.without_discover and sc.get("discover"))))
        return 0
    if not options.daemon:
        parser.error("--daemon is required to run scenarios")
    if options.scenario and options.scenario not in table:
        parser.error("no scenario %r (see --list)" % options.scenario)

    if devicenet.inside():
        sys.stdout.reconfigure(line_buffering=True)
        # As PID 1 we would ignore a plain SIGTERM; stop, and clean up.
        signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(1))
        return run_inside(table[options.scenario], options)

    if os.geteuid() != 0:
        return cannot_run("end-to-end tests need root")
    options.daemon = os.path.abspath(options.daemon)
    if not os.access(options.daemon, os.X_OK):
        print("harness: %s is not an executable" % options.daemon, file=sys.stderr)
        return 1
    if options.fail_syscall:
        options.fail_syscall = os.path.abspath(options.fail_syscall)
    if options.discover:
        options.discover = os.path.abspath(options.discover)
        if not os.access(options.discover, os.X_OK):
            print("harness: %s is not an executable" % options.discover, file=sys.stderr)
            return 1
    chosen = list(table.values()) if options.all else [table[options.scenario]]
    if not options.all and chosen[0].get("discover") and not options.discover:
        return cannot_run("scenario %s needs quorvellan-discover (--discover PATH)"
                          % options.scenario)
    missing = missing_tools(chosen, options)
    if missing:
        return cannot_run("missing %s" % ", ".join(missing))
    refused = devicenet.cannot_enter()
    if refused:
        return cannot_run("cannot create namespaces here: %s" % refused)
    if options.all:
        return run_all(table, options)
    argv = [os.path.abspath(__file__)] + sys.argv[1:]
    argv += ["--daemon", options.daemon, "--fail-syscall", options.fail_syscall,
             "--discover", options.discover]
    devicenet.enter(argv)  # does not return here, but in the namespaces
    return 1


if __name__ == "__main__":
    sys.exit(main())
