#include "terminal/event_lines.h"

#include <type_traits>

#include "terminal/terminal_text.h"

namespace quorvellan::discover {

namespace {

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
        case event_kind::attached:
            what = "attached (" + terminal_safe(reported.busid, shown) + " on port " +
                   std::to_string(reported.port) + ")";
            break;
        case event_kind::detached:
            what = "detached (" + terminal_safe(reported.busid, shown) + " from port " +
                   std::to_string(reported.port) + ": " +
                   (reported.error.empty() ? describe(reported.detached)
                                           : terminal_safe(reported.error, shown)) +
                   ")";
            break;
        case event_kind::attach_failed:
            what = "attach failed (" + terminal_safe(reported.rule, shown) + ": " +
                   terminal_safe(reported.error, shown) + ")";
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
