#include "listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvellan::discover {

listener_socket open_listener(std::uint16_t port)
{
    listener_socket result;
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
    const int on = 1;
    if (setsockopt(result.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ||
        setsockopt(result.fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) < 0) {
        return fail("cannot share");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(result.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        return fail("cannot listen");
    }
    return result;
}

bool receiver::receive(int fd, datagram& into)
{
    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    const ssize_t length = recvfrom(fd, buffer_.data(), buffer_.size(), MSG_TRUNC,
                                    reinterpret_cast<sockaddr*>(&from), &from_length);
    if (length < 0) {
        return false;
    }
    const std::size_t full = static_cast<std::size_t>(length);
    into.full_length = full;
    into.bytes.assign(buffer_.data(), full < buffer_.size() ? full : buffer_.size());
    char text[INET_ADDRSTRLEN] = "";
    if (from.sin_family == AF_INET) {
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    }
    into.source = text;
    return true;
}

}  // namespace quorvellan::discover
