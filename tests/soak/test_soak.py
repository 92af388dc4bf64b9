"""quorvellan-soak on the typical simulated device: its status is whether
the footprint stayed flat over the cycles run back to back."""

from simdevice import program


def test_typical_device(device, request):
    soak = program(request, "--soak")
    device.typical()
    assert device.popen([soak, "--cycles", "20000"]).wait() == 0
