// The UDP socket the announcements arrive on, and the subnets of the
// interfaces they arrive through. It only ever receives: what the listener
// sends (USB/IP queries) and serves (HTTP) goes through sockets of their own.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <ifaddrs.h>

#include "table/announcement_parser.h"
#include "table/ipv4.h"

namespace quorvellan::discover {

struct datagram {
    std::string_view bytes;       // what the buffer kept; valid until the next receive
    std::size_t full_length = 0;  // size on the wire, possibly more than kept
    std::string source;           // dotted IPv4
    int interface_index = 0;      // the interface it arrived on, 0 when unknown
};

struct udp_socket {
    int fd = -1;
    std::string error;  // one line when fd is -1
};

// Bound to the port on every IPv4 address, sharing it with other listeners,
// with a receive buffer for a burst of announcements and the kernel's count
// of datagrams it dropped for want of room.
udp_socket open_udp_socket(std::uint16_t port);

class receiver {
   public:
    receiver();

    // Takes the waiting datagrams, up to one batch, in one system call;
    // returns how many (0 when none is waiting).
    std::size_t receive(int fd);

    const datagram& operator[](std::size_t i) const
    {
        return received_[i];
    }

    // Datagrams the kernel dropped on this socket since it was opened, as of
    // the last datagram received.
    std::uint64_t kernel_drops() const
    {
        return kernel_drops_;
    }

    static constexpr std::size_t BATCH = 16;

   private:
    // The receiving interface and the drop count, from one datagram's
    // control messages.
    void read_control(msghdr& header, datagram& received);

    // One byte past the largest accepted datagram, so that an oversized one
    // is caught even where MSG_TRUNC would not report its length.
    static constexpr std::size_t SLOT_BYTES = MAX_DATAGRAM_BYTES + 1;
    std::vector<char> buffers_;
    std::array<datagram, BATCH> received_;
    std::uint64_t kernel_drops_ = 0;
};

// The platform's calls for the interface list; the listener passes
// getifaddrs, freeifaddrs and if_nametoindex.
struct interface_list_calls {
    int (*list)(ifaddrs** head);
    void (*release)(ifaddrs* head);
    unsigned (*index_of)(const char* name);
};

// The IPv4 subnets of each local interface, read again on refresh().
class interface_subnets {
   public:
    explicit interface_subnets(interface_list_calls calls) : calls_(calls)
    {
    }

    // When the list cannot be read, what was known stays.
    void refresh();

    // Empty for an interface that holds no IPv4 address or is unknown.
    const std::vector<ipv4_subnet>& of(int interface_index) const;

   private:
    interface_list_calls calls_;
    std::vector<std::pair<int, std::vector<ipv4_subnet>>> by_interface_;
};

}  // namespace quorvellan::discover
