#include "probe/interface_scan.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/fake_ifaddrs.h"

namespace quorvellan {
namespace {

using test::BRIDGE;
using test::entry_shape;
using test::fake_list;
using test::family;
using test::LOOPBACK;
using test::PEER_TO_PEER;

// Stands in for getifaddrs: hands out the list placed here, never fails.
ifaddrs* listed = nullptr;
int list_listed(ifaddrs** list)
{
    *list = listed;
    return 0;
}
void release_nothing(ifaddrs*)
{
}

// The scan of the list, its address fields written into facts.
interface_scan scan_of(fake_list& list, announcement& facts)
{
    std::memset(&facts, 0, sizeof facts);
    listed = list.head();
    return scan_interfaces(facts, {list_listed, release_nothing});
}

std::vector<std::string> destinations_of(const interface_scan& scan)
{
    std::vector<std::string> found;
    sockaddr_in destination;
    for (const ifaddrs* e = scan_next_destination(scan.list, destination); e != nullptr;
         e = scan_next_destination(e->ifa_next, destination)) {
        char text[INET_ADDRSTRLEN];
        found.push_back(inet_ntop(AF_INET, &destination.sin_addr, text, sizeof text));
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
        {"the listed broadcast address, not one worked out from the mask",
         {{"br-lan", family::ipv4, "192.168.8.1", BRIDGE, "192.168.8.127"}},
         "192.168.8.1",
         "",
         {"192.168.8.127"}},
        {"added without a broadcast address: the subnet's",
         {{"br-lan", family::ipv4, "192.168.8.1", BRIDGE, "192.168.8.1"},
          {"eth1", family::ipv4, "10.0.0.5", BRIDGE, "10.0.0.5", 30}},
         "192.168.8.1",
         "",
         {"192.168.8.255", "10.0.0.7"}},
        {"/31 and /32 listed with their own address: no directed send",
         {{"br-lan", family::ipv4, "192.168.8.1", BRIDGE, "192.168.8.1", 32},
          {"eth1", family::ipv4, "10.0.0.4", BRIDGE, "10.0.0.4", 31},
          {"eth2", family::ipv4, "10.1.0.1", BRIDGE, "10.1.0.255", 32}},
         "192.168.8.1",
         "",
         {"10.1.0.255"}},
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
        const interface_scan scan = scan_of(list, facts);
        EXPECT_EQ(std::string(facts.ip_ap), c.ip_ap) << c.what;
        EXPECT_EQ(std::string(facts.ip_lan), c.ip_lan) << c.what;
        EXPECT_EQ(destinations_of(scan), c.destinations) << c.what;
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
            scan_of(list, facts);
            ASSERT_EQ(std::string(facts.ip_ap), text);
        }
    }
}

// The real list call: whatever this machine has, the scan holds it until
// released, and releasing leaves nothing behind (LeakSanitizer checks).
TEST(ScanInterfaces, RealListIsHeldAndReleased)
{
    announcement facts;
    std::memset(&facts, 0, sizeof facts);
    interface_scan scan = scan_interfaces(facts, {getifaddrs, freeifaddrs});
    EXPECT_NE(scan.list, nullptr);
    scan_release(scan);
    EXPECT_EQ(scan.list, nullptr);
    scan_release(scan);  // a second release frees nothing twice
}

}  // namespace
}  // namespace quorvellan
