#include "probe/interface_scan.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

namespace quorvellan {
namespace {

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

}  // namespace

void scan_fill_addresses(const ifaddrs* list, announcement& facts)
{
    static_assert(sizeof facts.ip_ap >= INET_ADDRSTRLEN && sizeof facts.ip_lan >= INET_ADDRSTRLEN,
                  "address fields must hold a dotted quad");
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (!has_ipv4_address(entry) || entry->ifa_name == nullptr) {
            continue;
        }
        if (char* field = address_field_for(entry->ifa_name, facts)) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            inet_ntop(AF_INET, &address->sin_addr, field, INET_ADDRSTRLEN);
        }
    }
}

const ifaddrs* scan_next_destination(const ifaddrs* entry)
{
    // Up and running flags are deliberately not consulted: a down interface
    // that keeps its broadcast address still gets its send attempt.
    for (; entry != nullptr; entry = entry->ifa_next) {
        if (has_ipv4_address(entry) && (entry->ifa_flags & IFF_BROADCAST) != 0 &&
            entry->ifa_broadaddr != nullptr) {
            return entry;
        }
    }
    return nullptr;
}

const ifaddrs* scan_first_destination(const interface_scan& scan)
{
    return scan.available ? scan_next_destination(scan.list) : nullptr;
}

interface_scan scan_interfaces(announcement& facts)
{
    interface_scan scan{false, nullptr};
    if (getifaddrs(&scan.list) != 0) {
        scan.list = nullptr;
        return scan;
    }
    scan.available = true;
    scan_fill_addresses(scan.list, facts);
    return scan;
}

void scan_release(interface_scan& scan)
{
    if (scan.available) {
        freeifaddrs(scan.list);
    }
    scan.available = false;
    scan.list = nullptr;
}

}  // namespace quorvellan
