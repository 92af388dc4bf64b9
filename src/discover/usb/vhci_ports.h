// vhci-hcd's ports as its sysfs attributes show them, and handing it a
// connected USB/IP socket on a free port of the right hub, or taking a port
// back. Every path starts at a sysfs root that the caller gives ("/sys"
// for the real one), and every write goes through a writer it may replace,
// so that the tests need neither the module nor root.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "usb/sysfs_attribute.h"
#include "usb/usbip_devlist.h"

namespace quorvellan::discover {

// Each controller has a USB 2 hub ("hs": low, full and high speed) and a
// USB 3 hub ("ss": super speed); a device goes only on its own kind.
enum class vhci_hub { high_speed, super_speed };

// "hs" or "ss", as the status files write them.
const char* hub_name(vhci_hub hub);
// For a speed as USB/IP numbers them (see usb_speed_name).
vhci_hub hub_for_speed(std::uint32_t usb_speed);

// The port states the status files show.
constexpr unsigned VHCI_PORT_FREE = 4;
constexpr unsigned VHCI_PORT_USED = 6;

struct vhci_port {
    unsigned number = 0;  // what attach, detach and `usbip port` call it
    unsigned controller = 0;
    vhci_hub hub = vhci_hub::high_speed;
    unsigned state = VHCI_PORT_FREE;
    unsigned speed = 0;
    std::uint32_t devid = 0;  // busnum << 16 | devnum on the server
    std::string local_busid;  // e.g. "3-1" once the device has arrived here; else empty

    bool free() const
    {
        return state == VHCI_PORT_FREE;
    }
    bool operator==(const vhci_port& other) const;
};

// One status file's text; lines that are not a port's are left out.
std::vector<vhci_port> parse_vhci_status(std::string_view text, unsigned controller);

struct vhci_listing {
    std::vector<vhci_port> ports;  // of every controller, by number
    std::string error;             // one line, when there is none to list
};

// The ports of every controller (status, status.1, ...).
vhci_listing read_vhci_ports(const std::string& sysfs);

// The controller's directory: where the attributes and its root hubs are.
std::string vhci_controller_path(const std::string& sysfs, unsigned controller);

// Whether this process may attach and let go, asked before it tries: ""
// when vhci-hcd is loaded and its attach attribute writable by us, else
// the line an attach would fail with (not loaded, not permitted).
std::string vhci_attach_refusal(const std::string& sysfs);

struct vhci_attachment {
    int port = -1;      // the port the device went on, when it did
    std::string error;  // one line, when it did not
};

// Called with each port before the device is attached to it: "" to go on,
// or one line that stops the attach (e.g. holding its hub's new devices).
using before_attach = std::function<std::string(const vhci_port& port)>;

// Hands sockfd, connected to the server that shares device (whose busnum,
// devnum and speed the import reply gave), to the first free port of the
// device's hub; a port taken meanwhile (EBUSY) makes it try the next.
vhci_attachment vhci_attach(const std::string& sysfs, int sockfd, const usb_export& device,
                            const before_attach& before = nullptr,
                            const attribute_writer& write = write_attribute);

// The name of the port's root hub ("usb3"), as in /sys/bus/usb/devices,
// where the devices on the port arrive; "" when there is none.
std::string vhci_root_hub(const std::string& sysfs, const vhci_port& port);

// Takes the port back, ending its connection; "" or one line.
std::string vhci_detach(const std::string& sysfs, unsigned port,
                        const attribute_writer& write = write_attribute);

}  // namespace quorvellan::discover
