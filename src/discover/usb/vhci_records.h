// The records of attachments that USB/IP clients keep beside vhci-hcd, one
// file per port (RUN_DIR/portN, "HOST SERVICE BUSID"), so that `usbip port`
// names where a port's device comes from and `usbip detach -p N` works on
// ours as on a person's own. Read back at start, they let the listener take
// over the attachments a run before it made.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "usb/vhci_ports.h"

namespace quorvellan::discover {

// Where Debian's usbip keeps them.
constexpr const char* VHCI_RUN_DIR = "/var/run/vhci_hcd";

struct vhci_record {
    unsigned port = 0;
    std::string host;     // the server's address
    std::string service;  // its TCP port, e.g. "3240"
    std::string busid;    // the device's bus id on the server

    bool operator==(const vhci_record& other) const
    {
        return port == other.port && host == other.host && service == other.service &&
               busid == other.busid;
    }
};

// A record file's text, or nothing when it is not one.
std::optional<vhci_record> parse_vhci_record(unsigned port, std::string_view text);

// Makes RUN_DIR (0700, as usbip makes it) if there is none; "" or one line.
std::string make_run_dir(const std::string& run_dir);

// Writes RUN_DIR/portN, making RUN_DIR if needed; "" or one line.
std::string write_vhci_record(const std::string& run_dir, const vhci_record& record);
// Removes RUN_DIR/portN, if there is one.
void remove_vhci_record(const std::string& run_dir, unsigned port);
// Every well-formed record in RUN_DIR, by port.
std::vector<vhci_record> read_vhci_records(const std::string& run_dir);

// What a start finds: ports in use with a record (to be taken over), and
// records whose port is no longer in use (their connection ended while no
// one watched; to be removed).
struct vhci_adoption {
    std::vector<std::pair<vhci_port, vhci_record>> attached;
    std::vector<vhci_record> stale;
};
vhci_adoption adopt_attachments(const std::vector<vhci_port>& ports,
                                const std::vector<vhci_record>& records);

}  // namespace quorvellan::discover
