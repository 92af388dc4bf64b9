#include "beacon/cycle.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "beacon/sender.h"
#include "support/temp_dir.h"

namespace quorvellan {
namespace {

using test::temp_dir;

struct recorded_send {
    int socket;
    std::string text;
    std::string address;
    unsigned port;
};

std::vector<recorded_send> sends;

void record_send(int socket, const char* text, std::size_t length, const sockaddr_in& destination)
{
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &destination.sin_addr, address, sizeof address);
    sends.push_back({socket, std::string(text, length), address, ntohs(destination.sin_port)});
}

TEST(BeaconCycle, SendsOneTextToEveryDestinationThenTheLimitedBroadcast)
{
    temp_dir dir;
    const std::string name = dir.write("name", "Attic\n");
    const std::string hostname = dir.write("hostname", "attic-ap\n");
    const std::string version = dir.write("version", "3.0.1\n");
    const std::string mac = dir.write("mac", "02:11:22:33:44:55\n");
    const std::string usb = dir.file("usb");
    ASSERT_EQ(mkdir(usb.c_str(), 0755), 0);
    dir.write("usb/1-1", "");
    dir.write("usb/1-1:1.0", "");
    const identity_paths paths{name.c_str(), hostname.c_str(), version.c_str(), mac.c_str(),
                               mac.c_str()};

    sends.clear();
    beacon_cycle(7, limited_broadcast_destination(), cycle_sources{paths, usb.c_str()},
                 record_send);

    // The directed sends depend on this machine's interfaces; the last send
    // is always the limited broadcast and every send carries the same bytes.
    ASSERT_FALSE(sends.empty());
    const recorded_send& last = sends.back();
    EXPECT_EQ(last.address, "255.255.255.255");
    for (const recorded_send& s : sends) {
        EXPECT_EQ(s.socket, 7);
        EXPECT_EQ(s.port, BEACON_PORT);
        EXPECT_EQ(s.text, last.text);
    }
    const auto facts = nlohmann::json::parse(last.text);
    EXPECT_EQ(facts["name"], "Attic");
    EXPECT_EQ(facts["hostname"], "attic-ap");
    EXPECT_EQ(facts["version"], "3.0.1");
    EXPECT_EQ(facts["mac"], "02:11:22:33:44:55");
    EXPECT_EQ(facts["usb_devices"], 1);
}

TEST(LimitedBroadcastDestination, IsAllOnesOnTheBeaconPort)
{
    const sockaddr_in d = limited_broadcast_destination();
    const auto* bytes = reinterpret_cast<const unsigned char*>(&d);
    EXPECT_EQ(d.sin_family, AF_INET);
    EXPECT_EQ(d.sin_addr.s_addr, 0xFFFFFFFFu);
    // On the wire the port is 0x7E then 0x90, whatever the host's byte order.
    EXPECT_EQ(bytes[offsetof(sockaddr_in, sin_port)], 0x7E);
    EXPECT_EQ(bytes[offsetof(sockaddr_in, sin_port) + 1], 0x90);
    for (std::size_t i = 0; i < sizeof d.sin_zero; ++i) {
        EXPECT_EQ(d.sin_zero[i], 0);
    }
}

}  // namespace
}  // namespace quorvellan
