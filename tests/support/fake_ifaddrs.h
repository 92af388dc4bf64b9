// Hand-built interface address lists shaped like the ones getifaddrs gives,
// for the tests of the scan and of the cycle.
#pragma once

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstring>
#include <deque>
#include <vector>

namespace quorvellan::test {

enum class family { none, ipv4, ipv6, link };

struct entry_shape {
    const char* name;
    family kind;
    const char* address;  // for ipv4 entries
    unsigned flags;
    const char* broadcast;  // broadcast (or, point-to-point, peer) address; null for none
    unsigned prefix = 24;   // of an ipv4 entry's netmask
};

constexpr unsigned BRIDGE = IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST;
constexpr unsigned LOOPBACK = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
constexpr unsigned PEER_TO_PEER = IFF_UP | IFF_POINTOPOINT | IFF_RUNNING | IFF_NOARP;

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
                e.ifa_netmask = ipv4(nullptr);
                reinterpret_cast<sockaddr_in*>(e.ifa_netmask)->sin_addr.s_addr =
                    htonl(shape.prefix == 0 ? 0 : ~0u << (32 - shape.prefix));
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
        if (text != nullptr) {
            inet_pton(AF_INET, text, &in->sin_addr);
        }
        return reinterpret_cast<sockaddr*>(&s);
    }

    std::vector<ifaddrs> entries_;
    std::deque<sockaddr_storage> storage_;  // stable addresses as it grows
};

}  // namespace quorvellan::test
