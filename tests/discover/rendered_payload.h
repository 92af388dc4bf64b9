// Payloads as the daemon renders them, so that the listener is tested
// against the real sender and not against a copy of its format.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "beacon/announcement.h"

namespace quorvellan::discover::testing {

struct device_facts {
    std::string name = "Quorvellan Link";
    std::string hostname = "quorvellan";
    std::string version = "unknown";
    std::string mac;
    std::string ip_ap;
    std::string ip_lan;
    std::int32_t usb_devices = 0;
};

inline device_facts named(std::string name)
{
    device_facts facts;
    facts.name = std::move(name);
    return facts;
}

template <std::size_t N>
void copy_field(char (&field)[N], const std::string& value)
{
    std::memset(field, 0, N);
    std::memcpy(field, value.data(), value.size() < N - 1 ? value.size() : N - 1);
}

inline std::string rendered(const device_facts& facts)
{
    announcement a{};
    copy_field(a.name, facts.name);
    copy_field(a.hostname, facts.hostname);
    copy_field(a.version, facts.version);
    copy_field(a.mac, facts.mac);
    copy_field(a.ip_ap, facts.ip_ap);
    copy_field(a.ip_lan, facts.ip_lan);
    a.usb_devices = facts.usb_devices;
    char out[ANNOUNCE_CAPACITY];
    const std::size_t length = render_announcement(a, out);
    return std::string(out, length);
}

// Raw bytes that a hostile name might carry: cursor movement, screen clear,
// colour, carriage return, bell, a bidi override and malformed UTF-8.
inline const std::string HOSTILE_NAME =
    "\x1b[2J\x1b[H\x1b[31mEvil\r\x07\xe2\x80\xae\xff\xc3(\"q\"\\";

}  // namespace quorvellan::discover::testing
