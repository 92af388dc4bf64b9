// The broadcast socket and the one way an announcement leaves the device.
#pragma once

#include <netinet/in.h>

#include <cstddef>

#include "wire/announcement.h"

namespace quorvellan {

// Opens the IPv4 UDP socket with broadcasting enabled. On failure writes the
// perror line for the failed step and returns -1.
int sender_open();

// 255.255.255.255 on BEACON_PORT, all other bytes zero.
sockaddr_in limited_broadcast_destination();

// One datagram of exactly length bytes; the outcome is deliberately ignored,
// since an unreachable network must not disturb the cycle.
void send_announcement(int socket, const char* text, std::size_t length,
                       const sockaddr_in& destination);

}  // namespace quorvellan
