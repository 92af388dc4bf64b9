// The broadcast socket and the one way an announcement leaves the device.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

#include "wire/announcement.h"

namespace quorvellan {

// The platform's socket calls; the daemon passes socket, setsockopt and close.
struct socket_calls {
    int (*open)(int domain, int type, int protocol);
    int (*set_option)(int fd, int level, int name, const void* value, socklen_t length);
    int (*close)(int fd);
};

// Opens the IPv4 UDP socket with broadcasting enabled. On failure writes the
// perror line for the failed step and returns -1.
int sender_open(const socket_calls& calls);

// 255.255.255.255 on BEACON_PORT, all other bytes zero.
sockaddr_in limited_broadcast_destination();

// One datagram of exactly length bytes; the outcome is deliberately ignored,
// since an unreachable network must not disturb the cycle.
void send_announcement(int socket, const char* text, std::size_t length,
                       const sockaddr_in& destination);

}  // namespace quorvellan
