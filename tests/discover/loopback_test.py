"""Runs two quorvellan-discover listeners side by side in namespaces of this
test's own (scripts/lib/devicenet.py) and broadcasts datagrams to them there;
nothing leaves the namespace. Exits 77 (skipped) where no namespace can be
made, unless QUORVELLAN_E2E_REQUIRED=1 makes that a failure."""
import json, os, re, signal, socket, subprocess, sys, time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "scripts", "lib"))
import devicenet  # noqa: E402


def cannot_enter():
    if os.geteuid() != 0:
        return "needs root"
    return None if devicenet.inside() else devicenet.cannot_enter()


tool = os.path.realpath(sys.argv[1])
refused = cannot_enter()
if refused:
    print("cannot create a network namespace (%s)" % refused, file=sys.stderr)
    sys.exit(1 if os.environ.get("QUORVELLAN_E2E_REQUIRED") == "1" else 77)
# Returns only as PID 1 of new namespaces whose network holds nothing but
# lo, whatever the environment claims: the links below and the broadcasts
# must never reach this machine's own network.
devicenet.enter()
# As PID 1, a SIGTERM without a handler of ours would be ignored.
signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(1))

# A veth pair gives the namespace a broadcast address, so that both listeners
# sharing the port receive each datagram, as from a real device.
for command in ["link set lo up", "link add probe0 type veth peer name probe1",
                "address add 192.0.2.1/24 broadcast 192.0.2.255 dev probe0",
                "link set probe0 up", "link set probe1 up"]:
    subprocess.run(["ip"] + command.split(), check=True)
run = lambda *args: subprocess.Popen([tool, "--timeout", "4"] + list(args),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
listeners = [run("--json"), run()]
for _ in range(50):
    if len(subprocess.run(["ss", "-Hunl", "sport = :32400"], capture_output=True,
                          text=True).stdout.splitlines()) >= 2:
        break
    time.sleep(0.1)

sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sender.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
plain = dict(id="quorvellan_link", name="Quorvellan Link", hostname="quorvellan",
             version="unknown", mac="02:00:00:00:00:01", ip_ap="", ip_lan="",
             http=80, usbip=3240, usb_devices=0)
hostile_name = "evil\x1b[2J\r\x07\u202e"
for payload in [plain, plain, dict(plain, name=hostile_name, mac=""), b"not json",
                dict(plain, usb_devices="2"), dict(plain, usb_devices=2)]:
    data = payload if isinstance(payload, bytes) else json.dumps(payload).encode()
    sender.sendto(data, ("192.0.2.255", 32400))
(json_out, json_err), (text, lines_err) = [p.communicate(timeout=20) for p in listeners]

def check(ok, what):
    if not ok:
        sys.exit("loopback: " + what)

check([p.returncode for p in listeners] == [0, 0] and not json_err and not lines_err,
      "exit codes or stderr: %r" % [p.returncode for p in listeners])
objects = [json.loads(line) for line in json_out.splitlines()]
check([(o["mac"], o["name"], o["usb_devices"]) for o in objects] ==
      [(plain["mac"], plain["name"], 0), ("", hostile_name, 0), (plain["mac"], plain["name"], 2)],
      "JSON lines: %r" % objects)
check(all(o["source"] == "192.0.2.1" and re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ",
                                                        o["last_seen"]) for o in objects),
      "source or last_seen: %r" % objects)
check(not any(b < 0x20 and b != 0x0A or b == 0x7F for b in text)
      and "\u202e".encode() not in text, "raw control bytes: %r" % text)
lines = text.decode().splitlines()
check([l.split(" ", 1)[1].split(" name=")[0] for l in lines if re.match(r"\d{4}-", l)] ==
      ["new device", "new device", "changed (usb_devices)"], "change lines: %r" % lines)
check(r'name="evil\x1b[2J\r\x07\u202e"' in text.decode(), "hostile name shown: %r" % lines)
check(lines[-1] == "2 devices, 2 online | datagrams: 4 accepted, 2 rejected (last: member of "
      "the wrong type \"usb_devices\" from 192.0.2.1)", "status line: %r" % lines[-1])
print("loopback: 1 passed, 0 failed")
