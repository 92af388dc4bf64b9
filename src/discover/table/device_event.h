// What the device table reports: a device new, changed, gone quiet or back,
// its shared USB devices told, one of them attached here or let go or not
// attached after all, or its row gone. Every output of the tool is made
// from these.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "table/device_row.h"

namespace quorvellan::discover {

// usb: what its USB/IP server shares changed, or could first be told.
// attached, detached, attach_failed: one of the shared USB devices that an
// attach rule names (see attach_keeper).
enum class event_kind {
    new_device,
    changed,
    offline,
    online,
    removed,
    usb,
    attached,
    detached,
    attach_failed
};
constexpr std::size_t EVENT_KIND_COUNT = static_cast<std::size_t>(event_kind::attach_failed) + 1;

// Its name, as docs/discover.md lists them: "new", "changed", "offline",
// "online", "usb", "removed", "attached", "detached" or "attach_failed".
const char* describe(event_kind kind);

// Why a row left the table.
enum class removal { evicted, forgotten };

// "evicted" or "forgotten".
const char* describe(removal reason);

// Why a shared USB device attached here was let go: the rules say so (the
// run ends with --detach-on-exit), it moved to another address, its server
// ended the connection, the connection fell silent, what came on the port
// failed the check, or a person detached it (usbip detach).
enum class detach_reason { by_rule, moved, server_let_go, link_lost, refused, by_hand };

// "by rule", "moved", "server let go", "link lost", "refused" or "by hand".
const char* describe(detach_reason reason);

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
    // Of attached, detached and attach_failed: the shared USB device's bus
    // id on its server ("" when a failure names none), and the vhci port
    // it was on here (attached, detached); why it was let go (detached);
    // the rule and why it failed (attach_failed), or why it was refused
    // (detached, refused).
    std::string busid;
    unsigned port = 0;
    detach_reason detached = detach_reason::by_rule;
    std::string rule;
    std::string error;
};
using event_sink = std::function<void(const event&)>;

}  // namespace quorvellan::discover
