#!/usr/bin/python3
"""Takes a picture of the device page with a row opened, for
scripts/screenshot-page.

  page_picture.py NETNS URL ROW WIDTH OUTPUT

Moves into the network namespace NETNS (/proc/PID/ns/net) and opens URL in
headless Chromium (browser.py, a fresh profile) WIDTH pixels wide, once it
shows two devices opens the row named ROW, and once that shows a shared USB
device writes the whole page as a PNG to OUTPUT.
"""

import os
import sys
import tempfile
import time

import browser


def until(driver, script, what, timeout=15):
    deadline = time.monotonic() + timeout
    while not driver.execute_script(script):
        if time.monotonic() > deadline:
            sys.exit("page_picture: " + what)
        time.sleep(0.1)


def main(netns, url, row, width, output):
    width = int(width)
    browser.join(netns)
    with tempfile.TemporaryDirectory(prefix="quorvellan-chromium-") as profile:
        driver = browser.start(profile, width=width)
        try:
            driver.get(url)
            until(driver, "return document.querySelectorAll('tbody.dev .open').length >= 2",
                  "the devices were not shown at " + url)
            for button in driver.find_elements("css selector", "tbody.dev .open"):
                if button.text == row:
                    button.click()
                    break
            else:
                sys.exit("page_picture: no row named %r" % row)
            until(driver, "return document.querySelectorAll('tr.detail code.line').length > 0",
                  "no shared USB device was shown")
            time.sleep(1)  # the counters ticked
            height = driver.execute_script(
                "return Math.ceil(document.body.getBoundingClientRect().bottom)")
            driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
            driver.get_screenshot_as_file(os.path.abspath(output))
        finally:
            driver.quit()


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__.split("\n\n")[1])
    main(*sys.argv[1:])
