#include "probe/interface_scan.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace quorvellan {
namespace {

enum class family { none, ipv4, ipv6, link };

struct entry_shape {
    const char* name;
    family kind;
    const char* address;  // for ipv4 entries
    unsigned flags;
    const char* broadcast;  // broadcast (or, point-to-point, peer) address; null for none
};

// Owns a hand-built ifaddrs list shaped like the one the kernel gives.
class fake_list {
   public:
    explicit fake_list(const std::vector<entry_shape>& shapes)
    {
        entries_.resize(shapes.size());
        for (std::size_t i = 0; i < shapes.size(); ++i) {
            const entry_shape& shape = shapes[i];
            ifaddrs& e = entries_[i];
            std::memset(&e, 0, sizeof e);
            e.ifa_name = const_cast<char*>(shape.name);
            e.ifa_flags = shape.flags;
            e.ifa_next = i + 1 < shapes.size() ? &entries_[i + 1] : nullptr;
            if (shape.kind == family::ipv4) {
                e.ifa_addr = ipv4(shape.address);
            } else if (shape.kind != family::none) {
                sockaddr_storage& other = storage_.emplace_back();
                std::memset(&other, 0, sizeof other);
                other.ss_family = shape.kind == family::ipv6 ? AF_INET6 : AF_PACKET;
                e.ifa_addr = reinterpret_cast<sockaddr*>(&other);
            }
            if (shape.broadcast != nullptr) {
                e.ifa_broadaddr = ipv4(shape.broadcast);
            }
        }
    }

    ifaddrs* head()
    {
        return entries_.empty() ? nullptr : &entries_[0];
    }

   private:
    sockaddr* ipv4(const char* text)
    {
        sockaddr_storage& s = storage_.emplace_back();
        std::memset(&s, 0, sizeof s);
        auto* in = reinterpret_cast<sockaddr_in*>(&s);
        in->sin_family = AF_INET;
        inet_pton(AF_INET, text, &in->sin_addr);
        return reinterpret_cast<sockaddr*>(&s);
    }

    std::vector<ifaddrs> entries_;
    std::deque<sockaddr_storage> storage_;  // stable addresses as it grows
};

constexpr unsigned BRIDGE = IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST;
constexpr unsigned LOOPBACK = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
constexpr unsigned PEER_TO_PEER = IFF_UP | IFF_POINTOPOINT | IFF_RUNNING | IFF_NOARP;

std::vector<std::string> destinations_of(const ifaddrs* list)
{
    std::vector<std::string> found;
    for (const ifaddrs* e = scan_next_destination(list); e != nullptr;
         e = scan_next_destination(e->ifa_next)) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(e->ifa_broadaddr);
        char text[INET_ADDRSTRLEN];
        found.push_back(inet_ntop(AF_INET, &in->sin_addr, text, sizeof text));
    }
    return found;
}

TEST(ScanInterfaces, AddressFieldsAndDestinations)
{
    const entry_shape lo = {"lo", family::ipv4, "127.0.0.1", LOOPBACK, nullptr};
    struct {
        const char* what;
        std::vector<entry_shape> list;
        std::string ip_ap;
        std::string ip_lan;
        std::vector<std::string> destinations;
    } cases[] = {
        {"empty list", {}, "", "", {}},
        {"loopback only", {lo}, "", "", {}},
        {"bridge with one address",
         {lo, {"br-lan", family::ipv4, "192.168.8.1", BRIDGE, "192.168.8.255"}},
         "192.168.8.1",
         "",
         {"192.168.8.255"}},
        {"bridge with two addresses: the later one wins, both are destinations",
         {{"br-lan", family::ipv4, "192.168.8.1", BRIDGE, "192.168.8.255"},
          {"br-lan", family::ipv4, "192.168.9.1", BRIDGE, "192.168.9.255"}},
         "192.168.9.1",
         "",
         {"192.168.8.255", "192.168.9.255"}},
        {"typical device",
         {lo,
          {"br-lan", family::ipv4, "192.168.8.1", BRIDGE, "192.168.8.255"},
          {"phy0-sta0", family::ipv4, "10.0.0.23", BRIDGE, "10.0.0.255"}},
         "192.168.8.1",
         "10.0.0.23",
         {"192.168.8.255", "10.0.0.255"}},
        {"wwan then wlan0: the later uplink wins",
         {{"wwan", family::ipv4, "10.1.0.2", BRIDGE, "10.1.0.255"},
          {"wlan0", family::ipv4, "10.2.0.2", BRIDGE, "10.2.0.255"}},
         "",
         "10.2.0.2",
         {"10.1.0.255", "10.2.0.255"}},
        {"phy0-sta0 after wwan",
         {{"wwan", family::ipv4, "10.1.0.2", BRIDGE, "10.1.0.255"},
          {"phy0-sta0", family::ipv4, "10.3.0.2", BRIDGE, "10.3.0.255"}},
         "",
         "10.3.0.2",
         {"10.1.0.255", "10.3.0.255"}},
        {"other broadcast-capable interface: a destination only",
         {{"eth1", family::ipv4, "172.16.0.5", BRIDGE, "172.16.255.255"}},
         "",
         "",
         {"172.16.255.255"}},
        {"IPv6 and link-layer entries contribute nothing",
         {{"br-lan", family::ipv6, nullptr, BRIDGE, "192.168.8.255"},
          {"br-lan", family::link, nullptr, BRIDGE, "192.168.8.255"},
          {"wwan", family::ipv6, nullptr, BRIDGE, nullptr}},
         "",
         "",
         {}},
        {"entry without an address",
         {{"br-lan", family::none, nullptr, BRIDGE, "192.168.8.255"}},
         "",
         "",
         {}},
        {"broadcast flag without a broadcast address",
         {{"br-lan", family::ipv4, "192.168.8.1", BRIDGE, nullptr}},
         "192.168.8.1",
         "",
         {}},
        {"broadcast address without the broadcast flag",
         {{"eth1", family::ipv4, "172.16.0.5", IFF_UP, "172.16.255.255"}},
         "",
         "",
         {}},
        {"point-to-point uplink: its peer is no destination",
         {{"wwan", family::ipv4, "10.64.0.2", PEER_TO_PEER, "10.64.0.1"}},
         "",
         "10.64.0.2",
         {}},
        {"a down interface keeps its send attempt",
         {{"br-lan", family::ipv4, "192.168.8.1", IFF_BROADCAST, "192.168.8.255"}},
         "192.168.8.1",
         "",
         {"192.168.8.255"}},
        {"names compare case-sensitively",
         {{"BR-LAN", family::ipv4, "192.168.8.1", BRIDGE, "192.168.8.255"},
          {"WWAN", family::ipv4, "10.1.0.2", BRIDGE, "10.1.0.255"},
          {"br-lan0", family::ipv4, "192.168.7.1", BRIDGE, "192.168.7.255"}},
         "",
         "",
         {"192.168.8.255", "10.1.0.255", "192.168.7.255"}},
    };
    for (auto& c : cases) {
        fake_list list(c.list);
        announcement facts;
        std::memset(&facts, 0, sizeof facts);
        scan_fill_addresses(list.head(), facts);
        EXPECT_EQ(std::string(facts.ip_ap), c.ip_ap) << c.what;
        EXPECT_EQ(std::string(facts.ip_lan), c.ip_lan) << c.what;
        EXPECT_EQ(destinations_of(list.head()), c.destinations) << c.what;
    }
}

// The address text must be inet_ntop's, digit for digit, for every octet.
TEST(ScanInterfaces, AddressTextMatchesInetNtop)
{
    for (unsigned octet = 0; octet < 256; ++octet) {
        const std::string samples[] = {
            std::to_string(octet) + ".0.0.0",
            "1." + std::to_string(octet) + ".10.100",
            "255.99." + std::to_string(octet) + ".9",
            "100.10.1." + std::to_string(octet),
        };
        for (const std::string& text : samples) {
            fake_list list({{"br-lan", family::ipv4, text.c_str(), BRIDGE, nullptr}});
            announcement facts;
            std::memset(&facts, 'Z', sizeof facts);
            facts.ip_ap[0] = '\0';
            scan_fill_addresses(list.head(), facts);
            ASSERT_EQ(std::string(facts.ip_ap), text);
        }
    }
}

TEST(ScanInterfaces, UnavailableScanHasNoDestinations)
{
    fake_list list({{"br-lan", family::ipv4, "192.168.8.1", BRIDGE, "192.168.8.255"}});
    interface_scan unavailable{false, list.head()};
    EXPECT_EQ(scan_first_destination(unavailable), nullptr);
    interface_scan available{true, list.head()};
    EXPECT_EQ(scan_first_destination(available), list.head());
}

// The real list call: whatever this machine has, the scan holds it until
// released, and releasing leaves nothing behind (LeakSanitizer checks).
TEST(ScanInterfaces, RealListIsHeldAndReleased)
{
    announcement facts;
    std::memset(&facts, 0, sizeof facts);
    interface_scan scan = scan_interfaces(facts);
    ASSERT_TRUE(scan.available);
    EXPECT_NE(scan.list, nullptr);
    scan_release(scan);
    EXPECT_FALSE(scan.available);
    EXPECT_EQ(scan.list, nullptr);
    scan_release(scan);  // a second release frees nothing twice
}

}  // namespace
}  // namespace quorvellan
