#include "beacon/sender.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace quorvellan {
namespace {

// The kernel's classic socket filter as <linux/filter.h> lays it out; the
// device's C library ships no kernel headers.
struct filter_instruction {
    std::uint16_t code;
    std::uint8_t jump_true;
    std::uint8_t jump_false;
    std::uint32_t keep;
};
struct filter_program {
    unsigned short length;
    const filter_instruction* instructions;
};

// "Return 0": keep no byte of any datagram. Every announcement names the
// socket's port, so anyone could otherwise fill a receive queue that the
// daemon never reads.
constexpr std::uint16_t RETURN_CONSTANT = 0x06;  // BPF_RET | BPF_K
const filter_instruction DROP_EVERYTHING[] = {{RETURN_CONSTANT, 0, 0, 0}};
const filter_program RECEIVE_NOTHING = {1, DROP_EVERYTHING};

// The start-up steps, reported (perror) at start only; a replacement is
// set up silently. Returns the socket, or -1.
int socket_setup(const socket_calls& calls, bool report)
{
    const int fd = calls.open(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        if (report) {
            std::perror("socket");
        }
        return -1;
    }
    const int on = 1;
    if (calls.set_option(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0) {
        if (report) {
            std::perror("setsockopt SO_BROADCAST");
        }
        calls.close(fd);
        return -1;
    }
    // Best effort: without the filter the daemon still announces.
    calls.set_option(fd, SOL_SOCKET, SO_ATTACH_FILTER, &RECEIVE_NOTHING, sizeof RECEIVE_NOTHING);
    return fd;
}

// A new socket on the old source port, so that listeners see the datagrams
// leave from one port for the life of the process; if that port was taken
// meanwhile, the kernel picks another at the first send.
void sender_reopen(sender& out)
{
    out.socket = socket_setup(out.calls, false);
    if (out.socket >= 0 && out.port != 0) {
        sockaddr_in local;
        std::memset(&local, 0, sizeof local);
        local.sin_family = AF_INET;
        local.sin_port = out.port;
        out.calls.bind(out.socket, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    }
}

// Lets go of a socket whose send buffer is full. Its queued datagrams stay
// with the kernel, which frees them when their link drains or goes away.
void sender_drop(sender& out)
{
    sockaddr_in local;
    socklen_t size = sizeof local;
    if (out.calls.local_address(out.socket, reinterpret_cast<sockaddr*>(&local), &size) == 0 &&
        local.sin_family == AF_INET && local.sin_port != 0) {
        out.port = local.sin_port;
    }
    out.calls.close(out.socket);
    out.socket = -1;
}

}  // namespace

sender sender_open(const socket_calls& calls)
{
    return {calls, socket_setup(calls, true), 0};
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

void send_announcement(sender& out, const char* text, std::size_t length,
                       const sockaddr_in& destination)
{
    // The second try is on a fresh socket, whose buffer is empty: a healthy
    // link hears this datagram even if a stalled one filled the old buffer.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (out.socket < 0) {
            sender_reopen(out);
            if (out.socket < 0) {
                return;  // the next send tries again
            }
        }
        if (out.calls.send(out.socket, text, length, MSG_DONTWAIT,
                           reinterpret_cast<const sockaddr*>(&destination),
                           sizeof destination) >= 0 ||
            (errno != EAGAIN && errno != ENOBUFS)) {
            return;
        }
        sender_drop(out);
    }
}

}  // namespace quorvellan
