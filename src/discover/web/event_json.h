// The events and the devices as JSON: the NDJSON lines of --json, the
// page's event stream and the devices of its snapshot. Non-ASCII is written
// as \u escapes, so that even this output is safe on a terminal.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "table/device_event.h"

namespace quorvellan::discover {

// One NDJSON object: "event", "online", the announcement's members,
// "source", "source_suspect", "contested", "web" ("" when the device has no
// trusted host), "last_seen", "key" (the row's, see row_key) and "changed",
// for a removed row its "reason", for a device that moved to a new MAC its
// "previous_mac" and "previous_key"; for attached and detached the USB
// device's "busid" and its vhci "port" here, with a detached one's "reason"
// (and "error", the check's line, when refused); for attach_failed the
// "busid" ("" when it names none), the "rule" and the "error"; and once
// its USB/IP server was asked, "usb" (the shared devices: busid, vendor,
// product, vendor_name, product_name, class, speed) or "usb_error" (why it
// told nothing); with "usb", when the row offers_attach, "usb_attach": for
// each shared device its busid and the lines that attach it, "linux" and
// "windows"; last, while any of its shared devices are attached here,
// "usb_attached": each one's busid and vhci "port".
std::string json_line(const event& reported);

// A device as --json and the page show it: the members of json_line but
// "event", "changed" and what only an event has.
nlohmann::ordered_json device_object(const device_row& row);

// On one line, non-ASCII as \u escapes.
std::string json_text(const nlohmann::ordered_json& object);

}  // namespace quorvellan::discover
