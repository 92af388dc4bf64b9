// What the device table reports: a device new, changed, gone quiet or back,
// its shared USB devices told, or its row gone. Every output of the tool is
// made from these.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "table/device_row.h"

namespace quorvellan::discover {

// usb: what its USB/IP server shares changed, or could first be told.
enum class event_kind { new_device, changed, offline, online, removed, usb };
constexpr std::size_t EVENT_KIND_COUNT = static_cast<std::size_t>(event_kind::usb) + 1;

// Its name, as docs/discover.md lists them: "new", "changed", "offline",
// "online", "usb" or "removed".
const char* describe(event_kind kind);

// Why a row left the table.
enum class removal { evicted, forgotten };

// "evicted" or "forgotten".
const char* describe(removal reason);

// The row is valid while the event is being handled, a removed one too.
struct event {
    event() = default;
    // What only some events have may be left out.
    event(event_kind kind, const device_row* row, std::vector<std::string> changed = {},
          clock_reading at = {}, removal reason = removal::evicted, std::string previous_mac = {},
          std::string previous_key = {})
        : kind(kind),
          row(row),
          changed(std::move(changed)),
          at(at),
          reason(reason),
          previous_mac(std::move(previous_mac)),
          previous_key(std::move(previous_key))
    {
    }

    event_kind kind = event_kind::new_device;
    const device_row* row = nullptr;
    std::vector<std::string> changed;  // member names, "source" and "contested"
    clock_reading at;
    removal reason = removal::evicted;  // of a removed event
    // Of a changed event that moved the row to a new MAC: the MAC it
    // announced before, and the key it had.
    std::string previous_mac;
    std::string previous_key;
};
using event_sink = std::function<void(const event&)>;

}  // namespace quorvellan::discover
