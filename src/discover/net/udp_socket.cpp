#include "net/udp_socket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvellan::discover {
namespace {

// About two thousand announcements: every device of a large network
// announcing in the same instant, twice, while the tool is busy drawing.
constexpr int RECEIVE_BUFFER_BYTES = 4 * 1024 * 1024;

// Room for IP_PKTINFO and SO_RXQ_OVFL, the two messages asked for.
constexpr std::size_t CONTROL_BYTES =
    CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(std::uint32_t));

// What failed, or null: sharing the port, and being told each datagram's
// interface and the kernel's drops; a receive buffer as large as allowed.
const char* set_listening_options(int fd)
{
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ||
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) < 0) {
        return "cannot share";
    }
    if (setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) < 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) < 0) {
        return "cannot ask for the receiving interface and drop count";
    }
    // Past the system's limit only with the privilege to force it; without,
    // the kernel grants its maximum, which is still the best there is.
    const int bytes = RECEIVE_BUFFER_BYTES;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) < 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    return nullptr;
}

}  // namespace

udp_socket open_udp_socket(std::uint16_t port)
{
    udp_socket result;
    const auto fail = [&](const char* step) {
        result.error = std::string(step) + " on UDP port " + std::to_string(port) + ": " +
                       std::strerror(errno);
        if (result.fd >= 0) {
            close(result.fd);
            result.fd = -1;
        }
        return result;
    };
    result.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (result.fd < 0) {
        return fail("cannot open a socket");
    }
    if (const char* failed = set_listening_options(result.fd)) {
        return fail(failed);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(result.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        const bool busy = errno == EADDRINUSE;
        fail("cannot listen");
        if (busy) {
            const std::string held = "'sport = :" + std::to_string(port) + "'";
            result.error += " (see which program holds it with: ss -ulpn " + held +
                            "; to share the port, that program must set SO_REUSEADDR)";
        }
        return result;
    }
    return result;
}

receiver::receiver() : buffers_(BATCH * SLOT_BYTES)
{
}

std::size_t receiver::receive(int fd)
{
    std::array<mmsghdr, BATCH> headers{};
    std::array<iovec, BATCH> slots{};
    std::array<sockaddr_in, BATCH> sources{};
    alignas(cmsghdr) std::array<std::array<char, CONTROL_BYTES>, BATCH> controls;
    for (std::size_t i = 0; i < BATCH; ++i) {
        slots[i] = {buffers_.data() + i * SLOT_BYTES, SLOT_BYTES};
        msghdr& h = headers[i].msg_hdr;
        h.msg_name = &sources[i];
        h.msg_namelen = sizeof sources[i];
        h.msg_iov = &slots[i];
        h.msg_iovlen = 1;
        h.msg_control = controls[i].data();
        h.msg_controllen = controls[i].size();
    }
    const int count = recvmmsg(fd, headers.data(), BATCH, MSG_TRUNC, nullptr);
    if (count <= 0) {
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        msghdr& h = headers[i].msg_hdr;
        datagram& d = received_[i];
        d.full_length = headers[i].msg_len;
        d.bytes = std::string_view(static_cast<const char*>(slots[i].iov_base),
                                   std::min<std::size_t>(d.full_length, SLOT_BYTES));
        char text[INET_ADDRSTRLEN] = "";
        if (sources[i].sin_family == AF_INET) {
            inet_ntop(AF_INET, &sources[i].sin_addr, text, sizeof text);
        }
        d.source = text;
        read_control(h, d);
    }
    return static_cast<std::size_t>(count);
}

void receiver::read_control(msghdr& header, datagram& received)
{
    received.interface_index = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            received.interface_index = info.ipi_ifindex;
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            std::uint32_t drops;
            std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
            // The kernel's counter is 32 bits wide and wraps.
            kernel_drops_ +=
                static_cast<std::uint32_t>(drops - static_cast<std::uint32_t>(kernel_drops_));
        }
    }
}

void interface_subnets::refresh()
{
    ifaddrs* list = nullptr;
    if (calls_.list(&list) != 0) {
        return;
    }
    by_interface_.clear();
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_netmask == nullptr ||
            a->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        const int index = static_cast<int>(calls_.index_of(a->ifa_name));
        const ipv4_subnet subnet{
            ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr),
            ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr)};
        auto entry = by_interface_.begin();
        while (entry != by_interface_.end() && entry->first != index) {
            ++entry;
        }
        if (entry == by_interface_.end()) {
            by_interface_.push_back({index, {}});
            entry = by_interface_.end() - 1;
        }
        entry->second.push_back(subnet);
    }
    calls_.release(list);
}

const std::vector<ipv4_subnet>& interface_subnets::of(int interface_index) const
{
    static const std::vector<ipv4_subnet> none;
    for (const auto& [index, subnets] : by_interface_) {
        if (index == interface_index && index != 0) {
            return subnets;
        }
    }
    return none;
}

}  // namespace quorvellan::discover
