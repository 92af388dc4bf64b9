// Interface scan: one snapshot of the kernel's interface address list gives
// the LAN-bridge and uplink addresses and the directed-broadcast destinations.
#pragma once

#include <ifaddrs.h>
#include <netinet/in.h>

#include "wire/announcement.h"

namespace quorvellan {

// The platform's list calls; the daemon passes getifaddrs and freeifaddrs.
struct interface_list_calls {
    int (*get)(ifaddrs** list);
    void (*release)(ifaddrs* list);
};

// Holds the platform's list from the scan until scan_release; destinations
// are read from it in place, so the scan needs no storage of its own. The
// list is null when the list call failed.
struct interface_scan {
    ifaddrs* list;
    void (*release)(ifaddrs* list);
};

// Expects ip_ap and ip_lan empty; fills them from the platform's list: the
// last IPv4 address on "br-lan" goes to ip_ap, the last on "phy0-sta0",
// "wwan" or "wlan0" to ip_lan.
interface_scan scan_interfaces(announcement& facts, const interface_list_calls& calls);

// The first entry at or after entry that is a broadcast destination, or null;
// its destination (port still to be set) is written to destination.
const ifaddrs* scan_next_destination(const ifaddrs* entry, sockaddr_in& destination);

void scan_release(interface_scan& scan);

}  // namespace quorvellan
