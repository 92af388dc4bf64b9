"""The collector against a real Prometheus (Debian's 2.42), all in the
namespaces of a simulated device: the daemon announces there, the listener
serves /metrics on its loopback, promtool checks a live scrape, and a
Prometheus server of the test's own scrapes it every second, sees the
device up, then down once the daemon has stopped."""

import json
import os
import socket
import subprocess
import time

import pytest

from simdevice import AP_MAC, program, stop

METRICS_PORT = 10132
PROMETHEUS_PORT = 19090


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


def device_up(device):
    body = http_get(device, PROMETHEUS_PORT,
                    "/api/v1/query?query=quorvellan_device_up%%7Bmac%%3D%%22%s%%22%%7D"
                    % AP_MAC)
    results = json.loads(body)["data"]["result"] if body else []
    return results[0]["value"][1] if results else None


def test_prometheus_scrapes_the_collector(device, request, tmp_path, prometheus_tools):
    prometheus, promtool = prometheus_tools
    device.typical()
    collector = device.popen([program(request, "--discover"), "--quiet", "--metrics",
                              "127.0.0.1:%d" % METRICS_PORT],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    beacon = None
    server = None
    try:
        assert device.wait_for_sockets(1, collector)
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
                          "scrape_configs:\n  - job_name: quorvellan\n"
                          "    static_configs:\n      - targets: ['127.0.0.1:%d']\n"
                          % METRICS_PORT)
        server = device.popen([prometheus, "--config.file=%s" % config,
                               "--storage.tsdb.path=%s" % (tmp_path / "data"),
                               "--web.listen-address=127.0.0.1:%d" % PROMETHEUS_PORT],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        assert wait_for(lambda: device_up(device) == "1", 30), "Prometheus never saw it up"
        stop(beacon)
        beacon = None
        # Offline after 10 s of silence, and scraped within a second.
        assert wait_for(lambda: device_up(device) == "0", 25), "Prometheus never saw it down"
    finally:
        for process in (server, beacon):
            if process is not None:
                stop(process)
        stop(collector)
    assert collector.stdout.read() == b"", "--quiet printed on standard output"
