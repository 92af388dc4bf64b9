// The broadcast socket and the one way an announcement leaves the device.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

#include "wire/announcement.h"

namespace quorvellan {

// The platform's socket calls; the daemon passes socket, setsockopt, sendto,
// getsockname, bind and close.
struct socket_calls {
    int (*open)(int domain, int type, int protocol);
    int (*set_option)(int fd, int level, int name, const void* value, socklen_t length);
    ssize_t (*send)(int fd, const void* data, std::size_t length, int flags, const sockaddr* to,
                    socklen_t to_length);
    int (*local_address)(int fd, sockaddr* address, socklen_t* length);
    int (*bind)(int fd, const sockaddr* address, socklen_t length);
    int (*close)(int fd);
};

// The broadcast socket as the cycle uses it. A link whose queue stops
// draining keeps its datagrams charged to the socket's send buffer; once that
// is full the socket is replaced, so that the other links still hear every
// cycle.
struct sender {
    socket_calls calls;
    int socket;      // -1 while a replacement could not be set up
    in_port_t port;  // source port (network order) a replacement keeps; 0 until known
};

// Opens the IPv4 UDP socket with broadcasting enabled and nothing to receive.
// On failure writes the perror line for the failed step; socket is then -1.
sender sender_open(const socket_calls& calls);

// 255.255.255.255 on BEACON_PORT, all other bytes zero.
sockaddr_in limited_broadcast_destination();

// One datagram of exactly length bytes, never waiting for buffer space. A
// send that finds the buffer full replaces the socket, silently, and is made
// once more on the new one; any other failure is ignored, since an
// unreachable network must not disturb the cycle.
void send_announcement(sender& out, const char* text, std::size_t length,
                       const sockaddr_in& destination);

}  // namespace quorvellan
