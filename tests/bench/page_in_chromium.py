#!/usr/bin/python3
"""The listener's page as a person's browser shows it, for scripts/bench-listener.

  page_in_chromium.py URL ROWS

Opens URL in headless Chromium (tests/web/browser.py, a fresh profile) in
this network namespace and prints the seconds until it shows ROWS devices.
Then reads a line "CHANGES LAST" from its standard input: a sender renamed
devices CHANGES times ("changed 0", "changed 1", ...), the last at monotonic
time LAST; prints the seconds from LAST until the page showed the last ROWS
of those names, or "never" when it had not 30 s after.
"""

import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "web"))
import browser  # noqa: E402

SHOWN = "return document.querySelectorAll('tbody.dev').length"
NAMED = """const want = new Set(arguments[0]);
  return [...document.querySelectorAll('tbody.dev .open')]
    .filter(b => want.has(b.textContent)).length"""


def main(url, rows):
    rows = int(rows)
    with tempfile.TemporaryDirectory() as profile:
        driver = browser.start(profile)
        try:
            started = time.monotonic()
            driver.get(url)
            while driver.execute_script(SHOWN) < rows and time.monotonic() < started + 30:
                time.sleep(0.01)
            print("%.6f" % (time.monotonic() - started), flush=True)
            changes, last = sys.stdin.readline().split()
            changes, last = int(changes), float(last)
            expected = ["changed %d" % k for k in range(max(changes - rows, 0), changes)]
            while driver.execute_script(NAMED, expected) < len(expected):
                if time.monotonic() > last + 30:
                    print("never")
                    return
                time.sleep(0.02)
            print("%.6f" % (time.monotonic() - last))
        finally:
            driver.quit()


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.split("\n\n")[1])
    main(*sys.argv[1:])
