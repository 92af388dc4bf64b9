// Turns one received datagram into an announcement, or into the reason it
// is not one. Everything arriving on the port is untrusted; nothing here
// throws or aborts on any input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvellan::discover {

constexpr std::uint16_t DEFAULT_PORT = 32400;
constexpr const char* ANNOUNCEMENT_ID = "quorvellan_link";
// Far above the 511 bytes a device sends, so that later members still fit.
constexpr std::size_t MAX_DATAGRAM_BYTES = 64 * 1024;

struct announcement_record {
    std::string name;
    std::string hostname;
    std::string version;
    std::string mac;
    std::string ip_ap;
    std::string ip_lan;
    std::int64_t http = 0;
    std::int64_t usbip = 0;
    std::int64_t usb_devices = 0;

    bool operator==(const announcement_record& other) const;
    bool operator!=(const announcement_record& other) const
    {
        return !(*this == other);
    }
};

enum class rejection {
    none,
    too_large,
    invalid_utf8,
    not_json,
    not_object,
    duplicate_member,
    foreign_id,  // no "id", or another protocol's
    missing_member,
    wrong_type,
    out_of_range,
    too_long,        // a text longer than any device sends
    not_an_address,  // ip_ap or ip_lan neither empty nor a dotted quad
    table_full,      // well formed, but no room for one more device
};

// Short human text, e.g. "not JSON".
const char* describe(rejection reason);

struct parse_result {
    rejection reason = rejection::none;
    std::string member;          // the member at fault, where there is one
    announcement_record record;  // meaningful only when accepted

    bool accepted() const
    {
        return reason == rejection::none;
    }
};

// A dotted quad as devices write ip_ap and ip_lan: four decimal numbers
// 0-255 without leading zeros, and nothing else.
bool is_ipv4_literal(const std::string& text);

// full_length is the datagram's size on the wire, which may exceed the bytes
// the receive buffer kept.
parse_result parse_announcement(std::string_view received, std::size_t full_length);

inline parse_result parse_announcement(std::string_view datagram)
{
    return parse_announcement(datagram, datagram.size());
}

}  // namespace quorvellan::discover
