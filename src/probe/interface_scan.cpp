#include "probe/interface_scan.h"

#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

namespace quorvellan {

namespace {

// inet_ntop's text, written without it: musl formats it through printf,
// whose floating-point code traps on the many device CPUs without an FPU,
// and which costs a sixth of the static executable besides.
void write_dotted_quad(const in_addr& address, char* out)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address.s_addr);
    for (int i = 0; i < 4; ++i) {
        const unsigned value = bytes[i];
        if (value >= 100) {
            *out++ = static_cast<char>('0' + value / 100);
        }
        if (value >= 10) {
            *out++ = static_cast<char>('0' + value / 10 % 10);
        }
        *out++ = static_cast<char>('0' + value % 10);
        *out++ = i < 3 ? '.' : '\0';
    }
}

const sockaddr_in& as_ipv4(const sockaddr* address)
{
    return *reinterpret_cast<const sockaddr_in*>(address);
}

bool has_ipv4_address(const ifaddrs* entry)
{
    return entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET;
}

char* address_field_for(const char* interface_name, announcement& facts)
{
    if (std::strcmp(interface_name, "br-lan") == 0) {
        return facts.ip_ap;
    }
    if (std::strcmp(interface_name, "phy0-sta0") == 0 || std::strcmp(interface_name, "wwan") == 0 ||
        std::strcmp(interface_name, "wlan0") == 0) {
        return facts.ip_lan;
    }
    return nullptr;
}

void fill_addresses(const ifaddrs* list, announcement& facts)
{
    static_assert(sizeof facts.ip_ap >= INET_ADDRSTRLEN && sizeof facts.ip_lan >= INET_ADDRSTRLEN,
                  "address fields must hold a dotted quad");
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (!has_ipv4_address(entry) || entry->ifa_name == nullptr) {
            continue;
        }
        if (char* field = address_field_for(entry->ifa_name, facts)) {
            write_dotted_quad(as_ipv4(entry->ifa_addr).sin_addr, field);
        }
    }
}

}  // namespace

const ifaddrs* scan_next_destination(const ifaddrs* entry, sockaddr_in& destination)
{
    // Up and running flags are deliberately not consulted: a down interface
    // that keeps its broadcast address still gets its send attempt.
    for (; entry != nullptr; entry = entry->ifa_next) {
        if (!has_ipv4_address(entry) || (entry->ifa_flags & IFF_BROADCAST) == 0 ||
            entry->ifa_broadaddr == nullptr) {
            continue;
        }
        std::memcpy(&destination, entry->ifa_broadaddr, sizeof destination);
        // An address added without a broadcast address is listed with itself
        // in that place: its subnet's broadcast address is meant, and a /31
        // or /32 subnet (or one without a mask) has none.
        const in_addr_t own = as_ipv4(entry->ifa_addr).sin_addr.s_addr;
        if (destination.sin_addr.s_addr == own) {
            const in_addr_t mask = entry->ifa_netmask != nullptr
                                       ? as_ipv4(entry->ifa_netmask).sin_addr.s_addr
                                       : INADDR_BROADCAST;
            if (ntohl(~mask) <= 1) {
                continue;
            }
            destination.sin_addr.s_addr = own | ~mask;
        }
        return entry;
    }
    return nullptr;
}

interface_scan scan_interfaces(announcement& facts, const interface_list_calls& calls)
{
    interface_scan scan{nullptr, calls.release};
    if (calls.get(&scan.list) != 0) {
        scan.list = nullptr;  // nothing to read and nothing to free
    }
    fill_addresses(scan.list, facts);
    return scan;
}

void scan_release(interface_scan& scan)
{
    if (scan.list != nullptr) {
        scan.release(scan.list);
    }
    scan.list = nullptr;
}

}  // namespace quorvellan
