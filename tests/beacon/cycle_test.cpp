#include "beacon/cycle.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "beacon/sender.h"
#include "support/fake_ifaddrs.h"
#include "support/temp_dir.h"

namespace quorvellan {
namespace {

using test::BRIDGE;
using test::entry_shape;
using test::fake_list;
using test::family;
using test::LOOPBACK;
using test::temp_dir;

// What a cycle did, in order: the destination address of each datagram and
// "release" when the interface list was freed.
std::vector<std::string> events;
std::vector<std::string> texts;  // each datagram's bytes
std::vector<int> sockets;
std::vector<unsigned> ports;

void record_send(int socket, const char* text, std::size_t length, const sockaddr_in& destination)
{
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &destination.sin_addr, address, sizeof address);
    events.emplace_back(address);
    texts.emplace_back(text, length);
    sockets.push_back(socket);
    ports.push_back(ntohs(destination.sin_port));
}

// Stand in for getifaddrs and freeifaddrs. A failing call still writes the
// list pointer, which the scan must then neither read nor free.
ifaddrs* listed = nullptr;
bool list_fails = false;
int list_listed(ifaddrs** list)
{
    *list = listed;
    return list_fails ? -1 : 0;
}
void release_listed(ifaddrs* list)
{
    events.push_back(list == listed ? "release" : "release of another list");
}

TEST(BeaconCycle, SendsOneRenderingToEachDestinationThenTheLimitedBroadcast)
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
    const cycle_sources sources{paths, usb.c_str(), {list_listed, release_listed}};

    const entry_shape lo = {"lo", family::ipv4, "127.0.0.1", LOOPBACK, nullptr, 8};
    const entry_shape bridge = {"br-lan", family::ipv4, "192.168.8.1", BRIDGE, "192.168.8.255"};
    const entry_shape uplink = {"phy0-sta0", family::ipv4, "10.0.0.23", BRIDGE, "10.0.0.255"};
    const std::string limited = "255.255.255.255";
    struct {
        const char* what;
        bool list_fails;
        std::vector<entry_shape> list;
        std::vector<std::string> events;
        std::string ip_ap;
        std::string ip_lan;
    } cases[] = {
        {"typical device",
         false,
         {lo, bridge, uplink},
         {"192.168.8.255", "10.0.0.255", "release", limited},
         "192.168.8.1",
         "10.0.0.23"},
        {"list call fails: the limited broadcast only", true, {lo, bridge}, {limited}, "", ""},
        {"loopback only: the limited broadcast only", false, {lo}, {"release", limited}, "", ""},
        {"two addresses on one interface: two sends",
         false,
         {bridge, {"br-lan", family::ipv4, "192.168.8.2", BRIDGE, "192.168.8.255"}},
         {"192.168.8.255", "192.168.8.255", "release", limited},
         "192.168.8.2",
         ""},
        {"address added without a broadcast address",
         false,
         {{"br-lan", family::ipv4, "192.168.8.1", BRIDGE, "192.168.8.1"}, uplink},
         {"192.168.8.255", "10.0.0.255", "release", limited},
         "192.168.8.1",
         "10.0.0.23"},
    };
    for (const auto& c : cases) {
        fake_list list(c.list);
        listed = list.head();
        list_fails = c.list_fails;
        events.clear();
        texts.clear();
        sockets.clear();
        ports.clear();
        beacon_cycle(7, limited_broadcast_destination(), sources, record_send);

        EXPECT_EQ(events, c.events) << c.what;
        ASSERT_FALSE(texts.empty()) << c.what;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            EXPECT_EQ(texts[i], texts[0]) << c.what;
            EXPECT_EQ(sockets[i], 7) << c.what;
            EXPECT_EQ(ports[i], BEACON_PORT) << c.what;
        }
        const auto facts = nlohmann::json::parse(texts[0]);
        EXPECT_EQ(facts["ip_ap"], c.ip_ap) << c.what;
        EXPECT_EQ(facts["ip_lan"], c.ip_lan) << c.what;
        EXPECT_EQ(facts["name"], "Attic");
        EXPECT_EQ(facts["hostname"], "attic-ap");
        EXPECT_EQ(facts["version"], "3.0.1");
        EXPECT_EQ(facts["mac"], "02:11:22:33:44:55");
        EXPECT_EQ(facts["usb_devices"], 1);
    }
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

// The socket calls as the sender made them, and what the fakes answer.
struct socket_log {
    int socket_result;
    int option_result;
    int error;  // errno of a failing call
    std::vector<std::string> calls;
} sockets_seen;

int fake_socket(int domain, int type, int protocol)
{
    sockets_seen.calls.push_back(std::string("socket ") + (domain == AF_INET ? "IPv4" : "other") +
                                 (type == SOCK_DGRAM ? " UDP " : " other ") +
                                 std::to_string(protocol));
    errno = sockets_seen.error;
    return sockets_seen.socket_result;
}

int fake_setsockopt(int fd, int level, int name, const void* value, socklen_t length)
{
    int on = 0;
    std::memcpy(&on, value, sizeof on);
    sockets_seen.calls.push_back(
        "setsockopt " + std::to_string(fd) + " " +
        (level == SOL_SOCKET && name == SO_BROADCAST ? "SO_BROADCAST" : "another option") + " " +
        std::to_string(on) + " " + std::to_string(length));
    errno = sockets_seen.error;
    return sockets_seen.option_result;
}

int fake_close(int fd)
{
    sockets_seen.calls.push_back("close " + std::to_string(fd));
    return 0;
}

// What run writes to standard error.
std::string stderr_of(const std::function<void()>& run)
{
    std::FILE* capture = std::tmpfile();
    const int saved = dup(STDERR_FILENO);
    std::fflush(stderr);
    dup2(fileno(capture), STDERR_FILENO);
    run();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::rewind(capture);
    std::string text;
    for (int c; (c = std::fgetc(capture)) != EOF;) {
        text += static_cast<char>(c);
    }
    std::fclose(capture);
    return text;
}

TEST(SenderOpen, EnablesBroadcastOrReportsTheFailedStep)
{
    const std::string opened = "socket IPv4 UDP 0";
    const std::string enabled = "setsockopt 5 SO_BROADCAST 1 4";
    struct {
        const char* what;
        int socket_result;
        int option_result;
        int error;
        int fd;
        std::vector<std::string> calls;
        std::string reported;
    } cases[] = {
        {"opened", 5, 0, 0, 5, {opened, enabled}, ""},
        {"no socket", -1, 0, EMFILE, -1, {opened}, std::string("socket: ") + strerror(EMFILE)},
        {"broadcast refused",
         5,
         -1,
         EACCES,
         -1,
         {opened, enabled, "close 5"},
         std::string("setsockopt SO_BROADCAST: ") + strerror(EACCES)},
    };
    for (const auto& c : cases) {
        sockets_seen = {c.socket_result, c.option_result, c.error, {}};
        int fd = 0;
        const std::string reported = stderr_of([&] {
            fd = sender_open({fake_socket, fake_setsockopt, fake_close});
        });
        EXPECT_EQ(fd, c.fd) << c.what;
        EXPECT_EQ(sockets_seen.calls, c.calls) << c.what;
        EXPECT_EQ(reported, c.reported.empty() ? "" : c.reported + "\n") << c.what;
    }
}

}  // namespace
}  // namespace quorvellan
