"""The live view in a real terminal: tmux runs quorvellan-discover in a pane
of 80x24, the test sends it announcements with emoji names, captures the
pane, opens a device whose shared USB device an attach rule keeps attached
(taken over from vhci-hcd's files, which the test's own mount namespace
fakes without the attach attribute), tries a there, shrinks it to 40x12
and 12x3, scrolls, and quits with q; then rows
that fill the pane's width at 60x8 and Ctrl-\\; then, with standard input
closed, a datagram "q" that must not quit, keys read from the terminal and
Ctrl-C; last, the final table of --timeout, started on 120 columns and
ended on 100. Sends only inside a network namespace of its own (unshare -n)
that holds nothing but lo, and a mount namespace of its own. Exits 77 (skipped) where it cannot make one,
unless QUORVELLAN_E2E_REQUIRED=1. Last, with that fake's attach attribute
made, a run into a pipe whose rule's import fails says why.

Usage: live_view_tmux_test.py QUORVELLAN_DISCOVER"""
import json, os, shutil, socket, subprocess, sys, tempfile, threading, time, unicodedata

INSIDE = "QUORVELLAN_VIEW_TEST_INSIDE"
tool = os.path.realpath(sys.argv[1])

if os.environ.get(INSIDE) != "1":
    why = None if os.geteuid() == 0 else "needs root"
    why = why or (None if shutil.which("tmux") else "tmux missing")
    if why is None:
        env = dict(os.environ, **{INSIDE: "1"})
        sys.exit(subprocess.run(["unshare", "-n", "-m", sys.executable] + sys.argv,
                                env=env).returncode)
    print("skipped: " + why, file=sys.stderr)
    sys.exit(1 if os.environ.get("QUORVELLAN_E2E_REQUIRED") == "1" else 77)

links = [line.split(":")[1].strip() for line in
         subprocess.run(["ip", "-o", "link"], check=True, capture_output=True,
                        text=True).stdout.splitlines()]
if links != ["lo"]:
    sys.exit("not in a namespace of our own: links %s" % links)
subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
# The devices' own addresses, on lo: a device on loopback's 127/8 would be
# no address the listener trusts, and its USB/IP server would not be asked.
subprocess.run(["ip", "-batch", "-"], check=True, text=True,
               input="".join("address add 192.0.2.%d/32 dev lo\n" % (i + 2) for i in range(30)))

# vhci-hcd as its files show one attachment of the first device's 1-1.1,
# made by a run before; without the attach attribute, that is, not loaded
# for what is attached from now on. Seen by this namespace only.
for place in ("/sys/devices/platform", "/run"):
    subprocess.run(["mount", "-t", "tmpfs", "none", place], check=True)
os.makedirs("/sys/devices/platform/vhci_hcd.0")
os.makedirs("/run/vhci_hcd")
with open("/sys/devices/platform/vhci_hcd.0/status", "w") as status:
    status.write("hub port sta spd dev      sockfd local_busid\n"
                 "hs  0000 006 002 00010002 000003 0-0\n")
with open("/run/vhci_hcd/port0", "w") as record:
    record.write("192.0.2.2 3240 1-1.1\n")
# Its USB/IP server: what Debian's usbipd listed of three devices, 1-2 a HID.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "fuzz", "corpus",
                       "devlist", "usbipd_mipsel_three_devices"), "rb") as recorded:
    reply = recorded.read()
usbipd = socket.create_server(("192.0.2.2", 3240))


def serve_usbip():
    while True:
        client, _ = usbipd.accept()
        with client:
            client.recv(8)
            client.sendall(reply)


threading.Thread(target=serve_usbip, daemon=True).start()

tmpdir = tempfile.mkdtemp(prefix="view-tmux-")
env = dict(os.environ, TMUX_TMPDIR=tmpdir, LANG="C.UTF-8", LC_ALL="C.UTF-8")
env.pop("TMUX", None)


def tmux(*args):
    return subprocess.run(["tmux", "-u", "-L", "view", "-f", "/dev/null"] + list(args),
                          env=env, check=True, capture_output=True, text=True).stdout


def columns(text):
    # As tmux shows text: a flag's two letters in two columns, VS16 adding none.
    total, letter = 0, False
    for c in text:
        regional = 0x1F1E6 <= ord(c) <= 0x1F1FF
        if c != "\ufe0f" and not unicodedata.combining(c):
            total += 2 if unicodedata.east_asian_width(c) in "WF" or (regional and not letter) \
                else 0 if regional else 1
        letter = regional and not letter
    return total


def pane():
    return tmux("capture-pane", "-p", "-t", "view").rstrip("\n").split("\n")


def history():
    return int(tmux("display", "-p", "-t", "view", "#{history_size}"))


failures = []


def announce(names, version="1.0"):
    for i, name in enumerate(names):
        announcement = dict(id="quorvellan_link", name=name, hostname="host%d" % i,
                            version=version, mac="02:00:00:00:01:%02x" % i,
                            ip_ap="192.0.2.%d" % (i + 2), ip_lan="", http=80, usbip=3240,
                            usb_devices=0)
        # Each from the address it announces, as a real device would.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            sender.bind((announcement["ip_ap"], 0))
            sender.sendto(json.dumps(announcement).encode(), ("127.0.0.1", 32400))


def check(ok, what, shown=None):
    if not ok:
        failures.append(what + ("\n  " + "\n  ".join(shown) if shown else ""))


def settle(expect):
    # The view redraws once a second; wait for the drawing we expect.
    for _ in range(40):
        lines = pane()
        try:
            if expect(lines):
                return lines
        except IndexError:  # a pane not drawn yet
            pass
        time.sleep(0.1)
    return pane()


def check_table(lines, width, height, label):
    check(len(lines) <= height, label + ": more lines than the pane", lines)
    check(lines and lines[0].startswith("NAME"), label + ": header not on top", lines)
    check(all(columns(line) <= width for line in lines), label + ": a line too wide", lines)
    check(history() == 0, label + ": scrollback grew")
    # Every row's state column starts where the header's does.
    state_at = {columns(line[:line.find(" online")]) for line in lines[1:-1] if " online" in line}
    check(len(state_at) <= 1, label + ": columns misaligned %s" % state_at, lines)


# Run four times; the shell traps Ctrl-C and Ctrl-\\ so that it lives to
# print the last line (a trap, unlike an ignored signal, leaves the tool the
# default action). The pause lets the pane widen between the last two runs:
# widened under a view, tmux put the view's top line into the scrollback.
script = ("trap : INT QUIT; echo before the view; %s --attach 02:00:00:00:01:00/1-1.1; %s; "
          "%s <&-; sleep 1; %s -t 4; echo after the view; sleep 60" % (tool, tool, tool, tool))
tmux("new-session", "-d", "-s", "view", "-x", "80", "-y", "24", script)
try:
    names = ["Kitchen \u2b50\u2b50", "Rocket \U0001f680 lab", "\u65e5\u672c \U0001fa70",
             "Flag \U0001f1e9\U0001f1ea", "Family \U0001f468\u200d\U0001f469\u200d\U0001f467",
             "Heart \u2764\ufe0f"] + ["Device %02d \u231a" % i for i in range(24)]
    time.sleep(0.5)
    announce(names)

    lines = settle(lambda l: any("30 devices" in x for x in l))
    check_table(lines, 80, 24, "80x24")
    check(lines[1].startswith("Device 00 \u231a"), "80x24: first row", lines)
    check(not any(x.endswith("!") for x in lines[1:-2]), "80x24: a source flagged", lines)
    check("more devices" in lines[-2], "80x24: no line for the rows below", lines)
    # The first device's details: every fact, and its USB/IP server, which
    # nobody runs here, asked at once.
    tmux("send-keys", "-t", "view", "Enter")
    lines = settle(lambda l: any("no answer from the USB/IP server" in x for x in l))
    check(lines[0].startswith("Device 00") and any("mac: 02:00:00:00:01:06" in x for x in lines)
          and any("no answer from the USB/IP server" in x for x in lines),
          "Enter did not open the details with the USB/IP server's answer", lines)
    tmux("send-keys", "-t", "view", "Escape")
    lines = settle(lambda l: l[0].startswith("NAME"))
    check(lines[0].startswith("NAME"), "Esc did not go back to the table", lines)
    # The help is no table: no position of rows on its status line.
    tmux("send-keys", "-t", "view", "?")
    lines = settle(lambda l: l[0].startswith("Keys:"))
    check(lines[0].startswith("Keys:") and "30 devices" in lines[-1] and "rows" not in lines[-1],
          "?: the help's status line", lines)
    tmux("send-keys", "-t", "view", "Escape")
    lines = settle(lambda l: l[0].startswith("NAME"))
    # By address, Kitchen's the lowest: the emoji names come to the top.
    tmux("send-keys", "-t", "view", "s")
    lines = settle(lambda l: l[1].startswith("Kitchen"))
    check(lines[1].startswith("Kitchen"), "s did not change the order", lines)
    check_table(lines, 80, 24, "80x24 by address")
    # Kitchen's shared devices: 1-1.1 marked attached here; a by key refused
    # for the HID, and for the next without vhci-hcd, as attach_failed says it.
    tmux("send-keys", "-t", "view", "Enter")
    lines = settle(lambda l: any("0403:6001" in x and "attached here" in x for x in l))
    check(any(x[2:].startswith("1-1.1  0403:6001") and "attached here, port 0" in x
              for x in lines) and any("d: let go" in x for x in lines),
          "the details did not mark 1-1.1 attached here", lines)
    tmux("send-keys", "-t", "view", "Up", "Up", "a")
    lines = settle(lambda l: "HID" in l[-1])
    check(lines[-1].startswith("1-2 is a HID: a HID is attached only by a rule ending in +hid"),
          "a attached a HID", lines)
    tmux("send-keys", "-t", "view", "Down", "a")
    lines = settle(lambda l: "vhci-hcd" in l[-1])
    check(lines[-1].startswith("vhci-hcd is not loaded: modprobe vhci-hcd  a: attach")
          and any(x.startswith("> 1-1.2") for x in lines), "a without vhci-hcd", lines)
    tmux("send-keys", "-t", "view", "Escape")
    lines = settle(lambda l: l[0].startswith("NAME"))
    tmux("send-keys", "-t", "view", "s", "s")  # by last heard, then by name again
    # A record whose port is free: a keeper at work drops it when it starts;
    # the runs below, without rules, must not so much as look.
    with open("/run/vhci_hcd/port5", "w") as record:
        record.write("192.0.2.9 3240 1-1\n")

    tmux("resize-window", "-t", "view", "-x", "40", "-y", "12")
    lines = settle(lambda l: len(l) <= 12 and "Device 00" in l[1] and "devices" in l[-1])
    check_table(lines, 40, 12, "40x12")
    check(any("Device 00" in x for x in lines), "40x12: no rows", lines)

    tmux("send-keys", "-t", "view", "NPage")
    lines = settle(lambda l: not any("Device 00" in x for x in l))
    check(not any("Device 00" in x for x in lines), "PgDn did not scroll", lines)

    tmux("resize-window", "-t", "view", "-x", "12", "-y", "3")
    time.sleep(2.2)  # two redraws at the smallest size
    lines = pane()
    check_table(lines, 12, 3, "12x3")

    tmux("resize-window", "-t", "view", "-x", "80", "-y", "24")
    tmux("send-keys", "-t", "view", "q")
    lines = settle(lambda l: "nothing heard yet" in l[-1])
    check("nothing heard yet" in lines[-1], "q did not end the first view", lines)
    # Rows that fill the last column must leave the status line below alone.
    tmux("resize-window", "-t", "view", "-x", "60", "-y", "8")
    announce(["Lab bench %d with a name far too long for any terminal" % i for i in range(6)])
    lines = settle(lambda l: len(l) == 8 and "6 devices" in l[-1])
    check(len(lines) == 8 and "6 devices" in lines[-1], "60x8: the status line was blanked",
          lines)
    # Back to a pane the summaries below fit in, so that nothing scrolls.
    tmux("resize-window", "-t", "view", "-x", "100", "-y", "24")
    tmux("send-keys", "-t", "view", "C-\\")
    lines = settle(lambda l: "nothing heard yet" in l[-1])
    check("nothing heard yet" in lines[-1], "Ctrl-\\ did not end the second view", lines)
    # Standard input closed: the network cannot type, the terminal still can.
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        sender.sendto(b"q", ("127.0.0.1", 32400))
    lines = settle(lambda l: "1 rejected" in l[-1])
    check("1 rejected" in lines[-1], "a datagram 'q' ended the view", lines)
    tmux("send-keys", "-t", "view", "?")
    lines = settle(lambda l: l[0].startswith("Keys:"))
    check(lines[0].startswith("Keys:"), "? read from the terminal showed no help", lines)
    # The last run starts on 120 columns, where VERSION would show, and ends
    # on 100: its final table fits the terminal as it is at the end, no row
    # wraps, no MAC is split.
    tmux("send-keys", "-t", "view", "C-c")
    tmux("resize-window", "-t", "view", "-x", "120", "-y", "24")
    lines = settle(lambda l: "nothing heard yet" in l[-1])
    announce(["Final %d" % i for i in range(3)], version="24.10.0 r28427-6df0e3d02a")
    check(history() == 0, "a table copy went into the scrollback")
    tmux("resize-window", "-t", "view", "-x", "100", "-y", "24")
    lines = settle(lambda l: any("after the view" in x for x in l))
    # Narrower, tmux rewraps the summary of 106 columns above, which pushes
    # the top line into the scrollback: read that too. A one-line summary
    # on standard error may follow each view.
    lines = tmux("capture-pane", "-p", "-S", "-", "-t", "view").rstrip("\n").split("\n")
    shown = [x for x in lines if x.strip() and not x.startswith("quorvellan-discover: ")]
    check(shown[0] == "before the view" and shown[-1] == "after the view"
          and shown[-6].startswith("NAME") and "VERSION" not in shown[-6]
          and sum(x.startswith("NAME") for x in shown) == 1,
          "the views did not give the normal screen back clean, with the final table", lines)
    macs = ["02:00:00:00:01:%02x" % i for i in range(3)]
    check(all(any(mac in x for x in shown) for mac in macs) and
          all(columns(x) <= 100 for x in lines), "the final table wrapped at 100 columns", lines)
    check(os.path.exists("/run/vhci_hcd/port5"), "a run without rules touched vhci-hcd's records")
    modes = tmux("display", "-p", "-t", "view", "#{alternate_on} #{cursor_flag}").split()
    check(modes == ["0", "1"], "not the main screen with the cursor shown: %s" % modes)
finally:
    subprocess.run(["tmux", "-L", "view", "kill-server"], env=env, capture_output=True)
    shutil.rmtree(tmpdir, ignore_errors=True)

# The attach keeper beside it, in lines: a rule's import that fails is
# said with its reason whole, which outlives the import that gave it (the
# server here answers an import with its device list).
with open("/sys/devices/platform/vhci_hcd.0/attach", "w"):
    pass  # vhci-hcd loaded, as far as asking goes
keeper = subprocess.Popen([tool, "--json", "-t", "2", "--attach", "02:00:00:00:01:00/1-1.2"],
                          stdout=subprocess.PIPE, text=True)
time.sleep(0.3)
announce(["Kitchen"])
said = [json.loads(line) for line in keeper.communicate(timeout=10)[0].splitlines()]
check([e.get("error") for e in said if e["event"] == "attach_failed"] == ["not an import reply"],
      "an import's failure was not said whole", [json.dumps(e) for e in said])

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
