#!/usr/bin/env python3
"""Runs quorvellan-soak on the typical simulated device, in namespaces of its
own, and exits with the soak's status (0: the footprint stayed flat).

  run_soak.py SOAK [--cycles N]

The device is the one the end-to-end scenario typical-cycle builds.  Needs
root; without it, or where namespaces cannot be made, exits with 77 (a skip
to CTest), unless QUORVELLAN_E2E_REQUIRED=1 makes that a failure.
"""

import argparse
import os
import subprocess
import sys

sys.dont_write_bytecode = True
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts", "lib"))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import devicenet  # noqa: E402
import scenarios  # noqa: E402

SKIP = 77


def cannot_run(reason):
    if os.environ.get("QUORVELLAN_E2E_REQUIRED") == "1":
        print("run_soak: %s (QUORVELLAN_E2E_REQUIRED=1, so this fails)" % reason, file=sys.stderr)
        return 1
    print("run_soak: %s; skipped" % reason, file=sys.stderr)
    return SKIP


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("soak")
    parser.add_argument("--cycles", type=int, default=20000)
    options = parser.parse_args()
    soak = os.path.abspath(options.soak)
    if devicenet.inside():
        devicenet.enter()  # checks that the namespaces really are new
        devicenet.build_device(scenarios.named("typical-cycle"))
        sys.stdout.flush()
        return subprocess.call([soak, "--cycles", str(options.cycles)])
    if os.geteuid() != 0:
        return cannot_run("needs root for network namespaces")
    refused = devicenet.cannot_enter()
    if refused:
        return cannot_run("cannot create namespaces here: %s" % refused)
    devicenet.enter([os.path.abspath(__file__), soak, "--cycles", str(options.cycles)])
    return 1


if __name__ == "__main__":
    sys.exit(main())
