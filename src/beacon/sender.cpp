#include "beacon/sender.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

namespace quorvellan {

int sender_open(const socket_calls& calls)
{
    const int fd = calls.open(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::perror("socket");
        return -1;
    }
    const int on = 1;
    if (calls.set_option(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0) {
        std::perror("setsockopt SO_BROADCAST");
        calls.close(fd);
        return -1;
    }
    return fd;
}

sockaddr_in limited_broadcast_destination()
{
    sockaddr_in destination;
    std::memset(&destination, 0, sizeof destination);
    destination.sin_family = AF_INET;
    destination.sin_port = htons(BEACON_PORT);
    destination.sin_addr.s_addr = inet_addr("255.255.255.255");
    return destination;
}

void send_announcement(int socket, const char* text, std::size_t length,
                       const sockaddr_in& destination)
{
    sendto(socket, text, length, 0, reinterpret_cast<const sockaddr*>(&destination),
           sizeof destination);
}

}  // namespace quorvellan
