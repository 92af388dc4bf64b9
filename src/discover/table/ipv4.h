// IPv4 addresses as the listener meets them: dotted quads in announcements
// and the subnets of its own interfaces.
#pragma once

#include <cstdint>
#include <string>

namespace quorvellan::discover {

// An IPv4 address with its netmask, both in host byte order.
struct ipv4_subnet {
    std::uint32_t address = 0;
    std::uint32_t mask = 0;

    bool contains(std::uint32_t other) const
    {
        return (address & mask) == (other & mask);
    }
};

// A dotted quad as devices write ip_ap and ip_lan: four decimal numbers
// 0-255 without leading zeros, and nothing else.
bool is_ipv4_literal(const std::string& text);

// Such an address in host byte order, so that 10.0.0.9 sorts before
// 10.0.0.10 and subnets can be tested; 0 when the text is not one.
std::uint32_t ipv4_host_order(const std::string& text);

}  // namespace quorvellan::discover
