// Interface scan: one snapshot of the kernel's interface address list gives
// the LAN-bridge and uplink addresses and the directed-broadcast destinations.
#pragma once

#include <ifaddrs.h>

#include "wire/announcement.h"

namespace quorvellan {

// Holds the platform's list from the scan until scan_release; destinations
// are read from it in place, so the scan needs no storage of its own.
struct interface_scan {
    bool available;
    ifaddrs* list;
};

// Expects ip_ap and ip_lan empty; fills them from the kernel's list.
interface_scan scan_interfaces(announcement& facts);

// The list walk behind scan_interfaces: the last IPv4 address on "br-lan"
// goes to ip_ap, the last on "phy0-sta0", "wwan" or "wlan0" to ip_lan.
void scan_fill_addresses(const ifaddrs* list, announcement& facts);

// The first entry at or after entry that is a broadcast destination, or null.
// Its ifa_broadaddr is the destination, 16 bytes, port still to be set.
const ifaddrs* scan_next_destination(const ifaddrs* entry);

// The scan's first destination entry, or null; none when not available.
const ifaddrs* scan_first_destination(const interface_scan& scan);

void scan_release(interface_scan& scan);

}  // namespace quorvellan
