"""Fixtures for the page in a real browser: this test process moves into a
network namespace of its own, where headless Chromium (Debian's chromium,
driven through chromium-driver by python3-selenium) and what serves the page
run beside it; nothing reaches the machine's own network.

  browser    one Chromium for the whole module (browser.py)
  listener   quorvellan-discover serving the page at an address of the
             namespace, fed by simulated devices (page_listener.py)
"""

import os

import pytest

import browser as chromium
from page_listener import Listener
from simdevice import cannot_run, program

# Not loopback: a phone on the LAN opens a plain-http address, which
# browsers do not count as a secure origin (127.0.0.1 would be one).
PAGE_ADDRESS = "192.0.2.80"
PAGE_PORT = 8080
# What Debian's usbipd on the MIPS kernel answered for three devices.
REPLY = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "fuzz", "corpus",
                     "devlist", "usbipd_mipsel_three_devices")
# Long enough to see a silent device offline (after 10 s) before it goes.
FORGET_AFTER = "14s"


@pytest.fixture(scope="module")
def netns():
    """This process, and all it starts from now on, in a fresh network
    namespace holding loopback with the page's address."""
    if os.geteuid() != 0:
        cannot_run("needs root for a network namespace")
    missing = [p for p in (chromium.CHROMIUM, chromium.CHROMEDRIVER) if not os.access(p, os.X_OK)]
    if missing or not chromium.have_selenium():
        cannot_run("needs chromium, chromium-driver and python3-selenium (scripts/install-deps)")
    try:
        chromium.isolate(PAGE_ADDRESS)
    except OSError as problem:
        cannot_run("cannot create a network namespace: %s" % problem)
    return PAGE_ADDRESS


@pytest.fixture(scope="module")
def browser(netns, tmp_path_factory):
    driver = chromium.start(str(tmp_path_factory.mktemp("chromium")))
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def listener(request, netns):
    with open(REPLY, "rb") as f:
        reply = f.read()
    served = Listener(program(request, "--discover"), netns, PAGE_PORT, reply,
                      ["--forget-after", FORGET_AFTER])
    served.start()
    yield served
    served.close()
