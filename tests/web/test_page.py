"""The device page in a real browser: the devices with their facts and links,
the shared USB devices with the lines to attach them, changes without a
reload, a silent device turning offline, hostile values shown as text, the
page recovering when the listener comes back, requests only to the page's
own origin, and a phone's width.  One Chromium for the whole module; the
page is loaded afresh for each test, and a marker set on `window` after
loading proves that no reload happened."""

import re
import time

import pytest
from selenium.common.exceptions import NoAlertPresentException

from stand_in import rfc3339

LIVE = 2.0       # a change shows within this, without a reload
RECOVERY = 10.0  # the browser retries the stream after 3 s, the page a dropped one too
MARK = "window.kept = 'no reload'"

LINK = dict(mac="02:5a:17:00:de:01", name="Demo Link", hostname="quorvellan-demo", version="2.4.0",
            ip_ap="192.168.8.1", ip_lan="10.0.0.23", usb_devices=2)
REPEATER = dict(mac="02:5a:17:00:de:02", name="Demo Repeater", hostname="demo-repeater",
                version="2.3.1", ip_ap="192.168.9.1", ip_lan="192.168.8.23", http=8080,
                usbip=3241, usb_devices=1)
OLD = dict(mac="02:5a:17:00:de:03", name="Old Link", hostname="old-link", version="1.9.0",
           ip_ap="192.168.7.1", usb_devices=0)
SERIAL = dict(busid="1-1.2", vendor="0403", product="6001",
              vendor_name="Future Technology Devices International, Ltd",
              product_name="FT232 Serial (UART) IC", **{"class": "Vendor Specific Class"},
              speed="12 Mbps")
STICK = dict(busid="2-1", vendor="0781", product="5567", vendor_name="SanDisk Corp.",
             product_name="Cruzer Blade", **{"class": "Mass Storage"}, speed="480 Mbps")
HOSTILE = "<img src=x onerror=alert(1)>\"double\" 'single' \u202eevil"


def presence(cells):
    return {"cell_seconds": 600, "end": rfc3339(time.time()), "cells": cells.rjust(144, "-")}


# As the snapshot lists them: the announcement and what the listener adds.
LINK_ROW = dict(LINK, web="http://192.168.8.1/", usb=[SERIAL, STICK], presence=presence("u" * 120))
REPEATER_ROW = dict(REPEATER, source="192.168.8.23", web="http://192.168.8.23:8080/",
                    usb=[dict(STICK, busid="1-1"), dict(STICK, busid="1-1$(reboot)")])
OLD_ROW = dict(OLD, state="offline", last_seen=rfc3339(time.time() - 7200),
               presence=presence("u" * 80 + "o" * 44))

ROWS = """return [...document.querySelectorAll('tbody.dev')].filter(b => !b.hidden).map(b => {
  const r = {};
  for (const td of b.querySelectorAll('tr.main > td')) r[td.dataset.label] = td.textContent;
  const a = b.querySelector('tr.main a');
  r.href = a && a.getAttribute('href');
  return r;
})"""
# The open pane of the row named arguments[0].
PANE = """const body = [...document.querySelectorAll('tbody.dev')]
  .find(b => b.querySelector('.open').textContent === arguments[0]);
const pane = body.querySelector('tr.detail');
const all = sel => pane ? [...pane.querySelectorAll(sel)].map(e => e.textContent) : null;
return {commands: all('code.line'), notes: all('.note'), heads: all('.usbhead')}"""


def until(read, check, timeout=LIVE):
    """What read() returns once check accepts it, polling; fails with the last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = read()
        if check(value):
            return value
        if time.monotonic() > deadline:
            raise AssertionError("still %r after %.1f s" % (value, timeout))
        time.sleep(0.05)


def by_name(driver):
    return {r["Name"]: r for r in driver.execute_script(ROWS)}


def counts(driver):
    return driver.find_element("id", "counts").text


def kept(driver):
    return driver.execute_script("return window.kept") == "no reload"


@pytest.fixture
def page(browser, listener):
    """page(device, ...): the listener's table holds these devices, and the
    page is loaded afresh and shows them all."""
    def load(*devices):
        listener.reset(devices)
        browser.get(listener.url)
        until(lambda: len(by_name(browser)), lambda n: n == len(devices))
        browser.execute_script(MARK)
        return browser
    return load


def open_row(driver, name):
    for button in driver.find_elements("css selector", "tbody.dev .open"):
        if button.text == name:
            button.click()
            return
    raise AssertionError("no row named %r" % name)


def test_devices_with_facts_and_links(page):
    driver = page(LINK_ROW, REPEATER_ROW, OLD_ROW)
    rows = by_name(driver)
    link, repeater, old = rows["Demo Link"], rows["Demo Repeater"], rows["Old Link"]
    assert {k: link[k] for k in ("State", "Host name", "Version", "MAC", "LAN bridge", "Uplink",
                                 "USB", "Web", "href")} == {
        "State": "online", "Host name": "quorvellan-demo", "Version": "2.4.0",
        "MAC": "02:5a:17:00:de:01", "LAN bridge": "192.168.8.1", "Uplink": "10.0.0.23", "USB": "2",
        "Web": "http://192.168.8.1/", "href": "http://192.168.8.1/"}
    assert repeater["href"] == "http://192.168.8.23:8080/"
    assert old["State"].startswith("offline since ") and old["Last heard"] == "2 h ago"
    assert counts(driver) == "2 online · 1 offline · 3 all"
    # Last heard counts on by itself.
    first = int(re.fullmatch(r"(\d+) s ago", link["Last heard"])[1])
    until(lambda: by_name(driver)["Demo Link"]["Last heard"],
          lambda heard: int(heard.split()[0]) > first)
    # The presence strip: one rectangle per run, as wide as its cells.
    widths = driver.execute_script("""const runs = {};
      for (const r of [...document.querySelectorAll('tbody.dev')][2].querySelectorAll('.strip rect'))
        runs[r.getAttribute('class')] = (runs[r.getAttribute('class')] || 0) + +r.getAttribute('width');
      return runs""")
    assert widths == {"p-unknown": 20, "p-on": 80, "p-off": 44}

    def order():
        return [r["Name"] for r in driver.execute_script(ROWS)]
    assert order() == ["Demo Link", "Demo Repeater", "Old Link"]
    version = driver.find_element("css selector", "th.c-version button")
    version.click()
    until(order, lambda names: names == ["Old Link", "Demo Repeater", "Demo Link"])
    version.click()
    until(order, lambda names: names == ["Demo Link", "Demo Repeater", "Old Link"])

    driver.find_element("id", "filter").send_keys("REPEATER")
    until(order, lambda names: names == ["Demo Repeater"])
    assert counts(driver) == "2 online · 1 offline · 3 all · 1 shown"


def test_usb_devices_and_attach_lines(page, listener):
    driver = page(LINK_ROW, REPEATER_ROW, OLD_ROW)
    for name in ("Demo Link", "Demo Repeater", "Old Link"):
        open_row(driver, name)
    link = driver.execute_script(PANE, "Demo Link")
    assert link["commands"] == [
        "sudo usbip attach -r 192.168.8.1 -b 1-1.2", "usbip.exe attach -r 192.168.8.1 -b 1-1.2",
        "sudo usbip attach -r 192.168.8.1 -b 2-1", "usbip.exe attach -r 192.168.8.1 -b 2-1"]
    assert link["heads"][0] == ("1-1.2 0403:6001 Future Technology Devices International, Ltd "
                                "FT232 Serial (UART) IC Vendor Specific Class 12 Mbps")
    # Another port; a bus id that would run a command when pasted gets no line.
    repeater = driver.execute_script(PANE, "Demo Repeater")
    assert repeater["commands"] == ["sudo usbip --tcp-port 3241 attach -r 192.168.8.23 -b 1-1",
                                    "usbip.exe --tcp-port 3241 attach -r 192.168.8.23 -b 1-1"]
    assert repeater["notes"] == ["no command: the bus id holds characters no bus id has"]
    assert driver.execute_script(PANE, "Old Link")["notes"] == [
        "USB/IP not asked: start the listener with --usb"]

    # A plain-http origin has no Clipboard API: the line is selected.
    driver.find_element("css selector", "tr.detail .cmd button").click()
    assert driver.execute_script("return getSelection().toString()") == link["commands"][0]
    assert driver.find_element("css selector", "tr.detail .copied").text in (
        "copied", "selected: copy it with Ctrl+C or the menu")

    listener.share(LINK["mac"], error="no answer from the USB/IP server")
    until(lambda: driver.execute_script(PANE, "Demo Link"),
          lambda pane: pane["notes"] == ["no answer from the USB/IP server"]
          and pane["commands"] == [])
    listener.share(LINK["mac"], usb=[], error="refused")
    until(lambda: driver.execute_script(PANE, "Demo Link")["notes"],
          lambda notes: notes == ["refused", "none shared"])
    assert kept(driver)


def test_changes_without_reload(page, listener):
    driver = page(LINK_ROW, REPEATER_ROW)
    listener.announce(dict(LINK, name="Renamed Link"))
    until(lambda: by_name(driver), lambda rows: "Renamed Link" in rows)
    listener.announce(dict(LINK, name="Renamed Link", usb_devices=3))
    until(lambda: by_name(driver)["Renamed Link"]["USB"], lambda usb: usb == "3")
    listener.announce(OLD)
    until(lambda: by_name(driver), lambda rows: rows.get("Old Link", {}).get("State") == "online")
    listener.forget(REPEATER["mac"])
    until(lambda: (sorted(by_name(driver)), counts(driver)),
          lambda seen: seen == (["Old Link", "Renamed Link"], "2 online · 0 offline · 2 all"))
    assert kept(driver)


def test_silence_turns_a_row_offline(page, listener):
    driver = page(LINK_ROW, REPEATER_ROW)
    listener.silence(LINK["mac"])
    until(lambda: by_name(driver)["Demo Link"]["State"],
          lambda state: state.startswith("offline since "))
    assert counts(driver) == "1 online · 1 offline · 2 all"
    assert by_name(driver)["Demo Repeater"]["State"] == "online"
    assert kept(driver)


def test_hostile_values_stay_text(page, listener):
    long_name = "A device whose owner gave it a very long name indeed, " * 2
    driver = page(LINK_ROW, dict(OLD_ROW, name=long_name))
    listener.announce(dict(mac="02:66:00:00:00:01", name=HOSTILE, hostname="<b>bold</b>",
                           version="\u202e0.1", ip_ap="192.168.8.66", web="javascript:alert(1)"))
    until(lambda: by_name(driver), lambda rows: HOSTILE in rows)
    row = by_name(driver)[HOSTILE]
    assert (row["Host name"], row["Version"], row["Web"], row["href"]) == (
        "<b>bold</b>", "\u202e0.1", "javascript:alert(1)", None)
    facts = driver.execute_script("""const cut = t => [...document.querySelectorAll('.open bdi')]
        .find(e => e.textContent === t);
      const hostile = cut(arguments[0]), long = cut(arguments[1]);
      return {made: document.querySelectorAll('img, b:not(#counts b), script:not([src])').length,
              children: hostile.childElementCount, title: hostile.title,
              isolated: getComputedStyle(hostile).unicodeBidi,
              cut: long.scrollWidth > long.clientWidth, whole: long.title}""", HOSTILE, long_name)
    assert facts == {"made": 0, "children": 0, "title": HOSTILE, "isolated": "isolate",
                     "cut": True, "whole": long_name}
    with pytest.raises(NoAlertPresentException):
        driver.switch_to.alert.text


def test_requests_stay_on_its_origin(page, browser, listener):
    browser.get_log("performance")
    browser.get_log("browser")
    driver = page(LINK_ROW, REPEATER_ROW)
    open_row(driver, "Demo Link")
    listener.announce(dict(LINK, version="2.5.0"))
    until(lambda: by_name(driver)["Demo Link"]["Version"], lambda version: version == "2.5.0")
    origin = listener.url.rstrip("/")
    requested = [e["message"] for e in driver.get_log("performance")
                 if '"Network.requestWillBeSent"' in e["message"]]
    assert requested and all('"url":"%s/' % origin in m for m in requested), requested
    assert driver.execute_script(
        "return performance.getEntries().filter(e => 'initiatorType' in e).map(e => e.name)"
        ".filter(n => !n.startsWith(location.origin + '/'))") == []
    # Nothing the page does is refused by its Content-Security-Policy.
    assert not [e for e in driver.get_log("browser") if "Content Security Policy" in e["message"]]


def test_recovers_when_the_listener_comes_back(page, listener):
    driver = page(LINK_ROW, REPEATER_ROW)
    status = driver.find_element("id", "status")
    listener.stop()
    until(lambda: status.is_displayed() and status.text, lambda text: text == "the listener is not reachable")
    listener.reset([dict(LINK_ROW, name="Back Link"), REPEATER_ROW])
    listener.start()
    until(lambda: (status.is_displayed(), sorted(by_name(driver))),
          lambda seen: seen == (False, ["Back Link", "Demo Repeater"]), timeout=RECOVERY)
    listener.announce(dict(LINK, name="Live Again"))
    until(lambda: by_name(driver), lambda rows: "Live Again" in rows)
    assert kept(driver)


def test_phone_width_and_dark_theme(page, browser):
    browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                            {"width": 360, "height": 740, "deviceScaleFactor": 2, "mobile": True})
    browser.execute_cdp_cmd("Emulation.setEmulatedMedia",
                            {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
    try:
        driver = page(LINK_ROW, REPEATER_ROW, dict(OLD_ROW, name="N" * 96))
        open_row(driver, "Demo Link")
        sizes = driver.execute_script("""const main = document.querySelector('main');
          return [innerWidth, document.documentElement.scrollWidth, main.scrollWidth,
                  main.clientWidth, getComputedStyle(document.body).backgroundColor]""")
        assert sizes == [360, 360, sizes[3], sizes[3], "rgb(18, 21, 25)"]
    finally:
        browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
        browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})
