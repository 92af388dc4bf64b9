"""Headless Chromium under chromedriver, as the browser tests and
scripts/screenshot-page start it: run as root (hence no sandbox), in a
network namespace the caller made, with a fresh empty profile and nothing
that would reach out on its own (updates, sync, QUIC probes, first-run
pages).  Standard library and Debian's python3-selenium only.

  isolate(address)    moves this process into a new network namespace
  join(netns)         moves it into an existing one (/proc/PID/ns/net)
  start(profile, width=1280, height=900)   a selenium WebDriver
  have_selenium()
"""

import ctypes
import importlib.util
import os
import subprocess
import threading

# The binary itself rather than Debian's /usr/bin/chromium wrapper, which
# adds flags and settings of its own from /etc/chromium.d.
CHROMIUM = "/usr/lib/chromium/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
FLAGS = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-default-apps", "--disable-extensions", "--no-default-browser-check",
         "--disable-dev-shm-usage", "--lang=en-US"]


CLONE_NEWNET = 0x40000000


def _identity(path):
    st = os.stat(path)
    return st.st_dev, st.st_ino


def _switch(call, what):
    # Either call moves the calling thread only: no other may exist yet, and
    # whatever starts afterwards follows it.
    if threading.active_count() != 1:
        raise RuntimeError("threads started before entering a network namespace")
    before = _identity("/proc/self/ns/net")
    if call(ctypes.CDLL(None, use_errno=True)) != 0:
        raise OSError(ctypes.get_errno(), what)
    if _identity("/proc/self/ns/net") == before:
        raise RuntimeError(what + ": still in the same network namespace")


def isolate(address):
    """A fresh network namespace for this process and all it starts from now
    on: loopback up, with address (/32) on it."""
    _switch(lambda libc: libc.unshare(CLONE_NEWNET), "unshare")
    subprocess.run(["ip", "-batch", "-"], check=True, text=True,
                   input="link set lo up\naddress add %s/32 dev lo\n" % address)


def join(netns):
    fd = os.open(netns, os.O_RDONLY)
    try:
        _switch(lambda libc: libc.setns(fd, CLONE_NEWNET), "setns " + netns)
    finally:
        os.close(fd)


def have_selenium():
    return importlib.util.find_spec("selenium") is not None


def start(profile, width=1280, height=900):
    """profile: a new empty directory for the user data."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in FLAGS + ["--user-data-dir=" + profile, "--window-size=%d,%d" % (width, height)]:
        options.add_argument(flag)
    # Every request the page makes (performance), and its console (browser).
    options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
