// The events as they leave the tool in a pipe or a file: one line each, as
// text or as NDJSON. Values from the network pass through terminal_safe (or
// JSON escaping to pure ASCII) on the way.
#pragma once

#include <chrono>
#include <string>

#include "device_table.h"
#include "terminal_text.h"

namespace quorvellan::discover {

// Seconds precision, e.g. 2025-12-08T14:00:03Z.
std::string rfc3339_utc(std::chrono::system_clock::time_point when);

// The event's name: "new", "changed", "offline", "online" or "removed".
const char* describe(event_kind kind);

// "evicted" or "forgotten".
const char* describe(removal reason);

// One NDJSON object: "event", "online", the announcement's members,
// "source", "source_suspect", "web", "last_seen" and "changed", for a
// removed row its "reason", and for a device that moved to a new MAC its
// "previous_mac". Non-ASCII is written as \u escapes, so that even
// this output is safe on a terminal.
std::string json_line(const event& reported);

// One line for an event, with the device's whole announcement.
std::string change_line(const event& reported, charset shown);

}  // namespace quorvellan::discover
