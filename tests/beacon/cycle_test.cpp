#include "beacon/cycle.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
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

void record_send(sender& out, const char* text, std::size_t length, const sockaddr_in& destination)
{
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &destination.sin_addr, address, sizeof address);
    events.emplace_back(address);
    texts.emplace_back(text, length);
    sockets.push_back(out.socket);
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
        sender out{{}, 7, 0};
        beacon_cycle(out, limited_broadcast_destination(), sources, record_send);

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

// The socket calls as the sender made them, and what the fakes answer:
// each socket call takes the next of `sockets` (-1 fails), each send the
// next of `send_errors` (0 succeeds).
struct socket_log {
    std::deque<int> sockets;
    int broadcast_result;
    int filter_result;
    int error;  // errno of a failing socket or setsockopt
    std::deque<int> send_errors;
    std::vector<std::string> calls;
} sockets_seen;

int fake_socket(int domain, int type, int protocol)
{
    sockets_seen.calls.push_back(std::string("socket ") + (domain == AF_INET ? "IPv4" : "other") +
                                 (type == SOCK_DGRAM ? " UDP " : " other ") +
                                 std::to_string(protocol));
    const int fd = sockets_seen.sockets.front();
    sockets_seen.sockets.pop_front();
    errno = sockets_seen.error;
    return fd;
}

// The filter is checked against the kernel's own header: one instruction
// that keeps nothing of any datagram.
bool drops_everything(const void* value, socklen_t length)
{
    const auto* program = static_cast<const sock_fprog*>(value);
    return length == sizeof(sock_fprog) && program->len == 1 &&
           program->filter[0].code == (BPF_RET | BPF_K) && program->filter[0].k == 0;
}

int fake_setsockopt(int fd, int level, int name, const void* value, socklen_t length)
{
    std::string option = "another option";
    int result = 0;
    if (level == SOL_SOCKET && name == SO_BROADCAST) {
        int on = 0;
        std::memcpy(&on, value, sizeof on);
        option = "SO_BROADCAST " + std::to_string(on) + " " + std::to_string(length);
        result = sockets_seen.broadcast_result;
    } else if (level == SOL_SOCKET && name == SO_ATTACH_FILTER) {
        option = drops_everything(value, length) ? "drop-all filter" : "another filter";
        result = sockets_seen.filter_result;
    }
    sockets_seen.calls.push_back("setsockopt " + std::to_string(fd) + " " + option);
    errno = sockets_seen.error;
    return result;
}

ssize_t fake_sendto(int fd, const void*, std::size_t length, int flags, const sockaddr* to,
                    socklen_t to_length)
{
    sockets_seen.calls.push_back(
        "sendto " + std::to_string(fd) + " " + std::to_string(length) +
        (flags == MSG_DONTWAIT ? " DONTWAIT" : " flags?") +
        (to_length == sizeof(sockaddr_in) && to->sa_family == AF_INET ? "" : " bad address"));
    errno = sockets_seen.send_errors.front();
    sockets_seen.send_errors.pop_front();
    return errno == 0 ? static_cast<ssize_t>(length) : -1;
}

// Every socket's port is 40000: the first's, as the kernel chose it, and
// each replacement's, bound to it.
int fake_getsockname(int fd, sockaddr* address, socklen_t* length)
{
    sockets_seen.calls.push_back("getsockname " + std::to_string(fd));
    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(40000);
    std::memcpy(address, &local, std::min<std::size_t>(*length, sizeof local));
    *length = sizeof local;
    return 0;
}

int fake_bind(int fd, const sockaddr* address, socklen_t length)
{
    sockaddr_in local;
    std::memcpy(&local, address, sizeof local);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
    sockets_seen.calls.push_back("bind " + std::to_string(fd) + " " + text + ":" +
                                 std::to_string(ntohs(local.sin_port)) +
                                 (length == sizeof local ? "" : " bad length"));
    return 0;
}

int fake_close(int fd)
{
    sockets_seen.calls.push_back("close " + std::to_string(fd));
    return 0;
}

const socket_calls FAKE_SOCKET_CALLS = {fake_socket,      fake_setsockopt, fake_sendto,
                                        fake_getsockname, fake_bind,       fake_close};

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

TEST(SenderOpen, EnablesBroadcastShutsTheReceiveSideOrReportsTheFailedStep)
{
    const std::string opened = "socket IPv4 UDP 0";
    const std::string enabled = "setsockopt 5 SO_BROADCAST 1 4";
    const std::string filtered = "setsockopt 5 drop-all filter";
    struct {
        const char* what;
        int socket_result;
        int broadcast_result;
        int filter_result;
        int error;
        int fd;
        std::vector<std::string> calls;
        std::string reported;
    } cases[] = {
        {"opened", 5, 0, 0, 0, 5, {opened, enabled, filtered}, ""},
        {"filter refused: ignored", 5, 0, -1, EINVAL, 5, {opened, enabled, filtered}, ""},
        {"no socket", -1, 0, 0, EMFILE, -1, {opened}, std::string("socket: ") + strerror(EMFILE)},
        {"broadcast refused",
         5,
         -1,
         0,
         EACCES,
         -1,
         {opened, enabled, "close 5"},
         std::string("setsockopt SO_BROADCAST: ") + strerror(EACCES)},
    };
    for (const auto& c : cases) {
        sockets_seen = {{c.socket_result}, c.broadcast_result, c.filter_result, c.error, {}, {}};
        int fd = 0;
        const std::string reported = stderr_of([&] { fd = sender_open(FAKE_SOCKET_CALLS).socket; });
        EXPECT_EQ(fd, c.fd) << c.what;
        EXPECT_EQ(sockets_seen.calls, c.calls) << c.what;
        EXPECT_EQ(reported, c.reported.empty() ? "" : c.reported + "\n") << c.what;
    }
}

// Sends never wait. A full send buffer (a link that stopped draining holds
// the datagrams) gets a fresh socket on the same port, and the datagram is
// sent once more on it; a replacement that cannot be made is tried again at
// the next send. Nothing is ever reported.
TEST(SendAnnouncement, ReplacesASocketWhoseBufferIsFull)
{
    const std::string send5 = "sendto 5 3 DONTWAIT";
    const std::string send6 = "sendto 6 3 DONTWAIT";
    const std::vector<std::string> drop5 = {"getsockname 5", "close 5"};
    const std::vector<std::string> open6 = {"socket IPv4 UDP 0", "setsockopt 6 SO_BROADCAST 1 4",
                                            "setsockopt 6 drop-all filter", "bind 6 0.0.0.0:40000"};
    const auto join = [](std::initializer_list<std::vector<std::string>> parts) {
        std::vector<std::string> calls;
        for (const auto& part : parts) {
            calls.insert(calls.end(), part.begin(), part.end());
        }
        return calls;
    };
    struct {
        const char* what;
        std::deque<int> sockets;  // what socket() gives the replacements
        std::deque<int> send_errors;
        int sends;
        std::vector<std::string> calls;
        int socket_after;
    } cases[] = {
        {"sent", {}, {0}, 1, {send5}, 5},
        {"unreachable: ignored", {}, {ENETUNREACH, 0}, 2, {send5, send5}, 5},
        {"buffer full", {6}, {EAGAIN, 0, 0}, 2, join({{send5}, drop5, open6, {send6, send6}}), 6},
        {"no buffer memory", {6}, {ENOBUFS, 0}, 1, join({{send5}, drop5, open6, {send6}}), 6},
        {"no replacement: the next send tries again",
         {-1, 6},
         {EAGAIN, 0},
         2,
         join({{send5}, drop5, {"socket IPv4 UDP 0"}, open6, {send6}}),
         6},
        {"the new buffer full as well: two tries, then the next send",
         {6, 7},
         {EAGAIN, EAGAIN, 0},
         2,
         join({{send5},
               drop5,
               open6,
               {send6, "getsockname 6", "close 6", "socket IPv4 UDP 0",
                "setsockopt 7 SO_BROADCAST 1 4", "setsockopt 7 drop-all filter",
                "bind 7 0.0.0.0:40000", "sendto 7 3 DONTWAIT"}}),
         7},
    };
    for (const auto& c : cases) {
        sockets_seen = {c.sockets, 0, 0, EMFILE, c.send_errors, {}};
        sender out{FAKE_SOCKET_CALLS, 5, 0};
        const std::string reported = stderr_of([&] {
            for (int i = 0; i < c.sends; ++i) {
                send_announcement(out, "{ }", 3, limited_broadcast_destination());
            }
        });
        EXPECT_EQ(sockets_seen.calls, c.calls) << c.what;
        EXPECT_EQ(out.socket, c.socket_after) << c.what;
        EXPECT_EQ(reported, "") << c.what;
    }
}

}  // namespace
}  // namespace quorvellan
