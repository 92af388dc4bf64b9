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
            write_dotted_quad(address->sin_addr, field);
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
