// The receiving socket: the only part of the tool that touches the network,
// and it only ever receives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "announcement_parser.h"

namespace quorvellan::discover {

struct datagram {
    std::string bytes;            // what the buffer kept
    std::size_t full_length = 0;  // size on the wire, possibly more than kept
    std::string source;           // dotted IPv4
};

struct listener_socket {
    int fd = -1;
    std::string error;  // one line when fd is -1
};

// Bound to the port on every IPv4 address, sharing it with other listeners.
listener_socket open_listener(std::uint16_t port);

class receiver {
   public:
    // Fills into with the next waiting datagram; false when none is waiting.
    bool receive(int fd, datagram& into);

   private:
    // One byte past the largest accepted datagram, so that an oversized one
    // is caught even where MSG_TRUNC would not report its length.
    std::vector<char> buffer_ = std::vector<char>(MAX_DATAGRAM_BYTES + 1);
};

}  // namespace quorvellan::discover
