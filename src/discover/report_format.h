// The events as they leave the tool in a pipe or a file: one line each, as
// text or as NDJSON. Values from the network pass through terminal_safe (or
// JSON escaping to pure ASCII) on the way.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "device_table.h"
#include "terminal_text.h"

namespace quorvellan::discover {

// Seconds precision, e.g. 2025-12-08T14:00:03Z.
std::string rfc3339_utc(std::chrono::system_clock::time_point when);

// The event's name, as docs/discover.md lists them: "new", "changed",
// "offline", "online", "usb" or "removed".
const char* describe(event_kind kind);

// A USB vendor or product id as four hex digits, e.g. "0403".
std::string usb_id(std::uint16_t id);

// What a person types to attach the shared device: "sudo usbip attach -r
// ADDRESS -b BUSID", at the device's trusted host, with "--tcp-port PORT"
// before "attach" when its server is not on usbip's port. Only for a row
// that offers_attach.
std::string usb_attach_command(const device_row& row, const usb_export& device);

// "evicted" or "forgotten".
const char* describe(removal reason);

// One NDJSON object: "event", "online", the announcement's members,
// "source", "source_suspect", "contested", "web" ("" when the device has no
// trusted host), "last_seen" and "changed", for a
// removed row its "reason", for a device that moved to a new MAC its
// "previous_mac", and once its USB/IP server was asked, "usb" (the shared
// devices: busid, vendor, product, vendor_name, product_name, class, speed)
// or "usb_error" (why it told nothing). Non-ASCII is written as \u escapes, so that even
// this output is safe on a terminal.
std::string json_line(const event& reported);

// A device as --json and the page show it: the members of json_line but
// "event", "changed" and what only an event has.
nlohmann::ordered_json device_object(const device_row& row);

// On one line, non-ASCII as \u escapes.
std::string json_text(const nlohmann::ordered_json& object);

// One line for an event, with the device's whole announcement.
std::string change_line(const event& reported, charset shown);

}  // namespace quorvellan::discover
