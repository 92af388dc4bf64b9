"""Runs a script again inside namespaces of its own, so that whatever it sends
stays there: as PID 1 of new network, mount, UTS and PID namespaces, which end
with it and everything started in them.  Shared by scripts/bench and
scripts/bench-listener.

    if not fresh_namespaces.inside():
        sys.exit(fresh_namespaces.run_inside([script, args...]))
    fresh_namespaces.check_fresh()
"""

import os
import subprocess
import sys

# The network namespace the script was started from, to check that it left it.
HOST_NETNS = "QUORVELLAN_FRESH_NAMESPACES_HOST_NETNS"
# Bare namespaces; a command that makes others must run the rest of its
# command line as PID 1 of a new PID namespace, as this does.
UNSHARE = ["unshare", "--net", "--mount", "--uts", "--pid", "--fork", "--mount-proc",
           "--kill-child"]


def netns_identity(pid="self"):
    st = os.stat("/proc/%s/ns/net" % pid)
    return "%d:%d" % (st.st_dev, st.st_ino)


def links(pid="self"):
    with open("/proc/%s/net/dev" % pid) as f:
        return sorted(line.split(":")[0].strip() for line in f if ":" in line)


def inside():
    return HOST_NETNS in os.environ


def run_inside(argv, namespaces=UNSHARE):
    """Runs the Python script argv in fresh namespaces, made by the command
    namespaces; returns its status."""
    sys.stdout.flush()
    return subprocess.call(namespaces + [sys.executable] + argv,
                           env=dict(os.environ, **{HOST_NETNS: netns_identity()}))


def check_fresh(pid="self", others=()):
    """Nothing is sent unless the namespace really is new and holds only lo;
    for this process, also that it is PID 1 of its own PID namespace."""
    if ((pid == "self" and os.getpid() != 1)
            or netns_identity(pid) in (os.environ[HOST_NETNS],) + tuple(others)
            or links(pid) != ["lo"]):
        raise SystemExit("%s: not in fresh namespaces" % os.path.basename(sys.argv[0]))
