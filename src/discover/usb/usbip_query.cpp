#include "usb/usbip_query.h"

#include <utility>

namespace quorvellan::discover {
namespace {

devlist_state judge_devlist(std::string_view received, bool ended)
{
    return parse_devlist_reply(received, ended).state;
}

std::string as_request(const std::array<char, 8>& bytes)
{
    return std::string(bytes.data(), bytes.size());
}

}  // namespace

const char* describe(usbip_outcome outcome)
{
    switch (outcome) {
        case usbip_outcome::pending:
            return "asking";
        case usbip_outcome::listed:
            return "listed";
        case usbip_outcome::no_answer:
            return "no answer from the USB/IP server";
        case usbip_outcome::refused:
            return "refused";
    }
    return "unknown";
}

usbip_query::usbip_query(const std::string& address, std::uint16_t port, time_point now,
                         std::uint16_t local_port)
    : exchange_(address, port, as_request(devlist_request()), judge_devlist,
                usbip_exchange::socket_after::close, now, local_port)
{
    step(now);
}

usbip_outcome usbip_query::step(time_point now)
{
    if (outcome_ != usbip_outcome::pending) {
        return outcome_;
    }
    switch (exchange_.step(now)) {
        case exchange_outcome::pending:
            break;
        case exchange_outcome::no_answer:
            outcome_ = usbip_outcome::no_answer;
            reason_ = exchange_.reason();
            break;
        case exchange_outcome::answered:
        case exchange_outcome::refused: {
            devlist_reply parsed = parse_devlist_reply(exchange_.take_reply());
            if (parsed.state == devlist_state::complete) {
                devices_ = std::move(parsed.devices);
                outcome_ = usbip_outcome::listed;
                reason_ = "listed";
            } else {
                fault_ = parsed.fault;
                outcome_ = usbip_outcome::refused;
                reason_ = describe(parsed.fault);
            }
            break;
        }
    }
    return outcome_;
}

}  // namespace quorvellan::discover
