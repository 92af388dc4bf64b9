#include "usb/tcp_connections.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <sstream>

namespace quorvellan::discover {
namespace {

constexpr const char* ESTABLISHED = "01";

// "0108A8C0:0CA8": the address as the kernel holds it (network order, read
// as a number of this machine's), then the port.
bool read_endpoint(const std::string& text, std::uint32_t& address, std::uint16_t& port)
{
    const std::size_t colon = text.find(':');
    if (colon != 8 || text.size() != 13) {
        return false;
    }
    address = static_cast<std::uint32_t>(std::strtoul(text.substr(0, 8).c_str(), nullptr, 16));
    port = static_cast<std::uint16_t>(std::strtoul(text.substr(9).c_str(), nullptr, 16));
    return true;
}

}  // namespace

std::vector<std::uint16_t> established_from(std::string_view text, const std::string& host,
                                            std::uint16_t port)
{
    std::vector<std::uint16_t> ports;
    in_addr server{};
    if (inet_pton(AF_INET, host.c_str(), &server) != 1) {
        return ports;
    }
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        std::uint32_t local_address = 0, remote_address = 0;
        std::uint16_t local_port = 0, remote_port = 0;
        if (fields >> slot >> local >> remote >> state && state == ESTABLISHED &&
            read_endpoint(local, local_address, local_port) &&
            read_endpoint(remote, remote_address, remote_port) && remote_address == server.s_addr &&
            remote_port == port) {
            ports.push_back(local_port);
        }
    }
    return ports;
}

}  // namespace quorvellan::discover
