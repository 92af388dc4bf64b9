"""The collector against a real Prometheus (Debian's 2.42), all in the
namespaces of a simulated device: the daemon announces there, the listener
serves /metrics on its loopback, promtool checks a live scrape, and a
Prometheus server of the test's own scrapes it every second by a host name
(the device's /etc/hosts names its loopback), as collector.md scrapes it,
with the shipped rules, their 5 minutes cut to 5 seconds. It sees the
device up, then down and its offline alert firing, and still firing, from
the same moment, after the collector restarted from its state file."""

import json
import os
import socket
import subprocess
import time
import urllib.parse

import pytest

from simdevice import AP_MAC, program, stop

METRICS_PORT = 10132
PROMETHEUS_PORT = 19090
NAME = "collector.example"
RULES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging",
                     "prometheus", "quorvellan.rules.yml")


@pytest.fixture
def prometheus_tools(request):
    directory = request.config.getoption("--prometheus-bin")
    if not directory:
        pytest.fail("needs --prometheus-bin", pytrace=False)
    return os.path.join(directory, "prometheus"), os.path.join(directory, "promtool")


def http_get(device, port, path):
    """The body of GET path on the device's loopback, or None when refused."""
    with device.socket(socket.AF_INET, socket.SOCK_STREAM) as connection:
        connection.settimeout(5)
        try:
            connection.connect(("127.0.0.1", port))
        except OSError:
            return None
        connection.sendall(("GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % path).encode())
        reply = b""
        while chunk := connection.recv(65536):
            reply += chunk
    head, _, body = reply.partition(b"\r\n\r\n")
    return body.decode() if head.split()[1] == b"200" else None


def wait_for(what, seconds):
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        found = what()
        if found:
            return found
        time.sleep(0.25)
    return None


def query(device, expression):
    """The value of expression's one series for the device, or None."""
    body = http_get(device, PROMETHEUS_PORT, "/api/v1/query?query=" + urllib.parse.quote(
        expression % {"mac": AP_MAC}))
    results = json.loads(body)["data"]["result"] if body else []
    return results[0]["value"][1] if results else None


def offline_alert(device):
    body = http_get(device, PROMETHEUS_PORT, "/api/v1/alerts")
    for alert in json.loads(body)["data"]["alerts"] if body else []:
        if (alert["labels"]["alertname"] == "QuorvellanDeviceOffline"
                and alert["labels"]["mac"] == AP_MAC and alert["state"] == "firing"):
            return alert
    return None


def test_prometheus_alerts_through_a_restart(device, request, tmp_path, prometheus_tools):
    prometheus, promtool = prometheus_tools
    device.typical()
    with open(device.root + "/etc/hosts") as hosts:
        device.write("/etc/hosts", hosts.read() + "127.0.0.1 %s\n" % NAME)

    def start_collector():
        collector = device.popen(
            [program(request, "--discover"), "--quiet", "--metrics", "127.0.0.1:%d" % METRICS_PORT,
             "--http-allow-host", NAME, "--state", str(tmp_path / "devices.json")],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert device.wait_for_sockets(1, collector)
        return collector

    with open(RULES) as shipped:
        rules = shipped.read()
    assert rules.count("> 300") == 1
    (tmp_path / "rules.yml").write_text(rules.replace("> 300", "> 5"))
    collector = start_collector()
    beacon = None
    server = None
    try:
        beacon = device.popen([program(request, "--daemon")])
        scrape = wait_for(lambda: (lambda text: text if text and
                                   'quorvellan_device_up{mac="%s"} 1' % AP_MAC in text
                                   else None)(http_get(device, METRICS_PORT, "/metrics")), 10)
        assert scrape, "the device never showed in /metrics"
        checked = subprocess.run([promtool, "check", "metrics"], input=scrape.encode(),
                                 capture_output=True)
        assert checked.returncode == 0, checked.stdout + checked.stderr

        config = tmp_path / "prometheus.yml"
        config.write_text("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                          "rule_files: ['%s']\n"
                          "scrape_configs:\n  - job_name: quorvellan\n"
                          "    static_configs:\n      - targets: ['%s:%d']\n"
                          % (tmp_path / "rules.yml", NAME, METRICS_PORT))
        server = device.popen([prometheus, "--config.file=%s" % config,
                               "--storage.tsdb.path=%s" % (tmp_path / "data"),
                               "--web.listen-address=127.0.0.1:%d" % PROMETHEUS_PORT],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        up = 'quorvellan_device_up{mac="%(mac)s"}'
        assert wait_for(lambda: query(device, up) == "1", 30), "Prometheus never saw it up"
        stop(beacon)
        beacon = None
        # Offline after 10 s of silence, and scraped within a second.
        assert wait_for(lambda: query(device, up) == "0", 25), "Prometheus never saw it down"
        alert = wait_for(lambda: offline_alert(device), 10)
        assert alert, "the offline alert never fired"
        assert alert["labels"]["name"] == "Quorvellan Link", alert

        last_seen = 'quorvellan_device_last_seen_timestamp_seconds{mac="%(mac)s"}'
        silent_since = query(device, last_seen)
        stop(collector)
        assert collector.stdout.read() == b"", "--quiet printed on standard output"
        collector = start_collector()
        # Scraped afresh: the new collector has heard nothing yet.
        assert wait_for(lambda: query(device, "quorvellan_datagrams_received_total") == "0", 10)
        assert query(device, last_seen) == silent_since, "the restart lost when it was last heard"
        assert query(device, up) == "0"
        still = offline_alert(device)
        assert still and still["activeAt"] == alert["activeAt"], (alert, still)
    finally:
        for process in (server, beacon):
            if process is not None:
                stop(process)
        stop(collector)
    assert collector.stdout.read() == b"", "--quiet printed on standard output"
    assert collector.stderr.read() == b""
