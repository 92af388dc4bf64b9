// The announcement's wire format, defined once: its members in order, their
// JSON types and bounds, the constant members and the port. The daemon's
// record and renderer, the listener's record, parser and output, and the
// tests are all expanded from QUORVELLAN_ANNOUNCEMENT_MEMBERS below.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvellan {

constexpr std::uint16_t BEACON_PORT = 32400;    // UDP destination of every datagram
constexpr std::size_t ANNOUNCE_CAPACITY = 512;  // rendered text, NUL included

// The members in wire order. A user passes one macro per kind of member:
//   CONSTANT(member, text)    a JSON string that is always text; a datagram
//                             with another value is another protocol's
//   TEXT(member, capacity, carried_max, format)
//                             a JSON string: the daemon holds it in capacity
//                             bytes (NUL included) and carries at most
//                             carried_max bytes of its escaped form, which is
//                             also the schema's maxLength; format is
//                             any_text or ipv4 (a dotted quad, or empty)
//   PORT(member, value)       a JSON integer 1-65535; the daemon sends value
//   COUNT(member)             a JSON integer 0-2147483647, a signed 32-bit
//                             count in the daemon
// Adding a member here (and to the schema, the docs and the probe that
// fills it) is all a new member needs.
#define QUORVELLAN_ANNOUNCEMENT_MEMBERS(CONSTANT, TEXT, PORT, COUNT) \
    CONSTANT(id, "quorvellan_link")                                  \
    TEXT(name, 64, 96, any_text)                                     \
    TEXT(hostname, 64, 96, any_text)                                 \
    TEXT(version, 32, 48, any_text)                                  \
    TEXT(mac, 32, 48, any_text)                                      \
    TEXT(ip_ap, 32, 15, ipv4)                                        \
    TEXT(ip_lan, 32, 15, ipv4)                                       \
    PORT(http, 80)                                                   \
    PORT(usbip, 3240)                                                \
    COUNT(usb_devices)

// For a user that has nothing to do for some kind of member.
#define QUORVELLAN_WIRE_IGNORE(...)

enum class text_format { any_text, ipv4 };

constexpr std::int64_t PORT_LOWEST = 1;
constexpr std::int64_t PORT_HIGHEST = 65535;
constexpr std::int64_t COUNT_LOWEST = 0;
constexpr std::int64_t COUNT_HIGHEST = INT32_MAX;

// The daemon's record of one cycle's facts: fixed buffers, no allocation.
struct announcement {
#define QUORVELLAN_DAEMON_TEXT(member, capacity, carried_max, format) char member[capacity];
#define QUORVELLAN_DAEMON_COUNT(member) std::int32_t member;
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_WIRE_IGNORE, QUORVELLAN_DAEMON_TEXT,
                                    QUORVELLAN_WIRE_IGNORE, QUORVELLAN_DAEMON_COUNT)
#undef QUORVELLAN_DAEMON_TEXT
#undef QUORVELLAN_DAEMON_COUNT
};

}  // namespace quorvellan
