"""Fixtures for every test that needs namespaces: `device`, a simulated
device (tests/e2e/simdevice.py), and the programs under test as options,
given by CTest.  Without root, or without the tools, such a test skips; with
QUORVELLAN_E2E_REQUIRED=1 in the environment that is a failure instead.
"""

import os
import shutil
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "e2e"))
from simdevice import TOOLS, Device, cannot_run  # noqa: E402


def pytest_addoption(parser):
    add = parser.addoption
    add("--daemon", help="the quorvellan-beacon executable to test")
    add("--emulator", default="", help='command that runs it, e.g. "qemu-mipsel -cpu 24KEc"')
    add("--libc", default="any", choices=["any", "glibc", "musl"],
        help="its C library, for the texts of its error messages")
    add("--fail-syscall", default="", help="the fail_syscall launcher (tests/e2e/fail_syscall.c)")
    add("--discover", default="", help="the quorvellan-discover executable")
    add("--soak", default="", help="the quorvellan-soak executable")
    add("--prometheus-bin", default="", help="the directory of Debian's prometheus and promtool")


@pytest.fixture
def device():
    if os.geteuid() != 0:
        cannot_run("needs root for network namespaces")
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        cannot_run("missing " + ", ".join(missing))
    try:
        dev = Device()
    except (OSError, RuntimeError) as problem:
        cannot_run("cannot create namespaces here: %s" % problem)
    yield dev
    dev.close()

