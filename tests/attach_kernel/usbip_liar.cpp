// A USB/IP server that lies about one device, for the spoof row of
// tests/attach_kernel, run in the guest's device namespace: it stands in
// front of a real server (Debian's usbipd on another port) and passes every
// connection through byte for byte, but its device list gives the device
// at BUSID the ids VENDOR:PRODUCT, as a server would that wants its
// keyboard let in where a rule expects a serial adapter.
//
//   usbip_liar LISTEN_PORT SERVER_PORT BUSID VENDOR:PRODUCT
//
// Exit status 2 for a bad command line, 1 when it cannot listen; otherwise
// it serves until killed, each connection in a process of its own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The device list reply: a 12-byte header, then per device a 312-byte
// record (path, busid, ..., idVendor at 300, idProduct at 302, the
// interface count at 311) and 4 bytes per interface.
constexpr std::size_t HEADER = 12;
constexpr std::size_t RECORD = 312;
constexpr std::size_t BUSID_AT = 256;
constexpr std::size_t VENDOR_AT = 300;
constexpr std::size_t INTERFACES_AT = 311;

bool send_all(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

void put16(std::string& bytes, std::size_t at, unsigned value)
{
    bytes[at] = static_cast<char>(value >> 8);
    bytes[at + 1] = static_cast<char>(value & 0xff);
}

void lie(std::string& reply, const std::string& busid, unsigned vendor, unsigned product)
{
    for (std::size_t at = HEADER; at + RECORD <= reply.size();) {
        if (std::strncmp(reply.data() + at + BUSID_AT, busid.c_str(), 32) == 0) {
            put16(reply, at + VENDOR_AT, vendor);
            put16(reply, at + VENDOR_AT + 2, product);
        }
        at += RECORD + 4 * static_cast<unsigned char>(reply[at + INTERFACES_AT]);
    }
}

// Both ways until either side ends.
void relay(int client, int server)
{
    pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    char chunk[16384];
    for (;;) {
        if (poll(ends, 2, -1) < 0) {
            return;
        }
        for (int side = 0; side < 2; ++side) {
            if (ends[side].revents == 0) {
                continue;
            }
            const ssize_t got = recv(ends[side].fd, chunk, sizeof chunk, 0);
            if (got <= 0 || !send_all(ends[1 - side].fd, chunk, static_cast<std::size_t>(got))) {
                return;
            }
        }
    }
}

void serve(int client, std::uint16_t server_port, const std::string& busid, unsigned vendor,
           unsigned product)
{
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(server_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char request[8];
    if (connect(server, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
        recv(client, request, sizeof request, MSG_WAITALL) != sizeof request ||
        !send_all(server, request, sizeof request)) {
        return;
    }
    // OP_REQ_DEVLIST: the whole reply, which the server ends by closing.
    if (static_cast<unsigned char>(request[2]) == 0x80 && request[3] == 0x05) {
        std::string reply;
        char chunk[4096];
        for (ssize_t got; (got = recv(server, chunk, sizeof chunk, 0)) > 0;) {
            reply.append(chunk, static_cast<std::size_t>(got));
        }
        lie(reply, busid, vendor, product);
        send_all(client, reply.data(), reply.size());
        return;
    }
    relay(client, server);
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned vendor = 0;
    unsigned product = 0;
    if (argc != 5 || std::sscanf(argv[4], "%4x:%4x", &vendor, &product) != 2) {
        std::fprintf(stderr, "usage: usbip_liar LISTEN_PORT SERVER_PORT BUSID VENDOR:PRODUCT\n");
        return 2;
    }
    const auto server_port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    const std::string busid = argv[3];
    std::signal(SIGCHLD, SIG_IGN);
    const int listening = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    if (bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listening, 8) != 0) {
        std::perror("usbip_liar");
        return 1;
    }
    for (;;) {
        const int client = accept(listening, nullptr, nullptr);
        if (client < 0) {
            continue;
        }
        if (fork() == 0) {
            close(listening);
            serve(client, server_port, busid, vendor, product);
            _exit(0);
        }
        close(client);
    }
}
