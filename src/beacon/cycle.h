// One beacon cycle: gather the facts, render them once, send the same bytes
// to every directed broadcast and then to the limited broadcast.
#pragma once

#include <netinet/in.h>

#include <cstddef>

#include "beacon/sender.h"
#include "probe/identity.h"
#include "probe/interface_scan.h"

namespace quorvellan {

constexpr unsigned BEACON_PERIOD = 3;  // seconds of sleep after each cycle's sends

// Where a cycle reads the device's facts; the daemon passes the real ones.
struct cycle_sources {
    const identity_paths& identity;
    const char* usb_directory;
    interface_list_calls interfaces;
};

using send_function = void (*)(sender& out, const char* text, std::size_t length,
                               const sockaddr_in& destination);

void beacon_cycle(sender& out, const sockaddr_in& limited_broadcast, const cycle_sources& sources,
                  send_function send);

}  // namespace quorvellan
