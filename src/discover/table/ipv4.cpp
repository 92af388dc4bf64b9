#include "table/ipv4.h"

#include <arpa/inet.h>

namespace quorvellan::discover {
namespace {

bool parse_ipv4(const std::string& text, in_addr& parsed)
{
    // inet_pton reads a C string: a NUL inside would hide what follows it.
    return text.find('\0') == std::string::npos && inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

}  // namespace

bool is_ipv4_literal(const std::string& text)
{
    in_addr parsed;
    return parse_ipv4(text, parsed);
}

std::uint32_t ipv4_host_order(const std::string& text)
{
    in_addr parsed{};
    return parse_ipv4(text, parsed) ? ntohl(parsed.s_addr) : 0;
}

}  // namespace quorvellan::discover
