#include "report_format.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <type_traits>

#include "terminal_text.h"

namespace quorvellan::discover {

std::string rfc3339_utc(std::chrono::system_clock::time_point when)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

const char* describe(removal reason)
{
    switch (reason) {
        case removal::evicted:
            return "evicted";
        case removal::forgotten:
            return "forgotten";
    }
    return "evicted";
}

const char* describe(event_kind kind)
{
    switch (kind) {
        case event_kind::new_device:
            return "new";
        case event_kind::changed:
            return "changed";
        case event_kind::offline:
            return "offline";
        case event_kind::online:
            return "online";
        case event_kind::removed:
            return "removed";
        case event_kind::usb:
            return "usb";
    }
    return "changed";
}

std::string usb_id(std::uint16_t id)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", id);
    return text;
}

std::string usb_attach_command(const device_row& row, const usb_export& device)
{
    // The port usbip connects to unless told otherwise.
    constexpr std::int64_t USBIP_TOOL_PORT = 3240;
    const std::int64_t port = row.announcement.usbip;
    return std::string("sudo usbip ") +
           (port == USBIP_TOOL_PORT ? "" : "--tcp-port " + std::to_string(port) + " ") +
           "attach -r " + row.trusted_host + " -b " + device.busid;
}

namespace {

nlohmann::ordered_json usb_object(const usb_export& device)
{
    nlohmann::ordered_json object;
    object["busid"] = device.busid;
    object["vendor"] = usb_id(device.vendor_id);
    object["product"] = usb_id(device.product_id);
    object["vendor_name"] = device.vendor_name;
    object["product_name"] = device.product_name;
    object["class"] = device.class_name;
    object["speed"] = usb_speed_name(device.speed);
    return object;
}

// "2 shared: 1-1.1 0403:6001 full speed (12 Mbit/s), 1-2 0627:0001 high
// speed (480 Mbit/s)", or why none are known.
std::string usb_summary(const usb_listing& listing)
{
    if (listing.outcome != usbip_outcome::listed) {
        return describe(listing.outcome);
    }
    std::string text = std::to_string(listing.devices.size()) + " shared";
    for (std::size_t i = 0; i < listing.devices.size(); ++i) {
        const usb_export& device = listing.devices[i];
        text += (i == 0 ? ": " : ", ") + device.busid + " " + usb_id(device.vendor_id) + ":" +
                usb_id(device.product_id) + " " + usb_speed_text(device.speed);
    }
    return text;
}

}  // namespace

namespace {

// online, the announcement's members, source, source_suspect, contested,
// web, last_seen.
void add_facts(nlohmann::ordered_json& object, const device_row& row)
{
    const announcement_record& a = row.announcement;
    object["online"] = row.online;
#define QUORVELLAN_JSON_CONSTANT(member, text) object[#member] = text;
#define QUORVELLAN_JSON_FIELD(member, ...) object[#member] = a.member;
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_JSON_CONSTANT, QUORVELLAN_JSON_FIELD,
                                    QUORVELLAN_JSON_FIELD, QUORVELLAN_JSON_FIELD)
#undef QUORVELLAN_JSON_CONSTANT
#undef QUORVELLAN_JSON_FIELD
    object["source"] = row.source;
    object["source_suspect"] = row.source_suspect;
    object["contested"] = row.contested;
    object["web"] = web_url(row);
    object["last_seen"] = rfc3339_utc(row.last_heard.wall);
}

void add_usb(nlohmann::ordered_json& object, const device_row& row)
{
    if (row.usb && row.usb->outcome == usbip_outcome::listed) {
        object["usb"] = nlohmann::ordered_json::array();
        for (const usb_export& device : row.usb->devices) {
            object["usb"].push_back(usb_object(device));
        }
    } else if (row.usb) {
        object["usb_error"] = describe(row.usb->outcome);
    }
}

}  // namespace

std::string json_text(const nlohmann::ordered_json& object)
{
    // Rows built from parsed datagrams are valid UTF-8; replacing keeps a row
    // made any other way from throwing.
    return object.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json device_object(const device_row& row)
{
    nlohmann::ordered_json object;
    add_facts(object, row);
    add_usb(object, row);
    return object;
}

std::string json_line(const event& reported)
{
    const device_row& row = *reported.row;
    nlohmann::ordered_json object;
    object["event"] = describe(reported.kind);
    add_facts(object, row);
    object["changed"] = reported.changed;
    if (reported.kind == event_kind::removed) {
        object["reason"] = describe(reported.reason);
    }
    if (!reported.previous_mac.empty()) {
        object["previous_mac"] = reported.previous_mac;
    }
    add_usb(object, row);
    return json_text(object);
}

namespace {

// terminal_safe already turned every backslash into two, so an escaped quote
// cannot be mistaken for the end of the value.
std::string quoted(const std::string& value, charset shown)
{
    std::string out = "\"";
    for (const char c : terminal_safe(value, shown)) {
        out += c == '"' ? std::string("\\\"") : std::string(1, c);
    }
    return out + "\"";
}

std::string describe_row(const device_row& row, charset shown)
{
    std::string line;
    for_each_field([&](const char* member, auto field) {
        const auto& value = row.announcement.*field;
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::string>) {
            line += std::string(member) + "=" + quoted(value, shown) + " ";
        } else {
            line += std::string(member) + "=" + std::to_string(value) + " ";
        }
    });
    return line + "web=" + terminal_safe(web_url(row), shown) +
           " source=" + terminal_safe(row.source, shown) +
           (row.source_suspect ? " source_suspect" : "") + (row.contested ? " contested" : "");
}

}  // namespace

std::string change_line(const event& reported, charset shown)
{
    std::string changed;
    for (std::size_t i = 0; i < reported.changed.size(); ++i) {
        changed += (i > 0 ? ", " : "") + reported.changed[i];
    }
    std::string what;
    switch (reported.kind) {
        case event_kind::new_device:
            what = "new device";
            break;
        case event_kind::online:
            what = changed.empty() ? "back online" : "back online, changed (" + changed + ")";
            break;
        case event_kind::offline:
            what = "offline";
            break;
        case event_kind::changed:
            what = "changed (" + changed + ")";
            break;
        case event_kind::removed:
            what = std::string("removed (") + describe(reported.reason) + ")";
            break;
        case event_kind::usb:
            what = "usb (" + terminal_safe(usb_summary(*reported.row->usb), shown) + ")";
            break;
    }
    std::string line =
        rfc3339_utc(reported.at.wall) + " " + what + " " + describe_row(*reported.row, shown);
    if (!reported.previous_mac.empty()) {
        line += " previous_mac=" + quoted(reported.previous_mac, shown);
    }
    if (reported.kind == event_kind::offline || reported.kind == event_kind::removed) {
        line += " last_seen=" + rfc3339_utc(reported.row->last_heard.wall);
    }
    return line;
}

}  // namespace quorvellan::discover
