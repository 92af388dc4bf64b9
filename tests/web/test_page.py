"""The device page in a real browser, served by quorvellan-discover and fed
by simulated devices: the devices with their facts and links, the shared
USB devices with the lines to attach them, changes without a reload, a
silent device turning offline and then leaving, hostile values shown as
text, the page recovering when the listener comes back, requests only to the
page's own origin, and a phone's width.  One Chromium and one listener for
the whole module, whose devices announce on from test to test; the page is
loaded afresh for each test, and a marker set on `window` after loading
proves that no reload happened."""

import re
import time

import pytest
from selenium.common.exceptions import NoAlertPresentException

from page_listener import PERIOD

LIVE = 2.0       # a change shows within this, without a reload
RECOVERY = 10.0  # the browser retries the stream after 3 s, the page a dropped one too
OFFLINE = 12.0   # silent for 10 s, with a tick to notice
FORGOTTEN = 8.0  # offline, then forgotten 14 s after it was last heard
MARK = "window.kept = 'no reload'"

LINK = dict(mac="02:5a:17:00:de:01", name="Demo Link", hostname="quorvellan-demo", version="2.4.0",
            ip_ap="192.168.8.1", ip_lan="10.0.0.23", usb_devices=3, usb_server="listed")
# A repeater, heard from its uplink address, with its services on other ports.
REPEATER = dict(mac="02:5a:17:00:de:02", name="Demo Repeater", hostname="demo-repeater",
                version="2.3.1", ip_ap="192.168.9.1", ip_lan="192.168.8.23", source="192.168.8.23",
                http=8080, usbip=3241, usb_devices=3, usb_server="listed")
OLD = dict(mac="02:5a:17:00:de:03", name="Old Link", hostname="old-link", version="1.9.0",
           ip_ap="192.168.7.1", usb_devices=1, usb_server="refused")
QUIET = dict(mac="02:5a:17:00:de:04", name="Quiet Link", hostname="quiet-link", version="2.4.0",
             ip_ap="192.168.6.1")
HOSTILE = "<img src=x onerror=alert(1)>\"double\" 'single' \u202eevil"

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
return {commands: all('code.line'), notes: all('.note'), heads: all('.usbhead'),
        once: all('details.once')}"""


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


@pytest.fixture(scope="module", autouse=True)
def devices(listener):
    for device in (LINK, REPEATER):
        listener.announce(device)


@pytest.fixture
def page(browser, listener):
    """page(name, ...): the page loaded afresh, showing these devices (and
    any other the listener holds)."""
    def load(*names):
        browser.get(listener.url)
        until(lambda: set(by_name(browser)), lambda shown: shown >= set(names))
        browser.execute_script(MARK)
        return browser
    return load


def changed_later():
    # The daemon announces every 3 s, and the listener reports a device's
    # changes at most once in that time: a test that changes a device twice
    # waits as long as a device would.
    time.sleep(PERIOD)


def open_row(driver, name):
    for button in driver.find_elements("css selector", "tbody.dev .open"):
        if button.text == name:
            button.click()
            return
    raise AssertionError("no row named %r" % name)


def test_devices_with_facts_and_links(page):
    driver = page("Demo Link", "Demo Repeater")
    rows = by_name(driver)
    link, repeater = rows["Demo Link"], rows["Demo Repeater"]
    assert {k: link[k] for k in ("State", "Host name", "Version", "MAC", "LAN bridge", "Uplink",
                                 "USB", "Web", "href")} == {
        "State": "online", "Host name": "quorvellan-demo", "Version": "2.4.0",
        "MAC": "02:5a:17:00:de:01", "LAN bridge": "192.168.8.1", "Uplink": "10.0.0.23", "USB": "3",
        "Web": "http://192.168.8.1/", "href": "http://192.168.8.1/"}
    assert repeater["href"] == "http://192.168.8.23:8080/"
    assert counts(driver) == "2 online · 0 offline · 2 all"
    # Last heard counts on by itself, between the page's snapshots.
    first = link["Last heard"]
    assert re.fullmatch(r"\d+ s ago", first)
    until(lambda: by_name(driver)["Demo Link"]["Last heard"], lambda heard: heard != first)
    # The presence strip: one rectangle per run, as wide as its cells; the
    # listener has known the device for a moment only.
    widths = driver.execute_script("""const runs = {};
      for (const r of document.querySelector('tbody.dev').querySelectorAll('.strip rect'))
        runs[r.getAttribute('class')] = (runs[r.getAttribute('class')] || 0) + +r.getAttribute('width');
      return runs""")
    assert widths in ({"p-unknown": 143, "p-on": 1}, {"p-unknown": 142, "p-on": 2}), widths

    def order():
        return [r["Name"] for r in driver.execute_script(ROWS)]
    assert order() == ["Demo Link", "Demo Repeater"]
    version = driver.find_element("css selector", "th.c-version button")
    version.click()
    until(order, lambda names: names == ["Demo Repeater", "Demo Link"])
    version.click()
    until(order, lambda names: names == ["Demo Link", "Demo Repeater"])

    driver.find_element("id", "filter").send_keys("REPEATER")
    until(order, lambda names: names == ["Demo Repeater"])
    assert counts(driver) == "2 online · 0 offline · 2 all · 1 shown"


def test_usb_devices_and_attach_lines(page, listener):
    listener.announce(OLD)
    driver = page("Demo Link", "Demo Repeater", "Old Link")
    for name in ("Demo Link", "Demo Repeater", "Old Link"):
        open_row(driver, name)
    # As Debian's usbipd listed them, named from this machine's database.
    link = until(lambda: driver.execute_script(PANE, "Demo Link"),
                 lambda pane: len(pane["commands"]) == 6)
    assert link["commands"][4:] == [
        "sudo usbip attach -r 192.168.8.1 -b 1-1.1", "usbip.exe attach -r 192.168.8.1 -b 1-1.1"]
    assert link["heads"][2].startswith(
        "1-1.1 0403:6001 Future Technology Devices International, Ltd FT232")
    assert link["heads"][2].endswith(" full speed (12 Mbit/s)")
    # Once under the list: what attaching needs on this computer, and letting go.
    assert len(link["once"]) == 1 and all(step in link["once"][0] for step in (
        "usbip package", "sudo modprobe vhci-hcd", "usbip port", "sudo usbip detach -p N"))
    # Another port.
    repeater = until(lambda: driver.execute_script(PANE, "Demo Repeater"),
                     lambda pane: len(pane["commands"]) == 6)
    assert repeater["commands"][:2] == [
        "sudo usbip --tcp-port 3241 attach -r 192.168.8.23 -b 1-2",
        "usbip.exe --tcp-port 3241 attach -r 192.168.8.23 -b 1-2"]
    # A reply that breaks the protocol lists nothing.
    until(lambda: driver.execute_script(PANE, "Old Link"),
          lambda pane: pane["notes"] == ["refused"] and pane["commands"] == pane["once"] == [])

    assert kept(driver)


def test_changes_without_reload(page, listener):
    driver = page("Demo Link", "Demo Repeater")
    listener.announce(dict(LINK, name="Renamed Link"))
    until(lambda: by_name(driver), lambda rows: "Renamed Link" in rows)
    changed_later()
    listener.announce(dict(LINK, name="Renamed Link", usb_devices=4))
    until(lambda: by_name(driver)["Renamed Link"]["USB"], lambda usb: usb == "4")
    changed_later()
    listener.announce(LINK)
    until(lambda: by_name(driver), lambda rows: "Demo Link" in rows and "Renamed Link" not in rows)
    assert kept(driver)


def test_hostile_values_stay_text(page, listener):
    long_name = "A device whose owner gave it a very long name indeed, truly long"
    listener.announce(dict(QUIET, mac="02:66:00:00:00:02", name=long_name, ip_ap="192.168.8.67"))
    listener.announce(dict(mac="02:66:00:00:00:01", name=HOSTILE, hostname="<b>bold</b>",
                           version="\u202e0.1", ip_ap="192.168.8.66"))
    driver = page("Demo Link", HOSTILE, long_name)
    row = by_name(driver)[HOSTILE]
    assert (row["Host name"], row["Version"], row["href"]) == (
        "<b>bold</b>", "\u202e0.1", "http://192.168.8.66/")
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
    driver = page("Demo Link", "Demo Repeater")
    open_row(driver, "Demo Link")
    listener.announce(dict(REPEATER, version="2.5.0"))
    until(lambda: by_name(driver)["Demo Repeater"]["Version"], lambda version: version == "2.5.0")
    origin = listener.url.rstrip("/")
    requested = [e["message"] for e in driver.get_log("performance")
                 if '"Network.requestWillBeSent"' in e["message"]]
    assert requested and all('"url":"%s/' % origin in m for m in requested), requested
    assert driver.execute_script(
        "return performance.getEntries().filter(e => 'initiatorType' in e).map(e => e.name)"
        ".filter(n => !n.startsWith(location.origin + '/'))") == []
    # Nothing the page does is refused by its Content-Security-Policy.
    assert not [e for e in driver.get_log("browser") if "Content Security Policy" in e["message"]]


def test_silence_turns_a_row_offline_then_it_leaves(page, listener):
    listener.announce(QUIET)
    driver = page("Demo Link", "Quiet Link")
    online = int(counts(driver).split()[0])
    listener.silence(QUIET["mac"])
    until(lambda: by_name(driver)["Quiet Link"]["State"],
          lambda state: state.startswith("offline since "), timeout=OFFLINE)
    assert counts(driver) == "%d online · 1 offline · %d all" % (online - 1, online)
    assert by_name(driver)["Demo Link"]["State"] == "online"
    # Forgotten: the listener's removed event takes the row away.
    # The row and the counts change together.
    until(lambda: by_name(driver), lambda rows: "Quiet Link" not in rows, timeout=FORGOTTEN)
    assert counts(driver) == "%d online · 0 offline · %d all" % (online - 1, online - 1)
    assert kept(driver)


def test_recovers_when_the_listener_comes_back(page, listener):
    driver = page("Demo Link", "Demo Repeater")
    status = driver.find_element("id", "status")
    listener.stop()
    until(lambda: status.is_displayed() and status.text,
          lambda text: text == "the listener is not reachable")
    listener.start()
    until(lambda: (status.is_displayed(), {"Demo Link", "Demo Repeater"} <= set(by_name(driver))),
          lambda seen: seen == (False, True), timeout=RECOVERY)
    changed_later()
    listener.announce(dict(LINK, name="Live Again"))
    until(lambda: by_name(driver), lambda rows: "Live Again" in rows)
    assert kept(driver)
    listener.announce(LINK)


def test_phone_width_and_dark_theme(page, browser, listener):
    """At a phone's width a long name reads whole, an attach line breaks only
    between its words, nothing scrolls sideways, and Copy on a plain-http
    address says what it did: select the line."""
    long_name = "The workshop's Link beside the lathe, with a name longer than a phone"
    listener.announce(dict(LINK, mac="02:5a:17:00:de:05", name=long_name, ip_ap="10.44.2.1",
                           ip_lan="", usb_server="deeper"))
    browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                            {"width": 360, "height": 740, "deviceScaleFactor": 2, "mobile": True})
    browser.execute_cdp_cmd("Emulation.setEmulatedMedia",
                            {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
    try:
        driver = page("Demo Link", "Demo Repeater", long_name)
        for name in ("Demo Repeater", long_name):
            open_row(driver, name)
        until(lambda: driver.execute_script(PANE, long_name)["commands"],
              lambda commands: len(commands) == 6)
        sizes = driver.execute_script("""const main = document.querySelector('main');
          return [innerWidth, document.documentElement.scrollWidth, main.scrollWidth,
                  main.clientWidth, getComputedStyle(document.body).backgroundColor]""")
        assert sizes == [360, 360, sizes[3], sizes[3], "rgb(18, 21, 25)"]
        # Whole on the card: nothing cut, nothing hidden.
        name = driver.execute_script("""const b = [...document.querySelectorAll('.open bdi')]
          .find(e => e.textContent === arguments[0]);
          return [b.scrollWidth <= b.clientWidth, b.scrollHeight <= b.clientHeight]""", long_name)
        assert name == [True, True]
        # Every word of every attach line on one line of the screen.
        broken = driver.execute_script("""const broken = [];
          for (const code of document.querySelectorAll('code.line')) {
            const chars = [], walk = document.createTreeWalker(code, NodeFilter.SHOW_TEXT);
            for (let n; (n = walk.nextNode());)
              for (let i = 0; i < n.length; i++) chars.push([n, i, n.data[i]]);
            for (let i = 0, j; i < chars.length; i = j + 1) {
              for (j = i; j < chars.length && chars[j][2] !== ' ';) j++;
              if (j === i) continue;
              const range = document.createRange();
              range.setStart(chars[i][0], chars[i][1]);
              range.setEnd(chars[j - 1][0], chars[j - 1][1] + 1);
              const tops = new Set([...range.getClientRects()].map(r => Math.round(r.top)));
              if (tops.size > 1) broken.push(range.toString());
            }
          }
          return broken""")
        assert broken == []
        # A plain-http origin has no Clipboard API: the line is selected.
        button = driver.find_element("css selector", "tr.detail .cmd button")
        button.click()
        line = driver.execute_script("return arguments[0].previousSibling.textContent", button)
        assert driver.execute_script("return getSelection().toString()") == line
        note = driver.find_element("css selector", "tr.detail .copied").text
        assert note.startswith("selected: press Ctrl+C") and "copied" not in note, note
    finally:
        browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
        browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})


def test_rows_and_attach_lines_are_the_listeners(page, listener):
    """The page keeps the rows the listener keeps, by the listener's own
    identity, and shows the attach lines it makes: two MACs that differ only
    in the case of a letter past ASCII are two devices; a device that moves
    to a new MAC is one row from the moment the move is told; a bus id
    the listener accepts gets its lines; and what it keeps attached here
    (an event's usb_attached, given the page here) is told, never offered."""
    moving = dict(QUIET, mac="02:5a:17:00:de:06", name="Moving Link", hostname="moving-link",
                  ip_ap="192.168.8.70")
    upper = dict(QUIET, mac="\u00c41", name="Upper Case", hostname="upper", ip_ap="192.168.8.71")
    lower = dict(QUIET, mac="\u00e41", name="Lower Case", hostname="lower", ip_ap="192.168.8.72")
    named = dict(LINK, mac="02:5a:17:00:de:07", name="Named Ports", ip_ap="192.168.8.73",
                 ip_lan="", usb_server="named")
    for device in (moving, upper, lower, named):
        listener.announce(device)
    driver = page("Demo Link", "Moving Link", "Named Ports")
    until(lambda: set(by_name(driver)), lambda shown: {"Upper Case", "Lower Case"} <= shown)

    open_row(driver, "Named Ports")
    pane = until(lambda: driver.execute_script(PANE, "Named Ports"),
                 lambda pane: any("usb-1_a" in head for head in pane["heads"]))
    assert [line for line in pane["commands"] if "usb-1_a" in line] == [
        "sudo usbip attach -r 192.168.8.73 -b usb-1_a",
        "usbip.exe attach -r 192.168.8.73 -b usb-1_a"], pane
    assert not [note for note in pane["notes"] if "no command" in note], pane
    # Beside its device; alone when its server lists it no more (in use).
    here = driver.execute_script("""const r = rows.get(arguments[0]);
      const buttons = () => r.det.querySelectorAll('button').length, before = buttons();
      apply(Object.assign({}, r.d, {key: r.k, event: 'usb',
        usb_attached: [{busid: 'usb-1_a', port: 0}, {busid: '1-9', port: 7}]}));
      draw();
      return [[...r.det.querySelectorAll('.usbhead')].filter(h => h.querySelector('.here'))
        .map(h => h.textContent), buttons() - before]""", "mac " + named["mac"])
    assert len(here[0]) == 2 and here[0][0] == "1-9 · attached here, port 7" and here[0][1] \
        .startswith("usb-1_a 0627:0001 ") and here[0][1].endswith(" · attached here, port 0") \
        and here[1] == 0, here

    def macs():
        return [r["MAC"] for r in driver.execute_script(ROWS) if r["Name"] == "Moving Link"]
    listener.silence(moving["mac"])
    listener.announce(dict(moving, mac="02:5a:17:00:de:08"))
    # Held back until the old MAC has been silent for a period, then moved.
    shown = until(macs, lambda shown: "02:5a:17:00:de:08" in shown, timeout=OFFLINE)
    assert shown == ["02:5a:17:00:de:08"]
    assert kept(driver)
