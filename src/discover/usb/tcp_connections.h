// This machine's TCP connections to a server, as the kernel lists them
// (/proc/net/tcp): the local ports of those established. An attachment
// found at the start was made by another process, whose connection the
// listener never held; should it die unheard, its port (read here while it
// lives) is where a connection must come from to end what the server still
// keeps of it (see usbip_exchange).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvellan::discover {

// text: the file's whole text; host: a dotted IPv4 address.
std::vector<std::uint16_t> established_from(std::string_view text, const std::string& host,
                                            std::uint16_t port);

}  // namespace quorvellan::discover
